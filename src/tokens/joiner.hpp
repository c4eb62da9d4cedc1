#pragma once

#include "grouper.hpp"

namespace chopwise {

// The token-building state of a tokenizer, in the order the tokenizer lays it out.
struct TokenBuildState {
    static constexpr std::uint32_t queue_capacity = 16;

    TokenBuffer token;
    TokenBuffer piece_queue[queue_capacity];
    TokenType queue_type;
    std::uint32_t queue_len;
    GrouperState grouper;
};

// The joining rule, in the terms both the joiner and the window scan see a piece in.

// A hyphen piece is the one-character piece '-'; other dashes never join.
inline bool is_hyphen(TokenType type, std::uint8_t first_byte) {
    return first_byte == '-' && type == TokenType::PNCTTN;
}

// Whether a piece continues a word group whose last piece is a word (or else a hyphen): after
// a word only a hyphen joins, after a hyphen any word does.
inline bool joins_after(bool last_is_word, TokenType piece, bool hyphen) {
    return last_is_word ? hyphen : is_word_type(piece);
}

// The most characters the next piece of a group of `pieces` pieces and `chars` characters may
// have: a group never grows past 16 pieces or the 128 characters a token holds, and a piece
// that would break either limit starts the next group instead.
inline std::uint32_t room_for_piece(std::uint32_t pieces, std::uint32_t chars) {
    return pieces < TokenBuildState::queue_capacity ? TokenBuffer::capacity - chars : 0;
}

namespace joiner_detail {

inline std::uint32_t queued_chars(const TokenBuildState& s) {
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < s.queue_len; ++i) total += s.piece_queue[i].char_count;
    return total;
}

inline void queue_piece(TokenBuildState& s, const TokenBuffer& p) {
    // An empty piece (end of input) leaves the queue empty rather than holding a blank slot.
    if (p.empty()) return;
    if (s.queue_len == 0) s.queue_type = p.token_type;
    s.piece_queue[s.queue_len++].copy_from(p);
}

inline bool continues_group(const TokenBuildState& s, const TokenBuffer& p) {
    if (!is_word_type(s.queue_type)) return false;
    const TokenType last = s.piece_queue[s.queue_len - 1].token_type;
    return joins_after(is_word_type(last), p.token_type,
                       is_hyphen(p.token_type, p.chars[0].bytes[0])) &&
           p.char_count <= room_for_piece(s.queue_len, queued_chars(s));
}

inline void finish_group(TokenBuildState& s) {
    s.token.clear();
    s.token.token_type = s.queue_type;
    for (std::uint32_t i = 0; i < s.queue_len; ++i) {
        s.token.append_chars(s.piece_queue[i]);
        s.piece_queue[i].clear();
    }
    s.queue_type = TokenType::NOTTKN;
    s.queue_len = 0;
}

}  // namespace joiner_detail

// Feeds `completed_piece` to the group under construction. Returns true when the queued group
// was finished into `token`; the piece then starts the next group.
inline bool join_piece(TokenBuildState& s) {
    using namespace joiner_detail;
    const TokenBuffer& p = s.grouper.completed_piece;
    if (s.queue_len == 0) {
        queue_piece(s, p);
        return false;
    }
    if (continues_group(s, p)) {
        queue_piece(s, p);
        return false;
    }
    finish_group(s);
    queue_piece(s, p);
    return true;
}

}  // namespace chopwise

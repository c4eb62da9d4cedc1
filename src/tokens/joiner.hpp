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

namespace joiner_detail {

inline bool is_hyphen_piece(const TokenBuffer& p) {
    return p.token_type == TokenType::PNCTTN && p.chars[0].bytes[0] == '-';
}

inline std::uint32_t queued_chars(const TokenBuildState& s) {
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < s.queue_len; ++i) total += s.piece_queue[i].char_count;
    return total;
}

// A group never grows past 16 pieces or past the 128 characters a token holds.
inline bool has_room_for(const TokenBuildState& s, const TokenBuffer& p) {
    return s.queue_len < TokenBuildState::queue_capacity &&
           queued_chars(s) + p.char_count <= TokenBuffer::capacity;
}

inline void queue_piece(TokenBuildState& s, const TokenBuffer& p) {
    // An empty piece (end of input) leaves the queue empty rather than holding a blank slot.
    if (p.empty()) return;
    if (s.queue_len == 0) s.queue_type = p.token_type;
    s.piece_queue[s.queue_len++].copy_from(p);
}

inline bool continues_group(const TokenBuildState& s, const TokenBuffer& p) {
    if (!is_word_type(s.queue_type)) return false;
    // Within a word group the last piece is either a word or the hyphen after one.
    const TokenType last = s.piece_queue[s.queue_len - 1].token_type;
    const bool joins = is_word_type(last) ? is_hyphen_piece(p) : is_word_type(p.token_type);
    return joins && has_room_for(s, p);
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

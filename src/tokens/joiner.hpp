#pragma once

#include "grouper.hpp"

namespace chopwise {

// The token-building state of a tokenizer. The group under construction belongs to the joiner:
// only the functions below touch it.
class TokenBuildState {
public:
    static constexpr std::uint32_t queue_capacity = 16;

    TokenBuffer token;

private:
    // The queued pieces' bytes one after another, with the group's type and length; a group
    // holds at most 128 characters, so they fit one buffer.
    TokenBuffer group;
    TokenType last_type;  // of the last queued piece
    std::uint32_t queue_len;

public:
    GrouperState grouper;

    friend bool join_piece(TokenBuildState& s);
    friend bool holds_word_group(const TokenBuildState& s);
    friend const TokenBuffer* queued_piece(const TokenBuildState& s);
    friend void clear_queue(TokenBuildState& s);
    friend void queue_char(TokenBuildState& s, const std::uint8_t* bytes, std::uint32_t length,
                           TokenType type);

private:
    void queue_piece(const TokenBuffer& p);
    bool continues_group(const TokenBuffer& p) const;
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

inline void TokenBuildState::queue_piece(const TokenBuffer& p) {
    // An empty piece (end of input) leaves the queue empty.
    if (p.empty()) return;
    if (queue_len == 0) group.token_type = p.token_type;
    group.append(p.bytes, p.byte_count, p.char_count);
    last_type = p.token_type;
    ++queue_len;
}

inline bool TokenBuildState::continues_group(const TokenBuffer& p) const {
    if (!is_word_type(group.token_type)) return false;
    return joins_after(is_word_type(last_type), p.token_type,
                       is_hyphen(p.token_type, p.bytes[0])) &&
           p.char_count <= room_for_piece(queue_len, group.char_count);
}

// Feeds `completed_piece` to the group under construction. Returns true when the queued group
// was finished into `token`; the piece then starts the next group.
inline bool join_piece(TokenBuildState& s) {
    const TokenBuffer& p = s.grouper.completed_piece;
    if (s.queue_len == 0 || s.continues_group(p)) {
        s.queue_piece(p);
        return false;
    }
    s.token.copy_from(s.group);
    clear_queue(s);
    s.queue_piece(p);
    return true;
}

// What the window scan needs of the queue. Outside a word group the queue holds nothing or a
// single one-character piece, which the next piece finishes whatever it is.

// Whether the queue holds a word group, which the next pieces may still extend.
inline bool holds_word_group(const TokenBuildState& s) {
    return s.queue_len != 0 && is_word_type(s.group.token_type);
}

// The one queued piece outside a word group, or null when the queue is empty.
inline const TokenBuffer* queued_piece(const TokenBuildState& s) {
    return s.queue_len == 1 && !is_word_type(s.group.token_type) ? &s.group : nullptr;
}

// Empties the queue: its pieces are dropped, or were taken as a token by their caller.
inline void clear_queue(TokenBuildState& s) {
    s.group.clear();
    s.last_type = TokenType::NOTTKN;
    s.queue_len = 0;
}

// Queues the one-character piece of non-word type `type` whose `length` bytes are at `bytes`
// into the empty queue, as joining it would.
inline void queue_char(TokenBuildState& s, const std::uint8_t* bytes, std::uint32_t length,
                       TokenType type) {
    s.group.append(bytes, length, 1);
    s.group.token_type = type;
    s.last_type = type;
    s.queue_len = 1;
}

}  // namespace chopwise

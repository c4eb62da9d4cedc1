#pragma once

#include <cstdint>
#include <cstring>

#include "../charlayer/token_type.hpp"
#include "../charlayer/utf8.hpp"

namespace chopwise {

// A piece or a token. Slots from char_count on are always zero, so clearing and copying
// need to touch only the used slots to behave as a whole-record clear or copy.
struct TokenBuffer {
    static constexpr std::uint32_t capacity = 128;

    Utf8Char chars[capacity];
    TokenType token_type;
    std::uint32_t char_count;

    bool empty() const { return char_count == 0; }
    bool full() const { return char_count == capacity; }

    void clear() {
        std::memset(chars, 0, sizeof(Utf8Char) * char_count);
        token_type = TokenType::NOTTKN;
        char_count = 0;
    }

    void append(const Utf8Char& c) { chars[char_count++] = c; }

    // Appends all of `other`'s characters; the caller keeps the total within capacity.
    void append_chars(const TokenBuffer& other) {
        std::memcpy(chars + char_count, other.chars, sizeof(Utf8Char) * other.char_count);
        char_count += other.char_count;
    }

    void copy_from(const TokenBuffer& other) {
        if (char_count > other.char_count)
            std::memset(chars + other.char_count, 0,
                        sizeof(Utf8Char) * (char_count - other.char_count));
        std::memcpy(chars, other.chars, sizeof(Utf8Char) * other.char_count);
        token_type = other.token_type;
        char_count = other.char_count;
    }
};

}  // namespace chopwise

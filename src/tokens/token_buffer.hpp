#pragma once

#include <cstdint>
#include <cstring>

#include "../charlayer/token_type.hpp"
#include "../charlayer/utf8.hpp"

namespace chopwise {

// A piece or a token: its characters' bytes as they were read, and how many characters they
// are. Bytes past byte_count mean nothing.
struct TokenBuffer {
    static constexpr std::uint32_t capacity = 128;  // characters
    static constexpr std::uint32_t byte_capacity = capacity * 4;

    std::uint8_t bytes[byte_capacity];
    TokenType token_type;
    std::uint32_t char_count;
    std::uint32_t byte_count;

    bool empty() const { return char_count == 0; }
    bool full() const { return char_count == capacity; }

    void clear() {
        token_type = TokenType::NOTTKN;
        char_count = 0;
        byte_count = 0;
    }

    // Appends a complete character while fewer than `capacity` are held, so all four bytes of
    // its record fit; those past its length are overwritten by the next one.
    void append(const Utf8Char& c) {
        std::memcpy(bytes + byte_count, c.bytes, 4);
        byte_count += c.length;
        ++char_count;
    }

    // Appends `n` bytes holding `chars` characters; the caller keeps both within capacity.
    void append(const std::uint8_t* p, std::uint32_t n, std::uint32_t chars) {
        std::memcpy(bytes + byte_count, p, n);
        byte_count += n;
        char_count += chars;
    }

    void copy_from(const TokenBuffer& other) {
        std::memcpy(bytes, other.bytes, other.byte_count);
        token_type = other.token_type;
        char_count = other.char_count;
        byte_count = other.byte_count;
    }
};

}  // namespace chopwise

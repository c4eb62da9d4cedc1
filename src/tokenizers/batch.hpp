#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tokens/token_buffer.hpp"

namespace chopwise {

// Room reserved in the text buffer per token: 128 characters of up to 4 bytes, then a NUL.
inline constexpr std::size_t token_slot_bytes = TokenBuffer::capacity * 4 + 1;
inline constexpr std::uint32_t default_batch_size = 65536;
// Appends copy in fixed-size moves that may write this far past a token's first byte.
inline constexpr std::size_t append_overrun_bytes = 32;
// The size bound of an input whose length is not known in advance.
inline constexpr std::uint64_t unbounded_input = ~std::uint64_t{0};

// The batch a tokenizer fills, with its settings. Sizes in bytes are 64-bit so that no
// batch size or text length wraps.
//
// The buffers are sized by what a batch can need, not by batch_size alone: each input byte is
// in at most one character and each character in at most one token, and a token has at least
// one character, so an input of B bytes never gives a batch more than B tokens, nor more text
// than B bytes plus one NUL per token.
class Batch {
public:
    // `input_bytes`: the most bytes the input will ever yield, or unbounded_input.
    explicit Batch(std::uint64_t input_bytes);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Throws std::bad_alloc and keeps the old buffers and size when the new ones cannot be had.
    void set_batch_size(std::uint32_t n);
    void set_filter(std::uint64_t mask) { filter = mask; }
    void set_token_min_len(std::uint32_t n) { token_min_len = n; }
    void set_token_max_len(std::uint32_t n) { token_max_len = n; }

    void reset() {
        text_used = 0;
        token_count = 0;
        plain_tokens = 0;
        plain_continuations = 0;
    }
    // Whether every token of the batch is known strictly well-formed UTF-8 of ASCII characters
    // and two-byte Russian letters (the wide stage's tokens), so that its text has
    // `text_used - plain_continuations` characters and no character past U+04FF.
    bool text_is_plain() const { return plain_tokens == token_count; }
    // Counts `tokens` appended, with `continuations` continuation bytes among them, as plain.
    void note_plain(std::uint32_t tokens, std::size_t continuations) {
        plain_tokens += tokens;
        plain_continuations += continuations;
    }
    bool has_room() const { return token_count < batch_size; }
    // A types block that an array has viewed is never freed before the batch itself.
    void mark_types_viewed() { types_viewed = true; }

    char* text_out = nullptr;
    std::uint64_t* types_out = nullptr;
    std::size_t text_used = 0;
    std::uint32_t token_count = 0;
    // How many of the tokens are known to be plain text, and their continuation bytes.
    std::uint32_t plain_tokens = 0;
    std::size_t plain_continuations = 0;
    std::uint32_t batch_size = default_batch_size;
    std::uint32_t token_min_len = 0;
    std::uint32_t token_max_len = 512;
    std::uint64_t filter = ~std::uint64_t{0};

private:
    std::uint64_t text_bytes_for(std::uint32_t n) const;
    std::uint64_t type_slots_for(std::uint32_t n) const;
    void resize_types(std::uint32_t n);

    const std::uint64_t input_bytes;
    bool types_viewed = false;
    std::uint64_t types_capacity = 0;
    std::vector<std::uint64_t*> retired_types;
};

// The one way tokens enter a batch: its write position and settings held in locals while
// tokens are appended (stores through the text pointer may alias any field, so a loop must
// not read them from the batch itself). `store` writes the position back.
class BatchCursor {
public:
    explicit BatchCursor(const Batch& b)
        : text(b.text_out + b.text_used),
          types(b.types_out),
          count(b.token_count),
          capacity(b.batch_size),
          min_len(b.token_min_len),
          max_len(b.token_max_len),
          filter(b.filter) {}

    bool has_room() const { return count < capacity; }
    bool keeps(std::uint32_t char_count, TokenType type) const {
        return min_len <= char_count && char_count <= max_len && (type_bits(type) & filter) != 0;
    }
    // Whether every token of 1 to 32 characters is kept, whatever its type.
    bool keeps_every_short_token() const {
        std::uint64_t every_type = 0;
        for (const TokenTypeInfo& info : token_types) every_type |= type_bits(info.type);
        return min_len <= 1 && max_len >= 32 && (filter & every_type) == every_type;
    }

    // Append a token that `keeps` accepted and the batch has room for: a record's bytes, or
    // `length` bytes read in place, of which `readable` (at least `length`) may be read.
    void append(const TokenBuffer& token) {
        append(token.bytes, token.byte_count, TokenBuffer::byte_capacity, token.token_type);
    }
    void append(const std::uint8_t* bytes, std::size_t length, std::size_t readable,
                TokenType type) {
        // A token's slot has room for 16 bytes, so short tokens are copied in one fixed move.
        if (length <= 16 && readable >= 16)
            std::memcpy(text, bytes, 16);
        else
            std::memcpy(text, bytes, length);
        finish(length, type);
    }
    // Appends of short tokens with the write position in plain locals, for a loop that
    // appends many: each token of at most 32 bytes, with 32 readable, in one fixed-size move.
    // The types go from `types_at()` up to `types_end()`; `resume` takes the position back.
    char* text_at() const { return text; }
    std::uint64_t* types_at() const { return types + count; }
    std::uint64_t* types_end() const { return types + capacity; }
    static void append_short(char*& text, std::uint64_t*& type_at, const std::uint8_t* bytes,
                             std::size_t length, std::uint64_t type) {
        std::memcpy(text, bytes, 32);
        text[length] = '\0';
        text += length + 1;
        *type_at++ = type;
    }
    void resume(char* text_now, const std::uint64_t* type_now) {
        text = text_now;
        count = static_cast<std::uint32_t>(type_now - types);
    }
    void store(Batch& b) const {
        b.text_used = static_cast<std::size_t>(text - b.text_out);
        b.token_count = count;
    }

private:
    void finish(std::size_t length, TokenType type) {
        text[length] = '\0';
        text += length + 1;
        types[count++] = type_bits(type);
    }

    char* text;
    std::uint64_t* types;
    std::uint32_t count;
    const std::uint32_t capacity, min_len, max_len;
    const std::uint64_t filter;
};

}  // namespace chopwise

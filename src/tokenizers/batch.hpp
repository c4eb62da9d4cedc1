#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../tokens/token_buffer.hpp"

namespace chopwise {

// Room reserved in the text buffer per token: 128 characters of up to 4 bytes, then a NUL.
inline constexpr std::size_t token_slot_bytes = TokenBuffer::capacity * 4 + 1;
inline constexpr std::uint32_t default_batch_size = 65536;

// The batch a tokenizer fills, with its settings. Sizes in bytes are 64-bit so that no
// batch size or text length wraps.
class Batch {
   public:
    Batch();
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
    }
    bool has_room() const { return token_count < batch_size; }
    bool keeps(const TokenBuffer& token) const {
        return token_min_len <= token.char_count && token.char_count <= token_max_len &&
               (type_bits(token.token_type) & filter) != 0;
    }
    // Appends a token that `keeps` accepted and the batch has room for.
    void append(const TokenBuffer& token);

    // A types block that an array has viewed is never freed before the batch itself.
    void mark_types_viewed() { types_viewed = true; }

    char* text_out = nullptr;
    std::uint64_t* types_out = nullptr;
    std::size_t text_used = 0;
    std::uint32_t token_count = 0;
    std::uint32_t batch_size = default_batch_size;
    std::uint32_t token_min_len = 0;
    std::uint32_t token_max_len = 512;
    std::uint64_t filter = ~std::uint64_t{0};

   private:
    bool types_viewed = false;
    std::vector<std::uint64_t*> retired_types;
};

}  // namespace chopwise

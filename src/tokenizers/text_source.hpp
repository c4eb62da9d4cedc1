#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "../charlayer/utf8_text.hpp"

namespace chopwise {

// An immutable block of text bytes and what keeps it alive: a copy of the given bytes, or the
// UTF-8 form encoded straight from a str's characters, so that no second copy is needed.
struct TextBytes {
    std::shared_ptr<const void> owner;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    // The UTF-8 form of `n` code points in a block of its own, or no block (a null `data`)
    // when one of them is a surrogate.
    template <class Char>
    static TextBytes encode(const Char* chars, std::size_t n);

    static TextBytes copy_of(std::string text) {
        auto block = std::make_shared<const std::string>(std::move(text));
        return {block, reinterpret_cast<const std::uint8_t*>(block->data()), block->size()};
    }
};

namespace text_block {
inline constexpr std::size_t huge_page = std::size_t{2} << 20;
// The size of the block had for `capacity` bytes: from 2 MiB on, whole huge pages.
std::size_t block_bytes(std::size_t capacity);
// A block for a text about to be written from start to end, of `capacity` bytes at most.
std::uint8_t* allocate(std::size_t capacity);
// The block holding `size` written bytes, its unused tail given back.
TextBytes adopt(std::uint8_t* block, std::size_t size);
void release(std::uint8_t* block);
// A block of `bytes` for a table that grows and is read all over: from operator new (so that
// a failure is std::bad_alloc wherever it comes from), in huge pages from 2 MiB on. Given back
// with `release_table` and the same `bytes`.
void* allocate_table(std::size_t bytes);
void release_table(void* block, std::size_t bytes) noexcept;
}  // namespace text_block

template <class Char>
TextBytes TextBytes::encode(const Char* chars, std::size_t n) {
    if (n > ~std::size_t{0} / utf8_bytes_per_char<Char>) throw std::bad_alloc();
    std::uint8_t* block = text_block::allocate(n * utf8_bytes_per_char<Char>);
    const std::size_t size = encode_utf8(chars, n, block);
    if (size != no_utf8_form) return text_block::adopt(block, size);
    text_block::release(block);
    return {};
}

// The text tokenizer's own copy of its text, read forward once.
class TextSource {
public:
    explicit TextSource(TextBytes text) : input(std::move(text)) {}
    explicit TextSource(std::string text) : input(TextBytes::copy_of(std::move(text))) {}

    int next_byte() {
        if (cursor == input.size) return -1;
        return input.data[cursor++];
    }

    const std::uint8_t* window_begin() const { return input.data + cursor; }
    const std::uint8_t* window_end() const { return input.data + input.size; }
    void advance_to(const std::uint8_t* p) { cursor = static_cast<std::size_t>(p - input.data); }

    std::uint64_t size_bound() const { return input.size; }
    std::size_t input_len() const { return input.size; }
    std::size_t position() const { return cursor; }

private:
    TextBytes input;
    std::size_t cursor = 0;
};

}  // namespace chopwise

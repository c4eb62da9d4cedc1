#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace chopwise {

// An immutable block of text bytes and whatever keeps it alive. The owner may be a block the
// binding already made for this text alone (a str's UTF-8 encoding), so that it need not be
// copied once more.
struct TextBytes {
    std::shared_ptr<const void> owner;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    static TextBytes copy_of(std::string text) {
        auto block = std::make_shared<const std::string>(std::move(text));
        return {block, reinterpret_cast<const std::uint8_t*>(block->data()), block->size()};
    }
};

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

    std::size_t input_len() const { return input.size; }
    std::size_t position() const { return cursor; }

private:
    TextBytes input;
    std::size_t cursor = 0;
};

}  // namespace chopwise

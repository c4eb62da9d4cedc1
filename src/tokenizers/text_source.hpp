#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace chopwise {

// The text tokenizer's own copy of its text, read forward once.
class TextSource {
public:
    explicit TextSource(std::string text) : input_bytes(std::move(text)) {}

    int next_byte() {
        if (cursor == input_bytes.size()) return -1;
        return static_cast<unsigned char>(input_bytes[cursor++]);
    }

    const std::uint8_t* window_begin() const { return data() + cursor; }
    const std::uint8_t* window_end() const { return data() + input_bytes.size(); }
    void advance_to(const std::uint8_t* p) { cursor = static_cast<std::size_t>(p - data()); }

    std::size_t input_len() const { return input_bytes.size(); }
    std::size_t position() const { return cursor; }

private:
    const std::uint8_t* data() const {
        return reinterpret_cast<const std::uint8_t*>(input_bytes.data());
    }

    std::string input_bytes;
    std::size_t cursor = 0;
};

}  // namespace chopwise

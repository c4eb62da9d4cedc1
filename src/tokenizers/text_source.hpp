#pragma once

#include <cstddef>
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

    std::size_t input_len() const { return input_bytes.size(); }
    std::size_t position() const { return cursor; }

   private:
    std::string input_bytes;
    std::size_t cursor = 0;
};

}  // namespace chopwise

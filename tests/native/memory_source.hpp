// The test double of an input source (src/tokenizers/input_source.hpp) over bytes in memory,
// shared by the native checks and the fuzz target. Its window is one of:
// - 0: all the rest of the bytes, as a text's;
// - 1: never any, so every byte goes through next_byte;
// - k >= 2: a buffer of k bytes of its own, refilled when next_byte reaches its end, as a file
//   stream's; it holds exactly its bytes, so reading past the window is out of bounds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class MemorySource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size, std::size_t window)
        : data(data), size(size), window(window) {}

    int next_byte() {
        if (pos >= size) return -1;
        if (window >= 2 && pos == buffer_start + buffer_len) refill();
        return data[pos++];
    }

    const std::uint8_t* window_begin() const {
        if (window == 0) return data + pos;
        if (window == 1 || !buffer) return nullptr;
        return buffer.get() + (pos - buffer_start);
    }
    const std::uint8_t* window_end() const {
        if (window == 0) return data + size;
        if (window == 1 || !buffer) return nullptr;
        return buffer.get() + buffer_len;
    }
    void advance_to(const std::uint8_t* p) {
        if (window == 0)
            pos = static_cast<std::size_t>(p - data);
        else
            pos = buffer_start + static_cast<std::size_t>(p - buffer.get());
    }

    std::size_t position() const { return pos; }
    std::uint64_t size_bound() const { return size; }

private:
    void refill() {
        buffer_start = pos;
        buffer_len = std::min(window, size - pos);
        buffer.reset(new std::uint8_t[buffer_len]);
        std::memcpy(buffer.get(), data + pos, buffer_len);
    }

    const std::uint8_t* data;
    std::size_t size;
    std::size_t window;
    std::size_t pos = 0;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t buffer_start = 0, buffer_len = 0;
};

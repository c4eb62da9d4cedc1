#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "../tokenizers/text_source.hpp"

namespace chopwise::columns {

// An owned block of `n` values left unset until written: output buffers written once in full,
// so zero-filling them first would be a wasted pass.
template <class T>
class RawArray {
public:
    RawArray() = default;
    // Large blocks come in huge pages: written once right away, they fault far less.
    explicit RawArray(std::size_t n) : count(n) {
        if (n > ~std::size_t{0} / sizeof(T)) throw std::bad_alloc();
        items = reinterpret_cast<T*>(text_block::allocate(n * sizeof(T)));
    }
    RawArray(RawArray&& o) noexcept
        : items(std::exchange(o.items, nullptr)), count(std::exchange(o.count, 0)) {}
    RawArray& operator=(RawArray&& o) noexcept {
        std::swap(items, o.items);
        std::swap(count, o.count);
        return *this;
    }
    ~RawArray() { text_block::release(reinterpret_cast<std::uint8_t*>(items)); }

    T* data() { return items; }
    const T* data() const { return items; }
    std::size_t size() const { return count; }
    T& operator[](std::size_t i) { return items[i]; }
    const T& operator[](std::size_t i) const { return items[i]; }

private:
    T* items = nullptr;
    std::size_t count = 0;
};

}  // namespace chopwise::columns

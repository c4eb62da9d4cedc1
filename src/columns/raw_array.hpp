#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace chopwise::columns {

// An owned block of `n` values left unset until written: output buffers written once in full,
// so zero-filling them first would be a wasted pass.
template <class T>
class RawArray {
public:
    RawArray() = default;
    explicit RawArray(std::size_t n) : count(n) {
        // 64-byte aligned, as Arrow recommends for the buffers it reads.
        const std::size_t bytes = ((n * sizeof(T)) | 63) + 1;
        items = static_cast<T*>(std::aligned_alloc(64, bytes));
        if (items == nullptr) throw std::bad_alloc();
    }
    RawArray(RawArray&& o) noexcept
        : items(std::exchange(o.items, nullptr)), count(std::exchange(o.count, 0)) {}
    RawArray& operator=(RawArray&& o) noexcept {
        std::swap(items, o.items);
        std::swap(count, o.count);
        return *this;
    }
    ~RawArray() { std::free(items); }

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

#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

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

// A standard allocator for tables that grow and are read at random (text_block::allocate_table).
template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > ~std::size_t{0} / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(text_block::allocate_table(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { text_block::release_table(p, n * sizeof(T)); }
    friend bool operator==(const TableAllocator&, const TableAllocator&) { return true; }
};

template <class T>
using TableVector = std::vector<T, TableAllocator<T>>;

}  // namespace chopwise::columns

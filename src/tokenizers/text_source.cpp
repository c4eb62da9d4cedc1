#include "text_source.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace chopwise::text_block {

// The text is written once from start to end right after allocation: in 2 MiB pages that
// costs a few dozen page faults instead of one per 4 KiB, which took longer than encoding.
// Where the kernel declines, the block is an ordinary one.
std::size_t block_bytes(std::size_t capacity) {
    if (capacity < huge_page || capacity > ~std::size_t{0} - huge_page)
        return capacity == 0 ? 1 : capacity;
    return (capacity + huge_page - 1) & ~(huge_page - 1);
}

std::uint8_t* allocate(std::size_t capacity) {
    const std::size_t bytes = block_bytes(capacity);
    void* block = nullptr;
    if (bytes % huge_page == 0) {
        block = std::aligned_alloc(huge_page, bytes);
        if (block != nullptr) madvise(block, bytes, MADV_HUGEPAGE);
    } else {
        block = std::malloc(bytes);
    }
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<std::uint8_t*>(block);
}

TextBytes adopt(std::uint8_t* block, std::size_t size) {
    // Shrinking never fails in a way that loses the block: on failure the old one stays.
    if (void* smaller = std::realloc(block, size == 0 ? 1 : size))
        block = static_cast<std::uint8_t*>(smaller);
    return {
        std::shared_ptr<const void>(block, [](const void* b) { std::free(const_cast<void*>(b)); }),
        block, size};
}

void release(std::uint8_t* block) { std::free(block); }

// Read at random, such a table misses the TLB on most reads in 4 KiB pages, and each doubling
// faults in every page anew.
void* allocate_table(std::size_t bytes) {
    const std::size_t whole = block_bytes(bytes);
    if (whole % huge_page != 0) return ::operator new(whole);
    void* block = ::operator new(whole, std::align_val_t{huge_page});
    madvise(block, whole, MADV_HUGEPAGE);
    return block;
}

void release_table(void* block, std::size_t bytes) noexcept {
    const std::size_t whole = block_bytes(bytes);
    if (whole % huge_page != 0)
        ::operator delete(block);
    else
        ::operator delete(block, std::align_val_t{huge_page});
}

}  // namespace chopwise::text_block

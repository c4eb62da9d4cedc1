#include "batch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace chopwise {
namespace {

// Never asks for zero bytes, so a successful allocation is never a null pointer.
void* allocate(std::uint64_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    void* block = std::malloc(std::max<std::size_t>(static_cast<std::size_t>(bytes), 1));
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

Batch::Batch()
    : text_out(static_cast<char*>(allocate(std::uint64_t{default_batch_size} * token_slot_bytes))),
      types_out(nullptr) {
    try {
        types_out = static_cast<std::uint64_t*>(allocate(std::uint64_t{default_batch_size} * 8));
    } catch (...) {
        std::free(text_out);
        throw;
    }
}

Batch::~Batch() {
    std::free(text_out);
    std::free(types_out);
    for (std::uint64_t* block : retired_types) std::free(block);
}

void Batch::set_batch_size(std::uint32_t n) {
    // Every new block is had before an old one goes, so a failure changes nothing. The old
    // contents need not survive: every batch starts from an empty buffer.
    char* new_text = static_cast<char*>(allocate(std::uint64_t{n} * token_slot_bytes));
    try {
        resize_types(n);
    } catch (...) {
        std::free(new_text);
        throw;
    }
    std::free(text_out);
    text_out = new_text;
    batch_size = n;
}

void Batch::resize_types(std::uint32_t n) {
    if (!types_viewed) {
        std::uint64_t* block = static_cast<std::uint64_t*>(allocate(std::uint64_t{n} * 8));
        std::free(types_out);
        types_out = block;
        types_capacity = n;
        return;
    }
    // An array may still view the block: it is never freed or moved before the batch dies. A
    // smaller batch keeps using it; a larger one retires it for a block at least twice its
    // size, so all retired blocks together stay smaller than the block in use.
    if (n <= types_capacity) return;
    const std::uint32_t doubled = types_capacity > UINT32_MAX / 2 ? UINT32_MAX : 2 * types_capacity;
    std::uint32_t capacity = std::max(n, doubled);
    retired_types.reserve(retired_types.size() + 1);
    void* block = std::malloc(std::uint64_t{capacity} * 8);
    if (block == nullptr) {
        capacity = n;
        block = allocate(std::uint64_t{n} * 8);
    }
    retired_types.push_back(types_out);
    types_out = static_cast<std::uint64_t*>(block);
    types_capacity = capacity;
    types_viewed = false;
}

}  // namespace chopwise

#include "batch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

namespace chopwise {
namespace {

// Released batch blocks the C library would unmap, kept for the next batch of the same size.
// It maps blocks above 32 MiB afresh on every allocation and unmaps them on release (smaller
// ones it serves from its heap once it has seen one of their size freed, so those are left to
// it), so a tokenizer per short file mapped, faulted in and unmapped a 34 MB text block each
// time. Only a few are kept, and only at exactly the size asked for, so what they hold stays
// within what the tokenizers using them had.
class SpareBlocks {
public:
    static constexpr std::size_t heap_max_bytes = std::size_t{32} << 20;

    void* take(std::size_t bytes) {
        if (bytes <= heap_max_bytes) return nullptr;
        std::lock_guard<std::mutex> hold(lock);
        for (Slot& slot : slots) {
            if (slot.block != nullptr && slot.bytes == bytes)
                return std::exchange(slot.block, nullptr);
        }
        return nullptr;
    }

    // False when the block is not kept; the caller frees it.
    bool keep(void* block, std::size_t bytes) {
        if (bytes <= heap_max_bytes) return false;
        std::lock_guard<std::mutex> hold(lock);
        for (Slot& slot : slots) {
            if (slot.block == nullptr) {
                slot = {block, bytes};
                return true;
            }
        }
        return false;
    }

private:
    struct Slot {
        void* block = nullptr;
        std::size_t bytes = 0;
    };
    std::mutex lock;
    Slot slots[4];
};

// Never destroyed: a tokenizer may be released while the process exits.
SpareBlocks& spare_blocks() {
    static SpareBlocks* const spares = new SpareBlocks;
    return *spares;
}

// Never asks for zero bytes, so a successful allocation is never a null pointer.
void* allocate(std::uint64_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    const std::size_t size = std::max<std::size_t>(static_cast<std::size_t>(bytes), 1);
    if (void* spare = spare_blocks().take(size)) return spare;
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

// `bytes` is what `allocate` was asked for.
void release(void* block, std::uint64_t bytes) {
    if (block == nullptr) return;
    const std::size_t size = std::max<std::size_t>(static_cast<std::size_t>(bytes), 1);
    if (!spare_blocks().keep(block, size)) std::free(block);
}

}  // namespace

Batch::Batch(std::uint64_t input_bytes) : input_bytes(input_bytes) {
    text_out = static_cast<char*>(allocate(text_bytes_for(default_batch_size)));
    try {
        types_capacity = type_slots_for(default_batch_size);
        types_out = static_cast<std::uint64_t*>(allocate(types_capacity * 8));
    } catch (...) {
        release(text_out, text_bytes_for(default_batch_size));
        throw;
    }
}

Batch::~Batch() {
    release(text_out, text_bytes_for(batch_size));
    release(types_out, types_capacity * 8);
    for (std::uint64_t* block : retired_types) std::free(block);
}

// Every token fits its 513-byte slot, and the last one's fixed-size moves stay inside it.
std::uint64_t Batch::text_bytes_for(std::uint32_t n) const {
    const std::uint64_t by_tokens = std::uint64_t{n} * token_slot_bytes;
    if (input_bytes > (unbounded_input - append_overrun_bytes) / 2) return by_tokens;
    return std::min(by_tokens, 2 * input_bytes + append_overrun_bytes);
}

std::uint64_t Batch::type_slots_for(std::uint32_t n) const {
    return std::min<std::uint64_t>(n, input_bytes);
}

void Batch::set_batch_size(std::uint32_t n) {
    // Every new block is had before an old one goes, so a failure changes nothing. The old
    // contents need not survive: every batch starts from an empty buffer.
    char* new_text = static_cast<char*>(allocate(text_bytes_for(n)));
    try {
        resize_types(n);
    } catch (...) {
        release(new_text, text_bytes_for(n));
        throw;
    }
    release(text_out, text_bytes_for(batch_size));
    text_out = new_text;
    batch_size = n;
}

void Batch::resize_types(std::uint32_t n) {
    const std::uint64_t slots = type_slots_for(n);
    if (!types_viewed) {
        std::uint64_t* block = static_cast<std::uint64_t*>(allocate(slots * 8));
        release(types_out, types_capacity * 8);
        types_out = block;
        types_capacity = slots;
        return;
    }
    // An array may still view the block: it is never freed or moved before the batch dies. A
    // smaller batch keeps using it; a larger one retires it for a block at least twice its
    // size (or the most any batch can need), so all retired blocks together stay smaller than
    // twice the block in use.
    if (slots <= types_capacity) return;
    std::uint64_t capacity =
        std::max(slots, std::min(2 * types_capacity, type_slots_for(UINT32_MAX)));
    retired_types.reserve(retired_types.size() + 1);
    void* block = std::malloc(capacity * 8);
    if (block == nullptr) {
        capacity = slots;
        block = allocate(slots * 8);
    }
    retired_types.push_back(types_out);
    types_out = static_cast<std::uint64_t*>(block);
    types_capacity = capacity;
    types_viewed = false;
}

}  // namespace chopwise

// The test double of an input source (src/tokenizers/input_source.hpp) over bytes in memory,
// shared by the native checks and the fuzz target. Its window is one of:
// - 0: all the rest of the bytes, as a text's;
// - 1: never any, so every byte goes through next_byte;
// - k >= 2: a buffer of k bytes of its own, refilled when next_byte reaches its end, as a file
//   stream's.
// Either way the window ends where readable memory ends, so a read past it is caught in every
// build, not only under the sanitizers.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define MEMORY_SOURCE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMORY_SOURCE_ASAN 1
#endif
#endif

// Copies of bytes that end where readable memory ends. In a plain build a page that faults
// follows them, so reading past them crashes at once; under ASan each copy is an exact heap
// block, whose redzones also catch a read before it and a copy read after it was replaced.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t capacity) {
#ifndef MEMORY_SOURCE_ASAN
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        length = (capacity + page - 1) / page * page + page;
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        region = static_cast<std::uint8_t*>(p);
        if (mprotect(region + length - page, page, PROT_NONE) != 0) std::abort();
        guard = region + length - page;
#else
        (void)capacity;
#endif
    }
    GuardedBytes(GuardedBytes&& other) noexcept
        : heap(std::move(other.heap)),
          region(std::exchange(other.region, nullptr)),
          guard(other.guard),
          length(other.length) {}
    GuardedBytes& operator=(GuardedBytes&&) = delete;
    ~GuardedBytes() {
        if (region) munmap(region, length);
    }

    // A copy of `n` (at most the capacity) bytes, valid until the next call.
    const std::uint8_t* place(const std::uint8_t* bytes, std::size_t n) {
#ifndef MEMORY_SOURCE_ASAN
        std::uint8_t* to = guard - n;
#else
        heap.reset(new std::uint8_t[n]);
        std::uint8_t* to = heap.get();
#endif
        if (n) std::memcpy(to, bytes, n);
        return to;
    }

private:
    std::unique_ptr<std::uint8_t[]> heap;
    std::uint8_t* region = nullptr;
    std::uint8_t* guard = nullptr;
    std::size_t length = 0;
};

class MemorySource {
public:
    MemorySource(const std::uint8_t* bytes, std::size_t size, std::size_t window)
        : size(size), window(window), copies(window == 0 ? size : std::min(window, size)) {
        data = window == 0 ? copies.place(bytes, size) : bytes;
    }

    int next_byte() {
        if (pos >= size) return -1;
        if (window >= 2 && pos == buffer_start + buffer_len) refill();
        return data[pos++];
    }

    const std::uint8_t* window_begin() const {
        if (window == 0) return data + pos;
        if (window == 1 || !buffer) return nullptr;
        return buffer + (pos - buffer_start);
    }
    const std::uint8_t* window_end() const {
        if (window == 0) return data + size;
        if (window == 1 || !buffer) return nullptr;
        return buffer + buffer_len;
    }
    void advance_to(const std::uint8_t* p) {
        if (window == 0)
            pos = static_cast<std::size_t>(p - data);
        else
            pos = buffer_start + static_cast<std::size_t>(p - buffer);
    }

    std::size_t position() const { return pos; }
    std::uint64_t size_bound() const { return size; }

private:
    void refill() {
        buffer_start = pos;
        buffer_len = std::min(window, size - pos);
        buffer = copies.place(data + pos, buffer_len);
    }

    std::size_t size;
    std::size_t window;
    GuardedBytes copies;
    const std::uint8_t* data;
    std::size_t pos = 0;
    const std::uint8_t* buffer = nullptr;
    std::size_t buffer_start = 0, buffer_len = 0;
};

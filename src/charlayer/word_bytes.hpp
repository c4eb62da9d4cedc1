#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace chopwise {

// Bytes eight at a time, as one little-endian word; a test of every byte answers in its high
// bit.
inline constexpr std::uint64_t each_byte = 0x0101010101010101u;
inline constexpr std::uint64_t high_bits = 0x8080808080808080u;

inline std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint32_t load4(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The bytes p[0..n), n < 8, as a word padded with zeros, read without a byte past them.
inline std::uint64_t small_word(const std::uint8_t* p, std::size_t n) {
    if (n >= 4) return load4(p) | std::uint64_t{load4(p + n - 4)} >> (8 * (8 - n)) << 32;
    if (n == 0) return 0;
    return p[0] | std::uint64_t{p[n >> 1]} << (8 * (n >> 1)) |
           std::uint64_t{p[n - 1]} << (8 * (n - 1));
}

inline bool all_ascii(std::uint64_t w) { return (w & high_bits) == 0; }

// Flags the lowest zero byte of `w`; bytes above it may be flagged too.
inline std::uint64_t zero_bytes(std::uint64_t w) { return (w - each_byte) & ~w & high_bits; }

}  // namespace chopwise

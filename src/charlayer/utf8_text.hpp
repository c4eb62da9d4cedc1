#pragma once

#include <cstddef>
#include <cstdint>

#include "utf8.hpp"
#include "word_bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace chopwise {

// What a block of UTF-8 holds if it is well-formed: its character count and the width a
// code point array needs for its largest character (1, 2 or 4 bytes, and whether all ASCII).
struct Utf8Shape {
    std::size_t chars = 0;
    std::uint32_t max_code_point = 0;  // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: an upper bound by width
};

// One pass that trusts the block to be well-formed: characters are the bytes that are not
// continuation bytes, and the largest byte tells the widest character. A malformed block
// gets a shape that `widen_utf8` then refuses.
inline Utf8Shape measure_utf8(const std::uint8_t* s, std::size_t n) {
    std::size_t continuation = 0;
    std::uint8_t top = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i max16 = _mm_setzero_si128();
    // As signed bytes, exactly the continuation bytes 0x80..0xBF lie below 0xC0.
    const __m128i first_lead = _mm_set1_epi8(static_cast<char>(0xC0));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        max16 = _mm_max_epu8(max16, v);
        const unsigned mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, first_lead)));
        continuation += static_cast<std::size_t>(__builtin_popcount(mask));
    }
    alignas(16) std::uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), max16);
    for (std::uint8_t b : lanes) top = b > top ? b : top;
#endif
    for (; i < n; ++i) {
        continuation += (s[i] & 0xC0) == 0x80;
        top = s[i] > top ? s[i] : top;
    }
    Utf8Shape shape;
    shape.chars = n - continuation;
    shape.max_code_point = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    return shape;
}

// Writes the characters of `s` as code points into `out`, which has room for exactly
// `shape.chars` of them (`Char` wide enough for `shape.max_code_point`). Returns false, with
// `out` partly written, when the block is not strictly well-formed or does not fit that shape.
template <class Char>
bool widen_utf8(const std::uint8_t* s, std::size_t n, const Utf8Shape& shape, Char* out) {
    const std::uint8_t* const end = s + n;
    Char* const out_end = out + shape.chars;
    while (s < end) {
        if (end - s >= 8 && out_end - out >= 8) {
            if (all_ascii(load8(s))) {
                for (int k = 0; k < 8; ++k) out[k] = static_cast<Char>(s[k]);
                s += 8;
                out += 8;
                continue;
            }
        }
        std::uint32_t cp = *s;
        std::size_t len = 1;
        if (cp >= 0x80 && ((len = decode_sequence(s, end, cp)) == 0 || !is_strict_utf8(cp, len)))
            return false;
        if (out == out_end || cp > shape.max_code_point) return false;
        *out++ = static_cast<Char>(cp);
        s += len;
    }
    return out == out_end;
}

// Writes the characters of `s` into `out` in one pass, for text known to hold only ASCII
// characters and two-byte sequences (no validation: the caller has it from where the text was
// made).
inline void widen_two_byte_utf8(const std::uint8_t* s, std::size_t n, std::uint16_t* out) {
    const std::uint8_t* const end = s + n;
    while (s < end) {
#if defined(__SSE2__)
        if (end - s >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            if (_mm_movemask_epi8(v) == 0) {
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
                s += 16;
                out += 16;
                continue;
            }
        }
#endif
        const std::uint8_t b = *s;
        if (b < 0x80) {
            *out++ = b;
            ++s;
        } else {
            *out++ = static_cast<std::uint16_t>((b & 0x1Fu) << 6 | (s[1] & 0x3Fu));
            s += 2;
        }
    }
}

// A code point array's UTF-8 form takes at most this many bytes per code point.
template <class Char>
inline constexpr std::size_t utf8_bytes_per_char = sizeof(Char) == 1   ? 2
                                                   : sizeof(Char) == 2 ? 3
                                                                       : 4;

inline constexpr std::size_t no_utf8_form = ~std::size_t{0};

// Writes the UTF-8 form of `n` code points to `out`, which has room for
// `n * utf8_bytes_per_char<Char>` bytes. Returns the bytes written, or `no_utf8_form` when a
// code point is a surrogate, which has no UTF-8 form.
template <class Char>
std::size_t encode_utf8(const Char* s, std::size_t n, std::uint8_t* out) {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII, four characters at a time.
        while (i + 4 <= n && (s[i] | s[i + 1] | s[i + 2] | s[i + 3]) < 0x80) {
            out[0] = static_cast<std::uint8_t>(s[i]);
            out[1] = static_cast<std::uint8_t>(s[i + 1]);
            out[2] = static_cast<std::uint8_t>(s[i + 2]);
            out[3] = static_cast<std::uint8_t>(s[i + 3]);
            out += 4;
            i += 4;
        }
        if (i == n) break;
        const std::uint32_t c = s[i++];
        if (c < 0x80) {
            *out++ = static_cast<std::uint8_t>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<std::uint8_t>(0xC0 | c >> 6);
            out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000) {
            if ((c & 0xF800) == 0xD800) return no_utf8_form;
            out[0] = static_cast<std::uint8_t>(0xE0 | c >> 12);
            out[1] = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 3;
        } else {
            out[0] = static_cast<std::uint8_t>(0xF0 | c >> 18);
            out[1] = static_cast<std::uint8_t>(0x80 | (c >> 12 & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
            out[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 4;
        }
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace chopwise

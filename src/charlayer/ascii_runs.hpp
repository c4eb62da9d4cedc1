#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace chopwise {

// End of the run of ASCII letters (when `letters`) or ASCII digits that starts at `q`, looking
// no further than `limit`. These are exactly the one-byte characters of the ENWORD and NUMBER
// classes; 16 bytes are tested at once where the machine allows it.
inline const std::uint8_t* ascii_run_end(const std::uint8_t* q, const std::uint8_t* limit,
                                         bool letters) {
#if defined(__SSE2__)
    // Bytes from 0x80 up are negative as signed bytes, so they fall outside both ranges.
    const __m128i fold = _mm_set1_epi8(letters ? 0x20 : 0);
    const __m128i below = _mm_set1_epi8(static_cast<char>(letters ? 'a' - 1 : '0' - 1));
    const __m128i above = _mm_set1_epi8(static_cast<char>(letters ? 'z' + 1 : '9' + 1));
    while (limit - q >= 16) {
        const __m128i v = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), fold);
        const __m128i in = _mm_and_si128(_mm_cmpgt_epi8(v, below), _mm_cmplt_epi8(v, above));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(in));
        if (mask != 0xFFFF) return q + __builtin_ctz(~mask);
        q += 16;
    }
#endif
    for (; q < limit; ++q) {
        const std::uint8_t b = letters ? (*q | 0x20) : *q;
        if (letters ? (b < 'a' || b > 'z') : (b < '0' || b > '9')) break;
    }
    return q;
}

// End of the run of Russian letters (the two-byte characters of the RUWORD class: Ё, А..я, ё)
// that starts at `q`, looking no further than `limit`; `q` is at a character boundary.
inline const std::uint8_t* russian_run_end(const std::uint8_t* q, const std::uint8_t* limit) {
#if defined(__SSE2__)
    // Flipping the top bit turns continuation bytes 0x80..0xBF into 0x00..0x3F and every other
    // byte into a negative or larger value, so signed compares test the ranges.
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
    auto between = [](__m128i v, int lo, int hi) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
    };
    auto equal = [](__m128i v, int x) {
        return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(x)));
    };
    while (limit - q >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i c = _mm_xor_si128(v, top);
        // A lead byte at an even offset, shifted onto the continuation byte after it.
        const __m128i d0 = _mm_slli_si128(equal(v, 0xD0), 1);
        const __m128i d1 = _mm_slli_si128(equal(v, 0xD1), 1);
        const __m128i ok =
            _mm_or_si128(_mm_and_si128(d0, _mm_or_si128(equal(c, 0x01), between(c, 0x10, 0x3F))),
                         _mm_and_si128(d1, _mm_or_si128(between(c, 0x00, 0x0F), equal(c, 0x11))));
        // Bit 2k+1 is set when the character at offset 2k is a Russian letter.
        const unsigned letters = static_cast<unsigned>(_mm_movemask_epi8(ok)) & 0xAAAAu;
        if (letters != 0xAAAAu) return q + __builtin_ctz(~letters & 0xAAAAu) - 1;
        q += 16;
    }
#endif
    for (; limit - q >= 2; q += 2) {
        const unsigned lead = q[0], next = q[1];
        const bool letter = lead == 0xD0   ? next == 0x81 || (next >= 0x90 && next <= 0xBF)
                            : lead == 0xD1 ? (next >= 0x80 && next <= 0x8F) || next == 0x91
                                           : false;
        if (!letter) break;
    }
    return q;
}

}  // namespace chopwise

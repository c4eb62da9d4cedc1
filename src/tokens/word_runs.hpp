#pragma once

#include <cstdint>

#include "../charlayer/char_class.hpp"

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

namespace russian_bytes {
// The Russian letters' two-byte forms: a lead byte, then the low six bits of the code point.
constexpr unsigned lead(std::uint32_t cp) { return 0xC0 | cp >> 6; }
constexpr unsigned low(std::uint32_t cp) { return cp & 0x3F; }
constexpr unsigned first_lead = lead(russian_first), second_lead = lead(russian_last);
// The letters split across exactly two lead bytes: Ё and А..п under the first, р..я and ё
// under the second.
static_assert(second_lead == first_lead + 1 && lead(russian_yo_upper) == first_lead &&
                  lead(russian_yo_lower) == second_lead &&
                  low(russian_last) < low(russian_yo_lower),
              "the Russian run finder assumes this layout");
inline bool is_letter(unsigned lead_byte, unsigned next) {
    const unsigned c = next ^ 0x80;
    return lead_byte == first_lead
               ? c == low(russian_yo_upper) || (c >= low(russian_first) && c <= 0x3F)
           : lead_byte == second_lead ? c <= low(russian_last) || c == low(russian_yo_lower)
                                      : false;
}
}  // namespace russian_bytes

// End of the run of Russian letters (the two-byte characters of the RUWORD class) that starts
// at `q`, looking no further than `limit`; `q` is at a character boundary.
inline const std::uint8_t* russian_run_end(const std::uint8_t* q, const std::uint8_t* limit) {
    using namespace russian_bytes;
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
        const __m128i d0 = _mm_slli_si128(equal(v, first_lead), 1);
        const __m128i d1 = _mm_slli_si128(equal(v, second_lead), 1);
        const __m128i ok =
            _mm_or_si128(_mm_and_si128(d0, _mm_or_si128(equal(c, low(russian_yo_upper)),
                                                        between(c, low(russian_first), 0x3F))),
                         _mm_and_si128(d1, _mm_or_si128(between(c, 0x00, low(russian_last)),
                                                        equal(c, low(russian_yo_lower)))));
        // Bit 2k+1 is set when the character at offset 2k is a Russian letter.
        const unsigned letters = static_cast<unsigned>(_mm_movemask_epi8(ok)) & 0xAAAAu;
        if (letters != 0xAAAAu) return q + __builtin_ctz(~letters & 0xAAAAu) - 1;
        q += 16;
    }
#endif
    for (; limit - q >= 2; q += 2)
        if (!is_letter(q[0], q[1])) break;
    return q;
}

}  // namespace chopwise

// The x86-64 kernels. Each is compiled for its instruction set by a target attribute on its
// own function, so the rest of the library stays baseline x86-64 and runs on any CPU; the
// dispatcher calls a kernel only where the CPU has what it needs.
#include "kernels_x86.hpp"

#if CHOPWISE_X86_KERNELS
#include <immintrin.h>

#include "wide_scan.hpp"

namespace chopwise::wide {
namespace {

// Unsigned byte compares through the minimum: v in [0, hi] when min(v, hi) == v.
#define CHOPWISE_AT_MOST(min, eq, v, hi) eq(min(v, hi), v)

__attribute__((target("sse4.2,popcnt"))) std::uint64_t movemask16(__m128i m) {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(m));
}

__attribute__((target("sse4.2,popcnt"))) RawMasks raw_masks_sse42(const std::uint8_t* p) {
    RawMasks m{};
    const __m128i fold = _mm_set1_epi8(0x20), a = _mm_set1_epi8('a'), zero = _mm_set1_epi8('0');
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k + 1));
        const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, fold), a);
        const __m128i digit = _mm_sub_epi8(v, zero);
        // The next byte as a continuation byte's low six bits; other bytes land above 0x3F.
        const __m128i c = _mm_xor_si128(n, top);
        const __m128i after_d0 = _mm_or_si128(
            _mm_cmpeq_epi8(c, _mm_set1_epi8(0x01)),
            CHOPWISE_AT_MOST(_mm_min_epu8, _mm_cmpeq_epi8, _mm_sub_epi8(c, _mm_set1_epi8(0x10)),
                             _mm_set1_epi8(0x2F)));
        const __m128i after_d1 =
            _mm_or_si128(CHOPWISE_AT_MOST(_mm_min_epu8, _mm_cmpeq_epi8, c, _mm_set1_epi8(0x0F)),
                         _mm_cmpeq_epi8(c, _mm_set1_epi8(0x11)));
        const __m128i lead = _mm_or_si128(
            _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xD0))), after_d0),
            _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xD1))), after_d1));
        const int shift = 16 * k;
        m.ascii |= (~movemask16(v) & 0xFFFF) << shift;
        m.letter |=
            movemask16(CHOPWISE_AT_MOST(_mm_min_epu8, _mm_cmpeq_epi8, letter, _mm_set1_epi8(25)))
            << shift;
        m.digit |=
            movemask16(CHOPWISE_AT_MOST(_mm_min_epu8, _mm_cmpeq_epi8, digit, _mm_set1_epi8(9)))
            << shift;
        m.hyphen |= movemask16(_mm_cmpeq_epi8(v, _mm_set1_epi8('-'))) << shift;
        m.russian_lead |= movemask16(lead) << shift;
    }
    return m;
}

__attribute__((target("avx2,bmi,bmi2,popcnt"))) std::uint64_t movemask32(__m256i m) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(m));
}

__attribute__((target("avx2,bmi,bmi2,popcnt"))) RawMasks raw_masks_avx2(const std::uint8_t* p) {
    RawMasks m{};
    const __m256i fold = _mm256_set1_epi8(0x20), a = _mm256_set1_epi8('a');
    const __m256i zero = _mm256_set1_epi8('0'), top = _mm256_set1_epi8(static_cast<char>(0x80));
    for (int k = 0; k < 2; ++k) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k + 1));
        const __m256i letter = _mm256_sub_epi8(_mm256_or_si256(v, fold), a);
        const __m256i digit = _mm256_sub_epi8(v, zero);
        const __m256i c = _mm256_xor_si256(n, top);
        const __m256i after_d0 = _mm256_or_si256(
            _mm256_cmpeq_epi8(c, _mm256_set1_epi8(0x01)),
            CHOPWISE_AT_MOST(_mm256_min_epu8, _mm256_cmpeq_epi8,
                             _mm256_sub_epi8(c, _mm256_set1_epi8(0x10)), _mm256_set1_epi8(0x2F)));
        const __m256i after_d1 = _mm256_or_si256(
            CHOPWISE_AT_MOST(_mm256_min_epu8, _mm256_cmpeq_epi8, c, _mm256_set1_epi8(0x0F)),
            _mm256_cmpeq_epi8(c, _mm256_set1_epi8(0x11)));
        const __m256i lead = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xD0))),
                             after_d0),
            _mm256_and_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xD1))),
                             after_d1));
        const int shift = 32 * k;
        m.ascii |= (~movemask32(v) & 0xFFFFFFFFu) << shift;
        m.letter |= movemask32(CHOPWISE_AT_MOST(_mm256_min_epu8, _mm256_cmpeq_epi8, letter,
                                                _mm256_set1_epi8(25)))
                    << shift;
        m.digit |= movemask32(CHOPWISE_AT_MOST(_mm256_min_epu8, _mm256_cmpeq_epi8, digit,
                                               _mm256_set1_epi8(9)))
                   << shift;
        m.hyphen |= movemask32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('-'))) << shift;
        m.russian_lead |= movemask32(lead) << shift;
    }
    return m;
}

#undef CHOPWISE_AT_MOST

}  // namespace

__attribute__((target("sse4.2,popcnt"))) void classify_sse42(const std::uint8_t* p,
                                                             std::size_t blocks, BlockMasks* out) {
    BlockCarry carry;
    for (std::size_t i = 0; i < blocks; ++i)
        out[i] = combine_block(raw_masks_sse42(p + i * block_bytes), carry);
}

__attribute__((target("avx2,bmi,bmi2,popcnt"))) void classify_avx2(const std::uint8_t* p,
                                                                   std::size_t blocks,
                                                                   BlockMasks* out) {
    BlockCarry carry;
    for (std::size_t i = 0; i < blocks; ++i)
        out[i] = combine_block(raw_masks_avx2(p + i * block_bytes), carry);
}

#define CHOPWISE_SSE42 __attribute__((target("sse4.2,popcnt")))
#define CHOPWISE_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))

// The token loop under either settings, for one instruction set.
#define CHOPWISE_TAKE(name, target, keeps_short)                                    \
    target __attribute__((noinline)) detail::Stop name(                             \
        const std::uint8_t* p, BlockMasks* m, std::size_t blocks, BatchCursor& out, \
        PlainCount& plain, const std::uint8_t*& next) {                             \
        return detail::take_tokens<keeps_short>(p, m, blocks, out, plain, next);    \
    }
CHOPWISE_TAKE(take_short_sse42, CHOPWISE_SSE42, true)
CHOPWISE_TAKE(take_filtered_sse42, CHOPWISE_SSE42, false)
CHOPWISE_TAKE(take_short_avx2, CHOPWISE_AVX2, true)
CHOPWISE_TAKE(take_filtered_avx2, CHOPWISE_AVX2, false)
#undef CHOPWISE_TAKE

CHOPWISE_SSE42 const std::uint8_t* scan_sse42(const std::uint8_t* p, const std::uint8_t* end,
                                              const std::uint8_t* readable_end, BatchCursor& out,
                                              PlainCount& plain) {
    return scan_wide<classify_sse42, take_short_sse42, take_filtered_sse42>(p, end, readable_end,
                                                                            out, plain);
}

CHOPWISE_AVX2 const std::uint8_t* scan_avx2(const std::uint8_t* p, const std::uint8_t* end,
                                            const std::uint8_t* readable_end, BatchCursor& out,
                                            PlainCount& plain) {
    return scan_wide<classify_avx2, take_short_avx2, take_filtered_avx2>(p, end, readable_end, out,
                                                                         plain);
}

}  // namespace chopwise::wide

#endif

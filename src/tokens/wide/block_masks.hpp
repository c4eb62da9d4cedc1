#pragma once

// What a wide kernel computes from a stretch of text: for each 64-byte block, bit masks (bit k
// is byte k of the block) that say where tokens start and which bytes the kernel cannot take.
// Every kernel finds the same bytes of each kind; the rules that turn them into token starts
// are stated once, in `combine_block`.
//
// The bytes a kernel takes ("easy" bytes) are the ASCII bytes and the two bytes of each Russian
// letter in its two-byte form (Ё, А..я, ё). Everything else (other characters, longer forms,
// stray or missing continuation bytes) is hard: the scan leaves it to the character-at-a-time
// path.

#include <cstddef>
#include <cstdint>

namespace chopwise::wide {

inline constexpr std::size_t block_bytes = 64;

// Per block, what a kernel reads off its bytes. `russian_lead`: a lead byte 0xD0 or 0xD1 whose
// next byte (looked at even past the block) makes a Russian letter with it.
struct RawMasks {
    std::uint64_t ascii, letter, digit, hyphen, russian_lead;
};

// Per block, what the token finder uses. A start bit is set on the first byte of each token
// that the joiner would begin there, given that the stretch begins with a token.
struct BlockMasks {
    std::uint64_t start, hard, hyphen, continuation;
};

// The masks of the block before, for the bits that look back one or two bytes.
struct BlockCarry {
    std::uint64_t letter = 0, digit = 0, russian = 0, word = 0, hyphen = 0, russian_lead = 0;
};

namespace detail {
// `m` shifted one or two bytes later, its first bytes taken from the end of `before`.
inline std::uint64_t back1(std::uint64_t m, std::uint64_t before) { return m << 1 | before >> 63; }
inline std::uint64_t back2(std::uint64_t m, std::uint64_t before) { return m << 2 | before >> 62; }
}  // namespace detail

// A character continues the token before it when it extends a run of its own word type, when
// it is a hyphen right after a word, or when it is a word right after a hyphen that followed a
// word. Whatever else starts a character starts a token.
inline BlockMasks combine_block(const RawMasks& raw, BlockCarry& carry) {
    using detail::back1;
    using detail::back2;
    const std::uint64_t continuation = back1(raw.russian_lead, carry.russian_lead);
    const std::uint64_t russian = raw.russian_lead | continuation;
    const std::uint64_t word = raw.letter | raw.digit | russian;
    const std::uint64_t same_run = (raw.letter & back1(raw.letter, carry.letter)) |
                                   (raw.digit & back1(raw.digit, carry.digit)) |
                                   (russian & back1(russian, carry.russian));
    const std::uint64_t joined = same_run | (raw.hyphen & back1(word, carry.word)) |
                                 (word & back1(raw.hyphen, carry.hyphen) & back2(word, carry.word));
    BlockMasks out;
    out.start = (raw.ascii | raw.russian_lead) & ~joined;
    out.hard = ~(raw.ascii | russian);
    out.hyphen = raw.hyphen;
    out.continuation = continuation;
    carry = {raw.letter, raw.digit, russian, word, raw.hyphen, raw.russian_lead};
    return out;
}

// The byte-at-a-time reading of one block, the reference the wide kernels are tested against.
// `p` has one readable byte past the block.
inline RawMasks raw_masks_plain(const std::uint8_t* p) {
    RawMasks m{};
    for (std::size_t k = 0; k < block_bytes; ++k) {
        const std::uint8_t b = p[k], next = p[k + 1];
        const std::uint64_t bit = std::uint64_t{1} << k;
        const std::uint8_t folded = b | 0x20;
        if (b < 0x80) m.ascii |= bit;
        if (folded >= 'a' && folded <= 'z' && b < 0x80) m.letter |= bit;
        if (b >= '0' && b <= '9') m.digit |= bit;
        if (b == '-') m.hyphen |= bit;
        // Ё is D0 81, А..п D0 90..BF, р..я D1 80..8F, ё D1 91.
        if ((b == 0xD0 && (next == 0x81 || (next >= 0x90 && next <= 0xBF))) ||
            (b == 0xD1 && ((next >= 0x80 && next <= 0x8F) || next == 0x91)))
            m.russian_lead |= bit;
    }
    return m;
}

// Classifies `blocks` blocks from `p` (one readable byte past them) into `out`.
using ClassifyFn = void (*)(const std::uint8_t* p, std::size_t blocks, BlockMasks* out);

inline void classify_plain(const std::uint8_t* p, std::size_t blocks, BlockMasks* out) {
    BlockCarry carry;
    for (std::size_t i = 0; i < blocks; ++i)
        out[i] = combine_block(raw_masks_plain(p + i * block_bytes), carry);
}

}  // namespace chopwise::wide

#pragma once

// The wide stage of the window scan. It starts at a token boundary with nothing pending (no
// open piece, no queued piece, no character half read) and hands over whole tokens made only
// of easy bytes (block_masks.hpp): ASCII characters and two-byte Russian letters, each token
// finished by the start of the next one within the stretch. It stops, again at a token
// boundary with nothing pending, before the first token it cannot finish that way: one that
// runs into a hard byte or past the bytes it may read, one the joiner would cut at its limits
// (more than 128 characters; eight hyphens or more, which may mean more than 16 pieces, are
// left to the joiner too), or when the batch is full. It takes the same tokens as the byte
// path, in the same order, and keeps the same ones.

#include <array>
#include <cstddef>
#include <cstdint>

#include "../../charlayer/char_class.hpp"
#include "../token_buffer.hpp"
#include "block_masks.hpp"

namespace chopwise::wide {

// The stage is compiled into each kernel's own function, for that kernel's instruction set.
#define CHOPWISE_WIDE_INLINE inline __attribute__((always_inline))

inline constexpr std::size_t chunk_blocks = 16;
// Short tokens are copied in one fixed 32-byte move, so this much may be read past a token.
inline constexpr std::size_t read_past = 32;
// Eight hyphens in a group may make 17 pieces, one more than the joiner queues.
inline constexpr std::uint32_t most_hyphens = 7;

// Whether a token the stage can take may start with byte `b`.
inline bool may_start(std::uint8_t b) { return b < 0x80 || (b & 0xFE) == 0xD0; }

namespace detail {

// The type of the token an easy byte starts.
inline const std::array<TokenType, 256>& lead_types() {
    static const std::array<TokenType, 256> types = [] {
        std::array<TokenType, 256> t{};
        const LowClasses& low = low_classes();
        for (std::uint32_t b = 0; b < 0x80; ++b) t[b] = class_types[low.byte_class[b]];
        t[0xD0] = t[0xD1] = TokenType::RUWORD;
        return t;
    }();
    return types;
}

CHOPWISE_WIDE_INLINE std::uint32_t ones(std::uint64_t m) {
    return static_cast<std::uint32_t>(__builtin_popcountll(m));
}

// Set bits of one mask field over the bytes [a, b) of a stretch.
template <std::uint64_t BlockMasks::* Field>
CHOPWISE_WIDE_INLINE std::uint32_t count_between(const BlockMasks* m, std::size_t a,
                                                 std::size_t b) {
    const std::size_t wa = a / block_bytes, wb = b / block_bytes;
    const std::uint64_t from = ~std::uint64_t{0} << (a % block_bytes);
    const std::uint64_t below = (std::uint64_t{1} << (b % block_bytes)) - 1;
    if (wa == wb) return ones(m[wa].*Field & from & below);
    std::uint32_t n = ones(m[wa].*Field & from);
    for (std::size_t w = wa + 1; w < wb; ++w) n += ones(m[w].*Field);
    if (below != 0) n += ones(m[wb].*Field & below);
    return n;
}

enum class Stop { stretch_end, other };

// Hands over the tokens of one classified stretch at `p`; `next` gets where it stopped.
// `KeepsShort`: every token of at most 32 bytes is kept (so its length need not be counted).
template <bool KeepsShort, class Out>
CHOPWISE_WIDE_INLINE Stop take_tokens(const std::uint8_t* p, BlockMasks* m, std::size_t blocks,
                                      Out& out, const std::uint8_t*& next) {
    const std::array<TokenType, 256>& types = lead_types();
    // Nothing at or past the first hard byte is taken.
    Stop at_end = Stop::stretch_end;
    for (std::size_t i = 0; i < blocks; ++i) {
        if (m[i].hard != 0) {
            m[i].start &= (std::uint64_t{1} << __builtin_ctzll(m[i].hard)) - 1;
            blocks = i + 1;
            at_end = Stop::other;
            break;
        }
    }
    next = p;
    if ((m[0].start & 1) == 0) return Stop::other;
    std::size_t a = 0, w = 0;
    std::uint64_t bits = m[0].start & ~std::uint64_t{1};
    // A token of at most 32 bytes ends in this block and starts in it or the one before; if
    // those hold more than `most_hyphens` hyphens, its hyphens are counted.
    bool crowded = ones(m[0].hyphen) > most_hyphens;
    for (;;) {
        while (bits == 0) {
            if (++w == blocks) {
                next = p + a;
                return at_end;
            }
            bits = m[w].start;
            crowded = ones(m[w - 1].hyphen) + ones(m[w].hyphen) > most_hyphens;
        }
        const std::size_t b = w * block_bytes + static_cast<std::size_t>(__builtin_ctzll(bits));
        bits &= bits - 1;
        const std::uint8_t* const s = p + a;
        const std::size_t length = b - a;
        const TokenType type = types[*s];
        if (!KeepsShort || (length > 32) | ((length > 16) & crowded)) {
            const std::uint32_t chars = static_cast<std::uint32_t>(length) -
                                        count_between<&BlockMasks::continuation>(m, a, b);
            if (chars > TokenBuffer::capacity ||
                (length > 16 && count_between<&BlockMasks::hyphen>(m, a, b) > most_hyphens)) {
                next = s;
                return Stop::other;
            }
            if (!out.keeps(chars, type)) {
                a = b;
                continue;
            }
        }
        if (length <= 32)
            out.append_short(s, length, type);
        else
            out.append(s, length, length, type);
        a = b;
        if (!out.has_room()) {
            next = p + a;
            return Stop::other;
        }
    }
}

}  // namespace detail

// Runs the stage from `p` with the kernel `Classify`, taking no byte at or past `end` and
// reading none at or past `readable_end` (at least `end`). Returns where it stopped.
template <ClassifyFn Classify, class Out>
CHOPWISE_WIDE_INLINE const std::uint8_t* scan_wide(const std::uint8_t* p, const std::uint8_t* end,
                                                   const std::uint8_t* readable_end, Out& batch) {
    BlockMasks m[chunk_blocks];
    // The cursor in a local: the text stores may alias anything reached through a reference.
    Out out = batch;
    const bool keeps_short = out.keeps_every_short_token();
    // A stretch grows from one block while it finds no hard byte, so text where hard bytes
    // are frequent classifies little that it cannot take.
    for (std::size_t most = 1;; most = most < chunk_blocks ? 2 * most : chunk_blocks) {
        // Whole blocks, with the one byte after them that a kernel looks at and the bytes a
        // token's fixed-size copy reads.
        const std::size_t readable = static_cast<std::size_t>(readable_end - p);
        if (readable < read_past + block_bytes + 1) break;
        std::size_t room = readable - read_past;
        if (static_cast<std::size_t>(end - p) < room) room = static_cast<std::size_t>(end - p);
        if (room < block_bytes + 1) break;
        std::size_t blocks = (room - 1) / block_bytes;
        if (blocks > most) blocks = most;
        Classify(p, blocks, m);
        const std::uint8_t* next;
        const detail::Stop stop = keeps_short ? detail::take_tokens<true>(p, m, blocks, out, next)
                                              : detail::take_tokens<false>(p, m, blocks, out, next);
        const bool again = stop == detail::Stop::stretch_end && next != p;
        p = next;
        if (!again) break;
    }
    batch = out;
    return p;
}

// A kernel's whole stage, as the window scan calls it.
template <class Out>
using ScanFn = const std::uint8_t* (*)(const std::uint8_t* p, const std::uint8_t* end,
                                       const std::uint8_t* readable_end, Out& out);

}  // namespace chopwise::wide

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
#include "../../tokenizers/batch.hpp"
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

// The type bits of the token an easy byte starts.
inline constexpr std::array<std::uint64_t, 256> lead_types = [] {
    std::array<std::uint64_t, 256> t{};
    for (std::uint32_t b = 0; b < 0x80; ++b) t[b] = type_bits(TokenType::UNKNWN);
    for (const ClassRange& r : class_ranges)
        for (std::uint32_t c = r.first; c <= r.last && c < 0x80; ++c) t[c] = type_bits(r.type);
    t[0xD0] = t[0xD1] = type_bits(TokenType::RUWORD);
    return t;
}();

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

}  // namespace detail

// The tokens the stage appended and their continuation bytes (Batch::note_plain).
struct PlainCount {
    std::uint32_t tokens = 0;
    std::size_t continuations = 0;
};

namespace detail {

// Hands over the tokens of one classified stretch at `p`; `next` gets where it stopped.
// `KeepsShort`: every token of at most 32 bytes is kept (so its length need not be counted).
template <bool KeepsShort, class Out>
CHOPWISE_WIDE_INLINE Stop take_tokens(const std::uint8_t* p, BlockMasks* m, std::size_t blocks,
                                      Out& out, PlainCount& plain, const std::uint8_t*& next) {
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
    const std::uint8_t* s = p;     // the token being finished
    const std::uint8_t* base = p;  // the block whose starts `bits` holds
    const BlockMasks* mw = m;
    const BlockMasks* const m_end = m + blocks;
    std::uint64_t bits = m[0].start & ~std::uint64_t{1};
    // A token of at most 32 bytes ends in this block and starts in it or the one before; if
    // those hold more than `most_hyphens` hyphens, tokens past 16 bytes have theirs counted.
    std::size_t plain_length = ones(m[0].hyphen) > most_hyphens ? 16 : 32;
    char* text = out.text_at();
    std::uint64_t* type_at = out.types_at();
    const std::uint64_t* const first_type = type_at;
    std::size_t dropped_continuations = 0;  // of tokens the settings drop
    std::uint64_t* const types_end = out.types_end();
    Stop why = Stop::other;
    for (;;) {
        const std::uint8_t* e;
        std::size_t length;
        // The usual tokens, in a loop of their own so that they get the registers.
        for (;;) {
            while (bits == 0) {
                if (++mw == m_end) {
                    why = at_end;
                    goto done;
                }
                base += block_bytes;
                bits = mw->start;
                plain_length = ones(mw[-1].hyphen) + ones(mw->hyphen) > most_hyphens ? 16 : 32;
            }
            e = base + __builtin_ctzll(bits);
            bits &= bits - 1;
            length = static_cast<std::size_t>(e - s);
            if (__builtin_expect(!KeepsShort || length > plain_length, 0)) break;
            Out::append_short(text, type_at, s, length, lead_types[*s]);
            s = e;
            if (type_at == types_end) goto done;
        }
        // A longer token, or any under other settings: its characters and hyphens counted.
        const TokenType type = static_cast<TokenType>(lead_types[*s]);
        const std::size_t a = static_cast<std::size_t>(s - p), b = a + length;
        const std::uint32_t chars =
            static_cast<std::uint32_t>(length) - count_between<&BlockMasks::continuation>(m, a, b);
        if (chars > TokenBuffer::capacity ||
            (length > 16 && count_between<&BlockMasks::hyphen>(m, a, b) > most_hyphens))
            goto done;
        if (!out.keeps(chars, type)) {
            dropped_continuations += length - chars;
        } else {
            if (length <= 32) {
                Out::append_short(text, type_at, s, length, type_bits(type));
            } else {
                out.resume(text, type_at);
                out.append(s, length, length, type);
                text = out.text_at();
                type_at = out.types_at();
            }
        }
        s = e;
        if (type_at == types_end) goto done;
    }
done:
    out.resume(text, type_at);
    if (s != p) {
        plain.tokens += static_cast<std::uint32_t>(type_at - first_type);
        plain.continuations +=
            count_between<&BlockMasks::continuation>(m, 0, static_cast<std::size_t>(s - p)) -
            dropped_continuations;
    }
    next = s;
    return why;
}

}  // namespace detail

template <class Out>
using TakeFn = detail::Stop (*)(const std::uint8_t* p, BlockMasks* m, std::size_t blocks, Out& out,
                                PlainCount& plain, const std::uint8_t*& next);

// Runs the stage from `p` with the kernel `Classify`, taking no byte at or past `end` and
// reading none at or past `readable_end` (at least `end`); `plain` counts what it appended.
// Returns where it stopped. `TakeShort` and `TakeFiltered` are take_tokens<true> and <false>,
// each compiled apart for the kernel's instruction set: in a function of its own the token
// loop keeps its position in registers.
template <ClassifyFn Classify, TakeFn<BatchCursor> TakeShort, TakeFn<BatchCursor> TakeFiltered,
          class Out>
CHOPWISE_WIDE_INLINE const std::uint8_t* scan_wide(const std::uint8_t* p, const std::uint8_t* end,
                                                   const std::uint8_t* readable_end, Out& out,
                                                   PlainCount& plain) {
    BlockMasks m[chunk_blocks];
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
        const detail::Stop stop = keeps_short ? TakeShort(p, m, blocks, out, plain, next)
                                              : TakeFiltered(p, m, blocks, out, plain, next);
        const bool again = stop == detail::Stop::stretch_end && next != p;
        p = next;
        if (!again) break;
    }
    return p;
}

// A kernel's whole stage, as the window scan calls it.
template <class Out>
using ScanFn = const std::uint8_t* (*)(const std::uint8_t* p, const std::uint8_t* end,
                                       const std::uint8_t* readable_end, Out& out,
                                       PlainCount& plain);

}  // namespace chopwise::wide

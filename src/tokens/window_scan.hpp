// The window scan: the reading frame's fast path over the bytes an input source already holds
// in memory (its window, input_source.hpp), beside the byte-at-a-time path of decoder, grouper
// and joiner, which stays the reference.
//
// It starts from rest and leaves the state at rest: no character half read, no open piece, and
// the joiner holding no word group (nothing queued, or one one-character piece that is not a
// word). From there it takes whole groups straight from the window: well-formed characters,
// each word group with the hyphens and words the joiner would join to it, up to the character
// that ends it, appending kept tokens to the batch while it has room. Whatever it cannot decide
// from the window alone it leaves to the byte path: malformed bytes, a group that reaches the
// window's end, two word types side by side, a group the joiner would cut short at its limits.
// For any bytes, windows, batch sizes and settings it hands over the same tokens in the same
// calls as the byte path (tests/native/test_window_scan.cpp and the fuzz target hold it to that).
// Where the CPU has a wide kernel (wide/kernels.hpp), its stage takes the plain stretches of
// ASCII and Russian letters many bytes at a time before each token this loop takes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../charlayer/char_class.hpp"
#include "../charlayer/utf8.hpp"
#include "../tokenizers/batch.hpp"
#include "joiner.hpp"
#include "wide/kernels.hpp"
#include "word_runs.hpp"

namespace chopwise {

// Whether the scan may start: the state it starts from and leaves behind.
inline bool scan_at_rest(const TokenBuildState& build) {
    const Utf8Char& c = build.grouper.current_char;
    return build.grouper.open_piece.empty() && c.received >= c.length && !holds_word_group(build);
}

namespace window_scan_detail {

// End of the run of characters of word class `cls` that starts with the `len`-byte character
// at `p`, at most `max_chars` (at least 1) characters long; `n` gets its length.
template <class ClassOf>
const std::uint8_t* word_run_end(const std::uint8_t* p, std::uint32_t len, std::uint32_t cls,
                                 const std::uint8_t* end, std::uint32_t max_chars, std::uint32_t& n,
                                 ClassOf class_of) {
    const std::uint8_t* q = p + len;
    if (len == 1) {
        // One byte per character: the character limit is a byte limit.
        const std::uint8_t* const limit = end - p > max_chars ? p + max_chars : end;
        q = ascii_run_end(q, limit, class_types[cls] == TokenType::ENWORD);
        n = static_cast<std::uint32_t>(q - p);
    } else if (class_types[cls] == TokenType::RUWORD) {
        const std::uint8_t* const limit = end - p > 2 * max_chars ? p + 2 * max_chars : end;
        q = russian_run_end(q, limit);
        // The first letter may be a longer (overlong) form; the rest are two bytes each.
        n = 1 + static_cast<std::uint32_t>(q - p - len) / 2;
    } else {
        n = 1;
        std::uint32_t qlen, cp;
        while (q < end && n < max_chars && (qlen = decode_sequence(q, end, cp)) != 0 &&
               class_of(cp) == cls)
            q += qlen, ++n;
    }
    return q;
}

// The one-character piece that waits to be finished during the scan: either the joiner's
// queued piece or a character of the window.
struct PendingChar {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    TokenType type = TokenType::NOTTKN;
    bool in_queue = false;
};

}  // namespace window_scan_detail

// Scans at most `max_bytes` of `input`'s window from rest (scan_at_rest) and returns how many
// bytes it took; the input is advanced past them. With `Wide`, the wide stage `wide_scan` (a
// kernel's, wide/kernels.hpp) runs before each token; without it this is the plain path, which
// thus pays nothing for the stage. The caller picks the kernel once for many calls.
template <bool Wide, class Input>
std::size_t scan_window(wide::ScanFn<BatchCursor> wide_scan, Input& input, TokenBuildState& build,
                        Batch& batch, const CharClassTable& table, std::size_t max_bytes) {
    using namespace window_scan_detail;
    const std::uint8_t* p = input.window_begin();
    const std::uint8_t* const window_end = input.window_end();
    const std::uint8_t* const end =
        static_cast<std::size_t>(window_end - p) > max_bytes ? p + max_bytes : window_end;
    if (p == end) return 0;
    const std::uint8_t* const start = p;
    const LowClasses& low = low_classes();
    auto class_of = [&](std::uint32_t cp) {
        return cp < 0x800 ? low.low_class[cp] : class_index(table, cp);
    };
    // Length and class of the character at `c`; false where it is not well-formed.
    auto classify = [&](const std::uint8_t* c, std::uint32_t& length, std::uint32_t& cls) {
        if (*c < 0x80) {
            length = 1;
            cls = low.byte_class[*c];
            return true;
        }
        std::uint32_t cp;
        length = decode_sequence(c, end, cp);
        if (length == 0) return false;
        cls = class_of(cp);
        return true;
    };
    BatchCursor out(batch);
    PendingChar x;
    if (const TokenBuffer* piece = queued_piece(build))
        x = {piece->bytes, piece->byte_count, piece->token_type, true};
    auto offer_pending = [&] {
        if (out.keeps(1, x.type))
            out.append(x.bytes, x.length,
                       x.in_queue ? x.length : static_cast<std::size_t>(end - x.bytes), x.type);
        if (x.in_queue) clear_queue(build);
        x.bytes = nullptr;
    };
    // The wide stage starts and stops with nothing pending.
    wide::PlainCount plain;
    std::uint32_t len, cls;
    while (p < end && out.has_room()) {
        if (Wide && wide::may_start(*p)) {
            if (x.bytes) {
                offer_pending();
                if (!out.has_room()) break;
            }
            p = wide_scan(p, end, window_end, out, plain);
            if (p == end || !out.has_room()) break;
        }
        if (!classify(p, len, cls)) break;
        if (!is_word_class(cls)) {
            if (x.bytes) offer_pending();
            x = {p, len, class_types[cls], false};
            p += len;
            continue;
        }
        // A word group: its first word, then each piece the joiner would join to it.
        const TokenType t = class_types[cls];
        std::uint32_t n, pieces = 1;
        const std::uint8_t* q = word_run_end(p, len, cls, end, TokenBuffer::capacity, n, class_of);
        bool after_word = true;
        std::uint32_t dlen, dcls;  // the character after the group
        for (;;) {
            // A null `q`: the group's end is not in sight, or the joiner would cut it short.
            if (q == end || !classify(q, dlen, dcls)) {
                q = nullptr;
                break;
            }
            const TokenType next = class_types[dcls];
            if (!joins_after(after_word, next, is_hyphen(next, *q))) break;
            const std::uint32_t room = room_for_piece(pieces, n);
            if (room == 0) {
                q = nullptr;
                break;
            }
            std::uint32_t piece_chars = 1;
            q = after_word ? q + dlen
                           : word_run_end(q, dlen, dcls, end, room, piece_chars, class_of);
            n += piece_chars;
            ++pieces;
            after_word = !after_word;
        }
        // A word right after the group is another word type or the rest of a run cut at a
        // limit: the grouper and joiner decide where that one starts.
        if (q == nullptr || is_word_class(dcls)) break;
        if (x.bytes) {
            offer_pending();
            if (!out.has_room()) break;
        }
        if (out.keeps(n, t))
            out.append(p, static_cast<std::size_t>(q - p), static_cast<std::size_t>(end - p), t);
        x = {q, dlen, class_types[dcls], false};
        p = q + dlen;
    }
    out.store(batch);
    if (Wide) batch.note_plain(plain.tokens, plain.continuations);
    if (x.bytes && !x.in_queue) queue_char(build, x.bytes, x.length, x.type);
    // The decoder's record is left as it is: complete or over-full, so no continuation byte
    // that follows can complete a character, exactly as after the scanned bytes.
    input.advance_to(p);
    return static_cast<std::size_t>(p - start);
}

}  // namespace chopwise

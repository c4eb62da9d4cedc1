#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "../charlayer/ascii_runs.hpp"
#include "../charlayer/utf8.hpp"
#include "../tokens/build_state_pool.hpp"
#include "../tokens/joiner.hpp"
#include "../tokens/wide/kernels.hpp"
#include "batch.hpp"
#include "input_source.hpp"

namespace chopwise {

// The state and the reading frame both tokenizers share; the input source (input_source.hpp)
// is the only difference between them.
template <class Input>
class TokenizerCore {
    static_assert(is_input_source<Input>::value, "Input must be an input source");

public:
    // Input taken between two polls for signals during one call: a few hundred polls a second
    // at full speed, so a long call answers Ctrl-C at once and the polls cost nothing.
    static constexpr std::size_t poll_interval = std::size_t{256} << 10;

    template <class Arg>
    TokenizerCore(std::in_place_t, Arg&& input_arg)
        : input(std::forward<Arg>(input_arg)), batch(input.size_bound()) {}
    TokenizerCore(const TokenizerCore&) = delete;
    TokenizerCore& operator=(const TokenizerCore&) = delete;

    // Fills the batch with the next tokens. Stops at a character boundary when the batch is
    // full; the end-of-input step is carried over to later calls while the batch has no room.
    // `poll()` runs between two bytes, after every `poll_interval` bytes of input and after a
    // read that a signal interrupted. It may throw: the call then ends with its batch lost,
    // and the next call goes on from the next unread byte.
    template <class Poll>
    void fill_batch(Poll&& poll) {
        batch.reset();
        const CharClassTable& table = char_class_table();
        std::size_t unpolled = 0;  // bytes taken since the last poll
        while (batch.has_room()) {
            if (unpolled >= poll_interval) {
                poll();
                unpolled = 0;
            }
            if (window_scan_enabled && at_rest()) {
                unpolled += scan_window(table, poll_interval - unpolled);
                if (!batch.has_room()) break;
            }
            const int b = input.next_byte();
            ++unpolled;
            if (b >= 0) {
                if (decode_byte(build.grouper.current_char, static_cast<std::uint8_t>(b))) {
                    process_char(table);
                    close_single_char_piece();
                }
            } else if (b == interrupted_read) {
                unpolled = poll_interval;
            } else if (!flush_step()) {
                break;
            }
        }
    }
    void fill_batch() {
        fill_batch([] {});
    }

private:
    BuildStateLease lease;  // zero when taken: a reused state was cleared when its tokenizer died

public:
    TokenBuildState& build = lease.state;
    Input input;
    Batch batch;
    // Off only in tests that compare the window scan with the byte-at-a-time path.
    bool window_scan_enabled = true;

private:
    void process_char(const CharClassTable& table) {
        if (group_char(build.grouper, table) && join_piece(build)) offer_token();
    }

    void offer_token() {
        const TokenBuffer& t = build.token;
        BatchCursor out(batch);
        if (!out.keeps(t.char_count, t.token_type)) return;
        out.append(t);
        out.store(batch);
    }

    // The end of input, one join at a time so that each step finds room for its token:
    // first the last open piece, then the empty piece that finishes the last group.
    bool flush_step() {
        if (end_steps_done == 2) return false;
        ++end_steps_done;
        close_open_piece();
        return true;
    }

    // Hands the open piece (empty at the second end step) to the joiner.
    void close_open_piece() {
        GrouperState& g = build.grouper;
        g.completed_piece.copy_from(g.open_piece);
        g.open_piece.clear();
        if (join_piece(build)) offer_token();
    }

    // A one-character piece is closed by whatever character comes next, and what the joiner
    // does with it depends only on the queue, so it may be closed as soon as it is complete.
    // Doing so while the batch has room hands over the same tokens in the same calls.
    void close_single_char_piece() {
        const TokenBuffer& open = build.grouper.open_piece;
        if (open.char_count != 1 || is_word_type(open.token_type) || !batch.has_room()) return;
        close_open_piece();
    }

    // No open piece, at most one queued one-character piece, and no character half read:
    // the state the window scan starts from and leaves behind.
    bool at_rest() const {
        const Utf8Char& c = build.grouper.current_char;
        return build.grouper.open_piece.empty() && c.received >= c.length &&
               (build.queue_len == 0 || !is_word_type(build.queue_type));
    }

    // The one-character piece that waits in the queue during the window scan: either the
    // queued record itself or a character of the window.
    struct PendingChar {
        const std::uint8_t* bytes = nullptr;
        std::uint32_t length = 0;
        TokenType type = TokenType::NOTTKN;
        bool in_queue = false;
    };

    // The fast path. It starts only at rest (no open piece, no character half read, nothing
    // or one non-word one-character piece queued) and takes whole groups straight from the
    // window: well-formed characters, each word group with the hyphens and words the joiner
    // would join to it, up to a character that ends it. It leaves to the byte path, at rest,
    // whatever it cannot decide from the window alone: malformed bytes, a group that reaches
    // the window's end, two word types side by side, and a group the joiner would cut short
    // at its limits. It must hand over the same tokens in the same calls as the byte path.
    // Reads at most `max_bytes` and returns how many it read.
    std::size_t scan_window(const CharClassTable& table, std::size_t max_bytes) {
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
        if (build.queue_len == 1) {
            const TokenBuffer& piece = build.piece_queue[0];
            x = {piece.chars[0].bytes, piece.chars[0].length, piece.token_type, true};
        }
        auto offer_pending = [&] {
            if (out.keeps(1, x.type))
                out.append(x.bytes, x.length,
                           x.in_queue ? x.length : static_cast<std::size_t>(end - x.bytes), x.type);
            if (x.in_queue) clear_queue();
            x.bytes = nullptr;
        };
        // The wide stage, where there is one, takes what it can before each token this loop
        // takes; it starts and stops with nothing pending.
        const wide::ScanFn<BatchCursor> wide_scan = wide::active_kernel().scan;
        std::uint32_t len, cls;
        while (p < end && out.has_room()) {
            if (wide_scan != nullptr && wide::may_start(*p)) {
                if (x.bytes) {
                    offer_pending();
                    if (!out.has_room()) break;
                }
                p = wide_scan(p, end, window_end, out);
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
            const std::uint8_t* q =
                word_run_end(p, len, cls, end, TokenBuffer::capacity, n, class_of);
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
            // A word right after the group is another word type or the rest of a run cut at
            // a limit: the grouper and joiner decide where that one starts.
            if (q == nullptr || is_word_class(dcls)) break;
            if (x.bytes) {
                offer_pending();
                if (!out.has_room()) break;
            }
            if (out.keeps(n, t))
                out.append(p, static_cast<std::size_t>(q - p), static_cast<std::size_t>(end - p),
                           t);
            x = {q, dlen, class_types[dcls], false};
            p = q + dlen;
        }
        out.store(batch);
        if (x.bytes && !x.in_queue) queue_char(x);
        // The decoder's record is left as it is: complete or over-full, so no continuation byte
        // that follows can complete a character, exactly as after the scanned bytes.
        input.advance_to(p);
        return static_cast<std::size_t>(p - start);
    }

    // End of the run of characters of word class `cls` that starts with the `len`-byte
    // character at `p`, at most `max_chars` (at least 1) characters long; `n` gets its length.
    template <class ClassOf>
    static const std::uint8_t* word_run_end(const std::uint8_t* p, std::uint32_t len,
                                            std::uint32_t cls, const std::uint8_t* end,
                                            std::uint32_t max_chars, std::uint32_t& n,
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

    void clear_queue() {
        build.piece_queue[0].clear();
        build.queue_len = 0;
        build.queue_type = TokenType::NOTTKN;
    }

    void queue_char(const PendingChar& x) {
        TokenBuffer& piece = build.piece_queue[0];
        piece.append(whole_char(x.bytes, x.length));
        piece.token_type = x.type;
        build.queue_len = 1;
        build.queue_type = x.type;
    }

    std::uint8_t end_steps_done = 0;
};

}  // namespace chopwise

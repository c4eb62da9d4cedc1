#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "../charlayer/utf8.hpp"
#include "../tokens/joiner.hpp"
#include "../tokens/window_scan.hpp"
#include "batch.hpp"
#include "input_source.hpp"

namespace chopwise {

// The checks and the core bench turn the window scan off through this, to hold it to the
// byte-at-a-time path (tests/native/core_hooks.hpp).
struct CoreTestHooks;

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
        // The kernel is chosen once a batch, so that each loop is compiled with one scan in it.
        if (const wide::ScanFn<BatchCursor> wide_scan = wide::active_kernel().scan)
            fill_batch_with<true>(poll, wide_scan);
        else
            fill_batch_with<false>(poll, nullptr);
    }
    void fill_batch() {
        fill_batch([] {});
    }

    // Starts over on the new input its source now holds, with settings and buffers kept: the
    // cheap way to tokenize many short texts with one core.
    void restart() {
        build.token.clear();
        clear_queue(build);
        build.grouper.completed_piece.clear();
        build.grouper.open_piece.clear();
        build.grouper.current_char = Utf8Char{};
        end_steps_done = 0;
    }

    TokenBuildState build{};
    Input input;
    Batch batch;

private:
    friend struct CoreTestHooks;

    // Out of line, so each loop's code is the same wherever it is called from (inlined into
    // its callers together, the two loops cost the byte path up to 15% more instructions), and
    // with everything it calls inlined, which takes the plain scan 13-17% fewer instructions.
    template <bool Wide, class Poll>
    [[gnu::noinline, gnu::flatten]] void fill_batch_with(Poll& poll,
                                                         wide::ScanFn<BatchCursor> wide_scan) {
        batch.reset();
        const CharClassTable& table = char_class_table();
        std::size_t unpolled = 0;  // bytes taken since the last poll
        while (batch.has_room()) {
            if (unpolled >= poll_interval) {
                poll();
                unpolled = 0;
            }
            if (!window_scan_off && scan_at_rest(build)) {
                unpolled += scan_window<Wide>(wide_scan, input, build, batch, table,
                                              poll_interval - unpolled);
                if (!batch.has_room()) break;
            }
            const int b = input.next_byte();
            ++unpolled;
            if (b >= 0)
                take_byte(static_cast<std::uint8_t>(b), table);
            else if (b == interrupted_read)
                unpolled = poll_interval;
            else if (b == input_paused)
                break;
            else if (!flush_step())
                break;
        }
    }

    // The byte-at-a-time path: decoder, grouper, joiner, batch.
    void take_byte(std::uint8_t b, const CharClassTable& table) {
        if (!decode_byte(build.grouper.current_char, b)) return;
        if (group_char(build.grouper, table) && join_piece(build)) offer_token();
        close_single_char_piece();
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
    // does with it depends only on the queue, so it may be closed as soon as it is complete:
    // while the batch has room that hands over the same tokens in the same calls. It brings
    // the state to rest after every space or mark, so the window scan starts again there, and
    // it is no cost to the byte path: without it the path ran 8% more instructions.
    void close_single_char_piece() {
        const TokenBuffer& open = build.grouper.open_piece;
        if (open.char_count != 1 || is_word_type(open.token_type) || !batch.has_room()) return;
        close_open_piece();
    }

    std::uint8_t end_steps_done = 0;
    bool window_scan_off = false;
};

}  // namespace chopwise

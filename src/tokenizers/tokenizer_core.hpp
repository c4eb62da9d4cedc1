#pragma once

#include <cstdint>
#include <utility>

#include "../tokens/joiner.hpp"
#include "batch.hpp"

namespace chopwise {

// The state and the reading frame both tokenizers share; `Input` is the only difference
// between them. `Input::next_byte()` returns the next byte, or -1 once the input has ended
// (and on every call after that).
template <class Input>
class TokenizerCore {
   public:
    template <class Arg>
    TokenizerCore(std::in_place_t, Arg&& input_arg) : input(std::forward<Arg>(input_arg)) {}
    TokenizerCore(const TokenizerCore&) = delete;
    TokenizerCore& operator=(const TokenizerCore&) = delete;

    // Fills the batch with the next tokens. Stops at a character boundary when the batch is
    // full; the end-of-input step is carried over to later calls while the batch has no room.
    void fill_batch() {
        batch.reset();
        const CharClassTable& table = char_class_table();
        while (batch.has_room()) {
            const int b = input.next_byte();
            if (b < 0) {
                if (!flush_step()) break;
            } else if (decode_byte(build.grouper.current_char, static_cast<std::uint8_t>(b))) {
                process_char(table);
            }
        }
    }

    TokenBuildState build{};
    Input input;
    Batch batch;

   private:
    void process_char(const CharClassTable& table) {
        if (group_char(build.grouper, table) && join_piece(build)) offer_token();
    }

    void offer_token() {
        if (batch.keeps(build.token)) batch.append(build.token);
    }

    // The end of input, one join at a time so that each step finds room for its token:
    // first the last open piece, then the empty piece that finishes the last group.
    bool flush_step() {
        if (end_steps_done == 2) return false;
        GrouperState& g = build.grouper;
        g.completed_piece.copy_from(g.open_piece);
        g.open_piece.clear();
        ++end_steps_done;
        if (join_piece(build)) offer_token();
        return true;
    }

    std::uint8_t end_steps_done = 0;
};

}  // namespace chopwise

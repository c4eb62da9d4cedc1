// What the checks and the core bench may do to a tokenizing core that its users may not.
#pragma once

#include "tokenizers/tokenizer_core.hpp"

namespace chopwise {

struct CoreTestHooks {
    // Every byte then goes through the byte-at-a-time path, the reference the scan is held to.
    template <class Input>
    static void turn_window_scan_off(TokenizerCore<Input>& core) {
        core.window_scan_off = true;
    }
};

}  // namespace chopwise

#pragma once

#include "joiner.hpp"

namespace chopwise {

// Token-building states are 37 KB, and zero-filling a fresh one costs a short text more than
// tokenizing it. A released state is cleared in its used slots only, which leaves it all zero
// (slots past each count are always zero), and is kept for the next tokenizer of the thread.

// A zeroed state, reused or new; throws std::bad_alloc when none can be had.
TokenBuildState& take_build_state();

// Clears `s`'s used slots and keeps it for reuse, or frees it when enough are kept.
void give_back_build_state(TokenBuildState& s) noexcept;

// A state taken for as long as this object lives.
class BuildStateLease {
public:
    BuildStateLease() : state(take_build_state()) {}
    ~BuildStateLease() { give_back_build_state(state); }
    BuildStateLease(const BuildStateLease&) = delete;
    BuildStateLease& operator=(const BuildStateLease&) = delete;

    TokenBuildState& state;
};

// Clears the used slots of every record of `s`, leaving the whole state zero.
void clear_build_state(TokenBuildState& s) noexcept;

}  // namespace chopwise

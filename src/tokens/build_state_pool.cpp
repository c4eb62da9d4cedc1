#include "build_state_pool.hpp"

#include <cstddef>

namespace chopwise {

namespace {

// A few states cover any pattern of short-lived tokenizers; more would only hold memory.
constexpr std::size_t kept_most = 8;

struct KeptStates {
    TokenBuildState* states[kept_most];
    std::size_t count = 0;

    ~KeptStates() {
        while (count > 0) delete states[--count];
    }
};

// Per thread, so the pool needs no lock whoever calls the core.
thread_local KeptStates kept;

}  // namespace

TokenBuildState& take_build_state() {
    if (kept.count > 0) return *kept.states[--kept.count];
    return *new TokenBuildState{};
}

void give_back_build_state(TokenBuildState& s) noexcept {
    clear_build_state(s);
    if (kept.count < kept_most)
        kept.states[kept.count++] = &s;
    else
        delete &s;
}

void clear_build_state(TokenBuildState& s) noexcept {
    s.token.clear();
    clear_queue(s);
    s.grouper.completed_piece.clear();
    s.grouper.open_piece.clear();
    s.grouper.current_char = Utf8Char{};
}

}  // namespace chopwise

// The native checks' one harness. CHECK and fail() count a failure and go on, so one run
// shows every failing case; report() ends main. require() aborts at once, for the fuzz target,
// whose engine treats an abort as a finding.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace native_check {

inline int failures = 0;

// Counts a failure; prints the first few, as printf would.
inline void fail(const char* format, ...) {
    if (++failures > 20) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

inline int report() {
    std::printf("%s: %d failures\n", failures ? "FAILED" : "ok", failures);
    return failures == 0 ? 0 : 1;
}

inline void require(bool ok, const char* what, std::size_t at = 0) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s (at %zu)\n", what, at);
    std::abort();
}

}  // namespace native_check

#define CHECK(cond) \
    ((cond) ? void() : native_check::fail("%s:%d: CHECK failed: %s", __FILE__, __LINE__, #cond))

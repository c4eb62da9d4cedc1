#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace chopwise {

// What TokenizerCore reads: a source hands out its bytes in order, each exactly once.
//
// - `int next_byte()`: the next byte (0..255), -1 once the input has ended and on every later
//   call, `interrupted_read` when a signal interrupted the read and nothing was taken (the
//   core polls for signals before it asks again), or `input_paused`. It may throw where the input
//   cannot be read on; nothing of the core has changed for that byte, the exception leaves
//   `fill_batch` and the tokens of that call are lost. A source that has thrown throws again on
//   every later call, so that a cut text is never taken for a whole one.
// - `window_begin()`, `window_end()`: the bytes from the next one on that the source already
//   holds in memory, possibly none (equal pointers, null allowed). The core may read them in
//   place instead of through next_byte, never past `window_end()`. A window stays valid and
//   unchanged until the next call of `next_byte` or `advance_to`.
// - `advance_to(p)`, `p` within the current window: the bytes before `p` are consumed and the
//   next byte is `*p` (or the first after the window).
// - `size_bound()`: the most bytes it will ever yield, or `unbounded_input`; the batch buffers
//   are sized by it.
template <class S, class = void>
struct is_input_source : std::false_type {};

template <class S>
struct is_input_source<
    S, std::void_t<decltype(std::declval<S&>().next_byte()),
                   decltype(std::declval<const S&>().window_begin()),
                   decltype(std::declval<const S&>().window_end()),
                   decltype(std::declval<S&>().advance_to(std::declval<const std::uint8_t*>())),
                   decltype(std::declval<const S&>().size_bound())>>
    : std::bool_constant<
          std::is_same_v<decltype(std::declval<S&>().next_byte()), int> &&
          std::is_same_v<decltype(std::declval<const S&>().window_begin()), const std::uint8_t*> &&
          std::is_same_v<decltype(std::declval<const S&>().window_end()), const std::uint8_t*>> {};

// What `next_byte()` returns when a signal interrupted its read: no byte was taken.
inline constexpr int interrupted_read = -2;
// What `next_byte()` returns when it holds no byte now but more will come (a stream fed in
// blocks): `fill_batch` returns with all pending state kept, and no end-of-input step.
inline constexpr int input_paused = -3;

}  // namespace chopwise

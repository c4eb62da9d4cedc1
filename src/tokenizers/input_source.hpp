#pragma once

namespace chopwise {

// What `next_byte()` of an input source returns when a signal interrupted its read: no byte was
// taken, and the reading frame polls for signals before it asks again.
inline constexpr int interrupted_read = -2;

}  // namespace chopwise

#pragma once

#include <cstddef>
#include <cstdint>

#include "utf8.hpp"

namespace chopwise {

// Decodes the character at `p` when its bytes are a lead byte and exactly the continuation
// bytes (0x80..0xBF) it announces, all before `end`. On any other bytes it returns 0 and the
// byte-at-a-time decoder must take over. Returns the character's length.
inline std::uint32_t decode_well_formed(const std::uint8_t* p, const std::uint8_t* end,
                                        Utf8Char& out) {
    const std::uint8_t b0 = p[0];
    if (b0 < 0x80) {
        out = Utf8Char{{b0, 0, 0, 0}, b0, 1, 1};
        return 1;
    }
    const std::uint32_t length = utf8_lead_length(b0);
    if (length == 0 || end - p < static_cast<std::ptrdiff_t>(length)) return 0;
    out = Utf8Char{{b0, 0, 0, 0}, 0, length, length};
    for (std::uint32_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        out.bytes[k] = p[k];
    }
    out.code_point = utf8_code_point(out);
    return length;
}

}  // namespace chopwise

namespace chopwise {

// The code point and length of a well-formed character at `p`, as decode_well_formed would
// give them, without filling a record; 0 where that one gives up.
inline std::uint32_t decode_code_point(const std::uint8_t* p, const std::uint8_t* end,
                                       std::uint32_t& code_point) {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    const std::uint32_t length = utf8_lead_length(static_cast<std::uint8_t>(b0));
    if (length == 0 || end - p < static_cast<std::ptrdiff_t>(length)) return 0;
    std::uint32_t cp = b0 & (0x7Fu >> length);
    for (std::uint32_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3Fu);
    }
    code_point = cp;
    return length;
}

}  // namespace chopwise

#pragma once

#include <cstddef>
#include <cstdint>

namespace chopwise {

// One character as read: its bytes exactly as they came, so output repeats the input.
struct Utf8Char {
    std::uint8_t bytes[4];
    std::uint32_t code_point;
    std::uint32_t received;
    std::uint32_t length;
};
static_assert(sizeof(Utf8Char) == 16, "Utf8Char is a 16-byte record");

// Length of the character a lead byte starts, or 0 for a byte that is no lead byte.
inline std::uint32_t utf8_lead_length(std::uint8_t b) {
    if ((b & 0x80) == 0) return 1;
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

inline std::uint32_t utf8_code_point(const Utf8Char& c) {
    const std::uint32_t b0 = c.bytes[0], b1 = c.bytes[1], b2 = c.bytes[2], b3 = c.bytes[3];
    switch (c.length) {
        case 1:
            return b0;
        case 2:
            return ((b0 << 6) & 0x7C0) | (b1 & 0x3F);
        case 3:
            return ((b0 << 12) & 0xF000) | ((b1 << 6) & 0xFC0) | (b2 & 0x3F);
        default:
            return ((b0 << 18) & 0x1C0000) | ((b1 << 12) & 0x3F000) | ((b2 << 6) & 0xFC0) |
                   (b3 & 0x3F);
    }
}

// Lenient decoder step: no validation, never fails. A lead byte drops whatever the record held;
// any other byte is a continuation byte. Returns true when `b` completes a character.
inline bool decode_byte(Utf8Char& record, std::uint8_t b) {
    const std::uint32_t lead_length = utf8_lead_length(b);
    if (lead_length != 0) {
        record = Utf8Char{{0, 0, 0, 0}, 0, 0, lead_length};
    } else if (record.received == 4) {
        return false;
    }
    record.bytes[record.received++] = b;
    if (record.received != record.length) return false;
    record.code_point = utf8_code_point(record);
    return true;
}

// The one decoder of whole sequences, for text read in place: the character at `p` when its
// bytes are a lead byte and exactly the continuation bytes (0x80..0xBF) it announces, all
// before `end`. The value is not checked: an overlong form, a surrogate or a value past
// U+10FFFF comes out as decode_byte gives it. Returns the length, or 0 for other bytes.
inline std::uint32_t decode_sequence(const std::uint8_t* p, const std::uint8_t* end,
                                     std::uint32_t& code_point) {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    auto low = [](std::uint8_t b) { return b & 0x3Fu; };
    auto continues = [](std::uint8_t b) { return (b & 0xC0) == 0x80; };
    const std::ptrdiff_t left = end - p;
    if (b0 < 0xC0) return 0;
    if (b0 < 0xE0) {
        if (left < 2 || !continues(p[1])) return 0;
        code_point = (b0 & 0x1Fu) << 6 | low(p[1]);
        return 2;
    }
    if (b0 < 0xF0) {
        if (left < 3 || !continues(p[1]) || !continues(p[2])) return 0;
        code_point = (b0 & 0x0Fu) << 12 | low(p[1]) << 6 | low(p[2]);
        return 3;
    }
    if (b0 >= 0xF8 || left < 4 || !continues(p[1]) || !continues(p[2]) || !continues(p[3]))
        return 0;
    code_point = (b0 & 0x07u) << 18 | low(p[1]) << 12 | low(p[2]) << 6 | low(p[3]);
    return 4;
}

// Whether a decoded sequence is what strict UTF-8 allows: the shortest form of a code point
// that is no surrogate and not past U+10FFFF.
inline bool is_strict_utf8(std::uint32_t code_point, std::uint32_t length) {
    if (length <= 2) return length == 1 || code_point >= 0x80;
    if (length == 3) return code_point >= 0x800 && (code_point & 0xF800) != 0xD800;
    return code_point >= 0x10000 && code_point <= 0x10FFFF;
}

// The record of a whole `length`-byte character at `p`, as decode_byte completes it.
inline Utf8Char whole_char(const std::uint8_t* p, std::uint32_t length) {
    Utf8Char c{{p[0], 0, 0, 0}, 0, length, length};
    for (std::uint32_t k = 1; k < length; ++k) c.bytes[k] = p[k];
    c.code_point = utf8_code_point(c);
    return c;
}

}  // namespace chopwise

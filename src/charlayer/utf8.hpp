#pragma once

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

}  // namespace chopwise

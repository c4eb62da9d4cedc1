#pragma once

#include <array>
#include <cstdint>

#include "token_type.hpp"

namespace chopwise {

// Two-stage table over U+0000..U+10FFFF: a block number per 64 code points, then the
// distinct 64-byte blocks of class indices.
struct CharClassTable {
    static constexpr std::uint32_t block_bits = 6;
    static constexpr std::uint32_t block_size = 1u << block_bits;
    static constexpr std::uint32_t block_count = 0x110000 >> block_bits;  // 17,408
    static constexpr std::uint32_t max_blocks = 256;

    std::array<std::uint16_t, block_count> stage1{};
    std::array<std::uint8_t, max_blocks * block_size> stage2{};
    std::uint32_t distinct_blocks = 0;
};

inline constexpr std::uint32_t unknown_class = class_of(TokenType::UNKNWN);

// The Russian alphabet: Ё, А..я and ё, all two-byte characters in UTF-8.
inline constexpr std::uint32_t russian_yo_upper = 0x401, russian_first = 0x410,
                               russian_last = 0x44F, russian_yo_lower = 0x451;

// Every code point with a class other than UNKNWN, as ranges that do not overlap.
struct ClassRange {
    std::uint32_t first, last;
    TokenType type;
};

inline constexpr ClassRange class_ranges[] = {
    {0x000A, 0x000A, TokenType::NWLINE},
    {0x000B, 0x000B, TokenType::WRDSPC},
    {0x0020, 0x0020, TokenType::WRDSPC},
    {0x0021, 0x002F, TokenType::PNCTTN},
    {0x0030, 0x0039, TokenType::NUMBER},
    {0x003A, 0x0040, TokenType::PNCTTN},
    {0x0041, 0x005A, TokenType::ENWORD},
    {0x005B, 0x0060, TokenType::PNCTTN},
    {0x0061, 0x007A, TokenType::ENWORD},
    {0x007B, 0x007E, TokenType::PNCTTN},
    {0x00A0, 0x00A0, TokenType::WRDSPC},
    {0x00AB, 0x00AB, TokenType::PNCTTN},
    {0x00B7, 0x00B7, TokenType::PNCTTN},
    {0x00BB, 0x00BB, TokenType::PNCTTN},
    {russian_yo_upper, russian_yo_upper, TokenType::RUWORD},
    {russian_first, russian_last, TokenType::RUWORD},
    {russian_yo_lower, russian_yo_lower, TokenType::RUWORD},
    {0x2010, 0x201F, TokenType::PNCTTN},
    {0x2024, 0x2027, TokenType::PNCTTN},
    {0x2116, 0x2116, TokenType::PNCTTN},
};

// The table of the process, built by the first call.
const CharClassTable& char_class_table();

inline std::uint32_t class_index(const CharClassTable& table, std::uint32_t code_point) {
    if (code_point > 0x10FFFF) return unknown_class;
    const std::uint32_t block = table.stage1[code_point >> CharClassTable::block_bits];
    return table.stage2[block * CharClassTable::block_size +
                        (code_point & (CharClassTable::block_size - 1))];
}

inline TokenType char_type(const CharClassTable& table, std::uint32_t code_point) {
    return class_types[class_index(table, code_point)];
}

inline TokenType char_type(std::uint32_t code_point) {
    return char_type(char_class_table(), code_point);
}

// Class indices of U+0000..U+07FF (one- and two-byte characters) in flat arrays, for scanning
// well-formed text without the two-stage lookup. `byte_class` maps each byte value that is a
// whole character (0x00..0x7F) to its class index and every other byte value to 0.
struct LowClasses {
    std::array<std::uint8_t, 256> byte_class{};
    std::array<std::uint8_t, 0x800> low_class{};
};

const LowClasses& low_classes();

}  // namespace chopwise

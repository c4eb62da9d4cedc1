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

// Class index (0..7) -> TokenType.
inline constexpr std::array<TokenType, 8> class_types = {
    TokenType::NOTTKN, TokenType::WRDSPC, TokenType::NWLINE, TokenType::ENWORD,
    TokenType::NUMBER, TokenType::RUWORD, TokenType::PNCTTN, TokenType::UNKNWN,
};
inline constexpr std::uint32_t unknown_class = 7;

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

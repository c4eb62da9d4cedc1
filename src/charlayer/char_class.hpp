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

// The table of the process, built by the first call.
const CharClassTable& char_class_table();

inline TokenType char_type(const CharClassTable& table, std::uint32_t code_point) {
    if (code_point > 0x10FFFF) return TokenType::UNKNWN;
    const std::uint32_t block = table.stage1[code_point >> CharClassTable::block_bits];
    const std::uint32_t offset = code_point & (CharClassTable::block_size - 1);
    return class_types[table.stage2[block * CharClassTable::block_size + offset]];
}

inline TokenType char_type(std::uint32_t code_point) {
    return char_type(char_class_table(), code_point);
}

}  // namespace chopwise

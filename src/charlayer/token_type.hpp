#pragma once

#include <cstdint>

namespace chopwise {

// Bit flags, so that a set of types is a plain mask of their values.
enum class TokenType : std::uint64_t {
    NOTTKN = 0,
    WRDSPC = 1,
    NWLINE = 2,
    ENWORD = 4,
    NUMBER = 8,
    RUWORD = 16,
    PNCTTN = 32,
    UNKNWN = 64,
};

constexpr std::uint64_t type_bits(TokenType t) { return static_cast<std::uint64_t>(t); }

// Runs of these types grow into multi-character pieces and may be joined by hyphens.
constexpr bool is_word_type(TokenType t) {
    return (type_bits(t) & (type_bits(TokenType::ENWORD) | type_bits(TokenType::NUMBER) |
                            type_bits(TokenType::RUWORD))) != 0;
}

}  // namespace chopwise

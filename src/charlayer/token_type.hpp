#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace chopwise {

// Every token type, once: its name, its value (a bit flag, so that a set of types is a plain
// mask) and whether it is a word type, whose runs grow into multi-character pieces and may be
// joined by hyphens. A type's position in this list is its character class index.
#define CHOPWISE_TOKEN_TYPES(X) \
    X(NOTTKN, 0, false)         \
    X(WRDSPC, 1, false)         \
    X(NWLINE, 2, false)         \
    X(ENWORD, 4, true)          \
    X(NUMBER, 8, true)          \
    X(RUWORD, 16, true)         \
    X(PNCTTN, 32, false)        \
    X(UNKNWN, 64, false)

enum class TokenType : std::uint64_t {
#define CHOPWISE_ENUMERATOR(name, value, word) name = value,
    CHOPWISE_TOKEN_TYPES(CHOPWISE_ENUMERATOR)
#undef CHOPWISE_ENUMERATOR
};

struct TokenTypeInfo {
    TokenType type;
    const char* name;
    bool word;
};

inline constexpr TokenTypeInfo token_types[] = {
#define CHOPWISE_INFO(name, value, word) {TokenType::name, #name, word},
    CHOPWISE_TOKEN_TYPES(CHOPWISE_INFO)
#undef CHOPWISE_INFO
};

inline constexpr std::size_t class_count = std::size(token_types);

constexpr std::uint64_t type_bits(TokenType t) { return static_cast<std::uint64_t>(t); }

// Class index -> TokenType.
inline constexpr std::array<TokenType, class_count> class_types = [] {
    std::array<TokenType, class_count> types{};
    for (std::size_t i = 0; i < class_count; ++i) types[i] = token_types[i].type;
    return types;
}();

// TokenType -> class index.
constexpr std::uint8_t class_of(TokenType t) {
    std::uint8_t i = 0;
    while (token_types[i].type != t) ++i;
    return i;
}

// The word types as a mask of type bits, and as a mask of class indices.
inline constexpr std::uint64_t word_type_bits = [] {
    std::uint64_t bits = 0;
    for (const TokenTypeInfo& info : token_types)
        if (info.word) bits |= type_bits(info.type);
    return bits;
}();
inline constexpr std::uint32_t first_word_class = [] {
    std::uint32_t i = 0;
    while (!token_types[i].word) ++i;
    return i;
}();
inline constexpr std::uint32_t word_class_count = [] {
    std::uint32_t n = 0;
    for (const TokenTypeInfo& info : token_types) n += info.word;
    return n;
}();
// One compare tells a word class in the scan's inner loop.
static_assert(
    [] {
        for (std::uint32_t i = 0; i < word_class_count; ++i)
            if (!token_types[first_word_class + i].word) return false;
        return true;
    }(),
    "the word classes are next to each other");

constexpr bool is_word_type(TokenType t) { return (type_bits(t) & word_type_bits) != 0; }
constexpr bool is_word_class(std::uint32_t cls) {
    return cls - first_word_class < word_class_count;
}

}  // namespace chopwise

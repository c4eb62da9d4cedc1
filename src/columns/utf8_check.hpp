#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace chopwise::columns {

// Strict UTF-8 as a decoder that refuses malformed bytes sees it: each fault is a maximal
// subpart (the longest start of a well-formed sequence, or one byte), the unit that the
// "replace" handler turns into one U+FFFD.
struct Utf8Fault {
    std::size_t offset;  // of the fault's first byte
    std::size_t length;  // bytes in the maximal subpart, at least 1
    const char* reason;
};

inline constexpr std::size_t no_fault = ~std::size_t{0};

// The first fault in `p[0..n)`, with `offset` no_fault when there is none.
Utf8Fault find_fault(const std::uint8_t* p, std::size_t n);

enum class ErrorHandler { strict, replace, ignore, backslashreplace };

// The handler of that name; false for any other name.
bool handler_named(const std::string& name, ErrorHandler& out);

// `out` becomes the text with every fault from `first` on replaced as `handler` does it.
void repair(const std::uint8_t* p, std::size_t n, Utf8Fault first, ErrorHandler handler,
            std::string& out);

}  // namespace chopwise::columns

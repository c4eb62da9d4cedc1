#include "utf8_check.hpp"

#include <cstring>

#include "../charlayer/word_bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace chopwise::columns {
namespace {

bool in(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) { return lo <= b && b <= hi; }

// Length of the well-formed sequence at `p`, or 0 with `fault` set to its maximal subpart.
std::size_t sequence_length(const std::uint8_t* p, std::size_t left, Utf8Fault& fault) {
    const std::uint8_t b0 = p[0];
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b0 < 0x80) return 1;
    if (in(b0, 0xC2, 0xDF)) {
        need = 2;
    } else if (in(b0, 0xE0, 0xEF)) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (in(b0, 0xF0, 0xF4)) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        fault = {0, 1, "invalid start byte"};
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (k == left) {
            fault = {0, k, "unexpected end of data"};
            return 0;
        }
        const bool ok = k == 1 ? in(p[1], lo, hi) : in(p[k], 0x80, 0xBF);
        if (!ok) {
            fault = {0, k, "invalid continuation byte"};
            return 0;
        }
    }
    return need;
}

std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (!all_ascii(load8(p + i))) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// The end of the longest stretch from `i`, in blocks of 16 bytes, of ASCII and well-formed
// two-byte sequences (C2..DF then 80..BF: Cyrillic, Latin-1) alone, cut at a sequence start.
// Any other byte, or a lead and continuation out of step, ends the stretch for the plain check.
std::size_t plain_stretch(const std::uint8_t* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    // Bytes as signed values after flipping the top bit: 0x80..0xBF -> 0..63, 0xC2..0xDF -> 66..95.
    const __m128i cont_hi = _mm_set1_epi8(0x40), lead_lo = _mm_set1_epi8(0x41),
                  lead_hi = _mm_set1_epi8(0x60);
    unsigned carry = 0;  // the last byte of the block before was a lead
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (high == 0 && carry == 0) continue;
        const __m128i u = _mm_xor_si128(v, flip);  // ASCII now negative
        const unsigned cont =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(u, cont_hi))) & high;
        const unsigned lead = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpgt_epi8(u, lead_lo), _mm_cmplt_epi8(u, lead_hi))));
        if ((cont | lead) != high || cont != (((lead << 1) | carry) & 0xFFFF)) break;
        carry = lead >> 15;
    }
    return i - carry;
#else
    (void)p;
    (void)n;
    return i;
#endif
}

}  // namespace

Utf8Fault find_fault(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    Utf8Fault fault{no_fault, 0, nullptr};
    while (i < n) {
        i = plain_stretch(p, i, n);
        // Where a stretch ends the plain check goes on for a while before the next try.
        const std::size_t until = i + 64;
        while (i < n && i < until) {
            i += ascii_prefix(p + i, n - i);
            // Runs of two-byte letters (Cyrillic) need no general decoding.
            while (i + 1 < n && in(p[i], 0xC2, 0xDF) && in(p[i + 1], 0x80, 0xBF)) {
                i += 2;
                while (i < n && p[i] < 0x80 && p[i] >= 0x20)
                    ++i;  // a space or a mark between words
            }
            if (i == n) break;
            if (p[i] < 0x80) continue;
            const std::size_t len = sequence_length(p + i, n - i, fault);
            if (len == 0) {
                fault.offset = i;
                return fault;
            }
            i += len;
        }
    }
    return {no_fault, 0, nullptr};
}

bool handler_named(const std::string& name, ErrorHandler& out) {
    static const struct {
        const char* name;
        ErrorHandler handler;
    } names[] = {{"strict", ErrorHandler::strict},
                 {"replace", ErrorHandler::replace},
                 {"ignore", ErrorHandler::ignore},
                 {"backslashreplace", ErrorHandler::backslashreplace}};
    for (const auto& n : names) {
        if (name == n.name) {
            out = n.handler;
            return true;
        }
    }
    return false;
}

void repair(const std::uint8_t* p, std::size_t n, Utf8Fault first, ErrorHandler handler,
            std::string& out) {
    static const char hex[] = "0123456789abcdef";
    out.assign(reinterpret_cast<const char*>(p), first.offset);
    std::size_t i = first.offset;
    Utf8Fault fault = first;
    while (i < n) {
        if (fault.offset == i) {
            if (handler == ErrorHandler::replace) {
                out += "\xEF\xBF\xBD";
            } else if (handler == ErrorHandler::backslashreplace) {
                for (std::size_t k = 0; k < fault.length; ++k) {
                    const std::uint8_t b = p[i + k];
                    out += {'\\', 'x', hex[b >> 4], hex[b & 15]};
                }
            }
            i += fault.length;
            fault = find_fault(p + i, n - i);
            fault.offset = fault.offset == no_fault ? n : fault.offset + i;
            continue;
        }
        out.append(reinterpret_cast<const char*>(p + i), fault.offset - i);
        i = fault.offset;
    }
}

}  // namespace chopwise::columns

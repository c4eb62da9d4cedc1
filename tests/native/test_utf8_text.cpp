// Building a batch's code points from its UTF-8 must accept exactly the strictly well-formed
// blocks and give their characters, at the narrowest width that holds them. The reference here
// decodes the obvious way and then rules out overlong forms, surrogates and values too large.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "charlayer/utf8_text.hpp"
#include "check.hpp"

using namespace chopwise;

static bool reference_decode(const std::string& s, std::vector<std::uint32_t>& out) {
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    out.clear();
    for (std::size_t i = 0; i < s.size();) {
        const std::uint8_t b0 = static_cast<std::uint8_t>(s[i]);
        const std::size_t len = b0 < 0x80       ? 1
                                : b0 >> 5 == 6  ? 2
                                : b0 >> 4 == 14 ? 3
                                : b0 >> 3 == 30 ? 4
                                                : 0;
        if (len == 0 || i + len > s.size()) return false;
        std::uint32_t cp = len == 1 ? b0 : b0 & (0x7Fu >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const std::uint8_t b = static_cast<std::uint8_t>(s[i + k]);
            if (b >> 6 != 2) return false;
            cp = cp << 6 | (b & 0x3Fu);
        }
        if (cp < smallest[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        out.push_back(cp);
        i += len;
    }
    return true;
}

static std::uint32_t narrowest(const std::vector<std::uint32_t>& cps) {
    std::uint32_t top = 0;
    for (std::uint32_t cp : cps) top = cp > top ? cp : top;
    return top < 0x80 ? 0x7F : top < 0x100 ? 0xFF : top < 0x10000 ? 0xFFFF : 0x10FFFF;
}

template <class Char>
static bool widen_as(const std::string& s, const Utf8Shape& shape,
                     std::vector<std::uint32_t>& got) {
    std::vector<Char> out(shape.chars);
    const bool ok =
        widen_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), shape, out.data());
    got.assign(out.begin(), out.end());
    return ok;
}

static void check(const std::string& s) {
    std::vector<std::uint32_t> want, got;
    const bool valid = reference_decode(s, want);
    const Utf8Shape shape = measure_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    bool ok;
    if (shape.max_code_point == 0x7F || shape.max_code_point == 0xFF)
        ok = widen_as<std::uint8_t>(s, shape, got);
    else if (shape.max_code_point == 0xFFFF)
        ok = widen_as<std::uint16_t>(s, shape, got);
    else
        ok = widen_as<std::uint32_t>(s, shape, got);
    const bool right = valid ? ok && got == want && shape.max_code_point == narrowest(want) : !ok;
    if (!right) {
        std::string hex;
        for (unsigned char c : s) hex += " " + std::to_string(c);
        native_check::fail("mismatch on bytes%s (valid %d, accepted %d)", hex.c_str(), valid, ok);
    }
}

// Encoding code points must give what the reference decodes back to them, for every width a
// code point array may have; a surrogate anywhere has no UTF-8 form.
template <class Char>
static void check_encode(const std::vector<std::uint32_t>& cps) {
    std::vector<Char> chars(cps.begin(), cps.end());
    std::string out(cps.size() * utf8_bytes_per_char<Char>, '\0');
    const std::size_t size =
        encode_utf8(chars.data(), chars.size(), reinterpret_cast<std::uint8_t*>(out.data()));
    bool surrogate = false;
    for (std::uint32_t cp : cps) surrogate |= cp >= 0xD800 && cp <= 0xDFFF;
    std::vector<std::uint32_t> back;
    bool right;
    if (surrogate) {
        right = size == no_utf8_form;
    } else {
        out.resize(size);
        right = reference_decode(out, back) && back == cps;
    }
    if (!right) native_check::fail("encode mismatch, %zu code points", cps.size());
}

static void check_encode_all_widths(const std::vector<std::uint32_t>& cps, std::uint32_t top) {
    if (top < 0x100) check_encode<std::uint8_t>(cps);
    if (top < 0x10000) check_encode<std::uint16_t>(cps);
    check_encode<std::uint32_t>(cps);
}

int main() {
    // Every code point, alone and between ASCII runs of every length up to the four-at-a-time step.
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        check_encode_all_widths({cp}, cp);
        if (cp % 61 == 0) {
            std::vector<std::uint32_t> cps;
            for (std::uint32_t k = 0; k < cp % 9; ++k) cps.push_back('a' + k);
            cps.push_back(cp);
            for (std::uint32_t k = 0; k < cp % 7; ++k) cps.push_back('0' + k);
            check_encode_all_widths(cps, cp < 'a' + 8 ? 'a' + 8 : cp);
        }
    }

    // Every sequence of up to three bytes, each alone and after ASCII that fills the 8- and
    // 16-byte steps up to just before it.
    std::string s;
    for (std::uint32_t v = 0; v < (1u << 24); ++v) {
        for (std::size_t len = 1; len <= 3; ++len) {
            if (len < 3 && v >> (8 * len) != 0) continue;
            s.clear();
            for (std::size_t k = len; k-- > 0;) s += static_cast<char>(v >> (8 * k));
            check(s);
            if (v % 97 == 0) check(std::string(15, 'a') + s + std::string(9, '\0'));
        }
    }
    // Four-byte sequences around every lead byte's edges, and random mixes of all widths.
    const char* units[] = {"a",
                           "\0",
                           "\x7f",
                           "\xc2\x80",
                           "\xc3\xbf",
                           "\xc4\x80",
                           "\xd0\x81",
                           "\xdf\xbf",
                           "\xe0\xa0\x80",
                           "\xef\xbf\xbf",
                           "\xed\x9f\xbf",
                           "\xed\xa0\x80",
                           "\xf0\x90\x80\x80",
                           "\xf4\x8f\xbf\xbf",
                           "\xf4\x90\x80\x80",
                           "\xf0\x8f\xbf\xbf",
                           "\xc0\x80",
                           "\xc1\xbf",
                           "\x80",
                           "\xbf",
                           "\xf5\x80\x80\x80",
                           "\xff",
                           "\xe1\x80",
                           "abcdefghijklmnop"};
    std::mt19937 rng(2024);
    for (std::uint32_t b0 = 0xF0; b0 <= 0xF7; ++b0)
        for (std::uint32_t b1 = 0x70; b1 <= 0xC0; ++b1)
            for (std::uint32_t b23 : {0x8080u, 0xBFBFu, 0x80C0u, 0x7F80u})
                check({static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b23 >> 8),
                       static_cast<char>(b23 & 0xFF)});
    for (int round = 0; round < 200000; ++round) {
        s.clear();
        const bool clean = rng() % 2 == 0;  // only well-formed units, so most rounds decode
        for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
            const std::size_t pick = rng() % (sizeof units / sizeof units[0]);
            const std::string unit = pick == 1 ? std::string(1, '\0') : units[pick];
            std::vector<std::uint32_t> ignored;
            if (clean && !reference_decode(unit, ignored)) continue;
            s += unit;
        }
        check(s);
    }
    // Text of ASCII and two-byte characters only, widened in one pass without a check.
    const char* plain[] = {"a",        "\0",       "\x7f",     " ",        "abcdefghijklmnopq",
                           "\xd0\x81", "\xd0\xb0", "\xd1\x8f", "\xd1\x91", "\xc2\x80",
                           "\xdf\xbf"};
    for (int round = 0; round < 20000; ++round) {
        s.clear();
        for (int i = 0, n = static_cast<int>(rng() % 60); i < n; ++i) {
            const std::size_t pick = rng() % (sizeof plain / sizeof plain[0]);
            s += pick == 1 ? std::string(1, '\0') : std::string(plain[pick]);
        }
        std::vector<std::uint32_t> want;
        CHECK(reference_decode(s, want));
        std::vector<std::uint16_t> out(want.size() + 1, 0xFFFF);
        widen_two_byte_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), out.data());
        CHECK(out.back() == 0xFFFF);
        out.pop_back();
        CHECK(std::vector<std::uint32_t>(out.begin(), out.end()) == want);
    }
    return native_check::report();
}

// Fuzz target over the native tokenizing core, no Python involved.
//
// Input layout: byte 0 picks the batch size (0..8); byte 1 holds flags (bit 0: own filter,
// bit 1: own shortest length, bit 2: own longest length) and, in bits 3..7, how the input
// shows its bytes to the window scan (0: all the rest, as a text; 1: never; k: a buffer of k
// bytes refilled like a file stream's); bytes 2..4 hold the filter mask and the two lengths;
// the rest is the text. Every run checks the batch invariants and that the token sequence
// depends neither on the batch size nor on the window scan; with the default filter and
// lengths it also checks that the tokens repeat the input's complete characters in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../native/check.hpp"
#include "../native/core_hooks.hpp"
#include "../native/memory_source.hpp"
#include "tokens/wide/kernels.hpp"

namespace {

using chopwise::TokenType;

using Core = chopwise::TokenizerCore<MemorySource>;

struct Token {
    std::string bytes;
    std::uint64_t type;
    bool operator==(const Token& o) const { return bytes == o.bytes && type == o.type; }
};

struct Settings {
    std::uint32_t batch_size = 0;
    bool custom = false;
    std::uint64_t filter = ~std::uint64_t{0};
    std::uint32_t min_len = 0;
    std::uint32_t max_len = 512;
    unsigned window = 0;
    bool scan = true;
};

using native_check::require;

// Written here rather than taken from the core, so the two can disagree.
unsigned lead_length(std::uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC0 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF7) return 4;
    return 0;
}

std::uint32_t code_point_of(const std::string& ch) {
    static const std::uint32_t lead_mask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = static_cast<std::uint8_t>(ch[0]) & lead_mask[ch.size()];
    for (std::size_t i = 1; i < ch.size(); ++i)
        cp = (cp << 6) | (static_cast<std::uint8_t>(ch[i]) & 0x3F);
    return cp;
}

// The complete characters of the input under the lenient rules: a lead byte and the
// non-lead bytes after it make a character when enough of them come before the next lead
// byte; only the first `length` bytes count and a short one is dropped.
std::vector<std::string> complete_chars(const std::uint8_t* p, std::size_t n) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < n && lead_length(p[i]) == 0) ++i;
    while (i < n) {
        std::size_t j = i + 1;
        while (j < n && lead_length(p[j]) == 0) ++j;
        const unsigned len = lead_length(p[i]);
        if (j - i >= len) out.emplace_back(reinterpret_cast<const char*>(p + i), len);
        i = j;
    }
    return out;
}

bool is_word(std::uint64_t t) {
    return t == static_cast<std::uint64_t>(TokenType::ENWORD) ||
           t == static_cast<std::uint64_t>(TokenType::NUMBER) ||
           t == static_cast<std::uint64_t>(TokenType::RUWORD);
}

bool is_single_flag(std::uint64_t t) { return t != 0 && t <= 64 && (t & (t - 1)) == 0; }

// Splits a token's bytes into characters at lead bytes, checking each is whole.
std::vector<std::string> split_chars(const std::string& tok, std::size_t at) {
    std::vector<std::string> chars;
    std::size_t i = 0;
    while (i < tok.size()) {
        const unsigned len = lead_length(static_cast<std::uint8_t>(tok[i]));
        require(len != 0, "token character does not start with a lead byte", at);
        require(i + len <= tok.size(), "token ends inside a character", at);
        for (std::size_t k = 1; k < len; ++k)
            require(lead_length(static_cast<std::uint8_t>(tok[i + k])) == 0,
                    "lead byte inside a token character", at);
        chars.push_back(tok.substr(i, len));
        i += len;
    }
    return chars;
}

void check_token(const Token& tok, const Settings& s, std::size_t at) {
    const std::vector<std::string> chars = split_chars(tok.bytes, at);
    require(!chars.empty(), "empty token", at);
    require(chars.size() <= 128, "token over 128 characters", at);
    require(is_single_flag(tok.type), "token type is not one flag", at);
    require((tok.type & s.filter) != 0, "token type outside the filter", at);
    require(s.min_len <= chars.size() && chars.size() <= s.max_len, "token length outside limits",
            at);
    const std::uint64_t first =
        static_cast<std::uint64_t>(chopwise::char_type(code_point_of(chars[0])));
    require(first == tok.type, "token type differs from its first character's", at);
    if (!is_word(tok.type)) {
        require(chars.size() == 1, "non-word token of several characters", at);
        return;
    }
    // A word token alternates word pieces and single hyphens, and may end in a hyphen.
    std::size_t pieces = 1;
    std::uint64_t prev = first;
    for (std::size_t i = 1; i < chars.size(); ++i) {
        const std::uint64_t t =
            static_cast<std::uint64_t>(chopwise::char_type(code_point_of(chars[i])));
        if (t == prev && is_word(t)) continue;
        ++pieces;
        if (is_word(prev)) {
            require(chars[i] == "-", "word piece not followed by a hyphen", at);
        } else {
            require(is_word(t), "hyphen not followed by a word piece", at);
        }
        prev = t;
    }
    require(pieces <= 16, "token of more than 16 pieces", at);
}

// Reads the current batch out of the core, checking its framing.
void take_batch(const Core& core, const Settings& s, std::vector<Token>& out, std::size_t call) {
    const chopwise::Batch& b = core.batch;
    require(b.token_count <= b.batch_size, "batch over batch_size", call);
    require(b.text_used <= std::uint64_t{b.token_count} * 513, "text_used over token_count*513",
            call);
    std::size_t pos = 0;
    for (std::uint32_t i = 0; i < b.token_count; ++i) {
        require(pos < b.text_used, "fewer tokens in the text than token_count", call);
        Token tok;
        // No token is empty and U+0000 is a token of its own, so a token that starts with a
        // NUL byte is that character.
        std::size_t end = pos;
        if (b.text_out[pos] == '\0') {
            end = pos + 1;
        } else {
            while (end < b.text_used && b.text_out[end] != '\0') ++end;
        }
        require(end < b.text_used && b.text_out[end] == '\0', "token without its NUL", call);
        tok.bytes.assign(b.text_out + pos, end - pos);
        tok.type = b.types_out[i];
        check_token(tok, s, call);
        out.push_back(std::move(tok));
        pos = end + 1;
    }
    require(pos == b.text_used, "text beyond the last token", call);
}

// Drains the core batch by batch. A batch size of 0 must yield nothing and lose nothing:
// the run then goes on with a batch size of 1.
std::vector<Token> drain(const std::uint8_t* data, std::size_t size, const Settings& s) {
    auto core = std::make_unique<Core>(std::in_place, MemorySource(data, size, s.window));
    if (!s.scan) chopwise::CoreTestHooks::turn_window_scan_off(*core);
    core->batch.set_batch_size(s.batch_size);
    core->batch.set_filter(s.filter);
    core->batch.set_token_min_len(s.min_len);
    core->batch.set_token_max_len(s.max_len);

    std::vector<Token> tokens;
    if (s.batch_size == 0) {
        for (int i = 0; i < 3; ++i) {
            core->fill_batch();
            require(core->batch.token_count == 0 && core->batch.text_used == 0,
                    "batch_size 0 gave tokens", i);
        }
        core->batch.set_batch_size(1);
    }
    // Each non-empty batch holds a token, and there are no more tokens than characters.
    const std::size_t max_calls = size + 4;
    for (std::size_t call = 0;; ++call) {
        require(call < max_calls, "no end of input after one call per byte", call);
        core->fill_batch();
        if (core->batch.token_count == 0) break;
        take_batch(*core, s, tokens, call);
    }
    // An empty batch is the end: the next one must be empty too.
    core->fill_batch();
    require(core->batch.token_count == 0, "tokens after an empty batch", 0);
    require(core->input.position() == size, "input not read to its end", core->input.position());
    return tokens;
}

// The kernels each input runs under besides the one in use. FUZZ_KERNEL=name fuzzes that
// kernel alone: it is put in use and no other runs.
const std::vector<chopwise::wide::Kernel>& other_kernels() {
    static const std::vector<chopwise::wide::Kernel> others = [] {
        namespace wide = chopwise::wide;
        std::vector<wide::Kernel> chosen;
        const char* only = std::getenv("FUZZ_KERNEL");
        for (wide::Kernel k : wide::supported_kernels()) {
            if (!only)
                chosen.push_back(k);
            else if (std::strcmp(only, wide::kernel_info(k).name) == 0)
                wide::force_kernel(k);
        }
        return chosen;
    }();
    return others;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<chopwise::wide::Kernel>& others = other_kernels();
    constexpr std::size_t header = 5;
    if (size < header) return 0;
    Settings s;
    s.batch_size = data[0] % 9;
    const std::uint8_t flags = data[1];
    if (flags & 1) s.filter = data[2] & 0x7F;
    if (flags & 2) s.min_len = data[3];
    if (flags & 4) s.max_len = data[4];
    s.custom = (flags & 7) != 0;
    s.window = flags >> 3;
    const std::uint8_t* text = data + header;
    const std::size_t text_size = size - header;

    const std::vector<Token> tokens = drain(text, text_size, s);

    // Where batches end must not change which tokens come out.
    Settings whole = s;
    whole.batch_size = 64;
    require(drain(text, text_size, whole) == tokens, "tokens depend on the batch size");
    // The window scan is a shortcut: byte by byte must give the same tokens, whichever wide
    // kernel runs under it.
    Settings bytewise = s;
    bytewise.scan = false;
    require(drain(text, text_size, bytewise) == tokens, "window scan and byte path disagree");
    const chopwise::wide::Kernel active = chopwise::wide::active_kernel().kernel;
    for (chopwise::wide::Kernel k : others) {
        if (k == active) continue;
        chopwise::wide::force_kernel(k);
        require(drain(text, text_size, s) == tokens, "wide kernels disagree");
    }
    chopwise::wide::force_kernel(active);

    if (!s.custom) {
        const std::vector<std::string> chars = complete_chars(text, text_size);
        std::string expected, got;
        for (const std::string& c : chars) expected += c;
        for (const Token& t : tokens) got += t.bytes;
        require(got == expected, "tokens do not repeat the input's characters");
    }
    return 0;
}

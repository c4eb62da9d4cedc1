// The window scan must hand over exactly what the byte-at-a-time path does: the same tokens in
// the same batches, for any bytes, batch sizes, settings changes and window boundaries.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core_hooks.hpp"
#include "memory_source.hpp"
#include "tokens/wide/kernels.hpp"

using namespace chopwise;

struct Settings {
    std::uint32_t batch_size, min_len, max_len;
    std::uint64_t filter;
};

// Every call's batch, as its text followed by its types, under a fixed sequence of settings.
static std::vector<std::string> run(const std::string& input, std::size_t chunk, bool scan,
                                    const std::vector<Settings>& plan) {
    // Windows as small as a stream buffer's, or the whole text as one.
    TokenizerCore<MemorySource> core(
        std::in_place,
        MemorySource(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), chunk));
    if (!scan) CoreTestHooks::turn_window_scan_off(core);
    std::vector<std::string> out;
    for (std::size_t call = 0; call < 4 * input.size() + 64; ++call) {
        const Settings& s = plan[call % plan.size()];
        if (core.batch.batch_size != s.batch_size) core.batch.set_batch_size(s.batch_size);
        core.batch.set_filter(s.filter);
        core.batch.set_token_min_len(s.min_len);
        core.batch.set_token_max_len(s.max_len);
        core.fill_batch();
        std::string batch(core.batch.text_out, core.batch.text_used);
        // A batch counted as plain text holds only ASCII and Russian letters, and the count of
        // its continuation bytes is right.
        if (core.batch.text_is_plain()) {
            std::size_t continuations = 0, bad = 0;
            for (std::size_t i = 0; i < batch.size(); ++i) {
                const auto b = static_cast<std::uint8_t>(batch[i]);
                if (b >= 0x80 && b < 0xC0) ++continuations;
                if (b >= 0x80 && ((b & 0xFE) != 0xD0 || i + 1 == batch.size()) &&
                    (b & 0xC0) != 0x80)
                    ++bad;
            }
            if (bad != 0 || continuations != core.batch.plain_continuations)
                native_check::fail("a batch counted as plain text is not: %zu bytes", batch.size());
        }
        for (std::uint32_t i = 0; i < core.batch.token_count; ++i)
            batch += "|" + std::to_string(core.batch.types_out[i]);
        out.push_back(batch);
        // With room for a token, an empty batch at the end of the input is the last one.
        if (core.batch.token_count == 0 && s.batch_size > 0 &&
            core.input.position() == input.size())
            break;
    }
    return out;
}

// One round: random units, some repeated, under random settings and window sizes.
static int compare(const std::vector<std::string>& alphabet, int rounds, int max_units,
                   unsigned seed) {
    std::mt19937 rng(seed);
    int failures = 0;
    for (int round = 0; round < rounds && failures < 5; ++round) {
        std::string input;
        const int pieces = static_cast<int>(rng() % max_units);
        for (int i = 0; i < pieces; ++i) {
            const std::string& unit = alphabet[rng() % alphabet.size()];
            const int repeat = rng() % 8 == 0 ? static_cast<int>(rng() % 140) : 1;
            for (int r = 0; r < repeat; ++r) input += unit;
        }
        std::vector<Settings> plan;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i) {
            const bool plain = rng() % 2 == 0;
            plan.push_back({static_cast<std::uint32_t>(rng() % 6),
                            plain ? 0u : static_cast<std::uint32_t>(rng() % 3),
                            plain ? 512u : 1 + static_cast<std::uint32_t>(rng() % 130),
                            plain ? ~std::uint64_t{0} : rng() % 128});
        }
        // Mostly windows as small as a stream buffer, sometimes the whole text as one.
        const std::size_t chunk = rng() % 4 == 0 ? input.size() + 1 : 1 + rng() % 40;
        if (run(input, chunk, true, plan) != run(input, chunk, false, plan)) {
            ++failures;
            native_check::fail("mismatch: round %d, %zu bytes, chunk %zu", round, input.size(),
                               chunk);
        }
    }
    return failures;
}

static bool same(const std::string& input, std::size_t chunk, const std::vector<Settings>& plan) {
    return run(input, chunk, true, plan) == run(input, chunk, false, plan);
}

// Every kind of token and every malformed sequence, at every offset of a stretch of easy text
// long enough for the wide stage: so at each place in a 16-, 32- and 64-byte block and across
// block ends, with the whole text as the window or a stream buffer's worth.
static void every_position() {
    const std::vector<std::string> units = {
        "a", "Zq", "7", "42", " ", "\n", ",", "-", "a-b", "-a", "a--b", "_", "\t", "\x7f",
        std::string(1, '\0'), "\xd0\xb6", "\xd0\x81", "\xd1\x91", "\xd0\xbf\xd1\x80",
        "\xd0\xb6-\xd1\x91", "\xc3\xa9", "\xc2\xa0", "\xc2\xab", "\xe2\x80\x94", "\xe2\x80\x90",
        "\xf0\x9f\x98\x80",
        // Malformed: stray and missing continuation bytes, bytes no character has, longer
        // forms of letters, a surrogate, Cyrillic leads with a byte that is no Russian letter.
        "\x80", "\xbf", "\xff", "\xf8", "\xd0", "\xd1", "\xd0 ", "\xd0\xd0\xb0", "\xe2\x80",
        "\xe2\x80"
        "a",
        "\xf0\x9f\x98", "\xc0\x80", "\xc1\x81", "\xe0\x90\xb0", "\xe0\x80\xb0", "\xed\xa0\x80",
        "\xd0\x80", "\xd0\x8f", "\xd1\x90", "\xd1\x92", "\xd0\xc0", "\xd1\x8f\x80",
        "\xd0\xb0\xbf\xbf\xbf\xbf"};
    std::string easy;
    const char* words[] = {"ab ", "\xd0\xb6\xd1\x91\xd0\xba", "-", "12", ", ", "x-y", "\n", "Q"};
    for (std::size_t i = 0; easy.size() < 200; ++i) easy += words[i % 8];
    const std::vector<Settings> plain = {{64, 0, 512, ~std::uint64_t{0}}};
    const std::vector<Settings> varied = {
        {3, 0, 512, ~std::uint64_t{0}},
        {1, 2, 5, type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD)},
        {64, 1, 1, ~std::uint64_t{0}}};
    for (const std::string& unit : units) {
        for (std::size_t at = 0; at <= 140; ++at) {
            const std::string input = easy.substr(0, at) + unit + easy.substr(at);
            for (std::size_t chunk : {input.size() + 1, std::size_t{100}}) {
                if (!same(input, chunk, plain) || !same(input, chunk, varied))
                    native_check::fail("mismatch: unit of %zu bytes at %zu, chunk %zu", unit.size(),
                                       at, chunk);
            }
        }
    }
}

static void compare_all() {
    const std::vector<std::string> alphabet = {
        "a", "Z", "q", "0", "7", " ", "\n", "-", "-", ",", ".", "_", "\t", "\xd0\xb0", "\xd0\x81",
        "\xd1\x8f", "\xd1\x91", "\xc3\xa9", "\xe2\x80\x94", "\xe2\x80\x90", "\xf0\x9f\x98\x80",
        "\x80", "\xff", "\xd0", "\xe2\x80", "\xc0\x80", "\xed\xa0\x80", "\xc2\xa0",
        std::string(1, '\0'),
        // Neighbours of the letter and digit ranges, and of the Russian alphabet.
        "@", "[", "`", "{", "/", ":", "\xd0\x80", "\xd0\x8f", "\xd0\xc0", "\xd1\x90", "\xd1\x92",
        "\xd1\x80", "\xd0\xbf", "\xd2\x90", "\xcf\xbf"};
    // Hyphens among words of every type, often enough to build groups of up to 16 pieces and
    // 128 characters, and beyond.
    const std::vector<std::string> hyphenated = {
        "a-", "abc-", "7-", "\xd0\xb0-", "\xc1\x81-", "x", "\xd1\x91\xd0\xb6", "-", " ", ","};
    compare(alphabet, 3000, 120, 12345);
    compare(hyphenated, 3000, 300, 777);
    // Groups that end exactly at the joiner's limits, or one character or piece past them.
    const std::vector<Settings> plain = {{64, 0, 512, ~std::uint64_t{0}}};
    for (std::size_t k = 120; k <= 130; ++k) {
        for (const char* word : {"x", "7", "\xd0\xb6"}) {
            std::string run_of_k;
            for (std::size_t i = 0; i < k; ++i) run_of_k += word;
            std::string chain;
            for (std::size_t i = 0; i < k / 16; ++i) chain += "a-";
            // Each after a space: the window scan starts only between tokens.
            for (const std::string& input :
                 {" " + run_of_k + "-a ", " " + run_of_k + "- ", " ab-" + run_of_k + " ",
                  " " + chain + "b ", " " + chain + run_of_k + " ", " " + chain + "-b "}) {
                if (!same(input, input.size() + 1, plain))
                    native_check::fail("mismatch: %zu-character run, %zu bytes", k, input.size());
            }
        }
    }
    // Hyphen chains of every length up to past the joiner's 16 pieces, inside long easy text.
    for (std::size_t n = 1; n <= 12; ++n) {
        for (const char* word : {"a", "bc", "\xd0\xb6", "9"}) {
            std::string chain = word;
            for (std::size_t i = 0; i < n; ++i) chain += std::string("-") + word;
            const std::string input =
                std::string(70, ' ') + chain + " " + chain + "- x" + std::string(70, ' ');
            if (!same(input, input.size() + 1, plain))
                native_check::fail("mismatch: chain of %zu hyphens", n);
        }
    }
    // The scan leaves the decoder's record as it found it, at rest: stray continuation bytes
    // right after scanned text must complete no character on either path.
    for (const std::string input : {" ab \x80 c", " ab\x80\x80\x80\x80\x80 c", " \xd0\xb6\xbf x",
                                    " a-b\xbf\xbf,", " \xe2\x80\x93\x80\x80 7\x80"}) {
        if (!same(input, input.size() + 1, plain))
            native_check::fail("mismatch: continuation bytes after scanned text, %zu bytes",
                               input.size());
    }
    every_position();
}

// Everything once per kernel this CPU runs; the byte path is the same for all.
int main() {
    for (wide::Kernel k : wide::supported_kernels()) {
        native_check::require(wide::force_kernel(k), "a supported kernel could not be chosen");
        const int before = native_check::failures;
        compare_all();
        std::printf("kernel %s: %d failures\n", wide::kernel_info(k).name,
                    native_check::failures - before);
    }
    return native_check::report();
}

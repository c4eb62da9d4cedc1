// Throughput of the native core alone (no Python, no output): the window scan against the
// byte-at-a-time path, on the file named on the command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "../tests/native/core_hooks.hpp"
#include "tokenizers/tokenizers.hpp"

using namespace chopwise;

static double seconds_for(const std::string& text, bool scan, std::uint64_t filter,
                          std::size_t& tokens) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        FromTextTokenizer tok(text);
        if (!scan) CoreTestHooks::turn_window_scan_off(tok);
        tok.batch.set_filter(filter);
        tokens = 0;
        const auto t0 = std::chrono::steady_clock::now();
        do {
            tok.fill_batch();
            tokens += tok.batch.token_count;
        } while (tok.batch.token_count > 0 || tok.input.position() < tok.input.input_len());
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        if (dt.count() < best) best = dt.count();
    }
    return best;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [ROW]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    const double mb = static_cast<double>(text.size()) / 1e6;
    // ROW (for profiling) runs one row only: 0..3 in the order printed.
    const int only = argc > 2 ? std::atoi(argv[2]) : -1;
    int row = 0;
    for (bool scan : {false, true}) {
        for (std::uint64_t filter : {std::uint64_t{0}, ~std::uint64_t{0}}) {
            if (only >= 0 && row++ != only) continue;
            std::size_t tokens = 0;
            const double s = seconds_for(text, scan, filter, tokens);
            std::printf("%-12s %-10s %8.1f MB/s %7.1f Mtokens/s\n",
                        scan ? "window scan" : "byte path", filter ? "all kept" : "none kept",
                        mb / s, static_cast<double>(tokens) / s / 1e6);
        }
    }
    return 0;
}

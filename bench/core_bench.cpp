// Throughput of the native core alone (no Python, no output): the window scan under each wide
// kernel the CPU has against the byte-at-a-time path, on the file named on the command line.
// Times are CPU time of this process, best of three, so other work on the machine matters less.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "../tests/native/core_hooks.hpp"
#include "tokenizers/tokenizers.hpp"
#include "tokens/wide/kernels.hpp"

using namespace chopwise;

static double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

static double seconds_for(const std::string& text, bool scan, std::uint64_t filter,
                          std::size_t& tokens) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        FromTextTokenizer tok(text);
        if (!scan) CoreTestHooks::turn_window_scan_off(tok);
        tok.batch.set_filter(filter);
        tokens = 0;
        const double t0 = cpu_seconds();
        do {
            tok.fill_batch();
            tokens += tok.batch.token_count;
        } while (tok.batch.token_count > 0 || tok.input.position() < tok.input.input_len());
        const double dt = cpu_seconds() - t0;
        if (dt < best) best = dt;
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
    // ROW (for profiling) runs one row only: 0, 1, ... in the order printed.
    const int only = argc > 2 ? std::atoi(argv[2]) : -1;
    int row = 0;
    auto rows = [&](const char* path, bool scan) {
        for (std::uint64_t filter : {std::uint64_t{0}, ~std::uint64_t{0}}) {
            if (only >= 0 && row++ != only) continue;
            std::size_t tokens = 0;
            const double s = seconds_for(text, scan, filter, tokens);
            std::printf("%-18s %-10s %8.1f MB/s %7.1f Mtokens/s\n", path,
                        filter ? "all kept" : "none kept", mb / s,
                        static_cast<double>(tokens) / s / 1e6);
        }
    };
    rows("byte path", false);
    for (wide::Kernel k : wide::supported_kernels()) {
        wide::force_kernel(k);
        const std::string name = std::string("window scan ") + wide::kernel_info(k).name;
        rows(name.c_str(), true);
    }
    return 0;
}

// Throughput of the native core alone (no Python, no output): the window scan under each wide
// kernel the CPU has against the byte-at-a-time path, on the file named on the command line.
// Times are CPU time of this process, best of three, so other work on the machine matters less.
// With a path (scan or bytes) and what is kept (all or none) after it, one pass of that case
// alone, for instruction counts (the scan with the kernel CHOPWISE_KERNEL names, or the widest):
//   valgrind --tool=callgrind build/native/core_bench FILE scan all
#include <cstdio>
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

static double seconds_for(const std::string& text, bool scan, std::uint64_t filter, int runs,
                          std::size_t& tokens) {
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
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
    const bool one_case = argc == 4;
    auto is = [&](int i, const char* a, const char* b) {
        return std::string(argv[i]) == a || std::string(argv[i]) == b;
    };
    if (argc != 2 && !(one_case && is(2, "scan", "bytes") && is(3, "all", "none"))) {
        std::fprintf(stderr, "usage: %s FILE [scan|bytes all|none]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    const double mb = static_cast<double>(text.size()) / 1e6;
    auto rows = [&](const std::string& path, bool scan) {
        for (std::uint64_t filter : {std::uint64_t{0}, ~std::uint64_t{0}}) {
            if (one_case && (scan != (std::string(argv[2]) == "scan") ||
                             (filter != 0) != (std::string(argv[3]) == "all")))
                continue;
            std::size_t tokens = 0;
            const double s = seconds_for(text, scan, filter, one_case ? 1 : 3, tokens);
            std::printf("%-18s %-10s %8.1f MB/s %7.1f Mtokens/s\n", path.c_str(),
                        filter ? "all kept" : "none kept", mb / s,
                        static_cast<double>(tokens) / s / 1e6);
        }
    };
    rows("byte path", false);
    if (one_case) {
        rows(std::string("window scan ") + wide::active_kernel().name, true);
        return 0;
    }
    for (wide::Kernel k : wide::supported_kernels()) {
        wide::force_kernel(k);
        rows(std::string("window scan ") + wide::kernel_info(k).name, true);
    }
    return 0;
}

// Tokenizes a file on the byte-at-a-time path alone (the window scan off), so that tests can
// hold that path to the same tokens in the same batches as the module's roads. The file is
// read as a text in memory, or with --file through the file source. Prints each batch as one
// line per token (its type, a space and its bytes in hex), then a line "--".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "core_hooks.hpp"
#include "tokenizers/tokenizers.hpp"

using namespace chopwise;

template <class Source>
static int print_batches(TokenizerCore<Source>& core, std::uint32_t batch_size) {
    CoreTestHooks::turn_window_scan_off(core);
    if (batch_size != 0) core.batch.set_batch_size(batch_size);
    do {
        core.fill_batch();
        const char* token = core.batch.text_out;
        for (std::uint32_t i = 0; i < core.batch.token_count; ++i) {
            std::printf("%llu ", static_cast<unsigned long long>(core.batch.types_out[i]));
            // Tokens end at their NUL; an input NUL is a one-character token of its own.
            std::size_t length = token[0] == '\0' ? 1 : std::strlen(token);
            for (std::size_t k = 0; k < length; ++k)
                std::printf("%02x", static_cast<unsigned char>(token[k]));
            std::printf("\n");
            token += length + 1;
        }
        if (core.batch.token_count > 0) std::printf("--\n");
    } while (core.batch.token_count > 0);
    return 0;
}

int main(int argc, char** argv) {
    bool from_file = false;
    std::uint32_t batch_size = 0;  // the default
    int arg = 1;
    for (; arg < argc - 1; ++arg) {
        if (std::strcmp(argv[arg], "--file") == 0)
            from_file = true;
        else if (std::strcmp(argv[arg], "--batch-size") == 0 && arg + 1 < argc - 1)
            batch_size = static_cast<std::uint32_t>(std::strtoul(argv[++arg], nullptr, 10));
        else
            break;
    }
    if (arg != argc - 1) {
        std::fprintf(stderr, "usage: %s [--file] [--batch-size N] FILE\n", argv[0]);
        return 2;
    }
    if (from_file) {
        FromFileTokenizer core(argv[arg]);
        return print_batches(core, batch_size);
    }
    std::ifstream in(argv[arg], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FromTextTokenizer core(std::move(text));
    return print_batches(core, batch_size);
}

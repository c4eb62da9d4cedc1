// Tokenizes a file on the byte-at-a-time path alone (the window scan off), so that tests can
// hold that path to the same expected tokens as the module's. Prints one token per line: its
// type, a space and its bytes in hex.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tokenizers/text_source.hpp"
#include "tokenizers/tokenizer_core.hpp"

using namespace chopwise;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TokenizerCore<TextSource> core(std::in_place, std::move(text));
    core.window_scan_enabled = false;
    do {
        core.fill_batch();
        const char* token = core.batch.text_out;
        for (std::uint32_t i = 0; i < core.batch.token_count; ++i) {
            std::printf("%llu ", static_cast<unsigned long long>(core.batch.types_out[i]));
            // Tokens end at their NUL; an input NUL is a one-character token of its own.
            std::size_t length = token[0] == '\0' ? 1 : std::string(token).size();
            for (std::size_t k = 0; k < length; ++k)
                std::printf("%02x", static_cast<unsigned char>(token[k]));
            std::printf("\n");
            token += length + 1;
        }
    } while (core.batch.token_count > 0);
    return 0;
}

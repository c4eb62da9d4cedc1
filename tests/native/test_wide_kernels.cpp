// Each wide kernel must read every block exactly as the byte-at-a-time reference does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "tokens/wide/kernels.hpp"

using namespace chopwise::wide;

// Bytes drawn mostly from those the kernels tell apart, and their neighbours.
static std::string random_text(std::mt19937& rng, std::size_t n) {
    static const std::uint8_t near[] = {'a',  'z',  'A',  'Z',  '@',  '[',  '`',  '{',
                                        '0',  '9',  '/',  ':',  '-',  ' ',  '\n', 0x00,
                                        0x7F, 0x80, 0x81, 0x8F, 0x90, 0x91, 0x92, 0xBF,
                                        0xC0, 0xCF, 0xD0, 0xD1, 0xD2, 0xE0, 0xF0, 0xFF};
    std::string s;
    while (s.size() < n) {
        const unsigned pick = rng() % 4;
        if (pick == 0) {
            s += static_cast<char>(rng() % 256);
        } else if (pick == 1) {
            // A Russian letter, or a lead with any next byte.
            s += static_cast<char>(0xD0 + rng() % 2);
            s += static_cast<char>(rng() % 3 ? 0x80 + rng() % 64 : rng() % 256);
        } else {
            s += static_cast<char>(near[rng() % sizeof near]);
        }
    }
    s.resize(n);
    return s;
}

// CHOPWISE_KERNEL names the kernel in use; a name this CPU cannot run, or no kernel's name,
// leaves the widest it has.
static void check_choice() {
    const char* wanted = std::getenv("CHOPWISE_KERNEL");
    const std::vector<Kernel> supported = supported_kernels();
    CHECK(!supported.empty() && supported.front() == Kernel::plain);
    bool named = false;
    for (Kernel k : supported) named |= wanted && std::strcmp(kernel_info(k).name, wanted) == 0;
    if (named)
        CHECK(std::strcmp(active_kernel().name, wanted) == 0);
    else
        CHECK(active_kernel().kernel == supported.back());
    std::printf("kernel in use: %s\n", active_kernel().name);
}

int main() {
    check_choice();
    std::mt19937 rng(2024);
    for (Kernel k : supported_kernels()) {
        const KernelInfo& info = kernel_info(k);
        if (info.classify == nullptr) continue;
        int bad = 0;
        for (int round = 0; round < 4000; ++round) {
            const std::size_t blocks = 1 + rng() % 4;
            const std::string text = random_text(rng, blocks * block_bytes + 1);
            const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
            BlockMasks want[4], got[4];
            classify_plain(p, blocks, want);
            info.classify(p, blocks, got);
            for (std::size_t i = 0; i < blocks; ++i) {
                if (got[i].start != want[i].start || got[i].hard != want[i].hard ||
                    got[i].hyphen != want[i].hyphen ||
                    got[i].continuation != want[i].continuation) {
                    if (bad++ < 3)
                        native_check::fail("kernel %s: block %zu of round %d differs", info.name, i,
                                           round);
                }
            }
        }
        if (bad > 3) native_check::fail("kernel %s: %d blocks differ in all", info.name, bad);
        std::printf("kernel %s: masks checked\n", info.name);
    }
    // The reference itself, on bytes whose reading is known: 'ab-7' is one token (a digit
    // joins after the hyphen), then a space, 'жё-x', D0 80 and C3 A9 (hard), and spaces.
    const std::string text =
        std::string("ab-7 \xd0\xb6\xd1\x91-x\xd0\x80\xc3\xa9") + std::string(block_bytes, ' ');
    BlockMasks m;
    classify_plain(reinterpret_cast<const std::uint8_t*>(text.data()), 1, &m);
    const std::uint64_t spaces = ~std::uint64_t{0} << 15;
    CHECK(m.start == (spaces | 1u << 0 | 1u << 4 | 1u << 5));
    CHECK(m.hard == 0x7800u);
    CHECK(m.continuation == (1u << 6 | 1u << 8));
    CHECK(m.hyphen == (1u << 2 | 1u << 9));
    return native_check::report();
}

#pragma once

#include "../../tokenizers/batch.hpp"
#include "block_masks.hpp"
#include "wide_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CHOPWISE_X86_KERNELS 1
#else
#define CHOPWISE_X86_KERNELS 0
#endif

#if CHOPWISE_X86_KERNELS
namespace chopwise::wide {
// Each needs the CPU feature in its name; see the dispatcher.
void classify_sse42(const std::uint8_t* p, std::size_t blocks, BlockMasks* out);
void classify_avx2(const std::uint8_t* p, std::size_t blocks, BlockMasks* out);
const std::uint8_t* scan_sse42(const std::uint8_t* p, const std::uint8_t* end,
                               const std::uint8_t* readable_end, BatchCursor& out,
                               PlainCount& plain);
const std::uint8_t* scan_avx2(const std::uint8_t* p, const std::uint8_t* end,
                              const std::uint8_t* readable_end, BatchCursor& out,
                              PlainCount& plain);
}  // namespace chopwise::wide
#endif

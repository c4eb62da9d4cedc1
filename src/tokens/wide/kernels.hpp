#pragma once

// The wide kernels and the choice among them, made once per process: the widest one the CPU
// runs, unless CHOPWISE_KERNEL names another (plain, sse42, avx2) for diagnosis and tests.
// "plain" means no wide kernel: the window scan goes a character at a time.

#include <cstdint>
#include <vector>

#include "../../tokenizers/batch.hpp"
#include "block_masks.hpp"
#include "wide_scan.hpp"

namespace chopwise::wide {

enum class Kernel : std::uint8_t { plain, sse42, avx2 };

struct KernelInfo {
    Kernel kernel;
    const char* name;
    ClassifyFn classify;       // null for plain
    ScanFn<BatchCursor> scan;  // null for plain
};

// The kernel in use.
const KernelInfo& active_kernel();
// The kernels this CPU runs, plain first.
std::vector<Kernel> supported_kernels();
const KernelInfo& kernel_info(Kernel k);
// Test hook: makes `k` the kernel in use; false (nothing changed) when the CPU lacks it.
bool force_kernel(Kernel k);

}  // namespace chopwise::wide

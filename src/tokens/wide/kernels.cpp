#include "kernels.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kernels_x86.hpp"

namespace chopwise::wide {
namespace {

constexpr KernelInfo kernels[] = {
    {Kernel::plain, "plain", nullptr, nullptr},
#if CHOPWISE_X86_KERNELS
    {Kernel::sse42, "sse42", classify_sse42, scan_sse42},
    {Kernel::avx2, "avx2", classify_avx2, scan_avx2},
#endif
};

bool cpu_runs(Kernel k) {
#if CHOPWISE_X86_KERNELS
    __builtin_cpu_init();
    switch (k) {
        case Kernel::plain:
            return true;
        case Kernel::sse42:
            return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt");
        case Kernel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    }
    return false;
#else
    return k == Kernel::plain;
#endif
}

const KernelInfo* choose() {
    const KernelInfo* best = &kernels[0];
    for (const KernelInfo& info : kernels)
        if (cpu_runs(info.kernel)) best = &info;
    // A name the CPU cannot run, or no kernel's name, leaves the widest.
    if (const char* wanted = std::getenv("CHOPWISE_KERNEL")) {
        for (const KernelInfo& info : kernels)
            if (std::strcmp(wanted, info.name) == 0 && cpu_runs(info.kernel)) best = &info;
    }
    return best;
}

std::atomic<const KernelInfo*>& slot() {
    static std::atomic<const KernelInfo*> active{choose()};
    return active;
}

}  // namespace

const KernelInfo& active_kernel() { return *slot().load(std::memory_order_relaxed); }

std::vector<Kernel> supported_kernels() {
    std::vector<Kernel> out;
    for (const KernelInfo& info : kernels)
        if (cpu_runs(info.kernel)) out.push_back(info.kernel);
    return out;
}

const KernelInfo& kernel_info(Kernel k) {
    for (const KernelInfo& info : kernels)
        if (info.kernel == k) return info;
    return kernels[0];
}

bool force_kernel(Kernel k) {
    if (!cpu_runs(k) || kernel_info(k).kernel != k) return false;
    slot().store(&kernel_info(k), std::memory_order_relaxed);
    return true;
}

}  // namespace chopwise::wide

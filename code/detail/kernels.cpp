// Run-time choice of the kernel table.
#include "kernels.h"

#include <atomic>

namespace velmora::detail {
namespace {

std::atomic<KernelLevel>& currentLevel() {
    static std::atomic<KernelLevel> level{bestKernelLevel()};
    return level;
}

}  // namespace

bool kernelLevelSupported(KernelLevel level) {
    switch (level) {
        case KernelLevel::Reference:
        case KernelLevel::Sse2:
            return true;
        case KernelLevel::Avx2:
            return __builtin_cpu_supports("avx2");
        case KernelLevel::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
    }
    return false;
}

KernelLevel bestKernelLevel() {
    if (kernelLevelSupported(KernelLevel::Avx512)) return KernelLevel::Avx512;
    if (kernelLevelSupported(KernelLevel::Avx2)) return KernelLevel::Avx2;
    return KernelLevel::Sse2;
}

KernelLevel kernelLevel() { return currentLevel().load(std::memory_order_relaxed); }

void setKernelLevel(KernelLevel level) {
    currentLevel().store(kernelLevelSupported(level) ? level : bestKernelLevel(), std::memory_order_relaxed);
}

const char* kernelLevelName(KernelLevel level) {
    switch (level) {
        case KernelLevel::Reference:
            return "reference";
        case KernelLevel::Sse2:
            return "sse2";
        case KernelLevel::Avx2:
            return "avx2";
        case KernelLevel::Avx512:
            return "avx512";
    }
    return "unknown";
}

const Kernels& activeKernels() {
    switch (kernelLevel()) {
        case KernelLevel::Avx512:
            return kAvx512Kernels;
        case KernelLevel::Avx2:
            return kAvx2Kernels;
        default:
            return kSse2Kernels;
    }
}

}  // namespace velmora::detail

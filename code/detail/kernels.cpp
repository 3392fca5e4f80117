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
    }
    return false;
}

KernelLevel bestKernelLevel() {
    return kernelLevelSupported(KernelLevel::Avx2) ? KernelLevel::Avx2 : KernelLevel::Sse2;
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
    }
    return "unknown";
}

const Kernels& activeKernels() { return kernelLevel() == KernelLevel::Avx2 ? kAvx2Kernels : kSse2Kernels; }

}  // namespace velmora::detail

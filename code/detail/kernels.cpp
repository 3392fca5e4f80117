// The instruction sets of the fast path, and the run-time choice among them.
#include "kernels.h"

#include "../approach.h"

#include <atomic>
#include <cmath>

namespace velmora::detail {

// Defined by kernels_<isa>.cpp, each compiled for its own instruction set.
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;

namespace {

bool always() { return true; }
bool hasAvx2() { return __builtin_cpu_supports("avx2"); }
bool hasAvx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}

std::atomic<const InstructionSet*>& current() {
    static std::atomic<const InstructionSet*> set{&bestInstructionSet()};
    return set;
}

}  // namespace

const InstructionSet kInstructionSets[kInstructionSetCount] = {
    {"sse2", always, &kSse2Kernels},
    {"avx2", hasAvx2, &kAvx2Kernels},
    {"avx512", hasAvx512, &kAvx512Kernels},
};

const InstructionSet& bestInstructionSet() {
    for (int i = kInstructionSetCount - 1; i > 0; --i)
        if (kInstructionSets[i].supported()) return kInstructionSets[i];
    return kInstructionSets[0];
}

const InstructionSet& activeInstructionSet() { return *current().load(std::memory_order_relaxed); }

void setInstructionSet(const InstructionSet& set) {
    current().store(set.supported() ? &set : &bestInstructionSet(), std::memory_order_relaxed);
}

const Kernels& activeKernels() { return *activeInstructionSet().kernels; }

FieldParams readFieldParams() { return fieldParams(std_alpha, std_sigma); }

FieldParams fieldParams(float alpha, float sigma) {
    FieldParams params{};
    params.alpha = alpha;
    params.sigma = sigma;
    params.inverseAlpha = 1.0f / params.alpha;
    // For alpha = 2^e with 2^-e a normal float, d / alpha and d * 2^-e are the same real
    // number rounded the same way, so the kernels may multiply.
    int exponent = 0;
    params.alphaIsPowerOfTwo = std::isnormal(params.alpha) && std::isnormal(params.inverseAlpha) &&
                               std::fabs(std::frexp(params.alpha, &exponent)) == 0.5f;
    return params;
}

}  // namespace velmora::detail

// The instruction sets of the fast path, and the run-time choice among them.
#include "kernels.h"

#include "../approach.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::detail {

// Defined by kernels_<level>.cpp, each compiled for its own instruction set.
extern const Kernels kBaselineKernels;
#if defined(__x86_64__) || defined(_M_X64)
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
#elif defined(__aarch64__) || defined(_M_ARM64)
extern const Kernels kNeonKernels;
#endif

namespace {

bool always() { return true; }

#if defined(__x86_64__) || defined(_M_X64)
// The checks may run while the library is loaded, before the C runtime's own initialisers
// have filled in the processor model that they read: fill it in first.
bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
bool hasAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#endif

std::atomic<const InstructionSet*>& current() {
    static std::atomic<const InstructionSet*> set{&startingInstructionSet(std::getenv(kForceVariable))};
    return set;
}

// The names of the sets for which `take` holds, comma-separated, into `out` (which holds 64).
template <typename Take>
void listNames(char (&out)[64], Take take) {
    out[0] = '\0';
    for (const InstructionSet& set : kInstructionSets) {
        if (!take(set)) continue;
        if (out[0] != '\0') std::strncat(out, ", ", sizeof out - std::strlen(out) - 1);
        std::strncat(out, set.name, sizeof out - std::strlen(out) - 1);
    }
}

// A forced set that cannot be used is an error of the caller's setup, not of the data: the
// process stops before any result is computed, rather than run on another set unasked.
[[noreturn]] void refuseForced(const char* forced, const char* reason, const char* namesLabel, bool supportedOnly) {
    char names[64];
    listNames(names, [&](const InstructionSet& set) { return !supportedOnly || set.supported(); });
    std::fprintf(stderr, "velmora: %s=%s: %s; %s: %s\n", kForceVariable, forced, reason, namesLabel, names);
    std::fflush(stderr);
    std::exit(1);
}

// Resolves the forced set when the library is loaded, so that a wrong name stops a program
// at its start, before it has read or written anything.
[[maybe_unused]] const bool kResolvedAtLoad = (current(), true);

}  // namespace

const InstructionSet kInstructionSets[kInstructionSetCount] = {
#if defined(__x86_64__) || defined(_M_X64)
    // The baseline is SSE2 code on x86-64, and named so.
    {"sse2", always, &kBaselineKernels},
    {"avx2", hasAvx2, &kAvx2Kernels},
    {"avx512", hasAvx512, &kAvx512Kernels},
#elif defined(__aarch64__) || defined(_M_ARM64)
    {"baseline", always, &kBaselineKernels},
    {"neon", always, &kNeonKernels},
#else
    {"baseline", always, &kBaselineKernels},
#endif
};

const InstructionSet& bestInstructionSet() {
    for (int i = kInstructionSetCount - 1; i > 0; --i)
        if (kInstructionSets[i].supported()) return kInstructionSets[i];
    return kInstructionSets[0];
}

const InstructionSet& startingInstructionSet(const char* forced) {
    if (forced == nullptr || forced[0] == '\0') return bestInstructionSet();
    for (const InstructionSet& set : kInstructionSets) {
        if (std::strcmp(forced, set.name) != 0) continue;
        if (!set.supported()) refuseForced(forced, "this processor lacks it", "it has", true);
        return set;
    }
    refuseForced(forced, "no such kernel level", "the levels are", false);
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

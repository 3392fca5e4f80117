// The kernels for ARM64 with NEON intrinsics where they beat the portable vector code: four
// lanes of 128 bits as in the baseline, with the boxes of a track split into their fields by
// structure loads. NEON (Advanced SIMD) is part of every ARM64 processor, so this file needs
// no option of its own and its table no run-time check.
#define VELMORA_KERNEL_NAMESPACE neon
#define VELMORA_KERNEL_TABLE kNeonKernels
#define VELMORA_KERNEL_WIDTH 4
#define VELMORA_KERNEL_NEON 1
#include "kernels_impl.h"

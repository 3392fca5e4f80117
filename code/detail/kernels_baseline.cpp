// The baseline kernels, built from the portable vector code alone with the compiler's default
// instruction set: SSE2 on x86-64, NEON on ARM64, whatever the target offers elsewhere. They
// run on every processor of the architecture, so the switch falls back to them.
#define VELMORA_KERNEL_NAMESPACE baseline
#define VELMORA_KERNEL_TABLE kBaselineKernels
#define VELMORA_KERNEL_WIDTH 4
#include "kernels_impl.h"

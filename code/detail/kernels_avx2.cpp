// The kernels for processors with AVX2; this file alone is compiled with -mavx2 (and never
// with -mfma), and its table is used only after a run-time check of the processor.
#define VELMORA_KERNEL_NAMESPACE avx2
#define VELMORA_KERNEL_TABLE kAvx2Kernels
#define VELMORA_KERNEL_WIDTH 8
#include "kernels_impl.h"

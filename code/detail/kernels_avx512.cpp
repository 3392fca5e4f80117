// The kernels for processors with AVX-512 (F, VL, DQ and BW); this file alone is compiled
// for them, and its table is used only after a run-time check of the processor. The
// instruction set includes fused multiply-add, but -ffp-contract=off keeps every product
// rounded on its own. Eight-lane kernels as for AVX2, and the paired sixteen-lane ones where
// divisions dominate.
#define VELMORA_KERNEL_NAMESPACE avx512
#define VELMORA_KERNEL_TABLE kAvx512Kernels
#define VELMORA_KERNEL_WIDTH 8
#define VELMORA_KERNEL_PAIRED 1
// The eight-lane kernels that the paired ones replace are compiled here too, unused.
#pragma GCC diagnostic ignored "-Wunused-function"
#include "kernels_impl.h"

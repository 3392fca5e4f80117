// The kernels on the x86-64 baseline (SSE2), available on every processor.
#define VELMORA_KERNEL_NAMESPACE sse2
#define VELMORA_KERNEL_TABLE kSse2Kernels
#define VELMORA_KERNEL_WIDTH 4
#include "kernels_impl.h"

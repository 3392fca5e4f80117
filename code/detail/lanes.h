// Lane masks of four-lane comparisons, for the scalar code around the kernels.
#ifndef VELMORA_DETAIL_LANES_H
#define VELMORA_DETAIL_LANES_H

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::detail {

// What comparing two four-float vectors gives: per lane all ones (true) or all zeros.
typedef int LaneMask4 __attribute__((vector_size(4 * sizeof(int))));

// The lanes of `mask` that are true, as bits 0-3 (lane 0 lowest).
inline int laneBits(LaneMask4 mask) {
#if defined(__SSE2__)
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask));
#else
    return (mask[0] & 1) | (mask[1] & 2) | (mask[2] & 4) | (mask[3] & 8);
#endif
}

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_LANES_H

// Body of the attraction kernels, included once per instruction set by kernels_<isa>.cpp
// with VELMORA_KERNEL_NAMESPACE and VELMORA_KERNEL_TABLE defined. Everything here has
// internal linkage, so the copies built for different instruction sets never meet.
//
// The vectors are GCC vector extensions of eight floats: the AVX2 build keeps one in a ymm
// register, the baseline build splits it over two xmm registers. Only +, -, *, / and
// comparisons are used, each correctly rounded; the build has -ffp-contract=off, so no
// product is ever fused into an addition.
#include "kernels.h"

namespace velmora::detail {
namespace VELMORA_KERNEL_NAMESPACE {
namespace {

typedef float Vec __attribute__((vector_size(kLanes * sizeof(float))));
typedef int Mask __attribute__((vector_size(kLanes * sizeof(int))));

inline Vec load(const float* p) {
    Vec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline Mask loadMask(const int* p) {
    Mask v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, Vec v) { __builtin_memcpy(p, &v, sizeof v); }
inline void store(int* p, Mask v) { __builtin_memcpy(p, &v, sizeof v); }
// A true splat: adding to a zero vector would turn -0.0 into +0.0.
inline Vec broadcast(float s) { return Vec{s, s, s, s, s, s, s, s}; }
inline Mask broadcast(int s) { return Mask{s, s, s, s, s, s, s, s}; }
static_assert(kLanes == 8, "the splats above list eight lanes");

// Bitwise select: lanes of `yes` where the mask is set, else `no`. Works on bits, so a term
// of -0.0 that is kept stays -0.0, exactly as in the scalar path.
inline Vec select(Mask m, Vec yes, Vec no) {
    Mask y, n;
    __builtin_memcpy(&y, &yes, sizeof y);
    __builtin_memcpy(&n, &no, sizeof n);
    const Mask r = (y & m) | (n & ~m);
    Vec out;
    __builtin_memcpy(&out, &r, sizeof out);
    return out;
}

// (d + d) / alpha, as the distance scales a size term.
template <bool PowerOfTwo, typename T>
inline T scaleSize(T d, const FieldParams& params) {
    if constexpr (PowerOfTwo)
        return (d + d) * params.inverseAlpha;
    else
        return (d + d) / params.alpha;
}

// attraction(a, b, sigma) with a = (acx, acy, aw, ah) given by centre and size: the box
// distance step by step, then the reciprocal.
template <bool PowerOfTwo, typename T>
inline T attraction(T acx, T acy, T aw, T ah, T bcx, T bcy, T bw, T bh, const FieldParams& params) {
    const T sw = aw + bw;
    const T sh = ah + bh;
    T dx = (acx - bcx) / sw;
    dx = dx + dx;
    T dy = (acy - bcy) / sh;
    dy = dy + dy;
    const T dw = scaleSize<PowerOfTwo>((aw - bw) / sw, params);
    const T dh = scaleSize<PowerOfTwo>((ah - bh) / sh, params);
    const T distance = ((dx * dx + dy * dy) + dw * dw) + dh * dh;
    return 1.0f / (distance + params.sigma);
}

template <bool PowerOfTwo>
void pairTableImpl(const FrameView& f, const FieldParams& params, float* table, int stride) {
    const int n = f.n;
    for (int p = 0; p < n; ++p) {
        const Vec pcx = broadcast(f.cx[p]), pcy = broadcast(f.cy[p]);
        const Vec pw = broadcast(f.w[p]), ph = broadcast(f.h[p]);
        float* row = table + static_cast<long>(p) * stride;
        // Upper triangle from the diagonal on, a vector of partners at a time; the
        // distance is symmetric to the bit, so the lower triangle is a copy.
        for (int q = p; q < n; q += kLanes) {
            const Vec a = attraction<PowerOfTwo>(load(f.cx + q), load(f.cy + q), load(f.w + q), load(f.h + q), pcx,
                                                 pcy, pw, ph, params);
            store(row + q, a);
        }
        for (int q = p + 1; q < n; ++q) table[static_cast<long>(q) * stride + p] = row[q];
    }
}

void pairTable(const FrameView& f, const FieldParams& params, float* table, int stride) {
    if (params.alphaIsPowerOfTwo)
        pairTableImpl<true>(f, params, table, stride);
    else
        pairTableImpl<false>(f, params, table, stride);
}

// term = attraction * weight * weight, in that order; kept only when it is 0 or more and the
// candidate's width is not 0.
inline Vec weightedTerm(Vec attraction, float weight, Mask candidateHasWidth) {
    const Vec term = attraction * weight * weight;
    return select((term >= 0.0f) & candidateHasWidth, term, Vec{});
}

void frameTotals(const FrameView& f, const float* table, int stride, float* totals) {
    const int n = f.n;
    for (int p = 0; p < n; p += kLanes) {
        const Mask hasWidth = load(f.w + p) != 0.0f;
        Vec total{};
        // Trackers are added in selection order, each lane its own candidate.
        for (int q = 0; q < n; ++q)
            total += weightedTerm(load(table + static_cast<long>(q) * stride + p), f.weight[q], hasWidth);
        store(totals + p, total);
    }
}

template <bool PowerOfTwo>
void neighbourTotalsImpl(const FrameView& f, const ClimbTerms& terms, const FieldParams& params, float x, float y,
                         float w, float h, float* out8) {
    // Offsets in the climb's order, the unmoved box (0, 0) left out.
    const Vec dxs = {-1.0f, -1.0f, -1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    const Vec dys = {-1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 1.0f};
    // Candidate centres: width * 0.5 + (x + dx), as the scalar path forms the moved box first.
    const Vec ccx = w * 0.5f + (x + dxs);
    const Vec ccy = h * 0.5f + (y + dys);
    const Mask hasWidth = broadcast(w != 0.0f ? -1 : 0);
    Vec total{};
    for (int q = 0; q < f.n; ++q) {
        // Tracker box first, candidate second, as the frame attraction calls it.
        Vec dx = (f.cx[q] - ccx) / terms.sw[q];
        dx = dx + dx;
        Vec dy = (f.cy[q] - ccy) / terms.sh[q];
        dy = dy + dy;
        const Vec distance = ((dx * dx + dy * dy) + terms.dw2[q]) + terms.dh2[q];
        const Vec a = 1.0f / (distance + params.sigma);
        total += weightedTerm(a, f.weight[q], hasWidth);
    }
    store(out8, total);
}

void neighbourTotals(const FrameView& f, const ClimbTerms& terms, const FieldParams& params, float x, float y,
                     float w, float h, float* out8) {
    if (params.alphaIsPowerOfTwo)
        neighbourTotalsImpl<true>(f, terms, params, x, y, w, h, out8);
    else
        neighbourTotalsImpl<false>(f, terms, params, x, y, w, h, out8);
}

template <bool PowerOfTwo>
void boxAttractionsImpl(const float* ax, const float* ay, const float* aw, const float* ah, const float* bx,
                        const float* by, const float* bw, const float* bh, int count, const FieldParams& params,
                        float* out) {
    for (int i = 0; i < count; i += kLanes) {
        const Vec aw_ = load(aw + i), ah_ = load(ah + i), bw_ = load(bw + i), bh_ = load(bh + i);
        const Vec acx = aw_ * 0.5f + load(ax + i), acy = ah_ * 0.5f + load(ay + i);
        const Vec bcx = bw_ * 0.5f + load(bx + i), bcy = bh_ * 0.5f + load(by + i);
        store(out + i, attraction<PowerOfTwo>(acx, acy, aw_, ah_, bcx, bcy, bw_, bh_, params));
    }
}

void boxAttractions(const float* ax, const float* ay, const float* aw, const float* ah, const float* bx,
                    const float* by, const float* bw, const float* bh, int count, const FieldParams& params,
                    float* out) {
    if (params.alphaIsPowerOfTwo)
        boxAttractionsImpl<true>(ax, ay, aw, ah, bx, by, bw, bh, count, params, out);
    else
        boxAttractionsImpl<false>(ax, ay, aw, ah, bx, by, bw, bh, count, params, out);
}

void trajectoryStep(const float* table, int stride, const float* previous, const float* weights, int n, float sigma,
                    float beta, float* scores, int* predecessors) {
    for (int k = 0; k < n; k += kLanes) {
        const Vec wk = load(weights + k);
        Vec best{};
        Mask from = broadcast(-1);
        for (int j = 0; j < n; ++j) {
            // Pair reward of entering position k from position j, both boxes of this frame:
            // the table is symmetric, so row j holds attraction(box k, box j).
            const Vec t = load(table + static_cast<long>(j) * stride + k) * sigma * beta;
            const Vec c = t + (previous[j] + wk);
            const Mask better = c > best;
            best = select(better, c, best);
            from = (better & broadcast(j)) | (~better & from);
        }
        store(scores + k, best);
        store(predecessors + k, from);
    }
}

}  // namespace
}  // namespace VELMORA_KERNEL_NAMESPACE

extern const Kernels VELMORA_KERNEL_TABLE;
const Kernels VELMORA_KERNEL_TABLE = {
    VELMORA_KERNEL_NAME,
    VELMORA_KERNEL_NAMESPACE::pairTable,
    VELMORA_KERNEL_NAMESPACE::frameTotals,
    VELMORA_KERNEL_NAMESPACE::neighbourTotals,
    VELMORA_KERNEL_NAMESPACE::boxAttractions,
    VELMORA_KERNEL_NAMESPACE::trajectoryStep,
};

}  // namespace velmora::detail

// Body of the attraction kernels, included once per instruction set by kernels_<isa>.cpp
// with VELMORA_KERNEL_NAMESPACE, VELMORA_KERNEL_TABLE and VELMORA_KERNEL_WIDTH (floats per
// native vector: 4 for the baseline and NEON, 8 for AVX2 and AVX-512) defined;
// VELMORA_KERNEL_PAIRED adds the sixteen-lane kernels of AVX-512, and VELMORA_KERNEL_NEON the
// NEON structure loads that split boxes into their fields.
// Everything here has internal linkage, so the copies built for different instruction sets
// never meet.
//
// The vectors are the vector extensions that GCC and Clang share (vector_size types, element
// access, the ?: select and __builtin_shufflevector with constant indices). Only +, -, *, /
// and comparisons are used, each correctly rounded; the build has -ffp-contract=off, so no
// product is ever fused into an addition. Buffers are padded to a multiple of kLanes (8), which every width divides.
#include "kernels.h"

#ifdef VELMORA_KERNEL_NEON
#include <arm_neon.h>
#endif

namespace velmora::detail {
namespace VELMORA_KERNEL_NAMESPACE {
namespace {

constexpr int W = VELMORA_KERNEL_WIDTH;
static_assert(kLanes % W == 0, "buffers are padded for eight lanes");

typedef float Vec __attribute__((vector_size(W * sizeof(float))));
typedef int Mask __attribute__((vector_size(W * sizeof(int))));

inline Vec load(const float* p) {
    Vec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, Vec v) { __builtin_memcpy(p, &v, sizeof v); }
inline void store(int* p, Mask v) { __builtin_memcpy(p, &v, sizeof v); }

// Splats. s - (+0) is s for every float, -0.0 included (adding +0 would turn it into +0).
inline Vec splat(float s) { return s - Vec{}; }
inline Mask splat(int s) { return s - Mask{}; }

// Lanes of `yes` where the mask is set, else `no`, copied bit for bit: a term of -0.0 that
// is kept stays -0.0, exactly as in the scalar path. Masks are all ones or all zeros.
inline Vec select(Mask m, Vec yes, Vec no) { return m ? yes : no; }

// The comparison result of a vector type, and loads and stores of any vector type.
template <typename V>
struct MaskOf;
template <>
struct MaskOf<Vec> {
    typedef Mask Type;
};
template <typename V>
inline V loadAs(const float* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
inline void storeAs(float* p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}

// In-register transpose of a W x W tile: afterwards v[i][j] holds what v[j][i] held. Pure
// data movement, no arithmetic.
inline void transpose(Vec* v) {
#if VELMORA_KERNEL_WIDTH == 8
    Vec t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shufflevector(v[i], v[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[i + 1] = __builtin_shufflevector(v[i], v[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (int i = 0; i < 8; i += 4) {
        for (int j = 0; j < 2; ++j) {
            u[i + j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[i + j + 2] = __builtin_shufflevector(t[i + j], t[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    }
    for (int i = 0; i < 4; ++i) {
        v[i] = __builtin_shufflevector(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        v[i + 4] = __builtin_shufflevector(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
    // After the three stages the rows come out in the order 0 2 1 3 4 6 5 7.
    Vec r1 = v[1], r5 = v[5];
    v[1] = v[2], v[2] = r1;
    v[5] = v[6], v[6] = r5;
#else
    const Vec t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);
    const Vec t1 = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
    const Vec t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5);
    const Vec t3 = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    v[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    v[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
#endif
}

// (d + d) / alpha, as the distance scales a size term. For a power of two the product with
// the exact reciprocal is the same correctly rounded value.
template <bool PowerOfTwo, typename T>
inline T scaleSize(T d, const FieldParams& params) {
    if constexpr (PowerOfTwo)
        return (d + d) * params.inverseAlpha;
    else
        return (d + d) / params.alpha;
}

// attraction(a, b, sigma) for boxes given by centre and size: the box distance step by step
// (centre offsets over the side sums, doubled; size differences over the side sums, doubled
// and scaled), summed as ((dx² + dy²) + dw²) + dh², then the reciprocal.
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
    // Tiles of W x W pairs on and above the diagonal. Row p of a tile holds box p against a
    // vector of partners; the distance is symmetric to the bit, so the transposed tile is
    // the mirror tile below the diagonal. Diagonal tiles are computed whole.
    for (int p0 = 0; p0 < n; p0 += W) {
        for (int q0 = p0; q0 < n; q0 += W) {
            const Vec qcx = load(f.cx + q0), qcy = load(f.cy + q0), qw = load(f.w + q0), qh = load(f.h + q0);
            Vec tile[W];
            for (int i = 0; i < W; ++i) {
                const int p = p0 + i;
                tile[i] = attraction<PowerOfTwo>(qcx, qcy, qw, qh, splat(f.cx[p]), splat(f.cy[p]), splat(f.w[p]),
                                                 splat(f.h[p]), params);
                store(table + static_cast<long>(p) * stride + q0, tile[i]);
            }
            if (q0 == p0) continue;
            transpose(tile);
            for (int i = 0; i < W; ++i) store(table + static_cast<long>(q0 + i) * stride + p0, tile[i]);
        }
    }
}

void pairTable(const FrameView& f, const FieldParams& params, float* table, int stride) {
    if (params.alphaIsPowerOfTwo)
        pairTableImpl<true>(f, params, table, stride);
    else
        pairTableImpl<false>(f, params, table, stride);
}

// Tiles of 4 x 4 pairs, one tile per sixteen-lane vector: lane 4i + j pairs box p0 + i with
// box q0 + j. A tile above the diagonal, transposed by one shuffle, is the mirror tile below
// it (the distance is symmetric to the bit). Sixteen lanes are two AVX2 vectors, four SSE or
// NEON ones, one AVX-512 vector: each lane still computes one pair on its own.
typedef float Four __attribute__((vector_size(4 * sizeof(float))));
typedef float Eight __attribute__((vector_size(8 * sizeof(float))));
typedef float Sixteen __attribute__((vector_size(16 * sizeof(float))));

template <bool PowerOfTwo>
void quadPairTableImpl(const FrameView& f, const FieldParams& params, float* table, int stride) {
    // Eight entries from p (four past the tile are read, inside the padding), then entries
    // 0 .. 3 along the tile's rows or down its columns.
    auto eight = [](const float* p) { return loadAs<Eight>(p); };
    auto across = [](Eight v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3); };
    auto down = [](Eight v) { return __builtin_shufflevector(v, v, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3); };
    auto rows = [](Sixteen v, float* to, long rowStride) {
        alignas(64) float lanes[16];
        __builtin_memcpy(lanes, &v, sizeof v);
        for (int i = 0; i < 4; ++i) __builtin_memcpy(to + i * rowStride, lanes + 4 * i, 4 * sizeof(float));
    };
    const int n = f.n;
    for (int p0 = 0; p0 < n; p0 += 4) {
        const Sixteen pcx = down(eight(f.cx + p0)), pcy = down(eight(f.cy + p0));
        const Sixteen pw = down(eight(f.w + p0)), ph = down(eight(f.h + p0));
        for (int q0 = p0; q0 < n; q0 += 4) {
            const Sixteen tile =
                attraction<PowerOfTwo>(across(eight(f.cx + q0)), across(eight(f.cy + q0)), across(eight(f.w + q0)),
                                       across(eight(f.h + q0)), pcx, pcy, pw, ph, params);
            rows(tile, table + static_cast<long>(p0) * stride + q0, stride);
            if (q0 == p0) continue;
            const Sixteen mirror =
                __builtin_shufflevector(tile, tile, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
            rows(mirror, table + static_cast<long>(q0) * stride + p0, stride);
        }
    }
}

void quadPairTable(const FrameView& f, const FieldParams& params, float* table, int stride) {
    if (params.alphaIsPowerOfTwo)
        quadPairTableImpl<true>(f, params, table, stride);
    else
        quadPairTableImpl<false>(f, params, table, stride);
}

// totals[p] as the kernel table describes, one candidate per lane: each tracker's term is
// attraction * weight * weight, in that order, kept only when it is 0 or more and the
// candidate's width is not 0, and the trackers are added in selection order.
template <typename V>
void frameTotalsOf(const FrameView& f, const float* table, int stride, float* totals) {
    constexpr int L = sizeof(V) / sizeof(float);
    typedef typename MaskOf<V>::Type M;
    for (int p = 0; p < f.n; p += L) {
        const M hasWidth = loadAs<V>(f.w + p) != 0.0f;
        V total{};
        for (int q = 0; q < f.n; ++q) {
            const V term = loadAs<V>(table + static_cast<long>(q) * stride + p) * f.weight[q] * f.weight[q];
            total += (term >= 0.0f) & hasWidth ? term : V{};
        }
        storeAs(totals + p, total);
    }
}

void frameTotals(const FrameView& f, const float* table, int stride, float* totals) {
    frameTotalsOf<Vec>(f, table, stride, totals);
}

// The offset columns that each of the eight neighbours uses, in the climb's order
// (dx = -1, 0, 1 outer, dy = -1, 0, 1 inner, the unmoved box left out).
constexpr int kColumnX[8] = {0, 0, 0, 1, 1, 2, 2, 2};
constexpr int kColumnY[8] = {0, 1, 2, 0, 2, 0, 1, 2};

// Loads box `frame` of W tracks into one vector per field, lane l from track l.
inline void loadBoxes(const float* const* tracks, long frame, Vec& x, Vec& y, Vec& w, Vec& h) {
    typedef float Quad __attribute__((vector_size(4 * sizeof(float))));
    auto quad = [&](int l) {
        Quad q;
        __builtin_memcpy(&q, tracks[l] + 4 * frame, sizeof q);
        return q;
    };
#if VELMORA_KERNEL_WIDTH == 8
    // Each 128-bit half holds one box; a transpose within the halves gives the fields.
    const Vec v0 = __builtin_shufflevector(quad(0), quad(4), 0, 1, 2, 3, 4, 5, 6, 7);
    const Vec v1 = __builtin_shufflevector(quad(1), quad(5), 0, 1, 2, 3, 4, 5, 6, 7);
    const Vec v2 = __builtin_shufflevector(quad(2), quad(6), 0, 1, 2, 3, 4, 5, 6, 7);
    const Vec v3 = __builtin_shufflevector(quad(3), quad(7), 0, 1, 2, 3, 4, 5, 6, 7);
    const Vec t0 = __builtin_shufflevector(v0, v1, 0, 8, 1, 9, 4, 12, 5, 13);
    const Vec t1 = __builtin_shufflevector(v0, v1, 2, 10, 3, 11, 6, 14, 7, 15);
    const Vec t2 = __builtin_shufflevector(v2, v3, 0, 8, 1, 9, 4, 12, 5, 13);
    const Vec t3 = __builtin_shufflevector(v2, v3, 2, 10, 3, 11, 6, 14, 7, 15);
    x = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    y = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    w = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    h = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
#else
    Vec v[4] = {quad(0), quad(1), quad(2), quad(3)};
    transpose(v);
    x = v[0], y = v[1], w = v[2], h = v[3];
#endif
}

void gatherBoxes(const float* const* tracks, long frame, int n, float* w, float* h, float* cx, float* cy) {
    int q = 0;
    for (; q + W <= n; q += W) {
        Vec bx, by, bw, bh;
        loadBoxes(tracks + q, frame, bx, by, bw, bh);
        store(w + q, bw);
        store(h + q, bh);
        store(cx + q, bw * 0.5f + bx);
        store(cy + q, bh * 0.5f + by);
    }
    for (; q < n; ++q) {
        const float* b = tracks[q] + 4 * frame;
        w[q] = b[2], h[q] = b[3];
        cx[q] = b[2] * 0.5f + b[0];
        cy[q] = b[3] * 0.5f + b[1];
    }
}

// One step of the trajectory programme, one position k per lane.
template <typename V>
void trajectoryStepOf(const float* table, int stride, const float* previous, const float* weights, int n, float sigma,
                      float beta, float* scores, int* predecessors) {
    constexpr int L = sizeof(V) / sizeof(float);
    typedef typename MaskOf<V>::Type M;
    for (int k = 0; k < n; k += L) {
        const V wk = loadAs<V>(weights + k);
        V best{};
        M from = -1 - M{};
        for (int j = 0; j < n; ++j) {
            // Pair reward of entering position k from position j, both boxes of this frame:
            // the table is symmetric, so row j holds attraction(box k, box j).
            const V t = loadAs<V>(table + static_cast<long>(j) * stride + k) * sigma * beta;
            const V c = t + (previous[j] + wk);
            const M better = c > best;
            best = better ? c : best;
            from = better ? j - M{} : from;
        }
        storeAs(scores + k, best);
        __builtin_memcpy(predecessors + k, &from, sizeof from);
    }
}

void trajectoryStep(const float* table, int stride, const float* previous, const float* weights, int n, float sigma,
                    float beta, float* scores, int* predecessors) {
    trajectoryStepOf<Vec>(table, stride, previous, weights, n, sigma, beta, scores, predecessors);
}

#ifdef VELMORA_KERNEL_PAIRED
// ---- Paired kernels: two groups of eight lanes in one 16-lane vector ----
//
// Buffers stay padded for eight lanes, so a selection of 24 trackers still fills three
// groups exactly. These kernels put two such groups side by side in one 512-bit vector,
// where a processor divides sixteen floats in little more time than eight. Each lane still
// holds one independent output and the same operations in the same order.

typedef float Wide __attribute__((vector_size(16 * sizeof(float))));
typedef int WideMask __attribute__((vector_size(16 * sizeof(int))));
template <>
struct MaskOf<Wide> {
    typedef WideMask Type;
};

inline Wide join(Vec low, Vec high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
inline Vec lowHalf(Wide v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7); }
inline Vec highHalf(Wide v) { return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15); }

// Lanes 0-7 repeat entry r of v, lanes 8-15 entry r + 1.
template <int r>
inline Wide rowPair(Vec v) {
    return __builtin_shufflevector(v, v, r, r, r, r, r, r, r, r, r + 1, r + 1, r + 1, r + 1, r + 1, r + 1, r + 1,
                                   r + 1);
}

template <bool PowerOfTwo, int r>
inline void pairedTileRows(const Wide (&q)[4], const Vec (&p)[4], const FieldParams& params, Vec* tile) {
    const Wide a = attraction<PowerOfTwo>(q[0], q[1], q[2], q[3], rowPair<r>(p[0]), rowPair<r>(p[1]), rowPair<r>(p[2]),
                                          rowPair<r>(p[3]), params);
    tile[r] = lowHalf(a);
    tile[r + 1] = highHalf(a);
}

template <bool PowerOfTwo>
void pairedPairTableImpl(const FrameView& f, const FieldParams& params, float* table, int stride) {
    const int n = f.n;
    // The tiles of the eight-lane kernel, two rows of a tile per vector.
    for (int p0 = 0; p0 < n; p0 += W) {
        const Vec p[4] = {load(f.cx + p0), load(f.cy + p0), load(f.w + p0), load(f.h + p0)};
        for (int q0 = p0; q0 < n; q0 += W) {
            const Vec qcx = load(f.cx + q0), qcy = load(f.cy + q0), qw = load(f.w + q0), qh = load(f.h + q0);
            const Wide q[4] = {join(qcx, qcx), join(qcy, qcy), join(qw, qw), join(qh, qh)};
            Vec tile[W];
            pairedTileRows<PowerOfTwo, 0>(q, p, params, tile);
            pairedTileRows<PowerOfTwo, 2>(q, p, params, tile);
            pairedTileRows<PowerOfTwo, 4>(q, p, params, tile);
            pairedTileRows<PowerOfTwo, 6>(q, p, params, tile);
            for (int i = 0; i < W; ++i) store(table + static_cast<long>(p0 + i) * stride + q0, tile[i]);
            if (q0 == p0) continue;
            transpose(tile);
            for (int i = 0; i < W; ++i) store(table + static_cast<long>(q0 + i) * stride + p0, tile[i]);
        }
    }
}

void pairedPairTable(const FrameView& f, const FieldParams& params, float* table, int stride) {
    if (params.alphaIsPowerOfTwo)
        pairedPairTableImpl<true>(f, params, table, stride);
    else
        pairedPairTableImpl<false>(f, params, table, stride);
}

// Sixteen candidates per vector. A 16-lane access at a multiple of eight below n stays
// inside paddedCount(n) entries.
void pairedFrameTotals(const FrameView& f, const float* table, int stride, float* totals) {
    frameTotalsOf<Wide>(f, table, stride, totals);
}

// Sixteen consecutive boxes, (x, y, width, height) each, as one vector per field.
inline void loadSixteenBoxes(const float* boxes, Wide& x, Wide& y, Wide& w, Wide& h) {
    const Wide a = loadAs<Wide>(boxes), b = loadAs<Wide>(boxes + 16), c = loadAs<Wide>(boxes + 32),
               d = loadAs<Wide>(boxes + 48);
    // x and y of boxes 0-7 (or 8-15) side by side, then their widths and heights.
    const Wide xy0 = __builtin_shufflevector(a, b, 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const Wide wh0 = __builtin_shufflevector(a, b, 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    const Wide xy1 = __builtin_shufflevector(c, d, 0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const Wide wh1 = __builtin_shufflevector(c, d, 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    x = __builtin_shufflevector(xy0, xy1, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    y = __builtin_shufflevector(xy0, xy1, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
    w = __builtin_shufflevector(wh0, wh1, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    h = __builtin_shufflevector(wh0, wh1, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
}

// Eight vectors of eight pairs of floats each: afterwards v[m] holds pair m of every former
// v[j], in order of j. Pure data movement. Unlike `transpose`, whose stages suit the in-lane
// shuffles of AVX2, these stages are two-source permutes that leave the rows in order.
inline void transposePairs(Wide* v) {
    typedef double Pairs __attribute__((vector_size(64)));
    Pairs t[8], s[8];
    for (int i = 0; i < 8; ++i) t[i] = reinterpret_cast<Pairs>(v[i]);
    for (int i = 0; i < 8; i += 2) {
        s[i] = __builtin_shufflevector(t[i], t[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        s[i + 1] = __builtin_shufflevector(t[i], t[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int i = 0; i < 8; i += 4) {
        for (int j = 0; j < 2; ++j) {
            t[i + j] = __builtin_shufflevector(s[i + j], s[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            t[i + j + 2] = __builtin_shufflevector(s[i + j], s[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    }
    for (int i = 0; i < 4; ++i) {
        s[i] = __builtin_shufflevector(t[i], t[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        s[i + 4] = __builtin_shufflevector(t[i], t[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
    for (int i = 0; i < 8; ++i) v[i] = reinterpret_cast<Wide>(s[i]);
}

void pairedTrajectoryStep(const float* table, int stride, const float* previous, const float* weights, int n,
                          float sigma, float beta, float* scores, int* predecessors) {
    trajectoryStepOf<Wide>(table, stride, previous, weights, n, sigma, beta, scores, predecessors);
}
#endif  // VELMORA_KERNEL_PAIRED

// ---- Frames in lanes ----
//
// The candidate choice of several consecutive frames at once, one frame per lane: no lane is
// padding whatever the number of trackers, each pair attraction is computed once for both
// orders, and every total adds its trackers in selection order within its own lane.

#ifdef VELMORA_KERNEL_NEON
// Four consecutive boxes as one vector per field: a four-way structure load (LD4) splits the
// sixteen floats into x, y, width and height as it reads them. Pure data movement.
inline void splitBoxes(const float* boxes, Vec& x, Vec& y, Vec& w, Vec& h) {
    const float32x4x4_t fields = vld4q_f32(boxes);
    __builtin_memcpy(&x, &fields.val[0], sizeof x);
    __builtin_memcpy(&y, &fields.val[1], sizeof y);
    __builtin_memcpy(&w, &fields.val[2], sizeof w);
    __builtin_memcpy(&h, &fields.val[3], sizeof h);
}
#endif

// W consecutive boxes of one track, one vector per field.
inline void loadConsecutiveBoxes(const float* boxes, Vec& x, Vec& y, Vec& w, Vec& h) {
#if VELMORA_KERNEL_WIDTH == 8
    const Vec a = load(boxes), b = load(boxes + 8), c = load(boxes + 16), d = load(boxes + 24);
    const Vec xy0 = __builtin_shufflevector(a, b, 0, 4, 8, 12, 1, 5, 9, 13);  // x0-3, y0-3
    const Vec wh0 = __builtin_shufflevector(a, b, 2, 6, 10, 14, 3, 7, 11, 15);
    const Vec xy1 = __builtin_shufflevector(c, d, 0, 4, 8, 12, 1, 5, 9, 13);  // x4-7, y4-7
    const Vec wh1 = __builtin_shufflevector(c, d, 2, 6, 10, 14, 3, 7, 11, 15);
    x = __builtin_shufflevector(xy0, xy1, 0, 1, 2, 3, 8, 9, 10, 11);
    y = __builtin_shufflevector(xy0, xy1, 4, 5, 6, 7, 12, 13, 14, 15);
    w = __builtin_shufflevector(wh0, wh1, 0, 1, 2, 3, 8, 9, 10, 11);
    h = __builtin_shufflevector(wh0, wh1, 4, 5, 6, 7, 12, 13, 14, 15);
#elif defined(VELMORA_KERNEL_NEON)
    splitBoxes(boxes, x, y, w, h);
#else
    Vec v[4] = {load(boxes), load(boxes + 4), load(boxes + 8), load(boxes + 12)};
    transpose(v);
    x = v[0], y = v[1], w = v[2], h = v[3];
#endif
}

// W consecutive boxes of one track, one vector per field, in a shuffled frame order: frame i
// sits in lane kLaneOfFrame[i] (frames 0 2 4 6 1 3 5 7 with eight lanes). Only shuffles within
// 128-bit halves, which AVX2 does in one step.
#if VELMORA_KERNEL_WIDTH == 8
constexpr int kLaneOfFrame[8] = {0, 4, 1, 5, 2, 6, 3, 7};
#else
constexpr int kLaneOfFrame[4] = {0, 1, 2, 3};
#endif
inline void loadShuffledBoxes(const float* boxes, Vec& x, Vec& y, Vec& w, Vec& h) {
#if VELMORA_KERNEL_WIDTH == 8
    Vec v[4] = {load(boxes), load(boxes + W), load(boxes + 2 * W), load(boxes + 3 * W)};
    // Each half of v[i] is one box: boxes 2i and 2i + 1.
    const Vec t0 = __builtin_shufflevector(v[0], v[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const Vec t1 = __builtin_shufflevector(v[0], v[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const Vec t2 = __builtin_shufflevector(v[2], v[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const Vec t3 = __builtin_shufflevector(v[2], v[3], 2, 10, 3, 11, 6, 14, 7, 15);
    x = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    y = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    w = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    h = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
#elif defined(VELMORA_KERNEL_NEON)
    splitBoxes(boxes, x, y, w, h);
#else
    Vec v[4] = {load(boxes), load(boxes + W), load(boxes + 2 * W), load(boxes + 3 * W)};
    transpose(v);
    x = v[0], y = v[1], w = v[2], h = v[3];
#endif
}

// Track-to-annotation sums by windows: `Frames` consecutive frames of one track per vector,
// `Block` trackers at a time, against the same annotation boxes. The layout adds a window's
// terms to the trackers' sums in frame order, and reads a tracker's sum back. Slots past the
// last tracker, and tracks without a whole window, read the annotation instead and add
// nothing; frames past a track's last whole window are added one by one.
template <bool PowerOfTwo, typename V, int Frames, int Block, typename Layout>
void windowedAttractionSums(const float* const* tracks, const int* counts, int trackers, const float* truth,
                            const FieldParams& params, float* sums) {
    for (int k0 = 0; k0 < trackers; k0 += Block) {
        const int block = trackers - k0 < Block ? trackers - k0 : Block;
        int shortest = block == Block ? 1 << 30 : 0, longest = 0;
        for (int j = 0; j < block; ++j) {
            shortest = counts[k0 + j] < shortest ? counts[k0 + j] : shortest;
            longest = counts[k0 + j] > longest ? counts[k0 + j] : longest;
        }
        typename Layout::Sums total{};
        for (long f = 0; f + Frames <= longest; f += Frames) {
            V bx, by, bw, bh;
            Layout::load(truth + 4 * f, bx, by, bw, bh);
            const V bcx = bw * 0.5f + bx, bcy = bh * 0.5f + by;
            const bool every = f + Frames <= shortest;
            bool whole[Block];
            V terms[Block];
            for (int j = 0; j < Block; ++j) {
                const int k = k0 + j;
                whole[j] = every || (j < block && f + Frames <= counts[k]);
                // The window four ahead, a cache line per four boxes.
                if (j < block && f + 5 * Frames <= counts[k])
                    for (int line = 0; line < Frames / 4; ++line)
                        __builtin_prefetch(tracks[k] + 4 * (f + 4 * Frames) + 16 * line);
                V x, y, w, h;
                Layout::load(whole[j] ? tracks[k] + 4 * f : truth + 4 * f, x, y, w, h);
                terms[j] = attraction<PowerOfTwo>(w * 0.5f + x, h * 0.5f + y, w, h, bcx, bcy, bw, bh, params);
            }
            Layout::add(total, terms, every ? nullptr : whole);
        }
        for (int j = 0; j < block; ++j) {
            const int k = k0 + j;
            float sum = Layout::sum(total, j);
            for (long g = counts[k] / Frames * static_cast<long>(Frames); g < counts[k]; ++g) {
                const float* a = tracks[k] + 4 * g;
                const float* b = truth + 4 * g;
                sum += attraction<PowerOfTwo>(a[2] * 0.5f + a[0], a[3] * 0.5f + a[1], a[2], a[3], b[2] * 0.5f + b[0],
                                              b[3] * 0.5f + b[1], b[2], b[3], params);
            }
            sums[k] = sum;
        }
    }
}

// W frames per vector and W trackers per block: a transpose gives one vector per frame over
// the trackers, whose sums sit in lane j.
struct FrameLanes {
    typedef Vec Sums;
    static void load(const float* boxes, Vec& x, Vec& y, Vec& w, Vec& h) { loadShuffledBoxes(boxes, x, y, w, h); }
    static void add(Vec& total, Vec* terms, const bool* whole) {
        transpose(terms);  // terms[kLaneOfFrame[i]]: frame i of every tracker
        Mask keep = splat(-1);
        for (int j = 0; whole && j < W; ++j) keep[j] = whole[j] ? -1 : 0;
        for (int i = 0; i < W; ++i) {
            const Vec frame = terms[kLaneOfFrame[i]];
            total += whole ? select(keep, frame, Vec{}) : frame;
        }
    }
    static float sum(const Vec& total, int j) { return total[j]; }
};

void attractionSums(const float* const* tracks, const int* counts, int trackers, const float* truth,
                    const FieldParams& params, float* sums) {
    if (params.alphaIsPowerOfTwo)
        windowedAttractionSums<true, Vec, W, W, FrameLanes>(tracks, counts, trackers, truth, params, sums);
    else
        windowedAttractionSums<false, Vec, W, W, FrameLanes>(tracks, counts, trackers, truth, params, sums);
}

#ifdef VELMORA_KERNEL_PAIRED
// Sixteen frames per vector and eight trackers per block: a transpose of frame pairs gives, per
// pair of frames, every tracker's two attractions side by side. Tracker j's sum sits in lane
// 2j, which adds the first frame of a pair, then the second, moved there from lane 2j + 1.
struct PairedFrameLanes {
    typedef Wide Sums;
    static void load(const float* boxes, Wide& x, Wide& y, Wide& w, Wide& h) { loadSixteenBoxes(boxes, x, y, w, h); }
    static void add(Wide& total, Wide* terms, const bool* whole) {
        transposePairs(terms);
        WideMask keep = -1 - WideMask{};
        for (int j = 0; whole && j < 8; ++j) keep[2 * j] = keep[2 * j + 1] = whole[j] ? -1 : 0;
        for (int m = 0; m < 8; ++m) {
            const Wide pair = whole ? (keep ? terms[m] : Wide{}) : terms[m];
            total += pair;
            total += __builtin_shufflevector(pair, pair, 1, 1, 3, 3, 5, 5, 7, 7, 9, 9, 11, 11, 13, 13, 15, 15);
        }
    }
    static float sum(const Wide& total, int j) { return total[2 * j]; }
};

void pairedAttractionSums(const float* const* tracks, const int* counts, int trackers, const float* truth,
                          const FieldParams& params, float* sums) {
    if (params.alphaIsPowerOfTwo)
        windowedAttractionSums<true, Wide, 16, 8, PairedFrameLanes>(tracks, counts, trackers, truth, params, sums);
    else
        windowedAttractionSums<false, Wide, 16, 8, PairedFrameLanes>(tracks, counts, trackers, truth, params, sums);
}
#endif

template <bool PowerOfTwo, typename V, int L, typename LoadBoxes>
void frameBlockImpl(const float* const* tracks, long first, int n, const float* weights, const FieldParams& params,
                    float* work, float* totals, int* chosen, LoadBoxes loadBoxesOf) {
    typedef typename MaskOf<V>::Type M;
    auto get = [](const float* p) {
        V v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    auto put = [](float* p, V v) { __builtin_memcpy(p, &v, sizeof v); };
    // Per box: centre x, centre y, width, height; then row p of the pair attractions holds
    // the partners q = p .. n-1.
    float* boxes = work;
    float* pairs = work + 4L * n * L;
    for (int q = 0; q < n; ++q) {
        V x, y, w, h;
        loadBoxesOf(tracks[q] + 4 * first, x, y, w, h);
        put(boxes + (4L * q + 0) * L, w * 0.5f + x);
        put(boxes + (4L * q + 1) * L, h * 0.5f + y);
        put(boxes + (4L * q + 2) * L, w);
        put(boxes + (4L * q + 3) * L, h);
    }
    auto field = [&](int q, int i) { return get(boxes + (4L * q + i) * L); };
    auto row = [&](int p) { return pairs + (static_cast<long>(p) * n - static_cast<long>(p) * (p - 1) / 2) * L; };
    for (int p = 0; p < n; ++p) {
        const V pcx = field(p, 0), pcy = field(p, 1), pw = field(p, 2), ph = field(p, 3);
        float* out = row(p);
        for (int q = p; q < n; ++q, out += L)
            put(out,
                attraction<PowerOfTwo>(field(q, 0), field(q, 1), field(q, 2), field(q, 3), pcx, pcy, pw, ph, params));
    }
    // Frame attraction of every box, and the running choice of the strongest.
    V best{};
    M position = -1 - M{};
    for (int p = 0; p < n; ++p) {
        const M hasWidth = field(p, 2) != 0.0f;
        V total{};
        auto add = [&](V a, float weight) {
            const V term = a * weight * weight;
            total += (term >= 0.0f) & hasWidth ? term : V{};
        };
        for (int q = 0; q < p; ++q) add(get(row(q) + static_cast<long>(p - q) * L), weights[q]);
        for (int q = p; q < n; ++q) add(get(row(p) + static_cast<long>(q - p) * L), weights[q]);
        put(totals + static_cast<long>(p) * L, total);
        const M better = total > best;
        best = better ? total : best;
        position = better ? p - M{} : position;
    }
    __builtin_memcpy(chosen, &position, sizeof position);
}

void frameBlock(const float* const* tracks, long first, int n, const float* weights, const FieldParams& params,
                float* work, float* totals, int* chosen) {
#ifdef VELMORA_KERNEL_PAIRED
    if (params.alphaIsPowerOfTwo)
        frameBlockImpl<true, Wide, 16>(tracks, first, n, weights, params, work, totals, chosen, loadSixteenBoxes);
    else
        frameBlockImpl<false, Wide, 16>(tracks, first, n, weights, params, work, totals, chosen, loadSixteenBoxes);
#else
    if (params.alphaIsPowerOfTwo)
        frameBlockImpl<true, Vec, W>(tracks, first, n, weights, params, work, totals, chosen, loadConsecutiveBoxes);
    else
        frameBlockImpl<false, Vec, W>(tracks, first, n, weights, params, work, totals, chosen, loadConsecutiveBoxes);
#endif
}

// Climbs of many frames in the lanes of one vector. Each round evaluates all eight
// neighbours of every lane's box, the trackers one after another, so every value adds its
// terms in selection order; a lane whose climb ends takes the next frame.
template <bool PowerOfTwo, typename V, int L>
void climbFramesImpl(const float* const* tracks, int n, const float* weights, const FieldParams& params, long first,
                     int count, const float* currents, const float* limits, float* boxes, float* work) {
    typedef typename MaskOf<V>::Type M;
    auto get = [](const float* p) {
        V v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    auto put = [](float* p, V v) { __builtin_memcpy(p, &v, sizeof v); };
    // Per tracker and lane: the tracker's centre and size in the lane's frame.
    auto trackerField = [&](int q, int i) { return work + (4L * q + i) * L; };
    // Per lane: the climbing box, the value it reached, moves made and the limit.
    alignas(64) float bx[L], by[L], bw[L], bh[L], value[L], moves[L], limit[L];
    int climb[L];  // the climb a lane runs, or -1
    int next = 0, running = 0;
    auto start = [&](int l) {
        climb[l] = -1;
        while (next < count) {
            const int c = next++;
            if (!(limits[c] > 0.0f)) continue;
            const float* box = boxes + 4L * c;
            bx[l] = box[0], by[l] = box[1], bw[l] = box[2], bh[l] = box[3];
            value[l] = currents[c], moves[l] = 0.0f, limit[l] = limits[c];
            for (int q = 0; q < n; ++q) {
                const float* t = tracks[q] + 4 * (first + c);
                trackerField(q, 0)[l] = t[2] * 0.5f + t[0];
                trackerField(q, 1)[l] = t[3] * 0.5f + t[1];
                trackerField(q, 2)[l] = t[2];
                trackerField(q, 3)[l] = t[3];
            }
            climb[l] = c;
            ++running;
            return;
        }
        // An idle lane computes on a harmless unit box.
        bx[l] = by[l] = 0.0f, bw[l] = bh[l] = 1.0f, value[l] = moves[l] = limit[l] = 0.0f;
        for (int q = 0; q < n; ++q) {
            trackerField(q, 0)[l] = trackerField(q, 1)[l] = 0.5f;
            trackerField(q, 2)[l] = trackerField(q, 3)[l] = 1.0f;
        }
    };
    for (int l = 0; l < L; ++l) start(l);
    constexpr float kDx[8] = {-1.0f, -1.0f, -1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    constexpr float kDy[8] = {-1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 1.0f};
    while (running > 0) {
        const V x = get(bx), y = get(by), w = get(bw), h = get(bh);
        const M hasWidth = w != 0.0f;
        // Centres of the boxes moved by -1, 0 and +1 along each axis.
        const V cx[3] = {w * 0.5f + (x + -1.0f), w * 0.5f + (x + 0.0f), w * 0.5f + (x + 1.0f)};
        const V cy[3] = {h * 0.5f + (y + -1.0f), h * 0.5f + (y + 0.0f), h * 0.5f + (y + 1.0f)};
        V total[8] = {};
        for (int q = 0; q < n; ++q) {
            // Tracker box first, moved box second, as the frame attraction pairs them.
            const V tcx = get(trackerField(q, 0)), tcy = get(trackerField(q, 1));
            const V tw = get(trackerField(q, 2)), th = get(trackerField(q, 3));
            const V sw = tw + w, sh = th + h;
            const V dw = scaleSize<PowerOfTwo>((tw - w) / sw, params);
            const V dh = scaleSize<PowerOfTwo>((th - h) / sh, params);
            const V dw2 = dw * dw, dh2 = dh * dh;
            V x2[3], y2[3];
            for (int c = 0; c < 3; ++c) {
                V dx = (tcx - cx[c]) / sw;
                dx = dx + dx;
                x2[c] = dx * dx;
                V dy = (tcy - cy[c]) / sh;
                dy = dy + dy;
                y2[c] = dy * dy;
            }
            const float weight = weights[q];
            for (int i = 0; i < 8; ++i) {
                const V distance = ((x2[kColumnX[i]] + y2[kColumnY[i]]) + dw2) + dh2;
                const V term = 1.0f / (distance + params.sigma) * weight * weight;
                total[i] += (term >= 0.0f) & hasWidth ? term : V{};
            }
        }
        // The first strictly better neighbour of each lane, and the move to it.
        V reached = get(value), moveX{}, moveY{};
        M moved = M{};
        for (int i = 0; i < 8; ++i) {
            const M better = total[i] > reached;
            reached = better ? total[i] : reached;
            moveX = better ? kDx[i] - V{} : moveX;
            moveY = better ? kDy[i] - V{} : moveY;
            moved |= better;
        }
        const V made = moved ? get(moves) + 1.0f : get(moves);
        put(bx, moved ? x + moveX : x);
        put(by, moved ? y + moveY : y);
        put(value, reached);
        put(moves, made);
        const M goesOn = moved & (get(limit) > made);
        for (int l = 0; l < L; ++l) {
            if (climb[l] < 0 || goesOn[l]) continue;
            float* box = boxes + 4L * climb[l];
            box[0] = bx[l], box[1] = by[l];
            --running;
            start(l);
        }
    }
}

void climbFrames(const float* const* tracks, int n, const float* weights, const FieldParams& params, long first,
                 int count, const float* currents, const float* limits, float* boxes, float* work) {
#ifdef VELMORA_KERNEL_PAIRED
    if (params.alphaIsPowerOfTwo)
        climbFramesImpl<true, Wide, 16>(tracks, n, weights, params, first, count, currents, limits, boxes, work);
    else
        climbFramesImpl<false, Wide, 16>(tracks, n, weights, params, first, count, currents, limits, boxes, work);
#else
    if (params.alphaIsPowerOfTwo)
        climbFramesImpl<true, Vec, W>(tracks, n, weights, params, first, count, currents, limits, boxes, work);
    else
        climbFramesImpl<false, Vec, W>(tracks, n, weights, params, first, count, currents, limits, boxes, work);
#endif
}

// ---- One box, its neighbours in lanes ----
//
// A live stream refines one box at a time, so its climb cannot fill lanes with frames: the
// lanes take the box's eight neighbours instead, one tracker's eight per eight lanes (two
// trackers per sixteen-lane vector). The arithmetic is climbFrames', lane for lane. What a
// step shares between neighbours is computed once, and is the same float whoever reads it:
//  - a neighbour's centre x is one of three values (x - 1, x, x + 1 moved), its centre y one
//    of three, so per tracker three x offsets and three y offsets are divided and squared,
//    side by side in six lanes of the tracker's eight, and each square serves the three
//    neighbours that have that centre;
//  - the size terms and the weight never change during a climb (width and height stay), so
//    they are computed once per climb, by the same operations the per-step code would use.
// Only the eight reciprocals remain per tracker and step. Each neighbour's total then adds
// the trackers' terms in selection order, eight lanes (the eight neighbours) at a time. A
// step depends on the move before it, so everything stays in registers: no store of one
// step is read back by it.

typedef int EightMask __attribute__((vector_size(8 * sizeof(int))));

// From the squared offsets of L / 8 trackers (x in lanes 0-2, y in lanes 3-5 of each eight),
// the x and the y term of each of their neighbours, in the climb's order (kColumnX, kColumnY).
template <typename V, int L>
inline void neighbourTerms(const V& squares, V& x2, V& y2) {
    if constexpr (L == 8) {
        x2 = __builtin_shufflevector(squares, squares, 0, 0, 0, 1, 1, 2, 2, 2);
        y2 = __builtin_shufflevector(squares, squares, 3, 4, 5, 3, 5, 3, 4, 5);
    } else {
        x2 = __builtin_shufflevector(squares, squares, 0, 0, 0, 1, 1, 2, 2, 2, 8, 8, 8, 9, 9, 10, 10, 10);
        y2 = __builtin_shufflevector(squares, squares, 3, 4, 5, 3, 5, 3, 4, 5, 11, 12, 13, 11, 13, 11, 12, 13);
    }
}

// The climbing box's position in the lanes of the six offsets of each tracker: x in lanes 0-2,
// y in lanes 3-5 of each eight. Per neighbour, the move to it in that layout, and the offsets
// of the three moved centres along each axis.
struct OffsetLanes {
    float moves[8][16];
    float offsets[16];
};
constexpr OffsetLanes makeOffsetLanes() {
    constexpr float kStepX[8] = {-1.0f, -1.0f, -1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    constexpr float kStepY[8] = {-1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 1.0f};
    constexpr float kOffset[8] = {-1.0f, 0.0f, 1.0f, -1.0f, 0.0f, 1.0f, 0.0f, 0.0f};
    OffsetLanes lanes{};
    for (int l = 0; l < 16; ++l) {
        const int k = l % 8;
        for (int i = 0; i < 8; ++i) lanes.moves[i][l] = k < 3 ? kStepX[i] : k < 6 ? kStepY[i] : 0.0f;
        lanes.offsets[l] = kOffset[k];
    }
    return lanes;
}
alignas(64) constexpr OffsetLanes kOffsetLanes = makeOffsetLanes();

// The lane of the first strictly better neighbour, or -1: the greatest total when it is above
// `reached`, and the first lane holding it. That is what a running strict comparison from
// `reached` finds (no total is NaN: every one is a sum of terms of 0 or more).
inline int firstBetter(const Eight& total, float& reached) {
    auto greater = [](Eight a, Eight b) { return a > b ? a : b; };
    Eight m = greater(total, __builtin_shufflevector(total, total, 4, 5, 6, 7, 0, 1, 2, 3));
    m = greater(m, __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5));
    m = greater(m, __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6));
    const float greatest = m[0];
    if (!(greatest > reached)) return -1;
    reached = greatest;
    const EightMask equal = total == greatest;
    for (int i = 0; i < 8; ++i)
        if (equal[i]) return i;
    return -1;  // not reached: the greatest is one of the totals
}

template <bool PowerOfTwo, typename V, int L>
void climbBoxImpl(const float* const* tracks, int n, const float* weights, const FieldParams& params, long frame,
                  float current, float limit, float* box, float* work) {
    if (!(limit > 0.0f)) return;  // a limit of 0 or less, or NaN, makes no move
    constexpr int G = L / 8;      // trackers per vector
    const float w = box[2], h = box[3];
    const int groups = (n + G - 1) / G;
    // Per group of G trackers, eight lanes per tracker: its centre (x in lanes 0-2, y in 3-5)
    // and the side sums that divide the offsets, lanes 6 and 7 harmless; then, by neighbour
    // lane, its squared size terms dw² and dh² and its weight. Missing trackers of the last
    // group are harmless and never added.
    // A tracker's box (x, y, width, height) gives, two lanes at a time: its centre, the side
    // sums and the scaled size differences (lanes 2 and 3 repeat lanes 0 and 1).
    const Four size = {w, h, w, h};
    auto put = [](float* to, Four v) { storeAs(to, __builtin_shufflevector(v, v, 0, 0, 0, 1, 1, 1, 2, 2)); };
    for (int q = 0; q < groups * G; ++q) {
        float* lanes = work + 5L * L * (q / G) + 8 * (q % G);
        if (q >= n) {
            put(lanes, Four{});
            put(lanes + L, Four{1.0f, 1.0f, 1.0f, 1.0f});
            for (int f = 2; f < 5; ++f) storeAs(lanes + f * L, Eight{});
            continue;
        }
        const Four t = loadAs<Four>(tracks[q] + 4 * frame);
        const Four sizes = __builtin_shufflevector(t, t, 2, 3, 2, 3);
        const Four sides = sizes + size;
        // Tracker box first, climbing box second, as the frame attraction pairs them.
        const Four d = scaleSize<PowerOfTwo>((sizes - size) / sides, params);
        const Four squares = d * d;
        put(lanes, __builtin_shufflevector(sizes * 0.5f + t, Four{}, 0, 1, 4, 4));
        put(lanes + L, __builtin_shufflevector(sides, Four{1.0f, 1.0f, 1.0f, 1.0f}, 0, 1, 4, 4));
        storeAs(lanes + 2 * L, __builtin_shufflevector(squares, squares, 0, 0, 0, 0, 0, 0, 0, 0));
        storeAs(lanes + 3 * L, __builtin_shufflevector(squares, squares, 1, 1, 1, 1, 1, 1, 1, 1));
        storeAs(lanes + 4 * L, weights[q] - Eight{});  // a splat that keeps -0.0
    }
    // A box of width 0 gets a term of 0 from every tracker: every neighbour totals 0.
    const bool hasWidth = w != 0.0f;
    // The position (x, y) and half the size, in the offset lanes.
    V position{}, halves{};
    for (int l = 0; l < L; ++l) {
        position[l] = l % 8 < 3 ? box[0] : l % 8 < 6 ? box[1] : 0.0f;
        halves[l] = l % 8 < 3 ? w * 0.5f : l % 8 < 6 ? h * 0.5f : 0.0f;
    }
    const V offsets = loadAs<V>(kOffsetLanes.offsets);
    float reached = current, moves = 0.0f;
    for (;;) {
        // Centres of the boxes moved by -1, 0 and +1 along each axis, as climbFrames has them:
        // w * 0.5 + (x + dx).
        const V pattern = halves + (position + offsets);
        Eight total{};
        for (int g = 0; hasWidth && g < groups; ++g) {
            const float* lanes = work + 5L * L * g;
            V d = (loadAs<V>(lanes) - pattern) / loadAs<V>(lanes + L);
            d = d + d;
            V x2, y2;
            neighbourTerms<V, L>(d * d, x2, y2);
            const V distance = ((x2 + y2) + loadAs<V>(lanes + 2 * L)) + loadAs<V>(lanes + 3 * L);
            const V weight = loadAs<V>(lanes + 4 * L);
            V term = 1.0f / (distance + params.sigma) * weight * weight;
            term = term >= 0.0f ? term : V{};
            // The trackers of the group in selection order.
            if constexpr (G == 1) {
                total += term;
            } else {
                total += __builtin_shufflevector(term, term, 0, 1, 2, 3, 4, 5, 6, 7);
                if (G * g + 1 < n) total += __builtin_shufflevector(term, term, 8, 9, 10, 11, 12, 13, 14, 15);
            }
        }
        const int best = firstBetter(total, reached);
        if (best < 0) break;
        position = position + loadAs<V>(kOffsetLanes.moves[best]);  // x + dx and y + dy
        moves = moves + 1.0f;
        if (!(limit > moves)) break;
    }
    box[0] = position[0];
    box[1] = position[3];
}

void climbBox(const float* const* tracks, int n, const float* weights, const FieldParams& params, long frame,
              float current, float limit, float* box, float* work) {
#ifdef VELMORA_KERNEL_PAIRED
    if (params.alphaIsPowerOfTwo)
        climbBoxImpl<true, Wide, 16>(tracks, n, weights, params, frame, current, limit, box, work);
    else
        climbBoxImpl<false, Wide, 16>(tracks, n, weights, params, frame, current, limit, box, work);
#else
    if (params.alphaIsPowerOfTwo)
        climbBoxImpl<true, Eight, 8>(tracks, n, weights, params, frame, current, limit, box, work);
    else
        climbBoxImpl<false, Eight, 8>(tracks, n, weights, params, frame, current, limit, box, work);
#endif
}

#ifdef VELMORA_KERNEL_PAIRED
constexpr int kFrameLanes = 16;
#else
constexpr int kFrameLanes = W;
#endif

}  // namespace
}  // namespace VELMORA_KERNEL_NAMESPACE

extern const Kernels VELMORA_KERNEL_TABLE;
#ifdef VELMORA_KERNEL_PAIRED
const Kernels VELMORA_KERNEL_TABLE = {
    VELMORA_KERNEL_NAMESPACE::gatherBoxes,
    VELMORA_KERNEL_NAMESPACE::kFrameLanes,
    VELMORA_KERNEL_NAMESPACE::frameBlock,
    VELMORA_KERNEL_NAMESPACE::climbFrames,
    VELMORA_KERNEL_NAMESPACE::climbBox,
    VELMORA_KERNEL_NAMESPACE::pairedPairTable,
    VELMORA_KERNEL_NAMESPACE::quadPairTable,
    VELMORA_KERNEL_NAMESPACE::pairedFrameTotals,
    VELMORA_KERNEL_NAMESPACE::pairedAttractionSums,
    VELMORA_KERNEL_NAMESPACE::pairedTrajectoryStep,
};
#else
const Kernels VELMORA_KERNEL_TABLE = {
    VELMORA_KERNEL_NAMESPACE::gatherBoxes,    VELMORA_KERNEL_NAMESPACE::kFrameLanes,
    VELMORA_KERNEL_NAMESPACE::frameBlock,     VELMORA_KERNEL_NAMESPACE::climbFrames,
    VELMORA_KERNEL_NAMESPACE::climbBox,       VELMORA_KERNEL_NAMESPACE::pairTable,
    VELMORA_KERNEL_NAMESPACE::quadPairTable,  VELMORA_KERNEL_NAMESPACE::frameTotals,
    VELMORA_KERNEL_NAMESPACE::attractionSums, VELMORA_KERNEL_NAMESPACE::trajectoryStep,
};
#endif

}  // namespace velmora::detail

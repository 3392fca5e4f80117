// The attraction kernels behind the fast path, and the switch that chooses among them.
//
// Every kernel reproduces, to the bit, the scalar arithmetic of the straightforward path:
// the same correctly rounded IEEE operations in the same order for every output value. SIMD
// lanes only ever hold independent values (one candidate box, one box pair, one position,
// one frame, or one tracker's term for one neighbour of a climbing box per lane); a sum over
// trackers is never split across lanes, so each keeps its order of additions. Three facts
// make the shortcuts exact:
//  - the box distance is exactly symmetric (each step commutes or negates exactly, and the
//    squares drop the sign), so one attraction serves a box pair in both directions;
//  - a box's centre, width * 0.5 + x, is the same value however often it is recomputed, so
//    it is computed once per box;
//  - likewise a climb step's offset term along one axis depends only on the moved centre along
//    that axis, three values per axis: each is computed once and read by the three neighbours
//    that share it, and the size terms of a climb, whose width and height never change, once
//    per climb.
// Division by std_alpha becomes a product only when std_alpha is a power of two, where the
// product is the correctly rounded quotient; otherwise the kernels divide.
//
// This header is plain C++ with no standard-library types: the same code is compiled once
// per instruction set (the baseline, AVX2 and AVX-512 on x86-64; the baseline and NEON on
// ARM64), and no inline function may be shared between those translation units.
#ifndef VELMORA_DETAIL_KERNELS_H
#define VELMORA_DETAIL_KERNELS_H

namespace velmora::detail {

// Width of a kernel vector. Buffers handed to the kernels are padded so that a full vector
// may be read or written past the last used entry (see paddedCount).
inline constexpr int kLanes = 8;

// Number of entries to allocate for `count` values read or written a vector at a time from
// any offset below `count`.
constexpr int paddedCount(int count) { return (count + kLanes - 1) / kLanes * kLanes + kLanes; }

// The boxes of the selected trackers in one frame, by position, as structure of arrays.
// Every array holds paddedCount(n) entries; the padding holds harmless finite values.
struct FrameView {
    const float* w;
    const float* h;
    const float* cx;      // w * 0.5f + x
    const float* cy;      // h * 0.5f + y
    const float* weight;  // the tracker weight of the position (not squared)
    int n;
};

// Global parameters as read once at the start of a call.
struct FieldParams {
    float alpha;
    float inverseAlpha;  // exact reciprocal when alphaIsPowerOfTwo
    bool alphaIsPowerOfTwo;
    float sigma;
};

// std_alpha and std_sigma as a call of the fast path reads them, once, at its start.
FieldParams readFieldParams();
// The same for values a caller holds (a live stream keeps those it was made with).
FieldParams fieldParams(float alpha, float sigma);

struct Kernels {
    // Box `frame` of each of the n tracks: its size into w, h and its centre cx = w * 0.5f + x,
    // cy = h * 0.5f + y. Tracks are consecutive (x, y, width, height) quadruples; entries from
    // n on are left alone.
    void (*gatherBoxes)(const float* const* tracks, long frame, int n, float* w, float* h, float* cx, float* cy);

    // Frames handled by one frameBlock call.
    int frameLanes;

    // The candidate choice of frameLanes consecutive frames first, first + 1, ..., one frame
    // per lane: totals[p * frameLanes + l] = the frame attraction of box p in frame first + l
    // (as frameTotals computes it) and chosen[l] = the position of the strictly greatest total
    // above 0 of that frame, the first among equals, or -1. All n tracks hold those frames;
    // weights[p] is the weight of position p; `work` holds frameWork(n) floats.
    void (*frameBlock)(const float* const* tracks, long first, int n, const float* weights, const FieldParams& params,
                       float* work, float* totals, int* chosen);

    // Unit-step climbs of the boxes of frames first, first + 1, ..., first + count - 1, one
    // climb per lane, a lane taking the next frame as soon as its climb ends. Climb c starts
    // from boxes[4c .. 4c + 3] (x, y, width, height), whose frame attraction is currents[c],
    // and moves to the first of its eight unit neighbours (dx = -1, 0, 1 outer, dy inner)
    // whose frame attraction is strictly greater than the value reached, while limits[c] is
    // greater than the number of moves made (a limit of 0 or less, or NaN, makes no move).
    // The final x and y are written back. `work` holds frameWork(n) floats.
    void (*climbFrames)(const float* const* tracks, int n, const float* weights, const FieldParams& params, long first,
                        int count, const float* currents, const float* limits, float* boxes, float* work);

    // The same climb for one box of one frame: its eight neighbours are evaluated side by side
    // instead of frames. Climbs box[0 .. 3] (x, y, width, height) of `frame`, whose frame
    // attraction is `current`, within `limit` moves, and writes back the final x and y. `work`
    // holds climbBoxWork(n) floats.
    void (*climbBox)(const float* const* tracks, int n, const float* weights, const FieldParams& params, long frame,
                     float current, float limit, float* box, float* work);

    // table[p * stride + q] = attraction(box p, box q, sigma) for all positions p, q < n.
    // stride >= paddedCount(n); the table holds n rows of stride entries.
    void (*pairTable)(const FrameView& frame, const FieldParams& params, float* table, int stride);

    // The same table in tiles of 4 x 4 pairs, sixteen pairs per vector whatever the instruction
    // set: the tiles on and above the diagonal are computed, the ones below are their mirror
    // images. Fewer pairs go to waste on small selections than with tiles of a vector's width,
    // which is what one frame on its own (a live stream's) needs.
    void (*quadPairTable)(const FrameView& frame, const FieldParams& params, float* table, int stride);

    // totals[p] = frame attraction of box p: the sum over q = 0 .. n-1, in order, of
    // table[q][p] * weight[q] * weight[q], a negative or NaN term counting 0 and every term 0
    // when box p has width 0. `totals` holds paddedCount(n) entries.
    void (*frameTotals)(const FrameView& frame, const float* table, int stride, float* totals);

    // For k < trackers: sums[k] = the sum, in frame order from 0.0, of attraction(box f of
    // tracks[k], box f of truth, sigma) over f < counts[k]. Boxes are consecutive (x, y,
    // width, height) quadruples, the layout of a track; truth holds at least max(counts) boxes.
    void (*attractionSums)(const float* const* tracks, const int* counts, int trackers, const float* truth,
                           const FieldParams& params, float* sums);

    // One frame of the trajectory programme. For each position k:
    //   scores[k] = max over j (strict, first j on ties, starting from 0.0) of
    //               (table[j][k] * sigma) * beta + (previous[j] + weights[k]),
    //   predecessors[k] = the j that set it, or -1.
    // `scores`, `predecessors` and `weights` hold paddedCount(n) entries.
    void (*trajectoryStep)(const float* table, int stride, const float* previous, const float* weights, int n,
                           float sigma, float beta, float* scores, int* predecessors);
};

// Floats of working storage that frameBlock needs for n boxes: per box its centre and size,
// and the attraction of every pair, for each of up to 16 lanes.
constexpr long frameWork(int n) { return (4L * n + static_cast<long>(n) * (n + 1) / 2) * 16; }

// Floats of working storage that climbBox needs for n boxes: per tracker eight lanes each of
// its centre, side sums, size terms and weight, for up to sixteen lanes.
constexpr long climbBoxWork(int n) { return 40L * (n + 1); }

// An instruction set the fast path can run on: its name, whether this processor has it, and
// its kernels.
struct InstructionSet {
    const char* name;
    bool (*supported)();
    const Kernels* kernels;
};

// Every instruction set of the architecture the library is built for, the baseline (always
// supported) first, the fastest last: sse2, avx2 and avx512 on x86-64, baseline and neon on
// ARM64, baseline alone elsewhere. The only list of them: tests and benchmarks go through it
// too.
#if defined(__x86_64__) || defined(_M_X64)
inline constexpr int kInstructionSetCount = 3;
#elif defined(__aarch64__) || defined(_M_ARM64)
inline constexpr int kInstructionSetCount = 2;
#else
inline constexpr int kInstructionSetCount = 1;
#endif
extern const InstructionSet kInstructionSets[kInstructionSetCount];

// The last instruction set of the list that this processor supports.
const InstructionSet& bestInstructionSet();

// The environment variable that forces an instruction set by name, so that a result can be
// checked on another one. It is read once, when the library is loaded.
inline constexpr const char* kForceVariable = "VELMORA_KERNELS";

// The instruction set that `forced` (the value of kForceVariable, or null) names: the best one
// when it is null or empty. A name of no instruction set of this architecture, or of one this
// processor lacks, ends the process with one line on standard error and exit status 1.
const InstructionSet& startingInstructionSet(const char* forced);

// The instruction set the fast path runs on; the starting one unless set otherwise. Setting
// is meant for tests and benchmarks and must not race with running calls; an unsupported set
// gives the best one instead.
const InstructionSet& activeInstructionSet();
void setInstructionSet(const InstructionSet& set);

// The kernel table of the active instruction set.
const Kernels& activeKernels();

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_KERNELS_H

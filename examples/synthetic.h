// Deterministic synthetic tracking data: a ground-truth path per sequence and a crowd of
// simulated trackers following it, some steady, some noisy, some drifting away for a while,
// some reporting failure boxes (0, 0, 0, 0) for stretches. Now and then a look-alike object
// passes near the target and lures several trackers away at once, so that the trackers'
// errors are correlated, as they are in real video.
//
// The same seed gives the same boxes, to the bit, on every machine and with every standard
// library: the generator uses its own pseudo-random engine and its own conversions to
// uniform and normal numbers (the standard distributions are implementation-defined), and
// only +, -, *, / and sqrt on doubles, which IEEE 754 rounds exactly (the library is built
// with -ffp-contract=off, so no multiply-add is fused). Boxes are converted to float last.
//
// Each tracker of each run draws from its own stream, derived from the seed, the sequence,
// the run and the tracker index: adding trackers or runs leaves the other tracks unchanged.
//
// Link the static target `velmora_synthetic` to use it from examples, tests and benchmarks.
#ifndef VELMORA_SYNTHETIC_H
#define VELMORA_SYNTHETIC_H

#include "approach.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::synthetic {

// SplitMix64: a 64-bit state advanced by a fixed odd constant and scrambled on output.
// Small, fast, and fully defined here, so its stream never depends on the platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next();
    // Uniform in [0, 1), a multiple of 2^-53.
    double uniform();
    // Uniform in [lo, hi).
    double uniform(double lo, double hi);
    // Uniform integer in [lo, hi], both ends included; hi >= lo.
    int between(int lo, int hi);
    // True with probability p.
    bool chance(double p);
    // Approximately standard normal: the sum of twelve uniforms less 6 (mean 0, variance 1,
    // bounded by +-6). No logarithm or cosine, whose last bits differ between C libraries.
    double normal();

private:
    std::uint64_t state_;
};

// Mixes several numbers into one seed (each word passed through the SplitMix64 finaliser).
std::uint64_t deriveSeed(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0);

// How a simulated tracker behaves. Every kind starts each run on the ground-truth box.
enum class TrackerKind {
    Steady,    // small, slowly varying error; never fails
    Jittery,   // larger, faster error; never fails
    Biased,    // steady, but off-centre and mis-sized by a constant amount; never fails
    Drifting,  // drifts away for stretches (partly or wholly off the object), then comes back
    Dropout,   // reports (0, 0, 0, 0) for stretches, then re-detects the object
    Erratic,   // both drifts and drops out
};

const char* kindName(TrackerKind kind);

// True for the kinds that report a box of positive size in every frame.
bool neverFails(TrackerKind kind);

// One simulated tracker. Errors are in units of the ground-truth box: a centre error of 0.1
// is a tenth of the box's width (in x) or height (in y).
struct TrackerProfile {
    std::string name;
    TrackerKind kind = TrackerKind::Steady;
    double noise = 0.03;          // standard deviation of the centre error
    double sizeNoise = 0.03;      // standard deviation of the relative size error
    double persistence = 0.9;     // how much of the error carries over to the next frame (0..1)
    double biasX = 0, biasY = 0;  // constant centre error
    double biasScale = 0;         // constant relative size error
    double driftChance = 0;       // chance per frame that a drift starts
    double dropoutChance = 0;     // chance per frame that a stretch of failure boxes starts
    double susceptibility = 0;    // chance that a look-alike object lures the tracker away
};

// `count` trackers; the kinds cycle through a fixed pattern that starts with a Steady one,
// so every crowd of one or more holds a tracker that never fails.
std::vector<TrackerProfile> makeTrackerProfiles(std::uint64_t seed, int count);

// A smooth ground-truth path of `frames` boxes in a 1280 x 720 image: the centre moves with
// a damped random acceleration and bounces off the image border; the size changes slowly
// (about 20 to 400 pixels wide, aspect ratio drifting). Boxes lie on whole pixels, as
// hand-made annotation does.
track makeGroundTruth(std::uint64_t seed, int frames);

// A look-alike object near the target from frame `first` to frame `last` (0-based, both
// included), its centre offset from the target's by (offsetX, offsetY) box widths and heights.
struct Distractor {
    int first = 0;
    int last = 0;
    double offsetX = 0;
    double offsetY = 0;
};

// What the trackers see: the target's path and the look-alikes that pass by.
struct Scene {
    track truth;
    std::vector<Distractor> distractors;
};

// makeGroundTruth(deriveSeed(seed, 0), frames) and look-alikes one at a time: the first
// from a frame in 10..100, each near the target for 15 to 50 frames, 1 to 2.5 box sizes
// away, the next 40 to 160 frames after the last has gone.
Scene makeScene(std::uint64_t seed, int frames);

// One tracker's boxes over frames [startFrame - 1, startFrame - 1 + length) of the scene
// (startFrame is 1-based). Box 0 is the ground-truth box of the run's first frame, as every
// tracker is started on it. Preconditions: 1 <= startFrame, length >= 0 and
// startFrame - 1 + length <= scene.truth.size().
track makeTrackerTrack(const TrackerProfile& profile, const Scene& scene, int startFrame, int length,
                       std::uint64_t seed);

// All trackers' boxes over one run of the scene.
eTrackList makeRun(const std::vector<TrackerProfile>& trackers, const Scene& scene, int startFrame, int length,
                   std::uint64_t seed);

struct Sequence {
    track annotation;                     // one ground-truth box per frame of the sequence
    std::vector<Distractor> distractors;  // the look-alikes that passed by
    std::vector<eTrackList> runs;         // run 0 covers the whole sequence; later runs start later
};

// A sequence of `frames` frames (at least 1) with 1 to `maxRuns` runs (at least one). Run 0
// starts at frame 1 and covers the sequence; the others start at a random frame and stop at
// a random frame, at least min(frames, 20) frames long, all within the sequence.
Sequence makeSequence(std::uint64_t seed, int frames, int maxRuns, const std::vector<TrackerProfile>& trackers);

struct DataSetSpec {
    std::uint64_t seed = 1;
    int sequences = 10;
    int minFrames = 100;  // sequence lengths are drawn from [minFrames, maxFrames]
    int maxFrames = 300;
    int maxRuns = 3;  // runs per sequence are drawn from [1, maxRuns]
    int trackers = 14;
};

struct DataSet {
    trackData data;                         // data[i][j]: run j of sequence i
    trackList annotation;                   // annotation[i]: ground truth of sequence i
    std::vector<std::string> trackerNames;  // by tracker index
    std::vector<TrackerProfile> trackers;   // by tracker index
};

// A whole data set. Sequence i is makeSequence(deriveSeed(seed, 1, i), ...), with the
// trackers of makeTrackerProfiles(deriveSeed(seed, 0), trackers).
DataSet makeDataSet(const DataSetSpec& options);

// A 64-bit digest (FNV-1a) of every box's bits, every startFrame and the shape of the data:
// two data sets with equal digests are, for all practical purposes, identical.
std::uint64_t digest(const trackData& data, const trackList& annotation);

}  // namespace velmora::synthetic

#endif  // VELMORA_SYNTHETIC_H

// Velmora: live fusion. Trackers that run live hand over one box each per frame; a stream
// fuses them as the frames arrive, in memory bounded by its lag, and gives each fused box as
// soon as it is final.
//
// A stream computes exactly what the whole-sequence calls of approach.h compute, to the bit:
//  - frame by frame, each push gives its own frame, as performFusionForAllFrames would;
//  - trajectory optimisation with lag L: pushing frame t decides frame t - L, by back-tracking
//    from the best score of frame t through the kept predecessors, and finish() decides the
//    frames left by back-tracking from the last frame. Frame t is therefore what
//    performFusionForAllFrames_TrajectoryOptimization with back-tracking gives for frame t on
//    frames 0 .. t + L alone. Lag 0 equals that call with skipBacktracking true; an unbounded
//    lag (or L >= frames - 1) equals it with back-tracking.
// The conventions of approach.h hold: boxes are (x, y, width, height) floats, selections list
// tracker indices (empty: all trackers), weights are indexed by tracker index (empty: 1.0).
//
// The trajectory scores add up about 1 + std_beta per frame in single precision, as the
// whole-sequence call does: past some 2^24 / (1 + beta) frames (800 000 at beta 20) the frame
// scores start to vanish in the rounding of the sums. Start a new stream for a new sequence.
#ifndef VELMORA_ONLINE_H
#define VELMORA_ONLINE_H

#include "approach.h"

#include <memory>
#include <vector>

// ---- Live fusion ----

// How a stream decides its frames.
enum class OnlineMode {
    FrameByFrame,  // each frame on its own (performFusionForFrame)
    Trajectory,    // trajectory optimisation, frame t final once frame t + lag has arrived
};

// The fusion parameters a stream works with: the values of std_alpha, std_beta and std_sigma it
// uses instead of the globals.
struct FusionParameters {
    float alpha;
    float beta;
    float sigma;
};

// The global parameters std_alpha, std_beta and std_sigma as they are now.
VELMORA_API FusionParameters currentParameters();

// A stream of frames fused live. The selection, the weights, the mode, the lag, the refinement
// and the parameters are fixed when it is made: a later change of the std_ globals does not
// touch it, and streams on different threads are independent (one stream is not to be used by
// two threads at once). Memory grows with lag x trackers and stays there; once the first lag
// frames are in, push allocates nothing. An unbounded lag keeps every frame until finish().
class VELMORA_API OnlineFuser {
public:
    // The lag that decides nothing before finish(): back-tracking over the whole stream.
    static constexpr int kUnboundedLag = -1;

    // A stream of frames of `trackerCount` boxes each. `lag` counts frames (0 or more, or
    // kUnboundedLag) and is read in trajectory mode only. `refine`: frame by frame, the unit-step
    // climb of performFusionForFrame; in trajectory mode, gradient_ascent on every decided box.
    // Asserts that every selected index is below trackerCount, that a non-empty weight list
    // covers every selected tracker, and that the lag is 0 or more or kUnboundedLag.
    // The parameters default to the globals as they are when the stream is made.
    OnlineFuser(int trackerCount, std::vector<int> selection, std::vector<float> trackerWeights, OnlineMode mode,
                int lag, bool refine, FusionParameters parameters = currentParameters());
    ~OnlineFuser();
    OnlineFuser(OnlineFuser&&) noexcept;
    OnlineFuser& operator=(OnlineFuser&&) noexcept;

    // Adds the next frame: boxes[k] is tracker k's box. Returns the fused boxes that became final
    // with it, in frame order: frame by frame its own box; in trajectory mode with lag L the box
    // of frame t - L (none while fewer than L + 1 frames are in, none with an unbounded lag). The
    // list is the stream's own and holds until the next push or finish().
    // Asserts that boxes holds trackerCount boxes and that the stream is not finished. In
    // trajectory mode it asserts what the whole-sequence call asserts of every frame: "gs>=0"
    // (some selected box attracts) and "weights[j]<=1.01f" (no infinite frame score).
    const track& push(const track& boxes);

    // Ends the stream and returns the frames not yet final, in frame order (none frame by
    // frame). After it, push asserts; finish() again returns nothing.
    const track& finish();

    long pushed() const;    // frames pushed so far
    long pending() const;   // frames pushed and not yet returned
    bool finished() const;  // whether finish() was called

    // The number of trackers, the mode and the lag as the stream was made.
    int trackerCount() const;
    OnlineMode mode() const;
    int lag() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

#endif  // VELMORA_ONLINE_H

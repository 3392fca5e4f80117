// The live stream behind OnlineFuser: the whole-sequence fusions of approach.cpp, one frame at
// a time, on the same kernels and in the same float operations, over a window of the last
// frames instead of the whole sequence.
#ifndef VELMORA_DETAIL_STREAM_H
#define VELMORA_DETAIL_STREAM_H

#include "../online.h"
#include "field.h"

#include <vector>

namespace velmora::detail {

class Stream {
public:
    // Arguments as OnlineFuser's, already checked.
    Stream(int trackerCount, const std::vector<int>& selection, const std::vector<float>& trackerWeights,
           OnlineMode mode, int lag, bool refine, const FusionParameters& parameters);

    const track& push(const track& boxes);
    const track& finish();

    long pushed() const { return pushed_; }
    long pending() const { return pushed_ - decided_; }
    bool finished() const { return finished_; }
    int trackerCount() const { return trackerCount_; }
    OnlineMode mode() const { return mode_; }
    int lag() const { return lag_; }

private:
    bool unbounded() const { return lag_ == OnlineFuser::kUnboundedLag; }
    // Slot of the window that holds frame t. The window holds a power of two of slots, so the
    // slot is a mask away; a window that grows (unbounded lag) doubles before frame t reaches
    // its end, so frame t stays in slot t.
    long slot(long t) const { return t & (slots_ - 1); }
    void resizeWindow(long slots);
    void storeFrame(const track& boxes, long s);
    void forward(long t);
    int bestOfColumn(long t) const;
    int predecessor(long t, int k) const;
    int lagPosition(long t);
    void emit(long t, int k);
    void climb(long s, Box& box, float current, float limit);

    const Kernels& kernels_;
    const FieldParams params_;
    const float beta_;
    const int trackerCount_;
    const OnlineMode mode_;
    const int lag_;
    const bool refine_;
    std::vector<int> selection_;  // tracker index of each position
    std::vector<float> weights_;  // weight of each position
    int n_ = 0;
    long columns_ = 0;  // entries per column of the tables: paddedCount(n_)

    // The window: the last slots_ frames, frame t in slot(t). Boxes by position, each
    // position's boxes consecutive (the layout of a track), so the kernels read them in place.
    long slots_ = 0;
    std::vector<float> boxes_;
    std::vector<const float*> tracks_;
    SelectedTracks window_;
    // Per slot, one column each: the frame totals, the accumulated scores and the back-pointers
    // of the trajectory programme.
    std::vector<float> totals_, scores_;
    std::vector<int> predecessors_;
    // Per slot, the position of the frame on the best path ending in frame pathEnd_, for the
    // frames pathEnd_ - lag .. pathEnd_ (-1: no path yet).
    std::vector<int> path_;
    long pathEnd_ = -1;
    std::vector<float> frameScores_;  // the normalised frame scores of the frame being pushed
    std::vector<float> work_;         // the one-box climb's working storage
    FrameField field_;
    track out_;

    long pushed_ = 0, decided_ = 0;
    bool finished_ = false;
};

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_STREAM_H

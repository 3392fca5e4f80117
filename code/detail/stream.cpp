// The live stream. Each push runs, for its one frame, what the whole-sequence fusion runs for
// every frame: frame by frame, the frame's totals, the strongest box and its climb; in
// trajectory mode, the frame's totals and pair table, the normalised frame scores and one step
// of the max-sum programme, whose column joins a window of the last lag + 1 columns. The
// decision of a frame back-tracks through the window exactly as the whole-sequence call
// back-tracks through its tables, a back-pointer of -1 (degenerate input) included. Every
// value comes from the same kernels with the same operands, so the boxes agree to the bit.
#include "stream.h"

// Assertions name the home of the stream's contract, as the checks of approach.cpp name theirs.
#define VELMORA_ASSERTION_FILE "code/online.cpp"
#include "check.h"
#include "signatures.h"

#include <algorithm>

namespace velmora::detail {

namespace {

// A window that grows to hold every frame (unbounded lag) starts at this many (a power of two).
constexpr long kFirstUnboundedSlots = 16;

}  // namespace

Stream::Stream(int trackerCount, const std::vector<int>& selection, const std::vector<float>& trackerWeights,
               OnlineMode mode, int lag, bool refine, const FusionParameters& parameters)
    : kernels_(activeKernels()),
      params_(fieldParams(parameters.alpha, parameters.sigma)),
      beta_(parameters.beta),
      trackerCount_(trackerCount),
      mode_(mode),
      lag_(mode == OnlineMode::Trajectory ? lag : 0),
      refine_(refine) {
    selection_ = selection;
    if (selection_.empty())
        for (int k = 0; k < trackerCount; ++k) selection_.push_back(k);
    n_ = static_cast<int>(selection_.size());
    for (int k : selection_) weights_.push_back(trackerWeights.empty() ? 1.0f : trackerWeights[k]);
    columns_ = paddedCount(n_);
    tracks_.assign(static_cast<size_t>(n_), nullptr);
    field_.reserve(n_);
    work_.assign(static_cast<size_t>(climbBoxWork(n_)), 0.0f);
    frameScores_.assign(static_cast<size_t>(columns_), 0.0f);
    // Frame by frame, a frame needs nothing but itself. With lag L, frames t - L .. t take part
    // in the decision of frame t - L, and the step into frame t reads column t - 1: at least
    // L + 1 slots, and 2.
    long slots = 1;
    if (mode_ == OnlineMode::Trajectory)
        while (slots < (unbounded() ? kFirstUnboundedSlots : std::max(2L, lag_ + 1L))) slots *= 2;
    resizeWindow(slots);
    // A push returns at most one box; finish() at most lag of them.
    out_.reserve(static_cast<size_t>(unbounded() ? 1 : std::max(1L, static_cast<long>(lag_))));
}

void Stream::resizeWindow(long slots) {
    const size_t rowFloats = static_cast<size_t>(slots) * 4;
    std::vector<float> boxes(static_cast<size_t>(n_) * rowFloats, 0.0f);
    // Only a growing window has frames to keep: slot t holds frame t there.
    for (int p = 0; p < n_ && slots_ > 0; ++p)
        std::copy_n(boxes_.begin() + static_cast<long>(p) * slots_ * 4, slots_ * 4,
                    boxes.begin() + static_cast<long>(static_cast<size_t>(p) * rowFloats));
    boxes_.swap(boxes);
    slots_ = slots;
    for (int p = 0; p < n_; ++p) tracks_[p] = boxes_.data() + static_cast<size_t>(p) * rowFloats;
    window_.point(tracks_, weights_);
    const size_t entries = static_cast<size_t>(slots * columns_);
    totals_.resize(entries, 0.0f);
    scores_.resize(entries, 0.0f);
    predecessors_.resize(entries, -1);
    path_.resize(static_cast<size_t>(slots), 0);
}

void Stream::storeFrame(const track& boxes, long s) {
    for (int p = 0; p < n_; ++p) {
        const Box& b = boxes[static_cast<size_t>(selection_[p])];
        float* to = boxes_.data() + (static_cast<long>(p) * slots_ + s) * 4;
        to[0] = b.x, to[1] = b.y, to[2] = b.width, to[3] = b.height;
    }
}

const track& Stream::push(const track& boxes) {
    out_.clear();
    const long t = pushed_;
    if (unbounded() && t == slots_) resizeWindow(2 * slots_);
    const long s = slot(t);
    storeFrame(boxes, s);
    ++pushed_;
    if (mode_ == OnlineMode::FrameByFrame) {
        if (n_ == 0) {  // no tracker at all: the zero box
            out_.push_back(Box(0.0f, 0.0f, 0.0f, 0.0f));
            ++decided_;
            return out_;
        }
        field_.load(kernels_, window_, static_cast<int>(s));
        const float* totals = field_.computeTotals(kernels_, params_, true);
        // When no total is above 0, the first selected tracker's box is taken.
        const int p = std::max(strongest(totals, n_), 0);
        Box box = window_.box(p, s);
        if (refine_) climb(s, box, totals[p], 15.0f);
        out_.push_back(box);
        ++decided_;
        return out_;
    }
    forward(t);
    // With lag L, frame t - L is where the best path ending in frame t passes.
    if (!unbounded() && t >= lag_) emit(t - lag_, lagPosition(t));
    return out_;
}

// The position in frame t - lag of the best path ending in frame t, by back-tracking. The
// paths of successive pushes mostly meet a frame or two back, and from where they meet they
// are one path (a frame's back-pointers never change once its column is in), so the walk stops
// there and keeps the rest of the path it found the push before.
int Stream::lagPosition(long t) {
    int k = bestOfColumn(t);
    path_[static_cast<size_t>(slot(t))] = k;
    for (long i = t; i > t - lag_; --i) {
        k = predecessor(i, k);
        int& kept = path_[static_cast<size_t>(slot(i - 1))];
        if (i - 1 <= pathEnd_ && kept == k) break;
        kept = k;
    }
    pathEnd_ = t;
    return path_[static_cast<size_t>(slot(t - lag_))];
}

const track& Stream::finish() {
    out_.clear();
    if (finished_) return out_;
    finished_ = true;
    if (pushed_ == decided_) return out_;
    // The frames left take the best path ending in the last frame, as the whole-sequence call
    // back-tracks.
    const long first = decided_, last = pushed_ - 1;
    std::vector<int> chosen(static_cast<size_t>(last - first + 1));
    int k = bestOfColumn(last);
    for (long i = last;; --i) {
        chosen[static_cast<size_t>(i - first)] = k;
        if (i == first) break;
        k = predecessor(i, k);
    }
    out_.reserve(chosen.size());
    for (long i = first; i <= last; ++i) emit(i, chosen[static_cast<size_t>(i - first)]);
    return out_;
}

// Column t of the programme: the frame scores of frame t, normalised so that the greatest is 1
// (a product with the reciprocal of the greatest), and the best accumulated scores with their
// back-pointers.
void Stream::forward(long t) {
    const long s = slot(t);
    field_.load(kernels_, window_, static_cast<int>(s));
    const float* frameTotals = field_.computeTotals(kernels_, params_, true);
    std::copy(frameTotals, frameTotals + n_, totals_.begin() + s * columns_);
    const float gs = static_cast<float>(strongest(frameTotals, n_));
    // The expressions read as in the whole-sequence call's messages.
    // clang-format off
    VELMORA_ASSERT_IN(gs>=0, kOnlinePushSignature);
    const float r = 1.0f / frameTotals[static_cast<size_t>(gs)];
    float* weights = frameScores_.data();
    for (int j = 0; j < n_; ++j) {
        weights[j] = frameTotals[j] * r;
        VELMORA_ASSERT_IN(weights[j]<=1.01f, kOnlinePushSignature);
    }
    // clang-format on
    float* column = scores_.data() + s * columns_;
    if (t == 0)
        std::copy(weights, weights + n_, column);
    else
        kernels_.trajectoryStep(field_.table(), field_.stride(), scores_.data() + slot(t - 1) * columns_, weights, n_,
                                params_.sigma, beta_, column, predecessors_.data() + s * columns_);
}

// Best position of column t: strictly above 0, the lowest among equals; where no score is
// above 0 (only degenerate input gets there), position 0.
int Stream::bestOfColumn(long t) const { return std::max(strongest(scores_.data() + slot(t) * columns_, n_), 0); }

// The position in frame t - 1 of the best path that reaches position k in frame t; where no
// candidate was above 0, the best position of frame t - 1 itself.
int Stream::predecessor(long t, int k) const {
    const int previous = predecessors_[static_cast<size_t>(slot(t) * columns_ + k)];
    return previous >= 0 ? previous : bestOfColumn(t - 1);
}

// Frame t is final at position k: its tracker box, refined by gradient_ascent when asked.
void Stream::emit(long t, int k) {
    const long s = slot(t);
    Box box = window_.box(k, s);
    if (refine_) climb(s, box, totals_[static_cast<size_t>(s * columns_ + k)], moveBudget(box));
    out_.push_back(box);
    ++decided_;
}

// The unit-step climb of the box of slot s from its frame attraction `current`, within `limit`
// moves, as gradient_ascent and the whole-sequence climbs make it.
void Stream::climb(long s, Box& box, float current, float limit) {
    static_assert(sizeof(Box) == 4 * sizeof(float), "a box is (x, y, width, height)");
    kernels_.climbBox(window_.tracks(), n_, window_.weights(), params_, s, current, limit, &box.x, work_.data());
}

}  // namespace velmora::detail

// The working pieces of the fast path that every way of fusing shares: the choice of the
// strongest total, the selected tracks as the kernels read them, one frame's attraction field
// and the move budget of the refinement. The whole-run fusions (approach.cpp) and the live
// streams (stream.cpp) run on them.
#ifndef VELMORA_DETAIL_FIELD_H
#define VELMORA_DETAIL_FIELD_H

#include "../approach.h"
#include "kernels.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace velmora::detail {

using Box = cv::Rect_<float>;

// Position of the strictly greatest value above 0, the first among equals, or -1: what a
// running strict comparison from 0.0 finds. That is the greatest value above 0 (NaN never is
// one) and then the first position holding it, so both steps can run four values at a time.
int strongest(const float* totals, int n);

// The selected trackers' tracks and weights by position, resolved once per call, so that the
// frame loops read boxes without going through the selection and the track list.
class SelectedTracks {
public:
    void resolve(const trackList& trackers, const std::vector<int>& selection,
                 const std::vector<float>& trackerWeights) {
        const size_t n = selection.size();
        tracks_.resize(n);
        weights_.resize(n);
        shortest_ = n == 0 ? 0 : std::numeric_limits<size_t>::max();
        for (size_t p = 0; p < n; ++p) {
            const int k = selection[p];
            tracks_[p] = reinterpret_cast<const float*>(trackers[k].data());
            weights_[p] = trackerWeights.empty() ? 1.0f : trackerWeights[k];
            shortest_ = std::min(shortest_, trackers[k].size());
        }
    }
    // Tracks the caller lays out itself: track p from tracks[p], of weight weights[p]. Nothing
    // is read ahead of them.
    void point(const std::vector<const float*>& tracks, const std::vector<float>& weights) {
        tracks_ = tracks;
        weights_ = weights;
        shortest_ = 0;
    }
    int size() const { return static_cast<int>(tracks_.size()); }
    const Box& box(int p, long frame) const { return *reinterpret_cast<const Box*>(tracks_[p] + 4 * frame); }
    // Track p as consecutive (x, y, width, height) quadruples.
    const float* const* tracks() const { return tracks_.data(); }
    const float* weights() const { return weights_.data(); }
    size_t shortest() const { return shortest_; }  // frames of the shortest selected track

private:
    std::vector<const float*> tracks_;
    std::vector<float> weights_;
    size_t shortest_ = 0;
};

// Working storage for one frame of fusion: the selected boxes as structure of arrays, their
// pair table and totals. It grows to the largest selection seen and is
// reused across frames and runs, so the frame loops never allocate.
class FrameField {
public:
    static constexpr long kPrefetchFrames = 32;

    void reserve(int n) {
        if (n <= capacity_ && !w_.empty()) return;
        capacity_ = std::max(n, capacity_);
        const size_t padded = static_cast<size_t>(paddedCount(capacity_));
        // Padding entries hold a harmless unit box of weight 0.
        w_.assign(padded, 1.0f);
        h_.assign(padded, 1.0f);
        cx_.assign(padded, 0.5f);
        cy_.assign(padded, 0.5f);
        weight_.assign(padded, 0.0f);
        totals_.assign(padded, 0.0f);
        stride_ = static_cast<int>(padded);
        table_.assign(padded * padded, 0.0f);
        padded_ = -1;
    }

    // Gathers the boxes and weights of the selected trackers in `frame`.
    void load(const Kernels& kernels, const SelectedTracks& selected, int frame) {
        n_ = selected.size();
        reserve(n_);
        std::copy(selected.weights(), selected.weights() + n_, weight_.begin());
        kernels.gatherBoxes(selected.tracks(), frame, n_, w_.data(), h_.data(), cx_.data(), cy_.data());
        // The tracks are read frame after frame: fetch a coming frame's boxes early.
        const long ahead = static_cast<long>(frame) + kPrefetchFrames;
        if (static_cast<size_t>(ahead) < selected.shortest())
            for (int p = 0; p < n_; ++p) __builtin_prefetch(selected.tracks()[p] + 4 * ahead);
        // Lanes past the last position hold a unit box of weight 0, whatever a larger
        // selection left there; the frames of one call keep their selection, so this is
        // written once per selection size.
        if (n_ == padded_) return;
        padded_ = n_;
        for (int p = n_; p < paddedCount(n_); ++p) {
            w_[p] = h_[p] = 1.0f;
            cx_[p] = cy_[p] = 0.5f;
            weight_[p] = 0.0f;
        }
    }

    // Frame attraction of every selected box, through the pair table. `quadTiles`: the table
    // in tiles of 4 x 4 pairs (the same values), for one frame on its own.
    const float* computeTotals(const Kernels& kernels, const FieldParams& params, bool quadTiles = false) {
        const FrameView frame = view();
        (quadTiles ? kernels.quadPairTable : kernels.pairTable)(frame, params, table_.data(), stride_);
        kernels.frameTotals(frame, table_.data(), stride_, totals_.data());
        return totals_.data();
    }

    const float* table() const { return table_.data(); }
    int stride() const { return stride_; }

private:
    FrameView view() const { return {w_.data(), h_.data(), cx_.data(), cy_.data(), weight_.data(), n_}; }

    int n_ = 0;
    int padded_ = -1;  // the selection size whose padding lanes are in place
    int capacity_ = 0;
    int stride_ = 0;
    std::vector<float> w_, h_, cx_, cy_, weight_, totals_, table_;
};

// Move budget of gradient_ascent: half the sum of width and height, over 20.
inline float moveBudget(const Box& box) { return (box.width + box.height) * 0.5f / 20.0f; }

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_FIELD_H

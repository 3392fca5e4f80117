// The exported functions. They run the fast path. Frame-by-frame fusion chooses the strongest
// box of several frames at once, one frame per SIMD lane, each box pair's attraction
// computed once for both orders; the trajectory programme builds one pair table per frame
// that serves its frame scores and pair rewards; climbs run many frames side by side, one
// per lane, a lane taking the next frame when its climb ends. Every value keeps the
// operations and the order of additions of the straightforward path (detail/reference.cpp),
// so the results agree to the bit. The box geometry, the frame attraction of one box and the
// track measures are scalar code that both paths share (detail/measures.cpp).
#include "approach.h"

#include "detail/check.h"
#include "detail/field.h"
#include "detail/kernels.h"
#include "detail/measures.h"
#include "detail/selection.h"
#include "detail/signatures.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>

float std_alpha = 4.0f;
float std_beta = 20.0f;
int std_gamma = -1;
float std_sigma = 0.03f;

namespace {

namespace vd = velmora::detail;
using Box = cv::Rect_<float>;
using vd::FrameField;
using vd::moveBudget;
using vd::paddedCount;
using vd::SelectedTracks;
using vd::strongest;

// Fusion of whole runs with reusable storage; one per thread in the data-set evaluation.
class Fuser {
public:
    Fuser() : kernels_(vd::activeKernels()), params_(vd::readFieldParams()) {}

    // The trackers a call fuses: the caller's selection, or all trackers when it is empty.
    // Every other member works on the tracks selected last.
    void select(const trackList& trackers, const std::vector<int>& selection,
                const std::vector<float>& trackerWeights) {
        selected_.resolve(trackers, filledSelection(trackers, selection), trackerWeights);
    }

    // Per-frame fusion of frames 0 .. frames - 1 into result[0 ...]: each frame's strongest
    // tracker box, climbing at most 15 unit moves when `refine` is set.
    void fuseFrames(size_t frames, bool refine, Box* result) {
        const int n = selected_.size();
        if (n == 0) {  // no tracker at all: the zero box
            std::fill(result, result + frames, Box(0.0f, 0.0f, 0.0f, 0.0f));
            return;
        }
        currents_.resize(frames);
        forEachFrameChoice(frames, [&](size_t f, const float* totals, size_t stride, int strongestPosition) {
            // When no total is above 0, the first selected tracker's box is taken.
            const int p = std::max(strongestPosition, 0);
            result[f] = selected_.box(p, static_cast<long>(f));
            currents_[f] = totals[static_cast<size_t>(p) * stride];
        });
        if (!refine) return;
        limits_.assign(frames, 15.0f);
        climb(0, frames, result);
    }

    void fuseAllFrames(const trackList& trackers, track& result, const std::vector<int>& selection,
                       const std::vector<float>& trackerWeights, bool refine) {
        select(trackers, selection, trackerWeights);
        const size_t frames = trackers.empty() ? 0 : trackers[0].size();
        result.resize(frames);
        fuseFrames(frames, refine, result.data());
    }

    // performFusionForFrame: the fusion of one frame.
    Box fuseFrame(int frame, bool refine) {
        const int n = selected_.size();
        if (n == 0) return Box(0.0f, 0.0f, 0.0f, 0.0f);
        const float* totals = frameTotals(frame);
        const int p = std::max(strongest(totals, n), 0);
        Box box = selected_.box(p, frame);
        if (!refine) return box;
        currents_.assign(1, totals[p]);
        limits_.assign(1, 15.0f);
        climb(static_cast<size_t>(frame), 1, &box);
        return box;
    }

    // gradient_ascent on `box` in `frame`, whose frame attraction is `current`. Width and
    // height never change, so the move budget recomputed after a move is the same.
    void refine(Box& box, float current, int frame) {
        currents_.assign(1, current);
        limits_.assign(1, moveBudget(box));
        climb(static_cast<size_t>(frame), 1, &box);
    }

    void fuseTrajectory(const trackList& trackers, track& result, const std::vector<int>& selection,
                        const std::vector<float>& trackerWeights, bool skipBacktracking, bool refineBoxes) {
        select(trackers, selection, trackerWeights);
        const size_t frames = trackers.empty() ? 0 : trackers[0].size();
        const int n = selected_.size();
        if (frames == 0) {
            result.clear();
            return;
        }
        const size_t columns = static_cast<size_t>(paddedCount(n));
        // Column i of the programme holds the accumulated scores, back-pointers and frame
        // totals of frame i, one entry per position.
        scores_.assign(frames * columns, 0.0f);
        predecessors_.assign(frames * columns, -1);
        totals_.assign(frames * columns, 0.0f);
        std::vector<float>& weights = weights_;
        weights.assign(columns, 0.0f);
        result.resize(frames);
        const float sigma = params_.sigma;
        const float beta = std_beta;

        for (size_t i = 0; i < frames; ++i) {
            field_.load(kernels_, selected_, static_cast<int>(i));
            const float* frameTotals = field_.computeTotals(kernels_, params_);
            std::copy(frameTotals, frameTotals + n, totals_.begin() + static_cast<long>(i * columns));
            // Frame scores, normalised so that the greatest is 1: a product with the
            // reciprocal of the greatest, not a division by it.
            const float gs = static_cast<float>(strongest(frameTotals, n));
            VELMORA_ASSERT_IN(gs>=0, vd::kTrajectorySignature);
            const float r = 1.0f / frameTotals[static_cast<size_t>(gs)];
            for (int j = 0; j < n; ++j) {
                weights[j] = frameTotals[j] * r;
                VELMORA_ASSERT_IN(weights[j]<=1.01f, vd::kTrajectorySignature);
            }
            float* column = scores_.data() + i * columns;
            if (i == 0)
                std::copy(weights.begin(), weights.begin() + n, column);
            else
                kernels_.trajectoryStep(field_.table(), field_.stride(), column - columns, weights.data(), n, sigma,
                                        beta, column, predecessors_.data() + i * columns);
        }

        // Best position of a column: strictly above 0, the lowest among equals; where no
        // score is above 0 (only degenerate input gets there), position 0.
        auto bestOfColumn = [&](size_t i) { return std::max(strongest(scores_.data() + i * columns, n), 0); };
        std::vector<int>& chosen = chosen_;
        chosen.resize(frames);
        if (skipBacktracking) {
            for (size_t i = 0; i < frames; ++i) chosen[i] = bestOfColumn(i);
        } else {
            int k = bestOfColumn(frames - 1);
            for (size_t i = frames; i-- > 0;) {
                chosen[i] = k;
                if (i == 0) break;
                const int previous = predecessors_[i * columns + k];
                k = previous >= 0 ? previous : bestOfColumn(i - 1);
            }
        }
        currents_.resize(frames);
        limits_.resize(frames);
        for (size_t i = 0; i < frames; ++i) {
            const int k = chosen[i];
            result[i] = selected_.box(k, static_cast<long>(i));
            currents_[i] = totals_[i * columns + k];
            limits_[i] = moveBudget(result[i]);
        }
        if (refineBoxes) climb(0, frames, result.data());
    }

    // sums[p] += the frame attraction of position p, frame after frame, for the first
    // `frames` frames.
    void sumFrameTotals(size_t frames, float* sums) {
        const int n = selected_.size();
        forEachFrameChoice(frames, [&](size_t, const float* totals, size_t stride, int) {
            for (int p = 0; p < n; ++p) sums[p] = sums[p] + totals[static_cast<size_t>(p) * stride];
        });
    }

    // Frame totals of every selected position.
    const float* frameTotals(int frame) {
        field_.load(kernels_, selected_, frame);
        return field_.computeTotals(kernels_, params_);
    }

private:
    // Climbs the boxes of frames first .. first + count - 1 from currents_ within limits_.
    void climb(size_t first, size_t count, Box* boxes) {
        static_assert(sizeof(Box) == 4 * sizeof(float), "a box is (x, y, width, height)");
        kernels_.climbFrames(selected_.tracks(), selected_.size(), selected_.weights(), params_,
                             static_cast<long>(first), static_cast<int>(count), currents_.data(), limits_.data(),
                             reinterpret_cast<float*>(boxes), work());
    }

    // Working storage of the frame blocks and the climbs.
    float* work() {
        const size_t size = static_cast<size_t>(vd::frameWork(selected_.size()));
        if (work_.size() < size) work_.resize(size);
        return work_.data();
    }

    // Calls use(frame, totals, stride, strongest) for frames 0 .. frames - 1 in order, with
    // totals[p * stride] the frame attraction of position p and strongest the position of
    // the strictly greatest total above 0, or -1. Frames go through the kernel in blocks of
    // frameLanes, one frame per lane, as long as every selected track holds them all; the
    // frames left over go one by one.
    template <typename Use>
    void forEachFrameChoice(size_t frames, Use use) {
        const int n = selected_.size();
        const size_t lanes = static_cast<size_t>(kernels_.frameLanes);
        const size_t blocked = n == 0 ? 0 : std::min(frames, selected_.shortest()) / lanes * lanes;
        if (blocked > 0) blockTotals_.resize(static_cast<size_t>(n) * lanes);
        for (size_t f = 0; f < blocked; f += lanes) {
            int chosen[16];
            kernels_.frameBlock(selected_.tracks(), static_cast<long>(f), n, selected_.weights(), params_, work(),
                                blockTotals_.data(), chosen);
            for (size_t g = 0; g < lanes; ++g) use(f + g, blockTotals_.data() + g, lanes, chosen[g]);
        }
        for (size_t f = blocked; f < frames; ++f) {
            const float* totals = frameTotals(static_cast<int>(f));
            use(f, totals, size_t{1}, strongest(totals, n));
        }
    }

    // The caller's selection, or all trackers when it is empty.
    const std::vector<int>& filledSelection(const trackList& trackers, const std::vector<int>& selection) {
        if (!selection.empty()) return selection;
        selection_.clear();
        vd::fillSelection(selection_, trackers);
        return selection_;
    }

    const vd::Kernels& kernels_;
    vd::FieldParams params_;
    FrameField field_;
    SelectedTracks selected_;
    std::vector<float> work_, blockTotals_, currents_, limits_;
    std::vector<int> selection_, chosen_;
    std::vector<float> scores_, totals_, weights_;
    std::vector<int> predecessors_;
};

// Score of sequence i: run scores weighted by run length.
float sequenceScore(Fuser& fuser, track& result, std::vector<eTrackList>& runs, const trackList& anno, size_t i,
                    bool useTrajectoryOptimization, const std::vector<int>& selection,
                    const std::vector<float>& trackerWeights) {
    VELMORA_ASSERT_IN(anno[i].size(), vd::kDataSetSignature);
    float weightedSum = 0.0f;
    int frameCount = 0;
    for (const eTrackList& run : runs) {
        if (useTrajectoryOptimization)
            fuser.fuseTrajectory(run, result, selection, trackerWeights, false, true);
        else
            fuser.fuseAllFrames(run, result, selection, trackerWeights, true);
        const float score = vd::trackQuality(result, anno[i], run.startFrame - 1, -1.0f, false);
        const int length = static_cast<int>(run.empty() ? 0 : run[0].size());
        weightedSum = static_cast<float>(length) * score + weightedSum;
        frameCount = frameCount + length;
    }
    return weightedSum / static_cast<float>(frameCount);
}

}  // namespace

// ---- Fusion ----

Box performFusionForFrame(trackList& trackers, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights, bool refine) {
    Fuser fuser;
    fuser.select(trackers, selection, trackerWeights);
    return fuser.fuseFrame(frame, refine);
}

void performFusionForAllFrames(trackList& trackers, track& result, std::vector<int> selection,
                               std::vector<float> trackerWeights, bool refine) {
    Fuser().fuseAllFrames(trackers, result, selection, trackerWeights, refine);
}

namespace {

int strongestTrackerBox(trackList& trackers, int frame, std::vector<int>& selection,
                        const std::vector<float>& trackerWeights, float* attractions) {
    vd::fillSelection(selection, trackers);
    if (selection.empty()) return -1;
    Fuser fuser;
    fuser.select(trackers, selection, trackerWeights);
    const float* totals = fuser.frameTotals(frame);
    const int n = static_cast<int>(selection.size());
    if (attractions) std::copy(totals, totals + n, attractions);
    return strongest(totals, n);
}

}  // namespace

int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights) {
    return strongestTrackerBox(trackers, frame, selection, trackerWeights, nullptr);
}

int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights, std::vector<float>& attractions) {
    return strongestTrackerBox(trackers, frame, selection, trackerWeights, attractions.data());
}

void gradient_ascent(Box& box, trackList& trackers, int frame, std::vector<int> selection,
                     std::vector<float> trackerWeights) {
    vd::fillSelection(selection, trackers);
    const float current = vd::frameAttraction(trackers, box, frame, selection, trackerWeights, nullptr);
    Fuser fuser;
    fuser.select(trackers, selection, trackerWeights);
    fuser.refine(box, current, frame);
}

void performFusionForAllFrames_TrajectoryOptimization(trackList& trackers, track& result, std::vector<int> selection,
                                                      std::vector<float> trackerWeights, bool skipBacktracking,
                                                      bool refineBoxes) {
    Fuser().fuseTrajectory(trackers, result, selection, trackerWeights, skipBacktracking, refineBoxes);
}

// ---- Evaluation against annotation ----

float evaluate(trackData& data, trackList& anno, bool useTrajectoryOptimization, std::vector<int> selection,
               std::vector<float> trackerWeights) {
    const int sequences = static_cast<int>(data.size());
    std::vector<float> scores(data.size(), 0.0f);
    std::vector<std::exception_ptr> failures(data.size());
    std::atomic<bool> failed{false};

    // Sequences in static contiguous blocks, each sequence's runs on one thread in order.
#pragma omp parallel
    {
        Fuser fuser;
        track result;
#pragma omp for schedule(static)
        for (int i = 0; i < sequences; ++i) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                scores[i] = sequenceScore(fuser, result, data[i], anno, static_cast<size_t>(i),
                                          useTrajectoryOptimization, selection, trackerWeights);
            } catch (...) {
                failures[i] = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    // Worker exceptions reach the caller once the team has joined: the first by sequence.
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);

    // Added in ascending sequence order: the same bits for every thread count.
    float total = 0.0f;
    for (float score : scores) total = total + score;
    return total / static_cast<float>(sequences);
}

// ---- Tracker weighting and selection ----

namespace {

// The track attraction's check for frames 1 .. n-1 of a run against its annotation. The
// frames pair with annotation boxes 1 + shift1 .. n-1 + shift1, so both ends cover them all.
void checkInsideAnnotation(size_t n, const track& t2, int shift1) {
    for (size_t k : {size_t{1}, n - 1}) VELMORA_ASSERT_IN(k+shift1<t2.size(), vd::kTrackAttractionSignature);
}

}  // namespace

std::vector<float> calculateTrackerWeights(trackData& data, trackList& annotation) {
    const vd::Kernels& kernels = vd::activeKernels();
    const vd::FieldParams params = vd::readFieldParams();
    // The first run fixes the tracker count: data[0][0] whenever the first sequence has a run.
    // A data set without runs learns nothing (it was once read out of range).
    const size_t trackers = vd::firstRunSize(data);
    const int trackerCount = static_cast<int>(trackers);
    std::vector<float> result(std::max<size_t>(400, trackers), 0.0f);
    int frameTotal = 0;

    // Per run, every tracker's attractions to the annotation over its frames 1 .. n-1, each
    // summed in frame order, trackers side by side in the kernel's lanes.
    static_assert(sizeof(Box) == 4 * sizeof(float), "a track is an array of (x, y, width, height)");
    std::vector<const float*> tracks;
    std::vector<int> counts;
    std::vector<float> sums;
    for (size_t i = 0; i < data.size(); ++i) {
        VELMORA_ASSERT_IN(annotation[i].size(), vd::kWeightsSignature);
        const track& t2 = annotation[i];
        for (size_t j = 0; j < data[i].size(); ++j) {
            const eTrackList& run = data[i][j];
            const int shift1 = run.startFrame - 1;
            tracks.clear();
            counts.clear();
            for (int k = 0; k < static_cast<int>(run.size()); ++k) {
                VELMORA_ASSERT_AS(data[i][j].size() == trackers, "data[i][j].size() == data[0][0].size()",
                                  vd::kWeightsSignature);
                // A track of fewer than two boxes has no frame after the first: it adds
                // nothing (its mean would be 0/0 and poison the sum).
                const track& t1 = run[k];
                if (t1.size() >= 2) checkInsideAnnotation(t1.size(), t2, shift1);
                tracks.push_back(t1.size() >= 2 ? &t1[1].x : nullptr);
                counts.push_back(t1.size() >= 2 ? static_cast<int>(t1.size() - 1) : 0);
            }
            const bool anyFrames = std::any_of(counts.begin(), counts.end(), [](int c) { return c > 0; });
            sums.assign(run.size(), 0.0f);
            if (anyFrames) {
                // Tracks without frames to sum stand in for a real one, summing nothing.
                const float* some = *std::find_if(tracks.begin(), tracks.end(), [](const float* t) { return t; });
                for (const float*& t : tracks) t = t ? t : some;
                kernels.attractionSums(tracks.data(), counts.data(), static_cast<int>(run.size()), &t2[1 + shift1].x,
                                       params, sums.data());
            }
            for (size_t k = 0; k < run.size(); ++k) {
                if (counts[k] == 0) continue;
                // The mean over frames 1 .. n-1, then scaled back by n - 1, as the track
                // attraction and its caller round them.
                const float factor = static_cast<float>(run[k].size() - 1);
                const float a = sums[k] / factor;
                result[k] = result[k] + a * factor;
            }
            const int length = run.empty() ? 0 : static_cast<int>(run[0].size());
            frameTotal = frameTotal + std::max(0, length - 1);
        }
    }
    for (int k = 0; k < trackerCount; ++k) result[k] = result[k] / static_cast<float>(frameTotal);
    return result;
}

std::vector<int> globalRemoval(trackData& data, trackList& annotation, std::vector<float> trackerWeights,
                               bool useTrajectoryOptimization) {
    return vd::globalRemovalWith(&evaluate, data, annotation, trackerWeights, useTrajectoryOptimization);
}

std::vector<float> calculateTrackerPerformances(trackList& trackers, std::vector<int> selection,
                                                std::vector<float> trackerWeights) {
    vd::fillSelection(selection, trackers);
    std::vector<float> result(selection.size(), 0.0f);
    const size_t frames = trackers.empty() ? 0 : trackers[0].size();
    if (selection.empty()) return result;
    Fuser fuser;
    fuser.select(trackers, selection, trackerWeights);
    fuser.sumFrameTotals(frames, result.data());
    return result;
}

std::vector<int> localRemoval(trackList& trackers, std::vector<int> selection, std::vector<float> trackerWeights) {
    return vd::localRemovalWith(&calculateTrackerPerformances, trackers, std::move(selection), trackerWeights);
}

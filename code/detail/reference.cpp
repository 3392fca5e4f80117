// The straightforward path. Each function follows its algorithm step by step, with the same
// float operations in the same order as the fast path must reproduce. Keep it plain: it is
// the yardstick, not the product.
#include "reference.h"

#include "check.h"
#include "selection.h"
#include "signatures.h"

#include <algorithm>

// Some checks compare a signed index with a container size exactly as the algorithm states
// them; the conversion to unsigned is what makes a negative index fail the check.
#pragma GCC diagnostic ignored "-Wsign-compare"

namespace velmora::reference {

using Box = cv::Rect_<float>;
using detail::fillSelection;
using detail::kDataSetSignature;
using detail::kTrajectorySignature;
using detail::kWeightsSignature;

namespace {

void fillWeights(std::vector<float>& weights, const trackList& trackers) {
    if (weights.empty()) weights.assign(trackers.size(), 1.0f);
}

int strongestPosition(trackList& trackers, int frame, std::vector<int> selection, std::vector<float> trackerWeights,
                      std::vector<float>* attractions) {
    fillSelection(selection, trackers);
    fillWeights(trackerWeights, trackers);
    if (selection.empty()) return -1;
    float best = 0.0f;
    int position = -1;
    for (size_t p = 0; p < selection.size(); ++p) {
        const float total =
            ::calculateAttraction(trackers, trackers[selection[p]][frame], frame, selection, trackerWeights);
        if (attractions) (*attractions)[p] = total;
        if (total > best) {
            best = total;
            position = static_cast<int>(p);
        }
    }
    return position;
}

// Best position of a trajectory column: strictly above a best that starts at 0, lowest
// position on ties, position 0 when no score is above 0.
size_t bestOfColumn(const std::vector<std::vector<float>>& scores, size_t frame) {
    float best = 0.0f;
    size_t position = 0;
    for (size_t k = 0; k < scores.size(); ++k) {
        if (scores[k][frame] > best) {
            best = scores[k][frame];
            position = k;
        }
    }
    return position;
}

}  // namespace

// ---- Fusion ----

Box performFusionForFrame(trackList& trackers, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights, bool refine) {
    fillSelection(selection, trackers);
    fillWeights(trackerWeights, trackers);
    if (selection.empty()) return Box(0.0f, 0.0f, 0.0f, 0.0f);

    float best = 0.0f;
    size_t chosen = 0;  // when no total is above 0, the first selected tracker's box
    for (size_t p = 0; p < selection.size(); ++p) {
        const float total =
            ::calculateAttraction(trackers, trackers[selection[p]][frame], frame, selection, trackerWeights);
        if (total > best) {
            best = total;
            chosen = p;
        }
    }
    Box r = trackers[selection[chosen]][frame];
    float current = ::calculateAttraction(trackers, r, frame, selection, trackerWeights);
    if (!refine) return r;

    for (int move = 0; move < 15; ++move) {
        int bestDx = 0, bestDy = 0;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                const Box candidate(r.x + static_cast<float>(dx), r.y + static_cast<float>(dy), r.width, r.height);
                const float value = ::calculateAttraction(trackers, candidate, frame, selection, trackerWeights);
                if (value > current) {
                    current = value;
                    bestDx = dx;
                    bestDy = dy;
                }
            }
        }
        if (bestDx == 0 && bestDy == 0) break;
        r.x = r.x + static_cast<float>(bestDx);
        r.y = r.y + static_cast<float>(bestDy);
    }
    return r;
}

void performFusionForAllFrames(trackList& trackers, track& result, std::vector<int> selection,
                               std::vector<float> trackerWeights, bool refine) {
    fillSelection(selection, trackers);
    const size_t frames = trackers.empty() ? 0 : trackers[0].size();
    result.resize(frames);
    for (size_t f = 0; f < frames; ++f)
        result[f] = performFusionForFrame(trackers, static_cast<int>(f), selection, trackerWeights, refine);
}

int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights) {
    return strongestPosition(trackers, frame, std::move(selection), std::move(trackerWeights), nullptr);
}

int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights, std::vector<float>& attractions) {
    return strongestPosition(trackers, frame, std::move(selection), std::move(trackerWeights), &attractions);
}

void gradient_ascent(Box& box, trackList& trackers, int frame, std::vector<int> selection,
                     std::vector<float> trackerWeights) {
    fillSelection(selection, trackers);
    fillWeights(trackerWeights, trackers);
    float current = ::calculateAttraction(trackers, box, frame, selection, trackerWeights);
    float budget = (box.width + box.height) * 0.5f / 20.0f;
    if (!(budget > 0.0f)) return;

    int moves = 0;
    for (;;) {
        int bestDx = 0, bestDy = 0;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                const Box candidate(box.x + static_cast<float>(dx), box.y + static_cast<float>(dy), box.width,
                                    box.height);
                const float value = ::calculateAttraction(trackers, candidate, frame, selection, trackerWeights);
                if (value > current) {
                    current = value;
                    bestDx = dx;
                    bestDy = dy;
                }
            }
        }
        if (bestDx == 0 && bestDy == 0) return;
        ++moves;
        box.x = box.x + static_cast<float>(bestDx);
        box.y = box.y + static_cast<float>(bestDy);
        budget = (box.width + box.height) * 0.5f / 20.0f;
        if (!(budget > static_cast<float>(moves))) return;
    }
}

void performFusionForAllFrames_TrajectoryOptimization(trackList& trackers, track& result, std::vector<int> selection,
                                                      std::vector<float> trackerWeights, bool skipBacktracking,
                                                      bool refineBoxes) {
    fillSelection(selection, trackers);
    const size_t frames = trackers.empty() ? 0 : trackers[0].size();
    const size_t n = selection.size();
    if (frames == 0) {
        result.clear();
        return;
    }
    std::vector<std::vector<float>> scores(n, std::vector<float>(frames, 0.0f));
    std::vector<std::vector<int>> predecessors(n, std::vector<int>(frames, -1));
    result.resize(frames);

    for (size_t i = 0; i < frames; ++i) {
        std::vector<float> weights(n, 0.0f);
        const float gs =
            static_cast<float>(findTrackingRectWithGreatestAttraction(trackers, static_cast<int>(i), selection,
                                                                      trackerWeights, weights));
        VELMORA_ASSERT_IN(gs>=0, kTrajectorySignature);
        const float r = 1.0f / weights[static_cast<size_t>(gs)];
        for (size_t j = 0; j < n; ++j) {
            weights[j] = weights[j] * r;
            VELMORA_ASSERT_IN(weights[j]<=1.01f, kTrajectorySignature);
        }
        if (i == 0) {
            for (size_t k = 0; k < n; ++k) scores[k][0] = weights[k];
            continue;
        }
        for (size_t k = 0; k < n; ++k) {
            for (size_t j = 0; j < n; ++j) {
                const float s = scores[j][i - 1] + weights[k];
                const float t =
                    ::normalizedAttraction(trackers[selection[k]][i], trackers[selection[j]][i], std_sigma) * std_beta;
                const float c = t + s;
                if (c > scores[k][i]) {
                    scores[k][i] = c;
                    predecessors[k][i] = static_cast<int>(j);
                }
            }
        }
    }

    auto emit = [&](size_t k, size_t i) {
        result[i] = trackers[selection[k]][i];
        if (refineBoxes) gradient_ascent(result[i], trackers, static_cast<int>(i), selection, trackerWeights);
    };
    if (skipBacktracking) {
        for (size_t i = 0; i < frames; ++i) emit(bestOfColumn(scores, i), i);
        return;
    }
    size_t k = bestOfColumn(scores, frames - 1);
    for (size_t i = frames; i-- > 0;) {
        emit(k, i);
        if (i == 0) break;
        const int previous = predecessors[k][i];
        k = previous >= 0 ? static_cast<size_t>(previous) : bestOfColumn(scores, i - 1);
    }
}

// ---- Evaluation against annotation ----

float evaluate(trackData& data, trackList& anno, bool useTrajectoryOptimization, std::vector<int> selection,
               std::vector<float> trackerWeights) {
    // Sequence scores are added in ascending sequence order, so the result is the one any
    // thread count of the parallel path must reproduce.
    float total = 0.0f;
    for (size_t i = 0; i < data.size(); ++i) {
        VELMORA_ASSERT_IN(anno[i].size(), kDataSetSignature);
        float weightedSum = 0.0f;
        int frameCount = 0;
        track result;
        for (eTrackList& run : data[i]) {
            if (useTrajectoryOptimization)
                reference::performFusionForAllFrames_TrajectoryOptimization(run, result, selection, trackerWeights, false, true);
            else
                reference::performFusionForAllFrames(run, result, selection, trackerWeights, true);
            const float score = ::evaluate(result, anno[i], run.startFrame - 1, -1.0f, false);
            const int length = static_cast<int>(run.empty() ? 0 : run[0].size());
            weightedSum = static_cast<float>(length) * score + weightedSum;
            frameCount = frameCount + length;
        }
        total = total + weightedSum / static_cast<float>(frameCount);
    }
    return total / static_cast<float>(static_cast<int>(data.size()));
}

// ---- Tracker weighting and selection ----

std::vector<float> calculateTrackerWeights(trackData& data, trackList& annotation) {
    // The first run fixes the tracker count: data[0][0] whenever the first sequence has a run.
    // A data set without runs learns nothing (it was once read out of range).
    const size_t trackers = detail::firstRunSize(data);
    const int trackerCount = static_cast<int>(trackers);
    std::vector<float> result(std::max<size_t>(400, trackers), 0.0f);
    int frameTotal = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        VELMORA_ASSERT_IN(annotation[i].size(), kWeightsSignature);
        for (size_t j = 0; j < data[i].size(); ++j) {
            for (int k = 0; k < static_cast<int>(data[i][j].size()); ++k) {
                VELMORA_ASSERT_AS(data[i][j].size() == trackers, "data[i][j].size() == data[0][0].size()",
                                  kWeightsSignature);
                const int shift = data[i][j].startFrame - 1;
                // A track of fewer than two boxes has no frame after the first: it adds nothing
                // (its mean would be 0/0 and poison the sum).
                if (data[i][j][k].size() < 2) continue;
                const float a = ::attraction(data[i][j][k], annotation[i], shift, 1);
                const float factor = static_cast<float>(data[i][j][k].size() - 1);
                result[k] = result[k] + a * factor;
            }
            const int length = data[i][j].empty() ? 0 : static_cast<int>(data[i][j][0].size());
            frameTotal = frameTotal + std::max(0, length - 1);
        }
    }
    for (int k = 0; k < trackerCount; ++k) result[k] = result[k] / static_cast<float>(frameTotal);
    return result;
}

// Both paths share the removal loops and differ in how they score.
std::vector<int> globalRemoval(trackData& data, trackList& annotation, std::vector<float> trackerWeights,
                               bool useTrajectoryOptimization) {
    return detail::globalRemovalWith(&reference::evaluate, data, annotation, trackerWeights,
                                     useTrajectoryOptimization);
}

std::vector<float> calculateTrackerPerformances(trackList& trackers, std::vector<int> selection,
                                                std::vector<float> trackerWeights) {
    fillSelection(selection, trackers);
    fillWeights(trackerWeights, trackers);
    std::vector<float> result(selection.size(), 0.0f);
    std::vector<float> frameScores(selection.size(), 0.0f);
    const size_t frames = trackers.empty() ? 0 : trackers[0].size();
    for (size_t f = 0; f < frames; ++f) {
        findTrackingRectWithGreatestAttraction(trackers, static_cast<int>(f), selection, trackerWeights, frameScores);
        for (size_t p = 0; p < selection.size(); ++p) result[p] = result[p] + frameScores[p];
    }
    return result;
}

std::vector<int> localRemoval(trackList& trackers, std::vector<int> selection, std::vector<float> trackerWeights) {
    return detail::localRemovalWith(&reference::calculateTrackerPerformances, trackers, std::move(selection),
                                    trackerWeights);
}

}  // namespace velmora::reference

// The removal loops over tracker selections. Both paths run these same loops and differ only
// in the scoring function they hand in, so a difference between the paths' selections can
// only come from their scores.
#include "selection.h"

#include "check.h"
#include "signatures.h"

#include <cstdlib>
#include <iostream>

// Some checks compare a signed index with a container size exactly as the algorithm states
// them; the conversion to unsigned is what makes a negative index fail the check.
#pragma GCC diagnostic ignored "-Wsign-compare"

namespace velmora::detail {

size_t firstRunSize(const trackData& data) {
    for (const auto& runs : data)
        if (!runs.empty()) return runs[0].size();
    return 0;
}

void fillSelection(std::vector<int>& selection, const trackList& trackers) {
    if (!selection.empty()) return;
    // Resized rather than grown entry by entry: a list reused across calls keeps its storage.
    selection.resize(trackers.size());
    for (size_t k = 0; k < trackers.size(); ++k) selection[k] = static_cast<int>(k);
}

// Greedy removal with the given data-set score.
std::vector<int> globalRemovalWith(DataSetScore evaluate, trackData& data, trackList& annotation,
                                   const std::vector<float>& trackerWeights, bool useTrajectoryOptimization) {
    float bestScore = evaluate(data, annotation, useTrajectoryOptimization, std::vector<int>(), trackerWeights);
    const int trackerCount = static_cast<int>(data[0][0].size());
    std::vector<int> trackerList;
    for (int k = 0; k < trackerCount; ++k) trackerList.push_back(k);
    std::vector<int> bestList = trackerList;
    float previousWeight = 0.0f;
    while (!trackerList.empty()) {
        // The lightest tracker above the weight tried last; the first of equal weights.
        float minimum = 1e15f;
        int bestp = -1;
        for (size_t i = 0; i < trackerList.size(); ++i) {
            const float w = trackerWeights[trackerList[i]];
            if (w < minimum && w > previousWeight) {
                minimum = w;
                bestp = static_cast<int>(i);
            }
        }
        if (bestp == -1) break;
        VELMORA_ASSERT_IN(bestp< trackerList.size(), kGlobalRemovalSignature);
        trackerList.erase(trackerList.begin() + bestp);
        const float score = evaluate(data, annotation, useTrajectoryOptimization, trackerList, trackerWeights);
        if (score > bestScore) {  // a drop stands only when the score rises strictly
            bestList = trackerList;
            bestScore = score;
        } else {
            trackerList = bestList;
        }
        previousWeight = minimum;
    }
    return trackerList;
}

// Local removal with the given performances.
std::vector<int> localRemovalWith(Performances performancesOf, trackList& trackers, std::vector<int> selection,
                                  const std::vector<float>& trackerWeights) {
    if (std_gamma == -1) {
        // A refusal is a failure: exit status 1.
        std::cerr << kGammaUnsetMessage << std::endl;
        std::exit(1);
    }
    fillSelection(selection, trackers);
    std::vector<float> performances = performancesOf(trackers, selection, trackerWeights);
    for (int drop = 0; drop < std_gamma; ++drop) {
        // The lowest performance, the earlier position on ties; NaN is never chosen.
        int worsti = -1;
        float minimum = 1e25f;
        for (size_t p = 0; p < performances.size(); ++p) {
            if (performances[p] < minimum) {
                minimum = performances[p];
                worsti = static_cast<int>(p);
            }
        }
        VELMORA_ASSERT_IN(worsti!=-1, kLocalRemovalSignature);
        performances.erase(performances.begin() + worsti);
        selection.erase(selection.begin() + worsti);
    }
    return selection;
}

}  // namespace velmora::detail

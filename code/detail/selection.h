// The tracker-selection helpers that the fast path and the straightforward path share: the
// fill of an empty selection, and the removal loops, into which each path hands its own
// scoring function.
#ifndef VELMORA_DETAIL_SELECTION_H
#define VELMORA_DETAIL_SELECTION_H

#include "../approach.h"

namespace velmora::detail {

// An empty selection stands for all trackers 0, 1, ..., trackers.size() - 1: fills it so.
// A selection that is not empty stays as it is.
void fillSelection(std::vector<int>& selection, const trackList& trackers);

// The number of tracks of the data set's first run (data[0][0] when the first sequence has a
// run), 0 when no sequence has one.
size_t firstRunSize(const trackData& data);

using DataSetScore = float (*)(trackData&, trackList&, bool, std::vector<int>, std::vector<float>);
using Performances = std::vector<float> (*)(trackList&, std::vector<int>, std::vector<float>);

std::vector<int> globalRemovalWith(DataSetScore evaluate, trackData& data, trackList& annotation,
                                   const std::vector<float>& trackerWeights, bool useTrajectoryOptimization);
std::vector<int> localRemovalWith(Performances performancesOf, trackList& trackers, std::vector<int> selection,
                                  const std::vector<float>& trackerWeights);

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_SELECTION_H

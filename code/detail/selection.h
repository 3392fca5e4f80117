// The tracker-removal loops, shared by the fast path and the straightforward path, which
// hand in their own scoring functions.
#ifndef VELMORA_DETAIL_SELECTION_H
#define VELMORA_DETAIL_SELECTION_H

#include "../approach.h"

namespace velmora::detail {

using DataSetScore = float (*)(trackData&, trackList&, bool, std::vector<int>, std::vector<float>);
using Performances = std::vector<float> (*)(trackList&, std::vector<int>, std::vector<float>);

std::vector<int> globalRemovalWith(DataSetScore evaluate, trackData& data, trackList& annotation,
                                   const std::vector<float>& trackerWeights, bool useTrajectoryOptimization);
std::vector<int> localRemovalWith(Performances performancesOf, trackList& trackers, std::vector<int> selection,
                                  const std::vector<float>& trackerWeights);

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_SELECTION_H

// The straightforward path: every exported function that the fast path speeds up, written as
// a plain reading of the algorithm, one calculateAttraction per candidate, by-value copies
// and all. It is slow on purpose. The differential tests and the benchmarks call it beside
// the exported functions, and the results must agree to the bit. The box geometry, the frame
// attraction of one box and the track measures have no second version: both paths call the
// exported ones (detail/measures.cpp).
#ifndef VELMORA_DETAIL_REFERENCE_H
#define VELMORA_DETAIL_REFERENCE_H

#include "../approach.h"

namespace velmora::reference {

cv::Rect_<float> performFusionForFrame(trackList& trackers, int frame, std::vector<int> selection,
                                       std::vector<float> trackerWeights, bool refine);
void performFusionForAllFrames(trackList& trackers, track& result, std::vector<int> selection,
                               std::vector<float> trackerWeights, bool refine);
int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights);
int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights, std::vector<float>& attractions);
void gradient_ascent(cv::Rect_<float>& box, trackList& trackers, int frame, std::vector<int> selection,
                     std::vector<float> trackerWeights);
void performFusionForAllFrames_TrajectoryOptimization(trackList& trackers, track& result, std::vector<int> selection,
                                                      std::vector<float> trackerWeights, bool skipBacktracking,
                                                      bool refineBoxes);

float evaluate(trackData& data, trackList& anno, bool useTrajectoryOptimization, std::vector<int> selection,
               std::vector<float> trackerWeights);

std::vector<float> calculateTrackerWeights(trackData& data, trackList& annotation);
std::vector<int> globalRemoval(trackData& data, trackList& annotation, std::vector<float> trackerWeights,
                               bool useTrajectoryOptimization);
std::vector<float> calculateTrackerPerformances(trackList& trackers, std::vector<int> selection,
                                                std::vector<float> trackerWeights);
std::vector<int> localRemoval(trackList& trackers, std::vector<int> selection, std::vector<float> trackerWeights);

}  // namespace velmora::reference

#endif  // VELMORA_DETAIL_REFERENCE_H

// Exported functions (temporary: forwarding to the straightforward path).
#include "approach.h"
#include "detail/reference.h"

float std_alpha = 4.0f;
float std_beta = 20.0f;
int std_gamma = -1;
float std_sigma = 0.03f;

float distance4D_2(cv::Rect_<float> a, cv::Rect_<float> b) { return velmora::reference::distance4D_2(a, b); }
float attraction(cv::Rect_<float> a, cv::Rect_<float> b, float sigma) { return velmora::reference::attraction(a, b, sigma); }
float normalizedAttraction(cv::Rect_<float> a, cv::Rect_<float> b, float sigma) { return velmora::reference::normalizedAttraction(a, b, sigma); }
float calculateAttraction(trackList& trackers, cv::Rect_<float> box, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights) { return velmora::reference::calculateAttraction(trackers, box, frame, selection, trackerWeights); }
float calculateAttraction(trackList& trackers, cv::Rect_<float> box, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights, std::vector<float>& attractions) { return velmora::reference::calculateAttraction(trackers, box, frame, selection, trackerWeights, attractions); }
cv::Rect_<float> performFusionForFrame(trackList& trackers, int frame, std::vector<int> selection,
                                       std::vector<float> trackerWeights, bool refine) { return velmora::reference::performFusionForFrame(trackers, frame, selection, trackerWeights, refine); }
void performFusionForAllFrames(trackList& trackers, track& result, std::vector<int> selection,
                               std::vector<float> trackerWeights, bool refine) { return velmora::reference::performFusionForAllFrames(trackers, result, selection, trackerWeights, refine); }
int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights) { return velmora::reference::findTrackingRectWithGreatestAttraction(trackers, frame, selection, trackerWeights); }
int findTrackingRectWithGreatestAttraction(trackList& trackers, int frame, std::vector<int> selection,
                                           std::vector<float> trackerWeights, std::vector<float>& attractions) { return velmora::reference::findTrackingRectWithGreatestAttraction(trackers, frame, selection, trackerWeights, attractions); }
void gradient_ascent(cv::Rect_<float>& box, trackList& trackers, int frame, std::vector<int> selection,
                     std::vector<float> trackerWeights) { return velmora::reference::gradient_ascent(box, trackers, frame, selection, trackerWeights); }
void performFusionForAllFrames_TrajectoryOptimization(trackList& trackers, track& result, std::vector<int> selection,
                                                      std::vector<float> trackerWeights, bool skipBacktracking,
                                                      bool refineBoxes) { return velmora::reference::performFusionForAllFrames_TrajectoryOptimization(trackers, result, selection, trackerWeights, skipBacktracking, refineBoxes); }
float evaluate(track t1, track t2, int shift1, float threshold, bool useCenterDistance) { return velmora::reference::evaluate(t1, t2, shift1, threshold, useCenterDistance); }
float attraction(track t1, track t2, int shift1, int start) { return velmora::reference::attraction(t1, t2, shift1, start); }
float evaluate(trackData& data, trackList& anno, bool useTrajectoryOptimization, std::vector<int> selection,
               std::vector<float> trackerWeights) { return velmora::reference::evaluate(data, anno, useTrajectoryOptimization, selection, trackerWeights); }
std::vector<float> calculateTrackerWeights(trackData& data, trackList& annotation) { return velmora::reference::calculateTrackerWeights(data, annotation); }
std::vector<int> globalRemoval(trackData& data, trackList& annotation, std::vector<float> trackerWeights,
                               bool useTrajectoryOptimization) { return velmora::reference::globalRemoval(data, annotation, trackerWeights, useTrajectoryOptimization); }
std::vector<float> calculateTrackerPerformances(trackList& trackers, std::vector<int> selection,
                                                std::vector<float> trackerWeights) { return velmora::reference::calculateTrackerPerformances(trackers, selection, trackerWeights); }
std::vector<int> localRemoval(trackList& trackers, std::vector<int> selection, std::vector<float> trackerWeights) { return velmora::reference::localRemoval(trackers, selection, trackerWeights); }

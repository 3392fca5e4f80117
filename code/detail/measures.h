// The scalar measures that the fast path and the straightforward path share: the box
// distance and attractions, the frame attraction of one box, the track quality and the
// track-to-annotation attraction. The exported functions of these names are defined in
// measures.cpp; the helpers below are their forms for callers inside the library.
#ifndef VELMORA_DETAIL_MEASURES_H
#define VELMORA_DETAIL_MEASURES_H

#include "../approach.h"

namespace velmora::detail {

// calculateAttraction on lists the caller keeps: writes each term to attractions[p] unless
// `attractions` is null.
float frameAttraction(const trackList& trackers, cv::Rect_<float> box, int frame, const std::vector<int>& selection,
                      const std::vector<float>& trackerWeights, float* attractions);

// The track quality evaluate(t1, t2, shift1, threshold, useCenterDistance) without copies.
float trackQuality(const track& t1, const track& t2, int shift1, float threshold, bool useCenterDistance);

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_MEASURES_H

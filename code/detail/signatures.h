// Function texts of the exported functions that assert, as the assertion message names them.
// Helpers that check on behalf of an exported function use these, so a failure reads the
// same whichever internal path detected it.
#ifndef VELMORA_DETAIL_SIGNATURES_H
#define VELMORA_DETAIL_SIGNATURES_H

namespace velmora::detail {

inline constexpr const char kTrajectorySignature[] =
    "void performFusionForAllFrames_TrajectoryOptimization(trackList&, track&, std::vector<int>, "
    "std::vector<float>, bool, bool)";
inline constexpr const char kTrackQualitySignature[] = "float evaluate(track, track, int, float, bool)";
inline constexpr const char kTrackAttractionSignature[] = "float attraction(track, track, int, int)";
inline constexpr const char kDataSetSignature[] =
    "float evaluate(trackData&, trackList&, bool, std::vector<int>, std::vector<float>)";
inline constexpr const char kWeightsSignature[] = "std::vector<float> calculateTrackerWeights(trackData&, trackList&)";
inline constexpr const char kGlobalRemovalSignature[] =
    "std::vector<int> globalRemoval(trackData&, trackList&, std::vector<float>, bool)";
inline constexpr const char kLocalRemovalSignature[] =
    "std::vector<int> localRemoval(trackList&, std::vector<int>, std::vector<float>)";
inline constexpr const char kOnlinePushSignature[] = "const track& OnlineFuser::push(const track&)";

// The one stop that is not an assertion.
inline constexpr const char kGammaUnsetMessage[] = "std_gamma must be set before calling this function ... aborting";

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_SIGNATURES_H

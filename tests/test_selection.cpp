// Tracker weights, global removal, tracker performances and local removal.
#include "test_support.h"

#include "detail/reference.h"

namespace velmora_test {
namespace {

const Box kTruth(0, 0, 10, 10);
const Box kBeside(5, 5, 10, 10);  // DX = DY = -0.5 against kTruth: distance 0.5
const Box kFar(1000, 1000, 10, 10);

// ---- Tracker weights ----

class TrackerWeights : public VelmoraTest {};

TEST_F(TrackerWeights, FourHundredEntriesAndZerosBeyondTheTrackers) {
    trackData data = {{run({repeated(kTruth, 3), repeated(kBeside, 3), repeated(kFar, 3)})}};
    trackList anno = {repeated(kTruth, 3)};
    const std::vector<float> weights = calculateTrackerWeights(data, anno);
    ASSERT_EQ(400u, weights.size());
    for (size_t k = 0; k < 3; ++k) EXPECT_GT(weights[k], 0.0f) << "tracker " << k;
    for (size_t k = 3; k < weights.size(); ++k) EXPECT_SAME_BITS(0.0f, weights[k]) << "entry " << k;
}

TEST_F(TrackerWeights, TrackOnTheAnnotationWeighsOneOverSigma) {
    trackData data = {{run({repeated(kTruth, 3), repeated(kBeside, 3)})}};
    trackList anno = {repeated(kTruth, 3)};
    const std::vector<float> weights = calculateTrackerWeights(data, anno);
    EXPECT_SAME_BITS(33.333336f, weights[0]);
    EXPECT_LT(weights[1], weights[0]);
}

TEST_F(TrackerWeights, MoreThanFourHundredTrackersGiveOneEntryEach) {
    trackList tracks(401, repeated(kBeside, 2));
    tracks[400] = repeated(kTruth, 2);
    trackData data = {{run(tracks)}};
    trackList anno = {repeated(kTruth, 2)};
    std_sigma = 0.5f;
    const std::vector<float> weights = calculateTrackerWeights(data, anno);
    ASSERT_EQ(401u, weights.size());
    EXPECT_SAME_BITS(1.0f, weights[0]);
    EXPECT_SAME_BITS(2.0f, weights[400]);
}

TEST_F(TrackerWeights, RunsCountByTheirFramesAfterTheFirst) {
    // With std_sigma = 0.5 a box on the annotation attracts 2 and kBeside exactly 1. The
    // 11-frame run is on the annotation, the 101-frame run beside it:
    // (10 * 2 + 100 * 1) / 110, not the mean 1.5 of the two runs.
    std_sigma = 0.5f;
    trackData data = {{run({repeated(kTruth, 11)}), run({repeated(kBeside, 101)})}};
    trackList anno = {repeated(kTruth, 101)};
    EXPECT_SAME_BITS(1.0909091f, calculateTrackerWeights(data, anno)[0]);
}

TEST_F(TrackerWeights, EachTrackCountsItsOwnFramesAndTheFirstTrackSetsTheTotal) {
    // std_sigma = 0.5: both trackers on the annotation attract 2 a frame. Tracker 0 has 2
    // frames after the first, tracker 1 has 4; the frame total comes from tracker 0 alone.
    std_sigma = 0.5f;
    trackData data = {{run({repeated(kTruth, 3), repeated(kTruth, 5)})}};
    trackList anno = {repeated(kTruth, 5)};
    const std::vector<float> weights = calculateTrackerWeights(data, anno);
    EXPECT_SAME_BITS(2.0f, weights[0]);
    EXPECT_SAME_BITS(4.0f, weights[1]);
}

TEST_F(TrackerWeights, StartFrameShiftsTheAnnotation) {
    // Shift 4: run box 1 meets annotation box 5; run box 0 is not used.
    std_sigma = 0.5f;
    track anno0 = repeated(kFar, 10);
    anno0[5] = kTruth;
    trackList anno = {anno0};
    trackData data = {{run({track{Box(-300, 0, 10, 10), kTruth}}, 5)}};
    EXPECT_SAME_BITS(2.0f, calculateTrackerWeights(data, anno)[0]);
}

TEST_F(TrackerWeights, TracksShorterThanTwoBoxesAddNothing) {
    trackList anno = {repeated(kTruth, 5), repeated(kTruth, 5)};
    trackData longOnly = {{run({repeated(kTruth, 3), repeated(kBeside, 3)})}, {}};
    const std::vector<float> expected = calculateTrackerWeights(longOnly, anno);

    trackData withShort = {{run({repeated(kTruth, 1), repeated(kBeside, 1)}), run({track{}, track{}})},
                           {run({repeated(kTruth, 3), repeated(kBeside, 3)})}};
    const std::vector<float> weights = calculateTrackerWeights(withShort, anno);
    EXPECT_FALSE(std::isnan(weights[0]));
    EXPECT_SAME_FLOATS(expected, weights);
}

TEST_F(TrackerWeights, TheFirstRunOfTheDataSetFixesTheTrackers) {
    // No run at all learns nothing; a first sequence without runs is passed over (both were
    // read out of range once), on both paths.
    using Weights = std::vector<float> (*)(trackData&, trackList&);
    for (Weights weightsOf : {static_cast<Weights>(&calculateTrackerWeights),
                              static_cast<Weights>(&velmora::reference::calculateTrackerWeights)}) {
        trackData none = {}, noRuns = {{}, {}};
        trackList noAnno = {}, twoAnno = {repeated(kTruth, 3), repeated(kTruth, 3)};
        EXPECT_EQ(std::vector<float>(400, 0.0f), weightsOf(none, noAnno));
        EXPECT_EQ(std::vector<float>(400, 0.0f), weightsOf(noRuns, twoAnno));
        trackData later = {{}, {run({repeated(kTruth, 3), repeated(kBeside, 3)})}};
        trackData alone = {{run({repeated(kTruth, 3), repeated(kBeside, 3)})}};
        trackList oneAnno = {repeated(kTruth, 3)};
        EXPECT_SAME_FLOATS(weightsOf(alone, oneAnno), weightsOf(later, twoAnno));
    }
}

TEST_F(TrackerWeights, EmptyAnnotationFailsTheAssertionEvenWithoutRuns) {
    trackData data = {{run({repeated(kTruth, 3)})}, {}};
    trackList anno = {repeated(kTruth, 3), track{}};
    EXPECT_DEATH(calculateTrackerWeights(data, anno), assertionMessage(kWeights, "annotation[i].size()"));
}

TEST_F(TrackerWeights, RunWithAnotherTrackerCountFailsTheAssertion) {
    trackData data = {{run({repeated(kTruth, 3), repeated(kBeside, 3)}), run({repeated(kTruth, 3)})}};
    trackList anno = {repeated(kTruth, 3)};
    EXPECT_DEATH(calculateTrackerWeights(data, anno),
                 assertionMessage(kWeights, "data[i][j].size() == data[0][0].size()"));
}

TEST_F(TrackerWeights, RunBeyondItsAnnotationFailsTheAttractionAssertion) {
    trackData data = {{run({repeated(kTruth, 3)}, 2)}};
    trackList anno = {repeated(kTruth, 3)};
    EXPECT_DEATH(calculateTrackerWeights(data, anno), assertionMessage(kTrackAttraction, "k+shift1<t2.size()"));
}

// ---- Global removal ----

class GlobalRemoval : public VelmoraParamTest<bool> {
protected:
    bool trajectory() const { return GetParam(); }
    float score(trackData& data, trackList& anno, std::vector<int> selection, const std::vector<float>& weights) {
        return evaluate(data, anno, trajectory(), selection, weights);
    }
};

INSTANTIATE_TEST_SUITE_P(BothModes, GlobalRemoval, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& testInfo) {
                             return std::string(testInfo.param ? "Trajectory" : "FrameByFrame");
                         });

// 1000-unit boxes; tracker 2 and the annotation at the origin throughout. Tracker 2 always
// wins its frames, and the others only pull the climb away from it. Frame 1: tracker 0 far
// to the left and tracker 1 close to the right pull about equally hard. Frames 2 and 3:
// tracker 0 reports nothing usable (a NaN box neither attracts nor scores), tracker 1 pulls.
// So dropping tracker 1 first helps, dropping tracker 0 first hurts, and tracker 2 alone is
// best.
trackData pullingTrackers(trackList& anno) {
    const Box origin(0, 0, 1000, 1000), left(-418, 0, 1000, 1000), right(100, 0, 1000, 1000),
        unusable(kNaN, 0, 1000, 1000);
    anno = {repeated(origin, 4)};
    return {{run({{origin, left, unusable, unusable}, {origin, right, right, right}, repeated(origin, 4)})}};
}

TEST_P(GlobalRemoval, TriesTrackersInAscendingOrderOfWeight) {
    trackList anno;
    trackData data = pullingTrackers(anno);
    const std::vector<float> weights = {0.5f, 0.2f, 0.9f};
    const float all = score(data, anno, {}, weights);
    ASSERT_GT(score(data, anno, {0, 2}, weights), all);
    ASSERT_GT(score(data, anno, {2}, weights), score(data, anno, {0, 2}, weights));
    ASSERT_LT(score(data, anno, {1, 2}, weights), all);
    // Tracker 1 (0.2) goes, then tracker 0 (0.5); dropping tracker 2 (0.9) would bring back
    // all trackers.
    EXPECT_EQ((std::vector<int>{2}), globalRemoval(data, anno, weights, trajectory()));
}

TEST_P(GlobalRemoval, ReadsOnlyTheEntriesOfExistingTrackers) {
    trackList anno;
    trackData data = pullingTrackers(anno);
    std::vector<float> weights(400, 0.05f);
    weights[0] = 0.5f;
    weights[1] = 0.2f;
    weights[2] = 0.9f;
    EXPECT_EQ((std::vector<int>{2}), globalRemoval(data, anno, weights, trajectory()));
    EXPECT_EQ(400u, weights.size());
}

TEST_P(GlobalRemoval, DropStandsOnlyOnAStrictImprovement) {
    // Every tracker on the annotation: no drop changes the score.
    trackList anno = {repeated(kTruth, 3)};
    trackData data = {{run(trackList(3, repeated(kTruth, 3)))}};
    EXPECT_EQ((std::vector<int>{0, 1, 2}), globalRemoval(data, anno, {0.5f, 0.2f, 0.9f}, trajectory()));
}

TEST_P(GlobalRemoval, EqualWeightsMakeOneTrialOnTheFirstTracker) {
    // Tracker 0 on the annotation; trackers 1 and 2 agree far away and outvote it. Dropping
    // tracker 0 hurts; dropping tracker 1 would help but is never tried.
    trackList anno = {repeated(kTruth, 2)};
    trackData data = {{run({repeated(kTruth, 2), repeated(kFar, 2), repeated(kFar, 2)})}};
    const std::vector<float> weights(3, 0.5f);
    ASSERT_GT(score(data, anno, {0, 2}, weights), score(data, anno, {}, weights));
    EXPECT_EQ((std::vector<int>{0, 1, 2}), globalRemoval(data, anno, weights, trajectory()));
}

TEST_P(GlobalRemoval, TrackersOfWeightZeroAreNeverTried) {
    // Tracker 0 (weight 0) sits between trackers 1 and 2 and collects their attraction, so
    // its box wins although it attracts nothing itself. The annotation is tracker 1's box:
    // without tracker 0 the score would rise.
    const Box between(0, 0, 1000, 1000), left(-80, 0, 1000, 1000), right(80, 0, 1000, 1000);
    trackList anno = {repeated(left, 2)};
    trackData data = {{run({repeated(between, 2), repeated(left, 2), repeated(right, 2)})}};
    const std::vector<float> weights = {0.0f, 1.0f, 1.0f};
    ASSERT_GT(score(data, anno, {1, 2}, weights), score(data, anno, {}, weights));
    EXPECT_EQ((std::vector<int>{0, 1, 2}), globalRemoval(data, anno, weights, trajectory()));
}

TEST_P(GlobalRemoval, NegativeAndNotANumberWeightsAreNeverTried) {
    trackList anno = {repeated(kTruth, 2)};
    trackData data = {{run({repeated(kTruth, 2), repeated(kFar, 2), repeated(kFar, 2)})}};
    // Only tracker 0 has a weight that can be tried, and dropping it hurts. (Trackers that all
    // weigh NaN attract nothing, which the trajectory optimisation rejects.)
    std::vector<float> odds = {-1.0f, 2e15f};
    if (!trajectory()) odds.push_back(kNaN);
    for (float odd : odds) {
        const std::vector<float> weights = {0.5f, odd, odd};
        EXPECT_EQ((std::vector<int>{0, 1, 2}), globalRemoval(data, anno, weights, trajectory())) << odd;
    }
}

// ---- Tracker performances ----

const std::vector<Box> kTriple = {Box(0, 0, 100, 100), Box(30, 0, 100, 100), Box(0, 40, 100, 100)};

class TrackerPerformances : public VelmoraTest {};

TEST_F(TrackerPerformances, EntriesFollowSelectionPositions) {
    trackList trackers = oneFrame(kTriple);
    const std::vector<float> weights = {1.0f, 1.0f, 1.5f};
    EXPECT_SAME_FLOATS((std::vector<float>{80.26317f, 45.175438f}),
                       calculateTrackerPerformances(trackers, {2, 0}, weights));
    EXPECT_SAME_FLOATS((std::vector<float>{45.175438f, 80.26317f}),
                       calculateTrackerPerformances(trackers, {0, 2}, weights));
}

TEST_F(TrackerPerformances, EmptyListsMeanAllTrackersOfWeightOne) {
    trackList trackers = oneFrame(kTriple);
    EXPECT_SAME_FLOATS((std::vector<float>{46.929825f, 45.238098f, 42.167923f}),
                       calculateTrackerPerformances(trackers, {}, {}));
    trackList four = steady({kTriple[0], kTriple[1], kTriple[2], Box(10, 10, 100, 100)}, 2);
    EXPECT_SAME_FLOATS(calculateTrackerPerformances(four, {0, 1, 2, 3}, {1.0f, 1.0f, 1.0f, 1.0f}),
                       calculateTrackerPerformances(four, {}, {}));
    EXPECT_EQ(4u, calculateTrackerPerformances(four, {}, {}).size());
}

TEST_F(TrackerPerformances, SumsTheFramesFromFrameZero) {
    // Two trackers that agree: each box gets 1 / sigma from itself and from the other,
    // 66.66667 a frame, summed over four frames.
    trackList trackers = steady({kTruth, kTruth}, 4);
    EXPECT_SAME_FLOATS((std::vector<float>{266.6667f, 266.6667f}), calculateTrackerPerformances(trackers, {}, {}));
}

TEST_F(TrackerPerformances, ZeroWidthBoxEarnsNothingInItsFrame) {
    trackList trackers = {{kTruth, kTruth}, {kTruth, Box(0, 0, 0, 10)}};
    EXPECT_SAME_BITS(66.66667f, calculateTrackerPerformances(trackers, {}, {})[1]);
}

TEST_F(TrackerPerformances, EmptyFirstTrackGivesZeros) {
    trackList trackers = {track{}, track{kTruth}};
    EXPECT_SAME_FLOATS((std::vector<float>{0.0f, 0.0f}), calculateTrackerPerformances(trackers, {}, {}));
    EXPECT_SAME_FLOATS((std::vector<float>{0.0f}), calculateTrackerPerformances(trackers, {1}, {}));
}

TEST_F(TrackerPerformances, NoTrackerGivesNoEntry) {
    trackList none;
    EXPECT_TRUE(calculateTrackerPerformances(none, {}, {}).empty());
}

// ---- Local removal ----

class LocalRemoval : public VelmoraTest {
protected:
    // 10-unit boxes far apart, so a performance is about the tracker's own squared weight
    // over sigma. Trackers 1 and 3 share one box and one weight: their performances are
    // equal to the bit. Performances rank 0 > 2 > 1 = 3, like 5, 3, 1, 1.
    trackList tied = oneFrame({Box(0, 0, 10, 10), Box(2000, 0, 10, 10), Box(1000, 0, 10, 10), Box(2000, 0, 10, 10)});
    const std::vector<float> tiedWeights = {1.0f, 0.1f, 0.8f, 0.1f};

    // Every tracker on its own; tracker 1 is the weakest.
    trackList apart = oneFrame({Box(0, 0, 10, 10), Box(2000, 0, 10, 10), Box(1000, 0, 10, 10), Box(3000, 0, 10, 10)});
    const std::vector<float> apartWeights = {1.0f, 0.1f, 0.8f, 0.5f};
};

TEST_F(LocalRemoval, DropsTheLowestPerformancesEarlierPositionFirst) {
    const std::vector<float> performances = calculateTrackerPerformances(tied, {0, 1, 2, 3}, tiedWeights);
    ASSERT_EQ(bitsOf(performances[1]), bitsOf(performances[3]));
    ASSERT_GT(performances[2], performances[1]);
    ASSERT_GT(performances[0], performances[2]);

    std_gamma = 2;
    EXPECT_EQ((std::vector<int>{0, 2}), localRemoval(tied, {0, 1, 2, 3}, tiedWeights));
    std_gamma = 1;
    EXPECT_EQ((std::vector<int>{0, 2, 3}), localRemoval(tied, {0, 1, 2, 3}, tiedWeights));
}

TEST_F(LocalRemoval, KeepsTheSelectionOrder) {
    std_gamma = 1;
    EXPECT_EQ((std::vector<int>{3, 2}), localRemoval(apart, {3, 1, 2}, apartWeights));
    std_gamma = 2;
    EXPECT_EQ((std::vector<int>{2, 0}), localRemoval(apart, {2, 1, 3, 0}, apartWeights));
}

TEST_F(LocalRemoval, EmptySelectionMeansAllTrackers) {
    std_gamma = 1;
    EXPECT_EQ((std::vector<int>{0, 2, 3}), localRemoval(apart, {}, apartWeights));
    EXPECT_EQ((std::vector<int>{0, 2, 3}), localRemoval(tied, {}, tiedWeights));
}

TEST_F(LocalRemoval, GammaZeroOrNegativeDropsNothing) {
    for (int gamma : {0, -3}) {
        std_gamma = gamma;
        EXPECT_EQ((std::vector<int>{3, 1, 2}), localRemoval(apart, {3, 1, 2}, apartWeights)) << gamma;
        EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), localRemoval(apart, {}, {})) << gamma;
    }
}

TEST_F(LocalRemoval, GammaEqualToTheSelectionDropsEverything) {
    std_gamma = 3;
    EXPECT_TRUE(localRemoval(apart, {3, 1, 2}, apartWeights).empty());
}

TEST_F(LocalRemoval, DroppingMoreThanTheSelectionFailsTheAssertion) {
    std_gamma = 4;
    EXPECT_DEATH(localRemoval(apart, {3, 1, 2}, apartWeights), assertionMessage(kLocalRemoval, "worsti!=-1"));
}

TEST_F(LocalRemoval, PerformanceAtTheCeilingIsNeverChosen) {
    // A weight of 1e13 makes the tracker's own term above 1e25.
    std_gamma = 1;
    trackList single = oneFrame({kTruth});
    EXPECT_DEATH(localRemoval(single, {}, {1e13f}), assertionMessage(kLocalRemoval, "worsti!=-1"));
}

TEST_F(LocalRemoval, UnsetGammaRefusesToRun) {
    ASSERT_EQ(-1, std_gamma);
    EXPECT_EXIT(localRemoval(apart, {}, {}), ::testing::ExitedWithCode(1),
                "std_gamma must be set before calling this function \\.\\.\\. aborting\n");
}

}  // namespace
}  // namespace velmora_test

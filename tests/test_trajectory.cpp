// Fusion by trajectory optimisation, on whole sequences and live.
#include "online.h"
#include "test_support.h"

namespace velmora_test {
namespace {

const std::vector<Box> kTriple = {Box(0, 0, 100, 100), Box(30, 0, 100, 100), Box(0, 40, 100, 100)};

class Trajectory : public VelmoraParamTest<bool> {
protected:
    bool skipBacktracking() const { return GetParam(); }

    track fuse(trackList& trackers, std::vector<int> selection = {}, std::vector<float> weights = {},
               bool refine = false) {
        track result;
        performFusionForAllFrames_TrajectoryOptimization(trackers, result, selection, weights, skipBacktracking(),
                                                         refine);
        return result;
    }
};

INSTANTIATE_TEST_SUITE_P(BothOutputs, Trajectory, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& testInfo) {
                             return std::string(testInfo.param ? "SkipBacktracking" : "Backtracking");
                         });

// Three trackers that take turns at the centre of the group: tracker f % 3 reports the
// origin box in frame f, the other two the boxes 30 to the right and 40 down. Over four
// frames tracker 0 is at the centre twice, the others once.
trackList rotatingCentre(size_t frames) {
    trackList trackers(3);
    for (size_t f = 0; f < frames; ++f)
        for (size_t k = 0; k < 3; ++k) trackers[k].push_back(kTriple[(k + 3 - f % 3) % 3]);
    return trackers;
}

TEST_P(Trajectory, EmptySelectionMeansAllTrackers) {
    trackList trackers = rotatingCentre(4);
    EXPECT_SAME_TRACK(fuse(trackers, {0, 1, 2}), fuse(trackers));
    EXPECT_SAME_TRACK(fuse(trackers, {0, 1, 2}, {1.0f, 1.0f, 1.0f}, true), fuse(trackers, {}, {}, true));
}

TEST_P(Trajectory, OneSelectedTrackerGivesItsTrack) {
    trackList trackers = rotatingCentre(4);
    EXPECT_SAME_TRACK(trackers[1], fuse(trackers, {1}));
}

TEST_P(Trajectory, ResultHoldsOneBoxPerFrameOfTheFirstTrack) {
    trackList trackers = rotatingCentre(3);
    trackers[1].push_back(Box(1, 1, 1, 1));
    trackers[2].push_back(Box(1, 1, 1, 1));
    for (size_t before : {0u, 2u, 3u, 9u}) {
        track result(before, Box(7, 7, 7, 7));
        performFusionForAllFrames_TrajectoryOptimization(trackers, result, {}, {}, skipBacktracking(), false);
        EXPECT_EQ(3u, result.size()) << "result held " << before << " boxes";
    }
}

TEST_P(Trajectory, WithoutAgreementRewardEachFrameTakesItsStrongestBox) {
    std_beta = 0.0f;
    trackList trackers = rotatingCentre(4);
    EXPECT_SAME_TRACK(repeated(kTriple[0], 4), fuse(trackers));
}

TEST_P(Trajectory, TiesGoToTheLowestPosition) {
    // Two 10-unit trackers 5 apart: every frame score and every accumulated score ties.
    trackList trackers = steady({Box(0, 0, 10, 10), Box(5, 0, 10, 10)}, 3);
    EXPECT_SAME_TRACK(trackers[0], fuse(trackers));
    EXPECT_SAME_TRACK(trackers[1], fuse(trackers, {1, 0}));
}

TEST_P(Trajectory, HeavierTrackerWins) {
    trackList trackers = steady({Box(0, 0, 10, 10), Box(5, 0, 10, 10)}, 3);
    EXPECT_SAME_TRACK(trackers[1], fuse(trackers, {}, {1.0f, 1.2f}));
}

TEST_P(Trajectory, RefinementClimbsFromEveryChosenBox) {
    // Tracker 0 is chosen in both frames; gradient_ascent moves it to (2, 1).
    trackList trackers = steady(kTriple, 2);
    EXPECT_SAME_TRACK(repeated(Box(2, 1, 100, 100), 2), fuse(trackers, {}, {}, true));

    trackList rotating = rotatingCentre(4);
    const track chosen = fuse(rotating);
    const track refined = fuse(rotating, {}, {}, true);
    ASSERT_EQ(4u, refined.size());
    for (size_t f = 0; f < chosen.size(); ++f) {
        Box expected = chosen[f];
        gradient_ascent(expected, rotating, static_cast<int>(f), {}, {});
        EXPECT_SAME_BOX(expected, refined[f]) << "frame " << f;
    }
}

TEST_P(Trajectory, EmptyFirstTrackEmptiesTheResult) {
    trackList trackers = {track{}, track{Box(0, 0, 10, 10)}};
    track result(3, Box(1, 2, 3, 4));
    performFusionForAllFrames_TrajectoryOptimization(trackers, result, {}, {}, skipBacktracking(), true);
    EXPECT_TRUE(result.empty());
}

TEST_P(Trajectory, NoTrackerEmptiesTheResult) {
    trackList none;
    track result(3, Box(1, 2, 3, 4));
    performFusionForAllFrames_TrajectoryOptimization(none, result, {}, {}, skipBacktracking(), true);
    EXPECT_TRUE(result.empty());
}

TEST_P(Trajectory, ColumnsWithoutPositiveScoresTakeTheirBestPositionOrPositionZero) {
    // A strongly negative std_beta makes every candidate from frame 1 on negative: those
    // columns keep no score above 0 and no predecessor. Frames 1 and 2 fall to position 0
    // (tracker 0, 30 to the right); frame 0 takes the best of its own column, tracker 1 at
    // the centre.
    std_beta = -1000.0f;
    trackList trackers = steady({kTriple[1], kTriple[0], kTriple[2]}, 3);
    const track result = fuse(trackers);
    EXPECT_SAME_TRACK((track{kTriple[0], kTriple[1], kTriple[1]}), result);
}

TEST_P(Trajectory, FrameWithoutAttractingBoxFailsTheAssertion) {
    trackList trackers = {{Box(0, 0, 10, 10), Box(0, 0, 0, 10)}, {Box(5, 0, 10, 10), Box(5, 0, 0, 10)}};
    EXPECT_DEATH(fuse(trackers), assertionMessage(kTrajectory, "gs>=0"));

    trackList steadyPair = steady({Box(0, 0, 10, 10), Box(5, 0, 10, 10)}, 2);
    EXPECT_DEATH(fuse(steadyPair, {}, {0.0f, 0.0f}), assertionMessage(kTrajectory, "gs>=0"));
}

TEST_P(Trajectory, InfiniteFrameScoreFailsTheAssertion) {
    trackList trackers = steady({Box(0, 0, 10, 10), Box(5, 0, 10, 10)}, 2);
    // Without an additive constant a box attracts itself infinitely: 1 / inf = 0 times inf.
    std_sigma = 0.0f;
    EXPECT_DEATH(fuse(trackers), assertionMessage(kTrajectory, "weights[j]<=1.01f"));
    std_sigma = 0.03f;
    EXPECT_DEATH(fuse(trackers, {}, {1e20f, 1.0f}), assertionMessage(kTrajectory, "weights[j]<=1.01f"));
}

// Two trackers far apart (their pair attraction is about 3e-4) and a light helper that
// sits next to tracker 0 in frames 0 and 1 and right beside tracker 1 in frame 2. Frame
// scores, normalised: about (1, 0.997) in frames 0 and 1, (0.94, 1) in frame 2. Staying
// with tracker 1 sums to more than staying with tracker 0.
trackList lateSwitch() {
    const Box near0(0, 0, 10, 10), far1(100, 0, 10, 10);
    return {{near0, near0, near0}, {far1, far1, far1}, {Box(10, 0, 10, 10), Box(10, 0, 10, 10), Box(101, 0, 10, 10)}};
}

class TrajectoryModes : public VelmoraTest {};

TEST_F(TrajectoryModes, AgreementRewardKeepsOneTracker) {
    // The default std_beta rewards staying: tracker 0, at the centre in frames 0 and 3, is
    // kept throughout, although another tracker is at the centre in frames 1 and 2.
    trackList trackers = rotatingCentre(4);
    track result;
    performFusionForAllFrames_TrajectoryOptimization(trackers, result, {}, {}, false, false);
    EXPECT_SAME_TRACK(trackers[0], result);
}

TEST_F(TrajectoryModes, BacktrackingFollowsTheBestPathAndSkippingTheBestPrefix) {
    trackList trackers = lateSwitch();
    const std::vector<float> weights = {1.0f, 1.0f, 0.3f};
    track backtracked, framewise;
    performFusionForAllFrames_TrajectoryOptimization(trackers, backtracked, {}, weights, false, false);
    performFusionForAllFrames_TrajectoryOptimization(trackers, framewise, {}, weights, true, false);
    EXPECT_SAME_TRACK(trackers[1], backtracked);
    EXPECT_SAME_TRACK((track{trackers[0][0], trackers[0][1], trackers[1][2]}), framewise);
}

// A live stream of the same frames: lag 0 decides each frame as it comes, like the call without
// back-tracking; an unbounded lag waits for finish() and back-tracks like the call with it.
TEST_F(TrajectoryModes, LiveStreamDecidesEachFrameWhenItsLagHasPassed) {
    trackList trackers = lateSwitch();
    const std::vector<float> weights = {1.0f, 1.0f, 0.3f};
    auto frame = [&](size_t f) { return track{trackers[0][f], trackers[1][f], trackers[2][f]}; };

    OnlineFuser now(3, {}, weights, OnlineMode::Trajectory, 0, false);
    for (size_t f = 0; f < 3; ++f)
        EXPECT_SAME_TRACK(track{f < 2 ? trackers[0][f] : trackers[1][f]}, now.push(frame(f)));
    EXPECT_TRUE(now.finish().empty());

    OnlineFuser later(3, {}, weights, OnlineMode::Trajectory, OnlineFuser::kUnboundedLag, false);
    for (size_t f = 0; f < 3; ++f) EXPECT_TRUE(later.push(frame(f)).empty());
    EXPECT_EQ(3, later.pending());
    EXPECT_SAME_TRACK(trackers[1], later.finish());
    EXPECT_EQ(0, later.pending());
    EXPECT_TRUE(later.finish().empty());
}

// A stream asserts what the whole-sequence call asserts of every frame, and its own contract.
TEST_F(TrajectoryModes, LiveStreamAssertsItsContract) {
    auto push = [](const std::string& expression) {
        return regexLiteral("code/online.cpp:") + "[0-9]+: " +
               regexLiteral("const track& OnlineFuser::push(const track&): Assertion `" + expression + "' failed.");
    };
    OnlineFuser stream(2, {}, {}, OnlineMode::Trajectory, 1, false);
    EXPECT_DEATH(stream.push({Box(0, 0, 0, 10), Box(5, 0, 0, 10)}), push("gs>=0"));
    EXPECT_DEATH(stream.push({Box(0, 0, 10, 10)}), push("boxes.size() == static_cast<size_t>(state_->trackerCount())"));
    stream.finish();
    EXPECT_DEATH(stream.push({Box(0, 0, 10, 10), Box(5, 0, 10, 10)}), push("!state_->finished()"));
    EXPECT_DEATH(OnlineFuser(2, {2}, {}, OnlineMode::FrameByFrame, 0, false),
                 "code/online.cpp:[0-9]+: .*k >= 0 && k < trackerCount");
    EXPECT_DEATH(OnlineFuser(2, {1}, {1.0f}, OnlineMode::FrameByFrame, 0, false),
                 "code/online.cpp:[0-9]+: .*k\\) < trackerWeights.size");
}

}  // namespace
}  // namespace velmora_test

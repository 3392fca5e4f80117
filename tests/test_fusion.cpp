// Frame attraction, per-frame fusion, frame-by-frame fusion, strongest tracker box and the
// gradient-ascent refinement.
#include "test_support.h"

namespace velmora_test {
namespace {

const Box kLeft(0, 0, 10, 10);
const Box kRight(5, 0, 10, 10);

// Three 100-unit trackers: one at the origin, one 30 to the right, one 40 down.
const std::vector<Box> kTriple = {Box(0, 0, 100, 100), Box(30, 0, 100, 100), Box(0, 40, 100, 100)};
// A 1000-unit tracker and two that agree 60 to the right of it.
const std::vector<Box> kWide = {Box(0, 0, 1000, 1000), Box(60, 0, 1000, 1000), Box(60, 0, 1000, 1000)};

const float kSentinel = -7.0f;

// ---- Frame attraction ----

class FrameAttraction : public VelmoraTest {
protected:
    trackList trackers = oneFrame({kLeft, kRight});
};

TEST_F(FrameAttraction, SumsTheTermsOfEverySelectedTracker) {
    std::vector<float> terms(2, kSentinel);
    EXPECT_SAME_BITS(36.904766f, calculateAttraction(trackers, kLeft, 0, {0, 1}, {}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{33.333336f, 3.5714285f}), terms);

    EXPECT_SAME_BITS(36.904766f, calculateAttraction(trackers, kRight, 0, {0, 1}, {}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{3.5714285f, 33.333336f}), terms);

    EXPECT_SAME_BITS(36.904766f, calculateAttraction(trackers, kLeft, 0, {0, 1}, {}));
}

TEST_F(FrameAttraction, WeightsEnterSquared) {
    std::vector<float> terms(2, kSentinel);
    // 33.333336 * 0.25 and 3.5714285 * 4.
    EXPECT_SAME_BITS(22.619049f, calculateAttraction(trackers, kLeft, 0, {0, 1}, {0.5f, 2.0f}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{8.333334f, 14.285714f}), terms);
    EXPECT_SAME_BITS(22.619049f, calculateAttraction(trackers, kLeft, 0, {0, 1}, {-0.5f, -2.0f}));
}

TEST_F(FrameAttraction, EmptySelectionIsNotFilledAndWritesNothing) {
    std::vector<float> terms(2, kSentinel);
    EXPECT_SAME_BITS(0.0f, calculateAttraction(trackers, kLeft, 0, {}, {}, terms));
    EXPECT_SAME_BITS(0.0f, calculateAttraction(trackers, kLeft, 0, {}, {0.5f, 2.0f}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{kSentinel, kSentinel}), terms);
}

TEST_F(FrameAttraction, ZeroWidthCandidateGetsZeroEverywhere) {
    std::vector<float> terms(2, kSentinel);
    EXPECT_SAME_BITS(0.0f, calculateAttraction(trackers, Box(0, 0, 0, 10), 0, {0, 1}, {}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{0.0f, 0.0f}), terms);
}

TEST_F(FrameAttraction, ZeroWeightTrackerContributesZero) {
    std::vector<float> terms(2, kSentinel);
    EXPECT_SAME_BITS(3.5714285f, calculateAttraction(trackers, kLeft, 0, {0, 1}, {0.0f, 1.0f}, terms));
    EXPECT_SAME_FLOATS((std::vector<float>{0.0f, 3.5714285f}), terms);
}

TEST_F(FrameAttraction, TermsFollowSelectionPositions) {
    std::vector<float> terms(2, kSentinel);
    calculateAttraction(trackers, kLeft, 0, {1, 0}, {}, terms);
    EXPECT_SAME_FLOATS((std::vector<float>{3.5714285f, 33.333336f}), terms);
}

TEST_F(FrameAttraction, WritesOnlyTheSelectedPositionsAndNeverResizes) {
    std::vector<float> terms(4, kSentinel);
    calculateAttraction(trackers, kLeft, 0, {1}, {}, terms);
    EXPECT_SAME_FLOATS((std::vector<float>{3.5714285f, kSentinel, kSentinel, kSentinel}), terms);
}

TEST_F(FrameAttraction, NotANumberOrNegativeTermsCountZero) {
    // A candidate of width -10 whose centre coincides with tracker 0's: 0 / 0 in the centre
    // term. Tracker 1 is twice as wide, so its term stays finite.
    trackList mixed = oneFrame({kLeft, Box(100, 0, 20, 10)});
    std::vector<float> terms(2, kSentinel);
    const float total = calculateAttraction(mixed, Box(10, 0, -10, 10), 0, {0, 1}, {}, terms);
    EXPECT_SAME_BITS(0.0f, terms[0]);
    EXPECT_GT(terms[1], 0.0f);
    EXPECT_SAME_BITS(terms[1], total);

    // A negative constant makes the attraction of equal boxes -1 / 0.5.
    std_sigma = -0.5f;
    EXPECT_SAME_BITS(0.0f, calculateAttraction(trackers, kLeft, 0, {0}, {}, terms));
    EXPECT_SAME_BITS(0.0f, terms[0]);
}

TEST_F(FrameAttraction, ReadsStdSigma) {
    std_sigma = 0.5f;
    EXPECT_SAME_BITS(2.0f, calculateAttraction(trackers, kLeft, 0, {0}, {}));
}

// ---- Per-frame fusion ----

class FrameFusion : public VelmoraTest {};

TEST_F(FrameFusion, TieGoesToTheFirstPositionAndNoMoveHelps) {
    trackList trackers = oneFrame({kLeft, kRight});
    EXPECT_SAME_BOX(kLeft, performFusionForFrame(trackers, 0, {}, {}, false));
    EXPECT_SAME_BOX(kLeft, performFusionForFrame(trackers, 0, {}, {}, true));
}

TEST_F(FrameFusion, ClimbsUnitStepsToAStrongerSpot) {
    trackList trackers = oneFrame(kTriple);
    EXPECT_SAME_BOX(Box(0, 0, 100, 100), performFusionForFrame(trackers, 0, {}, {}, false));
    EXPECT_SAME_BITS(46.929825f, calculateAttraction(trackers, Box(0, 0, 100, 100), 0, {0, 1, 2}, {}));
    // (+1, +1), then (+1, 0), then no neighbour is stronger.
    EXPECT_SAME_BOX(Box(2, 1, 100, 100), performFusionForFrame(trackers, 0, {}, {}, true));
    EXPECT_SAME_BITS(47.482933f, calculateAttraction(trackers, Box(2, 1, 100, 100), 0, {0, 1, 2}, {}));
}

TEST_F(FrameFusion, ClimbStopsAfterFifteenMoves) {
    trackList trackers = oneFrame(kWide);
    EXPECT_SAME_BOX(Box(60, 0, 1000, 1000), performFusionForFrame(trackers, 0, {}, {}, false));
    // The field keeps rising down to x = 41; the cap stops the climb at 60 - 15.
    EXPECT_SAME_BOX(Box(45, 0, 1000, 1000), performFusionForFrame(trackers, 0, {}, {}, true));
    EXPECT_LT(calculateAttraction(trackers, Box(45, 0, 1000, 1000), 0, {0, 1, 2}, {}),
              calculateAttraction(trackers, Box(44, 0, 1000, 1000), 0, {0, 1, 2}, {}));
}

TEST_F(FrameFusion, TiesFollowSelectionPositionsNotTrackerIndices) {
    trackList trackers = oneFrame(kTriple);
    // Trackers 2 and 0 tie at 38.596493 over the selection {2, 0}.
    EXPECT_SAME_BITS(38.596493f, calculateAttraction(trackers, kTriple[2], 0, {2, 0}, {}));
    EXPECT_SAME_BITS(38.596493f, calculateAttraction(trackers, kTriple[0], 0, {2, 0}, {}));
    EXPECT_SAME_BOX(Box(0, 40, 100, 100), performFusionForFrame(trackers, 0, {2, 0}, {}, false));
    EXPECT_SAME_BOX(Box(0, 39, 100, 100), performFusionForFrame(trackers, 0, {2, 0}, {}, true));
    EXPECT_SAME_BOX(Box(0, 0, 100, 100), performFusionForFrame(trackers, 0, {0, 2}, {}, false));
}

TEST_F(FrameFusion, HeavierTrackerWinsWhateverItsPosition) {
    trackList trackers = oneFrame(kTriple);
    const std::vector<float> weights = {1.0f, 1.0f, 1.5f};
    EXPECT_SAME_BITS(80.26317f, calculateAttraction(trackers, kTriple[2], 0, {2, 0}, weights));
    EXPECT_SAME_BITS(45.175438f, calculateAttraction(trackers, kTriple[0], 0, {2, 0}, weights));
    EXPECT_SAME_BOX(Box(0, 40, 100, 100), performFusionForFrame(trackers, 0, {2, 0}, weights, false));
    EXPECT_SAME_BOX(Box(0, 40, 100, 100), performFusionForFrame(trackers, 0, {0, 2}, weights, false));
}

TEST_F(FrameFusion, EmptyListsMeanAllTrackersOfWeightOne) {
    trackList trackers = oneFrame(kTriple);
    for (bool refine : {false, true}) {
        EXPECT_SAME_BOX(performFusionForFrame(trackers, 0, {0, 1, 2}, {1.0f, 1.0f, 1.0f}, refine),
                        performFusionForFrame(trackers, 0, {}, {}, refine));
    }
}

TEST_F(FrameFusion, ReadsTheGivenFrame) {
    trackList trackers = oneFrame(kTriple);
    for (size_t k = 0; k < trackers.size(); ++k) trackers[k].insert(trackers[k].begin(), Box(500, 500, 7, 7));
    EXPECT_SAME_BOX(Box(2, 1, 100, 100), performFusionForFrame(trackers, 1, {}, {}, true));
}

TEST_F(FrameFusion, NoPositiveTotalFallsToTheFirstSelectedBox) {
    trackList zeroWidth = oneFrame({Box(0, 0, 0, 10), Box(5, 0, 0, 10)});
    EXPECT_SAME_BOX(Box(0, 0, 0, 10), performFusionForFrame(zeroWidth, 0, {}, {}, false));
    EXPECT_SAME_BOX(Box(0, 0, 0, 10), performFusionForFrame(zeroWidth, 0, {}, {}, true));
    EXPECT_SAME_BOX(Box(5, 0, 0, 10), performFusionForFrame(zeroWidth, 0, {1, 0}, {}, true));

    trackList trackers = oneFrame({kLeft, kRight});
    EXPECT_SAME_BOX(kRight, performFusionForFrame(trackers, 0, {1, 0}, {0.0f, 0.0f}, false));
    EXPECT_SAME_BOX(kRight, performFusionForFrame(trackers, 0, {1, 0}, {0.0f, 0.0f}, true));
}

TEST_F(FrameFusion, ClimbRunsFromTheFallbackBox) {
    // A negative constant: the tracker's own box gets 1 / (0 - 0.01) < 0, counted as 0, so no
    // total is above 0. One unit aside the distance is 0.1^2, just above 0.01, and the field
    // is huge there; two units aside it is 0.04, far weaker. The climb takes the first
    // strongest neighbour, (-1, 0), and stops.
    std_sigma = -0.01f;
    trackList trackers = oneFrame({kLeft});
    EXPECT_SAME_BITS(0.0f, calculateAttraction(trackers, kLeft, 0, {0}, {}));
    EXPECT_SAME_BOX(kLeft, performFusionForFrame(trackers, 0, {}, {}, false));
    EXPECT_SAME_BOX(Box(-1, 0, 10, 10), performFusionForFrame(trackers, 0, {}, {}, true));
}

TEST_F(FrameFusion, NoTrackerGivesTheZeroBox) {
    trackList none;
    EXPECT_SAME_BOX(Box(0, 0, 0, 0), performFusionForFrame(none, 0, {}, {}, false));
    EXPECT_SAME_BOX(Box(0, 0, 0, 0), performFusionForFrame(none, 0, {}, {}, true));
}

// ---- Frame-by-frame fusion ----

class SequenceFusion : public VelmoraTest {};

TEST_F(SequenceFusion, FusesEveryFrameOnItsOwn) {
    trackList trackers = steady(kTriple, 2);
    track result;
    performFusionForAllFrames(trackers, result, {}, {}, true);
    EXPECT_SAME_TRACK(repeated(Box(2, 1, 100, 100), 2), result);
    performFusionForAllFrames(trackers, result, {}, {}, false);
    EXPECT_SAME_TRACK(repeated(Box(0, 0, 100, 100), 2), result);
}

TEST_F(SequenceFusion, FramesDoNotInfluenceEachOther) {
    // Frame 1 holds the pair of 10-unit trackers, frame 0 the three 100-unit ones.
    trackList trackers = {{kTriple[0], kLeft}, {kTriple[1], kRight}, {kTriple[2], kRight}};
    track result;
    performFusionForAllFrames(trackers, result, {0, 1}, {}, true);
    ASSERT_EQ(2u, result.size());
    EXPECT_SAME_BOX(performFusionForFrame(trackers, 0, {0, 1}, {}, true), result[0]);
    EXPECT_SAME_BOX(performFusionForFrame(trackers, 1, {0, 1}, {}, true), result[1]);
}

TEST_F(SequenceFusion, SingleFrameMatchesPerFrameFusion) {
    trackList trackers = oneFrame(kWide);
    for (bool refine : {false, true}) {
        track result;
        performFusionForAllFrames(trackers, result, {2, 0}, {0.5f, 1.0f, 2.0f}, refine);
        ASSERT_EQ(1u, result.size());
        EXPECT_SAME_BOX(performFusionForFrame(trackers, 0, {2, 0}, {0.5f, 1.0f, 2.0f}, refine), result[0]);
    }
}

TEST_F(SequenceFusion, ResultHoldsOneBoxPerFrameOfTheFirstTrack) {
    trackList trackers = steady(kTriple, 3);
    track grown;
    performFusionForAllFrames(trackers, grown, {}, {}, false);
    EXPECT_EQ(3u, grown.size());
    track cut(10, Box(9, 9, 9, 9));
    performFusionForAllFrames(trackers, cut, {}, {}, false);
    EXPECT_SAME_TRACK(repeated(Box(0, 0, 100, 100), 3), cut);
}

TEST_F(SequenceFusion, EmptyFirstTrackEmptiesTheResult) {
    trackList trackers = {track{}, track{kLeft}};
    track result(4, kRight);
    performFusionForAllFrames(trackers, result, {1}, {}, true);
    EXPECT_TRUE(result.empty());
}

TEST_F(SequenceFusion, NoTrackerEmptiesTheResult) {
    trackList none;
    track result(2, kRight);
    performFusionForAllFrames(none, result, {}, {}, true);
    EXPECT_TRUE(result.empty());
}

TEST_F(SequenceFusion, UnselectedFirstTrackerOnlySetsTheFrameCount) {
    // Tracker 0 would win every frame it took part in (two trackers agree with it), but it is
    // not selected; its two boxes still make the result two frames long.
    trackList trackers = {repeated(Box(500, 0, 10, 10), 2), {kLeft, kLeft, kLeft}, {kRight, kRight, kRight},
                          {Box(500, 0, 10, 10), Box(500, 0, 10, 10), Box(500, 0, 10, 10)}};
    track result;
    performFusionForAllFrames(trackers, result, {1, 2}, {}, true);
    EXPECT_SAME_TRACK(repeated(kLeft, 2), result);
}

TEST_F(SequenceFusion, EveryFrameGetsABoxWithoutPositiveTotals) {
    trackList trackers = steady({Box(0, 0, 0, 10), Box(5, 0, 0, 10)}, 2);
    track result;
    performFusionForAllFrames(trackers, result, {1, 0}, {}, true);
    EXPECT_SAME_TRACK(repeated(Box(5, 0, 0, 10), 2), result);
}

// ---- Strongest tracker box ----

class StrongestBox : public VelmoraTest {
protected:
    trackList trackers = oneFrame(kTriple);
};

TEST_F(StrongestBox, ReportsThePositionAndEveryTotal) {
    std::vector<float> totals(3, kSentinel);
    EXPECT_EQ(0, findTrackingRectWithGreatestAttraction(trackers, 0, {}, {}, totals));
    EXPECT_SAME_FLOATS((std::vector<float>{46.929825f, 45.238098f, 42.167923f}), totals);
    EXPECT_EQ(0, findTrackingRectWithGreatestAttraction(trackers, 0, {}, {}));
}

TEST_F(StrongestBox, TieGoesToTheEarlierPosition) {
    std::vector<float> totals(2, kSentinel);
    EXPECT_EQ(0, findTrackingRectWithGreatestAttraction(trackers, 0, {1, 2}, {}, totals));
    EXPECT_SAME_FLOATS((std::vector<float>{36.904766f, 36.904766f}), totals);
    EXPECT_EQ(0, findTrackingRectWithGreatestAttraction(trackers, 0, {2, 1}, {}));
}

TEST_F(StrongestBox, ResultIsAPositionNotATrackerIndex) {
    std::vector<float> totals(2, kSentinel);
    EXPECT_EQ(0, findTrackingRectWithGreatestAttraction(trackers, 0, {2, 0}, {1.0f, 1.0f, 1.5f}, totals));
    EXPECT_SAME_FLOATS((std::vector<float>{80.26317f, 45.175438f}), totals);
    EXPECT_EQ(1, findTrackingRectWithGreatestAttraction(trackers, 0, {0, 2}, {1.0f, 1.0f, 1.5f}));
}

TEST_F(StrongestBox, NoPositiveTotalGivesMinusOneAndWritesZeros) {
    trackList zeroWidth = oneFrame({Box(0, 0, 0, 10), Box(5, 0, 0, 10)});
    std::vector<float> totals(2, kSentinel);
    EXPECT_EQ(-1, findTrackingRectWithGreatestAttraction(zeroWidth, 0, {}, {}, totals));
    EXPECT_SAME_FLOATS((std::vector<float>{0.0f, 0.0f}), totals);
    EXPECT_EQ(-1, findTrackingRectWithGreatestAttraction(trackers, 0, {}, {0.0f, 0.0f, 0.0f}));
}

TEST_F(StrongestBox, NoTrackerGivesMinusOneAndWritesNothing) {
    trackList none;
    std::vector<float> totals(2, kSentinel);
    EXPECT_EQ(-1, findTrackingRectWithGreatestAttraction(none, 0, {}, {}, totals));
    EXPECT_SAME_FLOATS((std::vector<float>{kSentinel, kSentinel}), totals);
}

// ---- Gradient ascent ----

struct AscentCase {
    const char* name;
    std::vector<Box> trackers;
    Box start;
    Box expected;
};

void PrintTo(const AscentCase& c, std::ostream* os) { *os << c.name; }

class GradientAscent : public VelmoraParamTest<AscentCase> {};

TEST_P(GradientAscent, ClimbsWithinItsBudget) {
    const AscentCase& c = GetParam();
    trackList trackers = oneFrame(c.trackers);
    Box box = c.start;
    gradient_ascent(box, trackers, 0, {}, {});
    EXPECT_SAME_BOX(c.expected, box);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, GradientAscent,
    ::testing::Values(
        // Budget (100 + 100) * 0.5 / 20 = 5, two moves are enough.
        AscentCase{"StopsAtTheTop", kTriple, Box(0, 0, 100, 100), Box(2, 1, 100, 100)},
        // Five moves of (-1, -1) spend the budget although the field still rises.
        AscentCase{"BudgetOfFiveMoves", kTriple, Box(10, 10, 100, 100), Box(5, 5, 100, 100)},
        // Budget 0.5: one move.
        AscentCase{"HalfMoveBudgetAllowsOneMove", {kLeft, kRight}, Box(10, 10, 10, 10), Box(9, 9, 10, 10)},
        // Budget 0.5 and no neighbour stronger: the one move must not be spent on the first neighbour.
        AscentCase{"TopStaysWithABudgetOfOneMove", {kLeft, kRight}, kLeft, kLeft},
        // Budget 50: nineteen moves reach x = 41, where no neighbour is stronger.
        AscentCase{"WideBoxesClimbToTheTop", kWide, Box(60, 0, 1000, 1000), Box(41, 0, 1000, 1000)},
        AscentCase{"EmptyBoxStays", kTriple, Box(0, 0, 0, 0), Box(0, 0, 0, 0)},
        // Budget 1.25, but every zero-width candidate totals 0.
        AscentCase{"ZeroWidthBoxStays", kTriple, Box(0, 0, 0, 50), Box(0, 0, 0, 50)}),
    [](const ::testing::TestParamInfo<AscentCase>& testInfo) { return std::string(testInfo.param.name); });

class GradientAscentLists : public VelmoraTest {};

TEST_F(GradientAscentLists, SelectionAndWeightsShapeTheField) {
    trackList trackers = oneFrame(kTriple);
    Box box(0, 0, 100, 100);
    gradient_ascent(box, trackers, 0, {0, 1, 2}, {1.0f, 1.0f, 1.0f});
    EXPECT_SAME_BOX(Box(2, 1, 100, 100), box);

    // Without tracker 2 nothing pulls downwards.
    Box pair(0, 0, 100, 100);
    gradient_ascent(pair, trackers, 0, {1, 0}, {});
    EXPECT_EQ(0.0f, pair.y);
    EXPECT_GT(pair.x, 0.0f);
}

}  // namespace
}  // namespace velmora_test

// Track quality against the annotation, and the track-to-annotation attraction.
#include "test_support.h"

#include "detail/check.h"

namespace velmora_test {
namespace {

const float kMeanMode = -1.0f;

// An annotation of whole-number boxes that move and grow a little from frame to frame.
track annotation(size_t frames) {
    track boxes;
    for (size_t f = 0; f < frames; ++f) {
        const float step = static_cast<float>(f);
        boxes.push_back(Box(10 + 3 * step, 20 - step, 40 + step, 30 + 2 * step));
    }
    return boxes;
}

track slice(const track& boxes, size_t from, size_t count) {
    return track(boxes.begin() + static_cast<std::ptrdiff_t>(from),
                 boxes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// ---- Track quality ----

struct QualityMode {
    const char* name;
    float threshold;
    bool useCenterDistance;
};

void PrintTo(const QualityMode& m, std::ostream* os) { *os << m.name; }

const QualityMode kModes[] = {{"MeanOverlap", kMeanMode, false},
                              {"SuccessRate", 0.5f, false},
                              {"MeanCentreDistance", kMeanMode, true},
                              {"Precision", 20.0f, true}};

class TrackQualityEveryMode : public VelmoraParamTest<QualityMode> {};

TEST_P(TrackQualityEveryMode, SingleBoxScoresOneWhateverTheAnnotation) {
    const QualityMode& m = GetParam();
    const track one = {Box(1, 2, 3, 4)};
    EXPECT_SAME_BITS(1.0f, evaluate(one, track{}, 0, m.threshold, m.useCenterDistance));
    EXPECT_SAME_BITS(1.0f, evaluate(one, track{}, -50, m.threshold, m.useCenterDistance));
    EXPECT_SAME_BITS(1.0f, evaluate(one, annotation(3), 1000, m.threshold, m.useCenterDistance));
}

TEST_P(TrackQualityEveryMode, EmptyTrackScoresInfinity) {
    const QualityMode& m = GetParam();
    EXPECT_SAME_BITS(kInf, evaluate(track{}, track{}, 0, m.threshold, m.useCenterDistance));
    EXPECT_SAME_BITS(kInf, evaluate(track{}, annotation(2), -7, m.threshold, m.useCenterDistance));
}

TEST_P(TrackQualityEveryMode, RunMayEndAtTheLastAnnotationBoxButNotBeyond) {
    const QualityMode& m = GetParam();
    const track anno = annotation(6);
    evaluate(slice(anno, 2, 4), anno, 2, m.threshold, m.useCenterDistance);
    EXPECT_DEATH(evaluate(slice(anno, 2, 4), anno, 3, m.threshold, m.useCenterDistance),
                 assertionMessage(kTrackQuality, "k+shift1<t2.size()"));
    EXPECT_DEATH(evaluate(anno, anno, -2, m.threshold, m.useCenterDistance),
                 assertionMessage(kTrackQuality, "k+shift1<t2.size()"));
}

// Off glibc the library writes the assertion message itself, and it must read exactly as
// glibc's: the whole line, program name first, from both writers where both exist. (qemu-user
// reports the abort on a line of its own after it.)
TEST(AssertionMessage, PortableWriterMatchesTheCLibrary) {
    GTEST_FLAG_SET(death_test_style, kDeathTestStyle);
    const std::string expected =
        "^velmora_tests: " + regexLiteral("code/approach.cpp:17: int f(): Assertion `a<b' failed.") + "\n";
    EXPECT_DEATH(velmora::detail::assertionFailed("a<b", "code/approach.cpp", 17, "int f()"), expected);
#if defined(__GLIBC__)
    EXPECT_DEATH(__assert_fail("a<b", "code/approach.cpp", 17, "int f()"), expected);
#endif
}

INSTANTIATE_TEST_SUITE_P(AllModes, TrackQualityEveryMode, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<QualityMode>& testInfo) { return std::string(testInfo.param.name); });

class TrackQuality : public VelmoraTest {};

TEST_F(TrackQuality, TrackOnTheAnnotationScoresPerfectly) {
    const track anno = annotation(7);
    const track t1 = slice(anno, 2, 5);
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 2, kMeanMode, false));
    for (float threshold : {0.0f, 0.5f, 1.0f}) EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 2, threshold, false));
    // Frame 0 adds a distance of 1, every other frame 0: 1 / 5.
    EXPECT_SAME_BITS(0.2f, evaluate(t1, anno, 2, kMeanMode, true));
    for (float threshold : {0.0f, 3.0f}) EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 2, threshold, true));
}

TEST_F(TrackQuality, FrameZeroIsNeverCompared) {
    const track anno = annotation(3);
    track t1 = anno;
    t1[0] = Box(1000, 1000, 1, 1);
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 0, kMeanMode, false));
    EXPECT_SAME_BITS(1.0f / 3.0f, evaluate(t1, anno, 0, kMeanMode, true));
}

TEST_F(TrackQuality, NoOverlapCountsMinusOneTenThousandth) {
    const track anno = {Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    const track t1 = {Box(0, 0, 10, 10), Box(50, 0, 10, 10)};
    // (1.0 - 0.0001) / 2
    EXPECT_SAME_BITS(0.49995f, evaluate(t1, anno, 0, kMeanMode, false));
    EXPECT_SAME_BITS(0.5f, evaluate(t1, anno, 0, 0.0f, false));
}

TEST_F(TrackQuality, TouchingAndZeroSizeBoxesDoNotOverlap) {
    const track anno = {Box(0, 0, 10, 10), Box(0, 0, 10, 10), Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    // Touching at x = 10, zero width, zero height.
    const track t1 = {Box(0, 0, 10, 10), Box(10, 0, 10, 10), Box(2, 2, 0, 5), Box(2, 2, 5, 0)};
    // (1 - 3 * 0.0001) / 4
    EXPECT_SAME_BITS(0.24992499f, evaluate(t1, anno, 0, kMeanMode, false));
    EXPECT_SAME_BITS(0.25f, evaluate(t1, anno, 0, 0.0f, false));
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 0, -0.0001f, false));
}

TEST_F(TrackQuality, OverlapIsIntersectionOverUnion) {
    const track anno = {Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    // Intersection 50, union 150: (1 + 1/3) / 2.
    EXPECT_SAME_BITS(0.6666667f, evaluate(track{Box(0, 0, 10, 10), Box(5, 0, 10, 10)}, anno, 0, kMeanMode, false));
    // Intersection 100, union 200.
    const track half = {Box(0, 0, 10, 10), Box(0, 0, 10, 20)};
    EXPECT_SAME_BITS(0.75f, evaluate(half, anno, 0, kMeanMode, false));
    EXPECT_SAME_BITS(1.0f, evaluate(half, anno, 0, 0.5f, false));
    EXPECT_SAME_BITS(0.5f, evaluate(half, anno, 0, 0.50001f, false));
}

TEST_F(TrackQuality, CentreDistanceIsEuclidean) {
    const track anno = {Box(0, 0, 10, 10), Box(3, 4, 10, 10)};
    const track t1 = {Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    // Centres (5, 5) and (8, 9): distance 5, (1 + 5) / 2.
    EXPECT_SAME_BITS(3.0f, evaluate(t1, anno, 0, kMeanMode, true));
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 0, 5.0f, true));
    EXPECT_SAME_BITS(0.5f, evaluate(t1, anno, 0, 4.99f, true));
}

TEST_F(TrackQuality, ThresholdJustBelowMinusOneIsAThreshold) {
    const track anno = {Box(0, 0, 10, 10), Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    const track t1 = {Box(0, 0, 10, 10), Box(50, 0, 10, 10), Box(0, 0, 10, 10)};
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, 0, -1.0001f, false));
    EXPECT_SAME_BITS(1.0f / 3.0f, evaluate(t1, anno, 0, -1.0001f, true));
}

TEST_F(TrackQuality, NotANumberThresholdPassesNoFrame) {
    const track anno = annotation(4);
    EXPECT_SAME_BITS(0.25f, evaluate(anno, anno, 0, kNaN, false));
    EXPECT_SAME_BITS(0.25f, evaluate(anno, anno, 0, kNaN, true));
}

TEST_F(TrackQuality, ShiftPairsRunFramesWithLaterAnnotationFrames) {
    const track anno = annotation(8);
    EXPECT_SAME_BITS(1.0f, evaluate(slice(anno, 3, 4), anno, 3, kMeanMode, false));
    EXPECT_LT(evaluate(slice(anno, 3, 4), anno, 2, kMeanMode, false), 1.0f);
}

TEST_F(TrackQuality, ShiftMinusOneComparesTheSecondBoxWithTheFirstAnnotationBox) {
    const track anno = annotation(3);
    const track t1 = {Box(500, 500, 1, 1), anno[0], anno[1], anno[2]};
    EXPECT_SAME_BITS(1.0f, evaluate(t1, anno, -1, kMeanMode, false));
}

// ---- Track-to-annotation attraction ----

class TrackAttraction : public VelmoraTest {
protected:
    const track anno = repeated(Box(0, 0, 10, 10), 3);
    // Frame 1 on the annotation, frame 2 half a width beside it.
    const track t1 = {Box(0, 0, 10, 10), Box(0, 0, 10, 10), Box(5, 0, 10, 10)};
};

TEST_F(TrackAttraction, MeanOverTheFramesFromStart) {
    // (33.333336 + 3.5714285) / 2
    EXPECT_SAME_BITS(18.452383f, attraction(t1, anno, 0, 1));
}

TEST_F(TrackAttraction, DividesByFramesLessOneWhateverTheStart) {
    // (33.333336 + 33.333336 + 3.5714285) / 2
    EXPECT_SAME_BITS(35.11905f, attraction(t1, anno, 0, 0));
    EXPECT_SAME_BITS(1.7857143f, attraction(t1, anno, 0, 2));
}

TEST_F(TrackAttraction, NothingSummedGivesZero) {
    EXPECT_SAME_BITS(0.0f, attraction(t1, anno, 0, 3));
    EXPECT_SAME_BITS(0.0f, attraction(t1, anno, 0, 50));
    EXPECT_SAME_BITS(0.0f, attraction(t1, anno, 0, -1));
    EXPECT_SAME_BITS(0.0f, attraction(track{}, anno, 0, 1));
}

TEST_F(TrackAttraction, SingleBoxDividesByZero) {
    EXPECT_TRUE(std::isnan(attraction(track{Box(0, 0, 10, 10)}, anno, 0, 1)));
    EXPECT_SAME_BITS(kInf, attraction(track{Box(0, 0, 10, 10)}, anno, 0, 0));
}

TEST_F(TrackAttraction, ReadsStdSigma) {
    std_sigma = 0.5f;
    // (2 + 1 / 0.75) / 2
    EXPECT_SAME_BITS(1.6666667f, attraction(t1, anno, 0, 1));
}

TEST_F(TrackAttraction, ShiftPairsRunFramesWithLaterAnnotationFrames) {
    const track longer = {Box(90, 90, 10, 10), Box(90, 90, 10, 10), Box(0, 0, 10, 10), Box(0, 0, 10, 10)};
    // Run frames 1 and 2 meet annotation frames 2 and 3.
    EXPECT_SAME_BITS(18.452383f, attraction(t1, longer, 1, 1));
}

TEST_F(TrackAttraction, RunMayEndAtTheLastAnnotationBoxButNotBeyond) {
    attraction(t1, anno, 0, 1);
    EXPECT_DEATH(attraction(t1, anno, 1, 1), assertionMessage(kTrackAttraction, "k+shift1<t2.size()"));
    EXPECT_DEATH(attraction(t1, anno, -1, 0), assertionMessage(kTrackAttraction, "k+shift1<t2.size()"));
}

}  // namespace
}  // namespace velmora_test

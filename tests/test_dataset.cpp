// Data-set evaluation: fusion of every run, run scores weighted by run length, sequence
// scores averaged, sequences shared out over an OpenMP team.
#include "test_support.h"

#include <omp.h>

namespace velmora_test {
namespace {

// Against the annotation box kTruth: kHalf overlaps 0.5 (intersection 100, union 200),
// kQuarter 0.25 (intersection 100, union 400).
const Box kTruth(0, 0, 10, 10);
const Box kHalf(0, 0, 10, 20);
const Box kQuarter(0, 0, 10, 40);

// A run of one tracker whose boxes are given frame by frame. With a single tracker both
// fusion modes return its boxes unchanged: no unit move raises its own attraction.
eTrackList singleTracker(track boxes, int startFrame = 1) { return run({std::move(boxes)}, startFrame); }

// A one-tracker run of `frames` frames: frame 0 on the annotation, then `ones` frames on it,
// `halves` frames overlapping 0.5 and `quarters` frames overlapping 0.25.
eTrackList scoredRun(size_t ones, size_t halves, size_t quarters) {
    track boxes(1 + ones, kTruth);
    boxes.insert(boxes.end(), halves, kHalf);
    boxes.insert(boxes.end(), quarters, kQuarter);
    return singleTracker(boxes);
}

// An annotation of whole-number boxes that move by 3 units a frame.
track movingAnnotation(size_t frames) {
    track boxes;
    for (size_t f = 0; f < frames; ++f) boxes.push_back(Box(3 * static_cast<float>(f), 0, 40, 30));
    return boxes;
}

class DataSet : public VelmoraParamTest<bool> {
protected:
    bool trajectory() const { return GetParam(); }
    float score(trackData& data, trackList& anno, std::vector<int> selection = {}, std::vector<float> weights = {}) {
        return evaluate(data, anno, trajectory(), selection, weights);
    }
};

INSTANTIATE_TEST_SUITE_P(BothModes, DataSet, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& testInfo) {
    return std::string(testInfo.param ? "Trajectory" : "FrameByFrame");
});

TEST_P(DataSet, RunOnTheAnnotationScoresOne) {
    const track truth = movingAnnotation(10);
    trackList anno = {truth};
    trackData data = {{singleTracker(track(truth.begin() + 2, truth.begin() + 7), 3)}};
    EXPECT_SAME_BITS(1.0f, score(data, anno));
}

TEST_P(DataSet, StartFrameShiftsTheAnnotation) {
    const track truth = movingAnnotation(10);
    trackList anno = {truth};
    // Frame 0 stands for annotation frame 5 (index 4) and always counts 1; frames 1 and 2
    // meet annotation boxes 5 and 6.
    trackData data = {{singleTracker({Box(900, 900, 5, 5), truth[5], truth[6]}, 5)}};
    EXPECT_SAME_BITS(1.0f, score(data, anno));
    data[0][0].startFrame = 4;
    EXPECT_LT(score(data, anno), 1.0f);
}

TEST_P(DataSet, RunsCountByTheirLength) {
    trackList anno = {repeated(kTruth, 30)};
    // Run scores (1 + 7 * 0.5 + 2 * 0.25) / 10 = 0.5 and (1 + 23 + 6 * 0.5) / 30 = 0.9:
    // (10 * 0.5 + 30 * 0.9) / 40 = 0.8, in either order of the runs.
    trackData data = {{scoredRun(0, 7, 2), scoredRun(23, 6, 0)}};
    EXPECT_SAME_BITS(0.8f, score(data, anno));
    trackData reversed = {{scoredRun(23, 6, 0), scoredRun(0, 7, 2)}};
    EXPECT_SAME_BITS(0.8f, score(reversed, anno));
}

TEST_P(DataSet, SequencesCountEquallyWhateverTheirRuns) {
    trackList anno = {repeated(kTruth, 30), repeated(kTruth, 10)};
    // Sequence scores 0.8 and (1 + 3 * 0.5 + 6 * 0.25) / 10 = 0.4.
    trackData data = {{scoredRun(0, 7, 2), scoredRun(23, 6, 0)}, {scoredRun(0, 3, 6)}};
    EXPECT_SAME_BITS(0.6f, score(data, anno));
}

TEST_P(DataSet, SelectionAndWeightsReachTheFusion) {
    // Tracker 0 is on the annotation, tracker 1 far away; with equal weights they tie and
    // the first position wins.
    trackList anno = {repeated(kTruth, 3)};
    trackData data = {{run({repeated(kTruth, 3), repeated(Box(50, 0, 10, 10), 3)})}};
    const float wrong = (1.0f - 0.0001f - 0.0001f) / 3.0f;
    EXPECT_SAME_BITS(1.0f, score(data, anno));
    EXPECT_SAME_BITS(1.0f, score(data, anno, {0, 1}, {1.0f, 1.0f}));
    EXPECT_SAME_BITS(wrong, score(data, anno, {1, 0}));
    EXPECT_SAME_BITS(wrong, score(data, anno, {1}));
    EXPECT_SAME_BITS(wrong, score(data, anno, {}, {0.5f, 1.0f}));
}

TEST_P(DataSet, EmptyDataSetOrSequenceWithoutRunsIsNotANumber) {
    trackData none;
    trackList noAnno;
    EXPECT_TRUE(std::isnan(score(none, noAnno)));
    trackList anno = {repeated(kTruth, 3), repeated(kTruth, 3)};
    trackData data = {{scoredRun(2, 0, 0)}, {}};
    EXPECT_TRUE(std::isnan(score(data, anno)));
}

TEST_P(DataSet, EmptyAnnotationFailsTheAssertionOnAnyThreadCount) {
    trackList anno = {repeated(kTruth, 3), track{}};
    trackData data = {{scoredRun(2, 0, 0)}, {scoredRun(2, 0, 0)}};
    for (int threads : {1, 2}) {
        EXPECT_DEATH(
            {
                omp_set_num_threads(threads);
                score(data, anno);
            },
            assertionMessage(kDataSet, "anno[i].size()"))
            << threads << " threads";
    }
}

TEST_P(DataSet, RunBeyondItsAnnotationFailsTheQualityAssertion) {
    trackList anno = {repeated(kTruth, 3)};
    trackData data = {{singleTracker(repeated(kTruth, 3), 2)}};
    EXPECT_DEATH(score(data, anno), assertionMessage(kTrackQuality, "k+shift1<t2.size()"));
}

// Seven sequences whose scores, added up in another order, round differently.
class DataSetThreads : public DataSet {
protected:
    void SetUp() override {
        DataSet::SetUp();
        savedThreads = omp_get_max_threads();
    }
    void TearDown() override { omp_set_num_threads(savedThreads); }

    static constexpr int kSequences = 7;
    int savedThreads = 1;
};

INSTANTIATE_TEST_SUITE_P(BothModes, DataSetThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& testInfo) {
                             return std::string(testInfo.param ? "Trajectory" : "FrameByFrame");
                         });

TEST_P(DataSetThreads, ScoreIsTheSameBitsForEveryThreadCount) {
    trackData data;
    trackList anno;
    std::vector<float> sequenceScores;
    for (int i = 0; i < kSequences; ++i) {
        // Runs of different lengths with boxes 1 to 7 units beside the annotation.
        const size_t frames = 2 + static_cast<size_t>(i % 3);
        const Box off(static_cast<float>(i + 1), 0, 10, 10);
        track boxes(frames, off);
        boxes[0] = kTruth;
        trackData one = {{singleTracker(boxes)}};
        trackList oneAnno = {repeated(kTruth, frames)};
        omp_set_num_threads(1);
        sequenceScores.push_back(score(one, oneAnno));
        data.push_back(one[0]);
        anno.push_back(oneAnno[0]);
    }
    // Sequence scores are added in ascending sequence order.
    float ascending = 0.0f, descending = 0.0f;
    for (int i = 0; i < kSequences; ++i) ascending += sequenceScores[i];
    for (int i = kSequences - 1; i >= 0; --i) descending += sequenceScores[i];
    ASSERT_NE(bitsOf(ascending), bitsOf(descending)) << "the data no longer tells the orders apart";
    const float expected = ascending / static_cast<float>(kSequences);

    for (int threads : {1, 2, 4}) {
        omp_set_num_threads(threads);
        for (int repeat = 0; repeat < 3; ++repeat)
            EXPECT_SAME_BITS(expected, score(data, anno)) << threads << " threads";
    }
}

}  // namespace
}  // namespace velmora_test

// Differential tests: every exported function that the fast path speeds up, on every
// instruction set the processor offers, against the straightforward path, over thousands of
// generated cases. Results are compared bit for bit, the by-reference outputs included.
#include "approach.h"
#include "detail/kernels.h"
#include "detail/reference.h"
#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace velmora_test {
namespace {

namespace vd = velmora::detail;
namespace ref = velmora::reference;

// Random fusion inputs with the awkward cases built in: integer coordinates and duplicated
// boxes (ties), zero-size boxes, duplicated and permuted selections, weights of 0, negative
// and large, and unusual parameters.
class CaseGenerator {
public:
    explicit CaseGenerator(uint32_t seed) : rng_(seed) {}

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    float real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    Box box(const Box& near) {
        if (chance(0.04)) return Box(0, 0, 0, 0);
        if (chance(0.03)) return Box(real(0, 50), real(0, 50), 0, real(0, 40));
        if (integers_) {
            return Box(std::round(near.x + real(-8, 8)), std::round(near.y + real(-8, 8)),
                       std::max(1.0f, std::round(near.width + real(-5, 5))),
                       std::max(1.0f, std::round(near.height + real(-5, 5))));
        }
        return Box(near.x + real(-10, 10), near.y + real(-10, 10), std::max(0.5f, near.width * real(0.7f, 1.3f)),
                   std::max(0.5f, near.height * real(0.7f, 1.3f)));
    }

    // T tracks of F frames following one object, some duplicating another tracker.
    trackList trackers(int count, int frames) {
        integers_ = chance(0.5);
        trackList out(static_cast<size_t>(count));
        Box truth(real(-50, 300), real(-50, 300), real(4, 120), real(4, 120));
        for (int f = 0; f < frames; ++f) {
            truth.x += real(-3, 3);
            truth.y += real(-3, 3);
            for (int k = 0; k < count; ++k) {
                if (k > 0 && chance(0.15))
                    out[k].push_back(out[uniform(0, k - 1)].back());
                else
                    out[k].push_back(box(truth));
            }
        }
        return out;
    }

    std::vector<int> selection(int count) {
        std::vector<int> out;
        if (count == 0 || chance(0.3)) return out;
        const int size = uniform(1, count + 2);
        for (int i = 0; i < size; ++i) out.push_back(uniform(0, count - 1));
        return out;
    }

    std::vector<float> weights(int count) {
        std::vector<float> out;
        if (chance(0.3)) return out;
        for (int k = 0; k < count; ++k) {
            const int kind = uniform(0, 9);
            out.push_back(kind == 0 ? 0.0f : kind == 1 ? -real(0.1f, 3) : kind == 2 ? real(10, 500) : real(0.05f, 2));
        }
        return out;
    }

    void parameters() {
        const float alphas[] = {4.0f, 4.0f, 1.0f, 2.0f, 0.5f, 3.0f, 7.3f};
        const float sigmas[] = {0.03f, 0.03f, 0.1f, 1e-3f, 0.5f};
        const float betas[] = {20.0f, 20.0f, 0.0f, 1.0f, 5.5f, -1.0f};
        std_alpha = alphas[uniform(0, 6)];
        std_sigma = sigmas[uniform(0, 4)];
        std_beta = betas[uniform(0, 5)];
    }

private:
    std::mt19937 rng_;
    bool integers_ = false;
};

// The instruction sets this processor runs.
std::vector<const vd::InstructionSet*> supportedSets() {
    std::vector<const vd::InstructionSet*> sets;
    for (const vd::InstructionSet& set : vd::kInstructionSets)
        if (set.supported()) sets.push_back(&set);
    return sets;
}

// Runs `body` with the exported functions on each supported instruction set in turn.
void forEachInstructionSet(const std::function<void()>& body) {
    for (const vd::InstructionSet* set : supportedSets()) {
        vd::setInstructionSet(*set);
        SCOPED_TRACE(set->name);
        body();
    }
    vd::setInstructionSet(vd::bestInstructionSet());
}

// The selected tracks and their weights by position, as the fast path hands them to the
// kernels.
struct KernelInput {
    KernelInput(const trackList& trackers, const std::vector<int>& selection,
                const std::vector<float>& trackerWeights) {
        for (int k : selection) {
            tracks.push_back(&trackers[k][0].x);
            weights.push_back(trackerWeights.empty() ? 1.0f : trackerWeights[k]);
        }
    }
    std::vector<const float*> tracks;
    std::vector<float> weights;
};

// Whether the trajectory programme accepts the input: in every frame some selected box
// attracts, and no normalised frame score exceeds the bound (no infinite total).
bool trajectoryAccepts(trackList& trackers, const std::vector<int>& selection, const std::vector<float>& weights) {
    if (trackers.empty()) return false;
    const size_t n = selection.empty() ? trackers.size() : selection.size();
    for (size_t f = 0; f < trackers[0].size(); ++f) {
        std::vector<float> totals(n, 0.0f);
        const int gs =
            ref::findTrackingRectWithGreatestAttraction(trackers, static_cast<int>(f), selection, weights, totals);
        if (gs < 0) return false;
        const float r = 1.0f / totals[static_cast<size_t>(gs)];
        for (float t : totals)
            if (!(t * r <= 1.01f)) return false;
    }
    return true;
}

// Starts from the library's initial parameters and leaves them, and the instruction set, so.
class Differential : public VelmoraTest {
protected:
    void TearDown() override {
        SetUp();
        vd::setInstructionSet(vd::bestInstructionSet());
    }
};

TEST_F(Differential, FrameFunctionsMatchTheStraightforwardPath) {
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed);
        gen.parameters();
        const int count = gen.uniform(0, 25);
        trackList trackers = gen.trackers(count, 1);
        const std::vector<int> selection = gen.selection(count);
        const std::vector<float> weights = gen.weights(count);
        const bool refine = gen.chance(0.7);

        const size_t slots = std::max<size_t>(selection.size(), static_cast<size_t>(count)) + 1;
        std::vector<float> expectedTotals(slots, -7.0f);
        const int expectedPosition =
            ref::findTrackingRectWithGreatestAttraction(trackers, 0, selection, weights, expectedTotals);
        const Box expectedFused =
            count == 0 ? Box() : ref::performFusionForFrame(trackers, 0, selection, weights, refine);
        const Box start = count == 0 ? Box() : gen.box(trackers[0][0]);
        Box expectedRefined = start;
        if (count > 0) ref::gradient_ascent(expectedRefined, trackers, 0, selection, weights);

        forEachInstructionSet([&] {
            std::vector<float> totals(slots, -7.0f);
            EXPECT_EQ(expectedPosition,
                      findTrackingRectWithGreatestAttraction(trackers, 0, selection, weights, totals));
            EXPECT_SAME_FLOATS(expectedTotals, totals);
            EXPECT_EQ(expectedPosition, findTrackingRectWithGreatestAttraction(trackers, 0, selection, weights));
            if (count == 0) return;
            EXPECT_SAME_BOX(expectedFused, performFusionForFrame(trackers, 0, selection, weights, refine));
            Box refined = start;
            gradient_ascent(refined, trackers, 0, selection, weights);
            EXPECT_SAME_BOX(expectedRefined, refined);
        });
        if (HasFailure()) return;
    }
}

TEST_F(Differential, SequenceFusionMatchesTheStraightforwardPath) {
    int trajectories = 0;
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed * 7919u);
        gen.parameters();
        const int count = gen.uniform(1, 14);
        const int frames = gen.uniform(0, 40);
        trackList trackers = gen.trackers(count, frames);
        const std::vector<int> selection = gen.selection(count);
        const std::vector<float> weights = gen.weights(count);
        const bool refine = gen.chance(0.7);

        track expectedFrames(gen.uniform(0, 50), Box(1, 2, 3, 4));
        track fused = expectedFrames;
        ref::performFusionForAllFrames(trackers, expectedFrames, selection, weights, refine);
        const std::vector<float> expectedPerformances = ref::calculateTrackerPerformances(trackers, selection, weights);

        const bool trajectory = trajectoryAccepts(trackers, selection, weights);
        const bool skipBacktracking = gen.chance(0.3);
        track expectedPath(gen.uniform(0, 50));
        track path = expectedPath;
        if (trajectory)
            ref::performFusionForAllFrames_TrajectoryOptimization(trackers, expectedPath, selection, weights,
                                                                  skipBacktracking, refine);

        trajectories += trajectory;
        forEachInstructionSet([&] {
            track out = fused;
            performFusionForAllFrames(trackers, out, selection, weights, refine);
            EXPECT_SAME_TRACK(expectedFrames, out);
            EXPECT_SAME_FLOATS(expectedPerformances, calculateTrackerPerformances(trackers, selection, weights));
            if (!trajectory) return;
            track outPath = path;
            performFusionForAllFrames_TrajectoryOptimization(trackers, outPath, selection, weights, skipBacktracking,
                                                             refine);
            EXPECT_SAME_TRACK(expectedPath, outPath);
        });
        if (HasFailure()) return;
    }
    // The generator must keep most inputs acceptable to the trajectory programme.
    EXPECT_GT(trajectories, 1000);
}

// A small annotated data set: sequences of runs, every run inside its annotation.
struct DataSet {
    trackData data;
    trackList annotation;
};

DataSet makeDataSet(CaseGenerator& gen, int trackers) {
    DataSet set;
    const int sequences = gen.uniform(1, 4);
    for (int i = 0; i < sequences; ++i) {
        const int length = gen.uniform(1, 30);
        trackList truth = gen.trackers(1, length);
        set.annotation.push_back(truth[0]);
        std::vector<eTrackList> runs;
        const int runCount = gen.uniform(1, 3);
        for (int j = 0; j < runCount; ++j) {
            const int start = gen.uniform(1, length);
            const int frames = gen.uniform(1, length - start + 1);
            eTrackList run;
            trackList tracks = gen.trackers(trackers, frames);
            run.assign(tracks.begin(), tracks.end());
            run.startFrame = start;
            runs.push_back(run);
        }
        set.data.push_back(runs);
    }
    return set;
}

TEST_F(Differential, DataSetFunctionsMatchTheStraightforwardPath) {
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed * 104729u);
        gen.parameters();
        const int count = gen.uniform(1, 7);
        DataSet set = makeDataSet(gen, count);
        std::vector<float> weights = gen.weights(count);
        const std::vector<int> selection = gen.selection(count);

        // Trajectory mode needs every frame of every run to attract.
        bool trajectory = true;
        for (auto& runs : set.data)
            for (auto& run : runs) trajectory = trajectory && trajectoryAccepts(run, selection, weights);
        const std::vector<float> expectedWeights = ref::calculateTrackerWeights(set.data, set.annotation);
        const float expectedScore = ref::evaluate(set.data, set.annotation, false, selection, weights);
        const float expectedPathScore =
            trajectory ? ref::evaluate(set.data, set.annotation, true, selection, weights) : 0.0f;
        if (weights.empty()) weights.assign(static_cast<size_t>(count), 1.0f);
        bool allAccept = true;  // global removal tries every subset's fusion in trajectory mode
        for (auto& runs : set.data)
            for (auto& run : runs)
                for (auto& tracks : run)
                    for (auto& b : tracks) allAccept = allAccept && b.width > 0 && b.height > 0;
        for (float w : weights) allAccept = allAccept && w != 0.0f && std::abs(w) < 1e3f;
        const bool pathRemoval = allAccept && gen.chance(0.3);
        const std::vector<int> expectedKept = ref::globalRemoval(set.data, set.annotation, weights, pathRemoval);
        std_gamma = gen.uniform(0, static_cast<int>(selection.empty() ? count : selection.size()));
        const std::vector<int> expectedLocal = ref::localRemoval(set.data[0][0], selection, weights);

        forEachInstructionSet([&] {
            EXPECT_SAME_FLOATS(expectedWeights, calculateTrackerWeights(set.data, set.annotation));
            EXPECT_SAME_BITS(expectedScore, evaluate(set.data, set.annotation, false, selection, weights));
            if (trajectory) {
                EXPECT_SAME_BITS(expectedPathScore, evaluate(set.data, set.annotation, true, selection, weights));
            }
            EXPECT_EQ(expectedKept, globalRemoval(set.data, set.annotation, weights, pathRemoval));
            EXPECT_EQ(expectedLocal, localRemoval(set.data[0][0], selection, weights));
        });
        if (HasFailure()) return;
    }
}

// The track-attraction kernel against sums of scalar attractions, for tracker counts and
// track lengths around the vector width, so that every tail and ragged end is exercised.
TEST_F(Differential, AttractionSumsKernelCoversEveryTail) {
    CaseGenerator gen(4242);
    for (int trackers = 1; trackers <= 3 * vd::kLanes + 1; ++trackers) {
        for (float alpha : {4.0f, 3.0f}) {
            std_alpha = alpha;
            const int longest = gen.uniform(0, 20);
            trackList truth = gen.trackers(1, longest);
            // Every track holds exactly its own boxes, so a read past one shows under the sanitizers.
            trackList tracks(static_cast<size_t>(trackers));
            std::vector<const float*> starts;
            std::vector<int> counts;
            std::vector<float> expected;
            for (int k = 0; k < trackers; ++k) {
                const int count = gen.chance(0.6) ? longest : gen.uniform(0, longest);
                float sum = 0.0f;
                for (int f = 0; f < count; ++f) {
                    tracks[k].push_back(gen.box(truth[0][f]));
                    sum += attraction(tracks[k].back(), truth[0][f], std_sigma);
                }
                if (count == 0) tracks[k].push_back(Box(1, 1, 1, 1));  // something to point at
                starts.push_back(&tracks[k][0].x);
                counts.push_back(count);
                expected.push_back(sum);
            }
            if (longest == 0) truth[0].push_back(Box(1, 1, 1, 1));
            const vd::FieldParams params = vd::readFieldParams();
            for (const vd::InstructionSet* set : supportedSets()) {
                std::vector<float> sums(static_cast<size_t>(trackers), -1.0f);
                set->kernels->attractionSums(starts.data(), counts.data(), trackers, &truth[0][0].x, params,
                                             sums.data());
                EXPECT_SAME_FLOATS(expected, sums) << set->name << ", " << trackers << " trackers, alpha " << alpha;
            }
        }
    }
}

// The climb kernel against gradient_ascent, frame by frame. One call climbs a run of frames
// that need not start at frame 0, so lanes end at different rounds and take up the next
// frame; the move budgets include 0, fractions below one move, and NaN from boxes of NaN size.
TEST_F(Differential, ClimbKernelMatchesGradientAscentOnEveryFrame) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed * 31u);
        gen.parameters();
        const int n = gen.uniform(0, 3 * vd::kLanes + 1);
        const int first = gen.uniform(0, 5);
        const int frames = gen.uniform(1, 40);
        trackList trackers = gen.trackers(n, first + frames);
        const std::vector<float> weights = gen.weights(n);
        std::vector<int> selection;
        for (int k = 0; k < n; ++k) selection.push_back(k);

        track starts, expected;
        std::vector<float> currents, limits;
        for (int f = first; f < first + frames; ++f) {
            Box start = gen.box(n > 0 ? trackers[0][f] : Box(5, 5, 20, 20));
            if (gen.chance(0.05)) start.width = kNaN;
            starts.push_back(start);
            currents.push_back(calculateAttraction(trackers, start, f, selection, weights));
            limits.push_back((start.width + start.height) * 0.5f / 20.0f);
            expected.push_back(start);
            ref::gradient_ascent(expected.back(), trackers, f, selection, weights);
        }
        const KernelInput input(trackers, selection, weights);
        const vd::FieldParams params = vd::readFieldParams();
        std::vector<float> work(static_cast<size_t>(vd::frameWork(n)));
        for (const vd::InstructionSet* set : supportedSets()) {
            track boxes = starts;
            set->kernels->climbFrames(input.tracks.data(), n, input.weights.data(), params, first, frames,
                                      currents.data(), limits.data(), &boxes[0].x, work.data());
            EXPECT_SAME_TRACK(expected, boxes)
                << set->name << ", " << n << " trackers, frames " << first << " on, " << frames << " frames";
        }
    }
}

// The frame-block kernel against the straightforward totals and choice of each of its frames:
// blocks that start past frame 0, selections with repeats and in any order, up to 41
// positions, so that every tail of a vector and of a pair row is crossed.
TEST_F(Differential, FrameBlockMatchesTheStraightforwardChoiceOfEachFrame) {
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed * 53u);
        gen.parameters();
        const int count = gen.uniform(1, 12);
        const int first = gen.uniform(0, 5);
        trackList trackers = gen.trackers(count, first + 16);
        const std::vector<float> weights = gen.weights(count);
        std::vector<int> selection(static_cast<size_t>(gen.uniform(1, 41)));
        for (int& k : selection) k = gen.uniform(0, count - 1);
        const int n = static_cast<int>(selection.size());
        const KernelInput input(trackers, selection, weights);
        std::vector<float> work(static_cast<size_t>(vd::frameWork(n)));
        for (const vd::InstructionSet* set : supportedSets()) {
            const int lanes = set->kernels->frameLanes;
            std::vector<float> totals(static_cast<size_t>(n * lanes), -7.0f);
            int chosen[16];
            set->kernels->frameBlock(input.tracks.data(), first, n, input.weights.data(), vd::readFieldParams(),
                                     work.data(), totals.data(), chosen);
            for (int l = 0; l < lanes; ++l) {
                std::vector<float> expected(static_cast<size_t>(n));
                const int position =
                    ref::findTrackingRectWithGreatestAttraction(trackers, first + l, selection, weights, expected);
                std::vector<float> lane;
                for (int p = 0; p < n; ++p) lane.push_back(totals[static_cast<size_t>(p * lanes + l)]);
                EXPECT_SAME_FLOATS(expected, lane) << set->name << ", frame " << first + l;
                EXPECT_EQ(position, chosen[l]) << set->name << ", frame " << first + l;
            }
        }
    }
}

// Each instruction set has its own kernels, the switch hands out the table of the set it is
// given, and falls back to the best set for one the processor lacks.
TEST(KernelSwitch, EveryInstructionSetRunsItsOwnKernels) {
    EXPECT_TRUE(vd::kInstructionSets[0].supported());
    EXPECT_TRUE(vd::bestInstructionSet().supported());
    for (int i = 0; i < vd::kInstructionSetCount; ++i)
        for (int j = 0; j < i; ++j) EXPECT_NE(vd::kInstructionSets[i].kernels, vd::kInstructionSets[j].kernels);
    for (const vd::InstructionSet& set : vd::kInstructionSets) {
        vd::setInstructionSet(set);
        const vd::InstructionSet& expected = set.supported() ? set : vd::bestInstructionSet();
        EXPECT_EQ(expected.name, vd::activeInstructionSet().name);
        EXPECT_EQ(expected.kernels, &vd::activeKernels());
    }
    vd::setInstructionSet(vd::bestInstructionSet());
}

}  // namespace
}  // namespace velmora_test

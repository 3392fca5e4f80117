// Differential tests: every exported function that the fast path speeds up, on every
// instruction set the processor offers, against the straightforward path, over thousands of
// generated cases, half of them near-ties built on purpose. Results are compared bit for bit,
// the by-reference outputs included.
#include "approach.h"
#include "detail/kernels.h"
#include "detail/reference.h"
#include "online.h"
#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>

namespace velmora_test {
namespace {

namespace vd = velmora::detail;
namespace ref = velmora::reference;

// Generated fusion inputs, half random and half near-ties. Random cases follow one object
// with the awkward inputs built in: integer coordinates, duplicated and zero-size boxes,
// selections with repeats in any order, weights of 0, negative and large, odd parameters.
// Near-tie cases make the choice of a box hang on the last bit of a total, which random boxes
// almost never do: every frame's boxes mirror each other about a centre box (in x, y, both,
// or also the diagonal), so mirrored candidates, and mirrored unit moves from the centre box,
// add the same terms in another order, to totals equal or an ulp apart. Whole-number
// coordinates keep the mirror exact; sizes off the centre box's by whole units trade size
// terms against centre terms. Half of them sit just above a power of two, off the whole
// numbers, where a move down crosses into a finer binade. A mirror group's trackers share a
// weight and sit at scattered indices; selections keep whole groups.
class CaseGenerator {
public:
    explicit CaseGenerator(uint32_t seed) : rng_(seed) {}

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    float real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    // A random box near `near`.
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

    // `count` tracks of `frames` frames, of either kind; draws a new case.
    trackList trackers(int count, int frames) {
        count_ = count;
        nearTie_ = chance(0.5);
        integers_ = chance(0.5);
        if (nearTie_) {
            layOutGroups(count);
        } else {
            origin_ = Box(real(-50, 300), real(-50, 300), real(4, 120), real(4, 120));
            step_ = Box(real(-3, 3), real(-3, 3), 0, 0);
        }
        return moreTrackers(frames, 0);
    }

    // Further tracks of the same case: the same kind, trackers and mirror groups, over frames
    // first .. first + frames - 1 of the same object path.
    trackList moreTrackers(int frames, int first) {
        trackList out(static_cast<size_t>(count_));
        for (int f = first; f < first + frames; ++f) {
            if (nearTie_) {
                mirroredFrame(f, out);
                continue;
            }
            for (int k = 0; k < count_; ++k)  // some repeat the box of another tracker
                out[k].push_back(k > 0 && chance(0.15) ? out[uniform(0, k - 1)].back() : box(centre(f)));
        }
        return out;
    }

    // An annotation of `frames` boxes near the object path, off its centre box, so that mirrored
    // fusion results score differently.
    track annotation(int frames) {
        track out;
        for (int f = 0; f < frames; ++f) out.push_back(box(centre(f)));
        return out;
    }

    // A box to climb from in `frame`: mostly the centre box in a near-tie case.
    Box start(const trackList& trackers, int frame) {
        if (nearTie_ && chance(0.8)) return centre(frame);
        return box(trackers.empty() || trackers[0].empty() ? Box(5, 5, 20, 20) : trackers[0][frame]);
    }

    std::vector<int> selection(int count) {
        std::vector<int> out;
        if (count == 0 || chance(0.3)) return out;
        if (nearTie_) {  // every tracker, in any order, a group now and then twice
            for (int k = 0; k < count; ++k) out.push_back(k);
            const int twice = chance(0.3) ? leader_[uniform(0, count - 1)] : -1;
            for (int k = 0; k < count; ++k)
                if (leader_[k] == twice) out.push_back(k);
            std::shuffle(out.begin(), out.end(), rng_);
            return out;
        }
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
        for (int k = 0; k < count && nearTie_; ++k) out[k] = out[leader_[k]];
        return out;
    }

    void parameters() {
        const float alphas[] = {4.0f, 4.0f, 1.0f, 2.0f, 0.5f, 3.0f, 7.3f};
        const float sigmas[] = {0.03f, 0.03f, 0.1f, 1e-3f, 0.5f};
        const float betas[] = {20.0f, 20.0f, 0.0f, 1.0f, 5.5f, -1.0f, 0.3f};
        std_alpha = alphas[uniform(0, 6)];
        std_sigma = sigmas[uniform(0, 4)];
        std_beta = betas[uniform(0, 6)];
    }

private:
    // The object: a box moving by the same step every frame.
    Box centre(int frame) const {
        const float f = static_cast<float>(frame);
        return Box(origin_.x + f * step_.x, origin_.y + f * step_.y, origin_.width, origin_.height);
    }

    // Draws the object path and the mirror groups: tracker k is member member_[k] of group
    // groupOf_[k], whose member 0 is tracker leader_[k]; a group holds every image of one box,
    // or a single box on the centre.
    void layOutGroups(int count) {
        symmetry_ = uniform(0, 3);  // mirror in x, in y, in both, in both and the diagonal
        const float side = static_cast<float>(uniform(4, 60));
        origin_ = Box(static_cast<float>(uniform(-50, 300)), static_cast<float>(uniform(-50, 300)), side,
                      symmetry_ == 3 ? side : static_cast<float>(uniform(4, 60)));
        step_ = Box(static_cast<float>(uniform(-3, 3)), static_cast<float>(uniform(-3, 3)), 0, 0);
        if (chance(0.5)) {  // standing still just above a power of two, off the whole numbers
            const float edge = std::ldexp(1.0f, uniform(4, 9));
            origin_.x = (edge - origin_.width * 0.5f) + real(0, 1);
            origin_.y = (edge - origin_.height * 0.5f) + real(0, 1);
            step_ = Box();
        }
        const int images = symmetry_ < 2 ? 2 : symmetry_ == 2 ? 4 : 8;
        std::vector<int> index(static_cast<size_t>(count));
        std::iota(index.begin(), index.end(), 0);
        std::shuffle(index.begin(), index.end(), rng_);
        groupOf_.assign(static_cast<size_t>(count), 0);
        member_ = leader_ = groupOf_;
        groupSizes_.clear();
        for (int k = 0; k < count;) {
            const int size = count - k >= images && chance(0.75) ? images : 1;
            for (int m = 0; m < size; ++m, ++k) {
                groupOf_[index[k]] = static_cast<int>(groupSizes_.size());
                member_[index[k]] = m;
                leader_[index[k]] = index[k - m];
            }
            groupSizes_.push_back(size);
        }
    }

    // One frame of a near-tie case: each group draws one box by its offset from the centre
    // box and its size, and each member takes one mirror image of it.
    void mirroredFrame(int frame, trackList& out) {
        const Box c = centre(frame);
        const int reachX = std::max(1, static_cast<int>(c.width)), reachY = std::max(1, static_cast<int>(c.height));
        std::vector<Box> arms;  // per group: offset of the centre (x, y) and size
        for (size_t g = 0; g < groupSizes_.size(); ++g) {
            Box arm(static_cast<float>(uniform(-reachX, reachX)), static_cast<float>(uniform(-reachY, reachY)),
                    c.width + static_cast<float>(chance(0.1) ? 0 : uniform(-reachX / 4, reachX / 4)),
                    c.height + static_cast<float>(chance(0.1) ? 0 : uniform(-reachY / 4, reachY / 4)));
            if (g > 0 && groupSizes_[g] == groupSizes_[g - 1] && chance(0.2)) arm = arms.back();  // duplicates
            if (groupSizes_[g] == 1) {  // on the centre, and square where the diagonal mirrors
                arm.x = arm.y = 0;
                if (symmetry_ == 3) arm.height = arm.width;
                if (chance(0.2)) arm.width = c.width, arm.height = c.height;
            }
            arms.push_back(arm);
        }
        for (size_t k = 0; k < out.size(); ++k) {
            Box a = arms[static_cast<size_t>(groupOf_[k])];
            const int m = member_[k];
            // Member bits: mirror in x, in y, across the diagonal (as far as the symmetry has them).
            if (symmetry_ != 1 && (m & 1)) a.x = -a.x;
            if (symmetry_ == 1 ? (m & 1) : symmetry_ >= 2 && (m & 2)) a.y = -a.y;
            if (symmetry_ == 3 && (m & 4)) std::swap(a.x, a.y), std::swap(a.width, a.height);
            out[k].push_back(Box(c.x + (c.width - a.width) * 0.5f + a.x, c.y + (c.height - a.height) * 0.5f + a.y,
                                 a.width, a.height));
        }
    }

    std::mt19937 rng_;
    bool integers_ = false;
    bool nearTie_ = false;
    int count_ = 0;
    int symmetry_ = 0;
    Box origin_{100, 100, 40, 40}, step_;
    std::vector<int> groupOf_, member_, leader_, groupSizes_;
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

// Pushes every frame of `trackers` through `stream` and finishes it: the boxes in the order they
// came, and in `counts` how many each push gave, then finish().
track streamAll(OnlineFuser& stream, const trackList& trackers, std::vector<int>& counts) {
    track out, frame(trackers.size());
    counts.clear();
    const size_t frames = trackers.empty() ? 0 : trackers[0].size();
    for (size_t f = 0; f < frames; ++f) {
        for (size_t k = 0; k < trackers.size(); ++k) frame[k] = trackers[k][f];
        const track& decided = stream.push(frame);
        out.insert(out.end(), decided.begin(), decided.end());
        counts.push_back(static_cast<int>(decided.size()));
    }
    const track& rest = stream.finish();
    out.insert(out.end(), rest.begin(), rest.end());
    counts.push_back(static_cast<int>(rest.size()));
    return out;
}

// What a stream with lag L gives, by the straightforward path: frame t is frame t of the
// back-tracked trajectory of frames 0 .. t + L alone (of all frames, near the end).
track laggedTrajectory(const trackList& trackers, const std::vector<int>& selection, const std::vector<float>& weights,
                       bool refine, size_t lag) {
    const size_t frames = trackers[0].size();
    track out(frames), path;
    for (size_t end = lag; end < frames; ++end) {
        trackList prefix;
        for (const track& t : trackers) prefix.emplace_back(t.begin(), t.begin() + static_cast<long>(end + 1));
        ref::performFusionForAllFrames_TrajectoryOptimization(prefix, path, selection, weights, false, refine);
        out[end - lag] = path[end - lag];
    }
    trackList all = trackers;
    ref::performFusionForAllFrames_TrajectoryOptimization(all, path, selection, weights, false, refine);
    for (size_t t = frames > lag ? frames - lag : 0; t < frames; ++t) out[t] = path[t];
    return out;
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
    for (uint32_t seed = 1; seed <= seedCount(3000); ++seed) {
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
        const Box start = count == 0 ? Box() : gen.start(trackers, 0);
        Box expectedRefined = start;
        if (count > 0) ref::gradient_ascent(expectedRefined, trackers, 0, selection, weights);
        const trackList unchanged = trackers;  // the fast path reads the caller's boxes in place

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
        EXPECT_TRUE(trackers == unchanged);
        if (HasFailure()) return;
    }
}

TEST_F(Differential, SequenceFusionMatchesTheStraightforwardPath) {
    int trajectories = 0;
    for (uint32_t seed = 1; seed <= seedCount(1500); ++seed) {
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
        // Live streams: lag 0 is the path without back-tracking, an unbounded lag (or one of
        // frames - 1 or more) the back-tracked path, and any other lag the back-tracked path of
        // the frames up to lag frames later.
        const int lag = gen.uniform(1, std::max(1, frames + 1));
        track expectedLagZero, expectedBacktracked, expectedLagged;
        if (trajectory) {
            ref::performFusionForAllFrames_TrajectoryOptimization(trackers, expectedLagZero, selection, weights, true,
                                                                  refine);
            ref::performFusionForAllFrames_TrajectoryOptimization(trackers, expectedBacktracked, selection, weights,
                                                                  false, refine);
            expectedLagged = laggedTrajectory(trackers, selection, weights, refine, static_cast<size_t>(lag));
        }
        // A stream keeps the parameters it was made with, whatever happens to the globals.
        auto streamed = [&](OnlineMode mode, int streamLag, std::vector<int>& counts) {
            OnlineFuser stream(count, selection, weights, mode, streamLag, refine);
            const FusionParameters made = currentParameters();
            std_alpha = 1.5f, std_beta = -7.0f, std_sigma = 0.25f;
            track out = streamAll(stream, trackers, counts);
            std_alpha = made.alpha, std_beta = made.beta, std_sigma = made.sigma;
            return out;
        };

        const trackList unchanged = trackers;
        forEachInstructionSet([&] {
            std::vector<int> counts;
            EXPECT_SAME_TRACK(expectedFrames, streamed(OnlineMode::FrameByFrame, 0, counts));
            EXPECT_EQ(std::vector<int>(static_cast<size_t>(frames), 1),
                      std::vector<int>(counts.begin(), counts.end() - 1));
            if (trajectory) {
                EXPECT_SAME_TRACK(expectedLagZero, streamed(OnlineMode::Trajectory, 0, counts));
                EXPECT_SAME_TRACK(expectedBacktracked,
                                  streamed(OnlineMode::Trajectory, OnlineFuser::kUnboundedLag, counts));
                EXPECT_EQ(frames, counts.back());
                EXPECT_SAME_TRACK(expectedBacktracked,
                                  streamed(OnlineMode::Trajectory, std::max(0, frames - 1), counts));
                EXPECT_SAME_TRACK(expectedLagged, streamed(OnlineMode::Trajectory, lag, counts));
                // Frame t comes with frame t + lag, the last lag frames with finish().
                for (int t = 0; t < frames; ++t) EXPECT_EQ(t >= lag ? 1 : 0, counts[static_cast<size_t>(t)]);
                EXPECT_EQ(std::min(frames, lag), counts.back());
            }
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
        EXPECT_TRUE(trackers == unchanged);
        if (HasFailure()) return;
    }
    // The generator must keep most inputs acceptable to the trajectory programme.
    EXPECT_GT(trajectories, seedCount(1000)) << "of " << seedCount(1500) << " cases";
}

// A small annotated data set: sequences of runs, every run inside its annotation, all runs
// of one generated case.
struct DataSet {
    trackData data;
    trackList annotation;
};

DataSet makeDataSet(CaseGenerator& gen, int trackers) {
    DataSet set;
    const int sequences = gen.uniform(1, 4);
    gen.trackers(trackers, 0);
    for (int i = 0; i < sequences; ++i) {
        const int length = gen.uniform(1, 30);
        set.annotation.push_back(gen.annotation(length));
        set.data.emplace_back();
        for (int j = 0, runs = gen.uniform(1, 3); j < runs; ++j) {
            const int start = gen.uniform(1, length);
            const int frames = gen.uniform(1, length - start + 1);
            set.data.back().push_back(run(gen.moreTrackers(frames, start - 1), start));
        }
    }
    return set;
}

TEST_F(Differential, DataSetFunctionsMatchTheStraightforwardPath) {
    for (uint32_t seed = 1; seed <= seedCount(200); ++seed) {
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

        const DataSet unchanged = set;
        forEachInstructionSet([&] {
            EXPECT_SAME_FLOATS(expectedWeights, calculateTrackerWeights(set.data, set.annotation));
            EXPECT_SAME_BITS(expectedScore, evaluate(set.data, set.annotation, false, selection, weights));
            if (trajectory) {
                EXPECT_SAME_BITS(expectedPathScore, evaluate(set.data, set.annotation, true, selection, weights));
            }
            EXPECT_EQ(expectedKept, globalRemoval(set.data, set.annotation, weights, pathRemoval));
            EXPECT_EQ(expectedLocal, localRemoval(set.data[0][0], selection, weights));
        });
        EXPECT_TRUE(set.data == unchanged.data && set.annotation == unchanged.annotation);
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

// The climb kernels against gradient_ascent, frame by frame. One call of the many-frame climb
// climbs a run of frames that need not start at frame 0, so lanes end at different rounds and
// take up the next frame; the one-box climb takes each frame on its own. The move budgets
// include 0, fractions below one move, and NaN from boxes of NaN size. Some cases lie far from
// the origin, where x + 1 - 1 is not x and a neighbour's centre rounds differently from the
// box's own; the one-box climb shares the offset terms of the neighbours that have the same
// centre x (or y), so ties between them must survive.
TEST_F(Differential, ClimbKernelsMatchGradientAscentOnEveryFrame) {
    for (uint32_t seed = 1; seed <= seedCount(300); ++seed) {
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
        for (int f = first; f < first + frames; ++f) starts.push_back(gen.start(trackers, f));
        // Far out: 2^e plus a fraction, e from 17 to 22, so that a unit step loses bits.
        const float far = gen.chance(0.2) ? std::ldexp(1.0f, gen.uniform(17, 22)) + gen.real(0, 1) : 0.0f;
        for (track& t : trackers)
            for (Box& b : t) b.x += far, b.y += far;
        std::vector<float> currents, limits;
        for (int f = first; f < first + frames; ++f) {
            Box& start = starts[static_cast<size_t>(f - first)];
            start.x += far, start.y += far;
            if (gen.chance(0.05)) start.width = kNaN;
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
            std::vector<float> boxWork(static_cast<size_t>(vd::climbBoxWork(n)), kNaN);
            for (int c = 0; c < frames; ++c) {
                Box box = starts[c];
                set->kernels->climbBox(input.tracks.data(), n, input.weights.data(), params, first + c, currents[c],
                                       limits[c], &box.x, boxWork.data());
                EXPECT_SAME_BOX(expected[c], box) << set->name << ", " << n << " trackers, frame " << first + c;
            }
        }
    }
}

// The frame-block kernel against the straightforward totals and choice of each of its frames:
// blocks that start past frame 0, selections with repeats and in any order, up to 41
// positions, so that every tail of a vector and of a pair row is crossed.
TEST_F(Differential, FrameBlockMatchesTheStraightforwardChoiceOfEachFrame) {
    for (uint32_t seed = 1; seed <= seedCount(200); ++seed) {
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

// One step of the trajectory kernel against the step as the straightforward path takes it,
// for selection sizes around the vector width, with the pair tables it reads. The accumulated
// scores never reach a result bit for bit (only the path they choose does), so they are
// compared here.
TEST_F(Differential, TrajectoryStepAndPairTablesMatchTheStraightforwardStep) {
    for (uint32_t seed = 1; seed <= seedCount(200); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        CaseGenerator gen(seed * 97u);
        gen.parameters();
        const int n = gen.uniform(1, 3 * vd::kLanes + 1);
        const trackList trackers = gen.trackers(n, 1);
        const int stride = vd::paddedCount(n);
        std::vector<float> table(static_cast<size_t>(n * stride), 0.0f), previous, weights(stride, 0.0f);
        for (int j = 0; j < n; ++j) {
            for (int k = 0; k < n; ++k) table[j * stride + k] = attraction(trackers[j][0], trackers[k][0], std_sigma);
            previous.push_back(gen.real(0, 2) * (1.0f + std::abs(std_beta)));  // switches win as often as stays
            weights[j] = gen.real(0, 1);
        }
        std::vector<float> expected(static_cast<size_t>(n), 0.0f);
        std::vector<int> expectedFrom(static_cast<size_t>(n), -1);
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < n; ++j) {
                const float s = previous[j] + weights[k];
                const float t = normalizedAttraction(trackers[k][0], trackers[j][0], std_sigma) * std_beta;
                if (t + s > expected[k]) expected[k] = t + s, expectedFrom[k] = j;
            }
        // Both tile sizes give the same table, read off a frame as the fast path gathers it.
        std::vector<float> w(stride, 1.0f), h(stride, 1.0f), cx(stride, 0.5f), cy(stride, 0.5f);
        for (int p = 0; p < n; ++p) {
            const Box& b = trackers[p][0];
            w[p] = b.width, h[p] = b.height, cx[p] = b.width * 0.5f + b.x, cy[p] = b.height * 0.5f + b.y;
        }
        const vd::FrameView frame{w.data(), h.data(), cx.data(), cy.data(), w.data(), n};
        for (const vd::InstructionSet* set : supportedSets()) {
            for (auto kernel : {set->kernels->pairTable, set->kernels->quadPairTable}) {
                std::vector<float> out(static_cast<size_t>(stride * stride), -7.0f);
                kernel(frame, vd::readFieldParams(), out.data(), stride);
                for (int j = 0; j < n; ++j)
                    EXPECT_SAME_FLOATS(std::vector<float>(table.begin() + j * stride, table.begin() + j * stride + n),
                                       std::vector<float>(out.begin() + j * stride, out.begin() + j * stride + n))
                        << set->name << ", row " << j;
            }
            std::vector<float> scores(stride, -7.0f);
            std::vector<int> from(stride, -7);
            set->kernels->trajectoryStep(table.data(), stride, previous.data(), weights.data(), n, std_sigma, std_beta,
                                         scores.data(), from.data());
            EXPECT_SAME_FLOATS(expected, std::vector<float>(scores.begin(), scores.begin() + n)) << set->name;
            EXPECT_EQ(expectedFrom, std::vector<int>(from.begin(), from.begin() + n)) << set->name;
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

// VELMORA_KERNELS names the starting set: unset or empty means the best one; a supported name
// gives that set; a set the processor lacks or an unknown name stops the process with one line
// that lists what may be named.
TEST(KernelSwitch, ForcedInstructionSetIsTakenOrRefused) {
    GTEST_FLAG_SET(death_test_style, kDeathTestStyle);
    EXPECT_EQ(&vd::bestInstructionSet(), &vd::startingInstructionSet(nullptr));
    EXPECT_EQ(&vd::bestInstructionSet(), &vd::startingInstructionSet(""));
    std::string all, supported;
    for (const vd::InstructionSet& set : vd::kInstructionSets) {
        all += (all.empty() ? "" : ", ") + std::string(set.name);
        if (set.supported()) supported += (supported.empty() ? "" : ", ") + std::string(set.name);
    }
    for (const vd::InstructionSet& set : vd::kInstructionSets) {
        if (set.supported())
            EXPECT_EQ(&set, &vd::startingInstructionSet(set.name));
        else
            EXPECT_EXIT(vd::startingInstructionSet(set.name), ::testing::ExitedWithCode(1),
                        "^velmora: VELMORA_KERNELS=" + std::string(set.name) +
                            ": this processor lacks it; it has: " + supported + "\n$");
    }
    for (const char* name : {"avx3", "SSE2", "neon ", "best"})
        EXPECT_EXIT(vd::startingInstructionSet(name), ::testing::ExitedWithCode(1),
                    "^velmora: VELMORA_KERNELS=" + regexLiteral(name) + ": no such kernel level; the levels are: " +
                        all + "\n$");
}

}  // namespace
}  // namespace velmora_test

// The whole Velmora workflow on a synthetic data set:
//  1. every tracker's mean overlap over the data set, and that of the two fused tracks
//     (frame by frame with refinement, and by trajectory optimisation);
//  2. tracker weights learnt on an annotated training part, the trackers kept by the greedy
//     global removal, the trackers each held-out sequence drops locally (without annotation),
//     and the held-out sequences fused in both modes, scored by mean overlap, success rate
//     at an overlap of 0.5 and precision at 20 pixels.
//
// Usage: fusion_demo [SEED] [--sequences N] [--trackers N] [--frames MIN MAX] [--runs N]
#include "approach.h"
#include "synthetic.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace syn = velmora::synthetic;

constexpr std::uint64_t kDefaultSeed = 2024;

struct Options {
    syn::DataSetSpec set;
    bool ok = true;
};

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: fusion_demo [SEED] [--sequences N] [--trackers N] [--frames MIN MAX] [--runs N]\n"
                 "Generates a synthetic data set (default seed %llu: 10 sequences of 100-300 frames, 1-3 runs\n"
                 "each, 14 trackers), fuses it, learns tracker weights and a tracker selection on the first\n"
                 "60%% of the sequences and fuses the others with them.\n",
                 static_cast<unsigned long long>(kDefaultSeed));
}

bool parseInt(const char* text, long long lo, long long hi, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text, &end, 10);
    return end != text && *end == '\0' && value >= lo && value <= hi;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    o.set.seed = kDefaultSeed;
    long long v = 0, w = 0;
    for (int a = 1; a < argc && o.ok; ++a) {
        const std::string arg = argv[a];
        const bool hasValue = a + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--sequences" && hasValue && parseInt(argv[++a], 2, 10000, v)) {
            o.set.sequences = static_cast<int>(v);
        } else if (arg == "--trackers" && hasValue && parseInt(argv[++a], 1, 400, v)) {
            o.set.trackers = static_cast<int>(v);
        } else if (arg == "--runs" && hasValue && parseInt(argv[++a], 1, 100, v)) {
            o.set.maxRuns = static_cast<int>(v);
        } else if (arg == "--frames" && a + 2 < argc && parseInt(argv[a + 1], 2, 1000000, v) &&
                   parseInt(argv[a + 2], v, 1000000, w)) {
            o.set.minFrames = static_cast<int>(v);
            o.set.maxFrames = static_cast<int>(w);
            a += 2;
        } else if (arg[0] != '-' && parseInt(argv[a], 0, (1ll << 62), v)) {
            o.set.seed = static_cast<std::uint64_t>(v);
        } else {
            std::fprintf(stderr, "fusion_demo: bad argument '%s'\n", argv[a]);
            usage(stderr);
            o.ok = false;
        }
    }
    return o;
}

class Stopwatch {
public:
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    // "12.3 ms" or "4.56 s"
    std::string text() const {
        char buffer[32];
        const double s = seconds();
        if (s < 1.0)
            std::snprintf(buffer, sizeof buffer, "%.1f ms", s * 1000.0);
        else
            std::snprintf(buffer, sizeof buffer, "%.2f s", s);
        return buffer;
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point start_ = Clock::now();
};

// Fused or tracker tracks to score: tracks[i][j] belongs to run j of sequence i.
typedef std::vector<std::vector<track>> RunTracks;

struct Scores {
    float overlap = 0;    // mean overlap (intersection over union)
    float success = 0;    // share of frames with an overlap of 0.5 or more
    float precision = 0;  // share of frames whose centre is within 20 pixels of the annotation's
};

// Scores run tracks the way the library scores a data set: every run against its sequence's
// annotation from startFrame on (frame 0 of a run is where the trackers started and counts 1),
// run scores weighted by run length within a sequence, and the plain mean over sequences.
Scores score(const RunTracks& tracks, const trackData& data, const trackList& annotation) {
    Scores total;
    for (size_t i = 0; i < data.size(); ++i) {
        Scores weighted;
        int frames = 0;
        for (size_t j = 0; j < data[i].size(); ++j) {
            const track& t = tracks[i][j];
            const int shift = data[i][j].startFrame - 1;
            const float n = static_cast<float>(t.size());
            weighted.overlap = n * evaluate(t, annotation[i], shift, -1.0f, false) + weighted.overlap;
            weighted.success = n * evaluate(t, annotation[i], shift, 0.5f, false) + weighted.success;
            weighted.precision = n * evaluate(t, annotation[i], shift, 20.0f, true) + weighted.precision;
            frames += static_cast<int>(t.size());
        }
        total.overlap += weighted.overlap / static_cast<float>(frames);
        total.success += weighted.success / static_cast<float>(frames);
        total.precision += weighted.precision / static_cast<float>(frames);
    }
    const float sequences = static_cast<float>(data.size());
    total.overlap /= sequences;
    total.success /= sequences;
    total.precision /= sequences;
    return total;
}

RunTracks trackerTracks(const trackData& data, int tracker) {
    RunTracks tracks(data.size());
    for (size_t i = 0; i < data.size(); ++i)
        for (const eTrackList& run : data[i]) tracks[i].push_back(run[static_cast<size_t>(tracker)]);
    return tracks;
}

// The trajectory optimisation needs, in every frame, one selected tracker whose box attracts:
// a box of positive size from a tracker of non-zero weight. Frame-by-frame fusion has no such
// need (it keeps the first selected box when nothing attracts).
bool attractsInEveryFrame(const trackList& run, const std::vector<int>& selection, const std::vector<float>& weights) {
    std::vector<int> all;
    for (int k = 0; k < static_cast<int>(run.size()); ++k) all.push_back(k);
    const std::vector<int>& chosen = selection.empty() ? all : selection;
    for (size_t f = 0; f < run[0].size(); ++f) {
        bool found = false;
        for (int k : chosen) {
            const cv::Rect_<float>& b = run[static_cast<size_t>(k)][f];
            if (b.width > 0 && b.height > 0 && (weights.empty() || weights[static_cast<size_t>(k)] != 0)) found = true;
        }
        if (!found) return false;
    }
    return true;
}

std::string names(const std::vector<int>& trackers, const std::vector<std::string>& trackerNames) {
    std::string text;
    for (int k : trackers) text += (text.empty() ? "" : ", ") + trackerNames[static_cast<size_t>(k)];
    return text.empty() ? "none" : text;
}

std::vector<int> complement(const std::vector<int>& kept, int count) {
    std::vector<int> dropped;
    for (int k = 0; k < count; ++k)
        if (std::find(kept.begin(), kept.end(), k) == kept.end()) dropped.push_back(k);
    return dropped;
}

// One line of a results table: a tracker, or a fused track marked with '*'.
struct Row {
    std::string name;
    Scores scores;
    bool fused = false;
};

// Prints rows by descending mean overlap. A tracker's rank is its place among the trackers;
// a fused track's rank is the place it would take among them.
void printTable(std::vector<Row> rows, bool allMeasures) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.scores.overlap > b.scores.overlap; });
    std::printf("  %4s  %-36s %12s", "rank", "tracker", "mean overlap");
    if (allMeasures) std::printf(" %13s %14s", "success@0.5", "precision@20");
    std::printf("\n");
    for (const Row& r : rows) {
        int rank = 1;
        for (const Row& other : rows)
            if (!other.fused && other.scores.overlap > r.scores.overlap) ++rank;
        std::printf("  %4d  %s %-34s %12.4f", rank, r.fused ? "*" : " ", r.name.c_str(), r.scores.overlap);
        if (allMeasures) std::printf(" %13.4f %14.4f", r.scores.success, r.scores.precision);
        std::printf("\n");
    }
}

void countFrames(const trackData& data, int& runs, long long& frames) {
    runs = 0;
    frames = 0;
    for (const std::vector<eTrackList>& sequence : data) {
        for (const eTrackList& run : sequence) {
            ++runs;
            frames += static_cast<long long>(run[0].size());
        }
    }
}

std::string sequenceRange(int first, int last) {
    return first == last ? "sequence " + std::to_string(first)
                         : "sequences " + std::to_string(first) + "-" + std::to_string(last);
}

// Thins `selection` in one held-out sequence by the std_gamma trackers that agree least with
// the others over its first run (which covers the whole sequence). No annotation is used.
std::vector<int> thin(trackList& run, const std::vector<int>& selection, const std::vector<float>& weights,
                      std::vector<int>& dropped) {
    std::vector<int> local = localRemoval(run, selection, weights);
    std::vector<int> before = selection.empty() ? complement({}, static_cast<int>(run.size())) : selection;
    dropped.clear();
    for (int k : before)
        if (std::find(local.begin(), local.end(), k) == local.end()) dropped.push_back(k);
    return local;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (!options.ok) return 2;
    const syn::DataSetSpec& setup = options.set;
    const Stopwatch wholeRun;

    // ---- The data ----
    Stopwatch step;
    syn::DataSet set = syn::makeDataSet(setup);
    const int trackers = setup.trackers;
    const std::vector<std::string>& trackerNames = set.trackerNames;
    int runs = 0;
    long long frames = 0;
    countFrames(set.data, runs, frames);
    std::printf("Velmora fusion demo, seed %llu\n", static_cast<unsigned long long>(setup.seed));
    std::printf("Synthetic data: %d sequences of %d-%d frames, %d runs, %lld frames in all, %d trackers (%s)\n",
                setup.sequences, setup.minFrames, setup.maxFrames, runs, frames, trackers, step.text().c_str());

    // ---- 1. Every tracker against the fused tracks ----
    std::printf("\n1. Mean overlap over the whole data set (all trackers, equal weights)\n");
    std::vector<Row> rows;
    for (int k = 0; k < trackers; ++k)
        rows.push_back(
            {trackerNames[static_cast<size_t>(k)], score(trackerTracks(set.data, k), set.data, set.annotation)});
    Scores frameByFrame, trajectory;
    step = Stopwatch();
    frameByFrame.overlap = evaluate(set.data, set.annotation, false, {}, {});
    const std::string frameByFrameTime = step.text();
    step = Stopwatch();
    trajectory.overlap = evaluate(set.data, set.annotation, true, {}, {});
    const std::string trajectoryTime = step.text();
    rows.push_back({"fused frame by frame, refined", frameByFrame, true});
    rows.push_back({"fused by trajectory optimisation", trajectory, true});
    printTable(rows, false);
    std::printf("  time: frame-by-frame fusion and scoring %s, trajectory fusion and scoring %s\n",
                frameByFrameTime.c_str(), trajectoryTime.c_str());

    // ---- 2. Learning on annotated sequences, fusing held-out ones ----
    const int training = std::max(1, std::min(setup.sequences - 1, (setup.sequences * 6 + 9) / 10));
    trackData trainData(set.data.begin(), set.data.begin() + training);
    trackList trainAnnotation(set.annotation.begin(), set.annotation.begin() + training);
    trackData testData(set.data.begin() + training, set.data.end());
    trackList testAnnotation(set.annotation.begin() + training, set.annotation.end());
    std::printf("\n2. Learning on %s (annotated), fusing %s (held out)\n", sequenceRange(0, training - 1).c_str(),
                sequenceRange(training, setup.sequences - 1).c_str());

    step = Stopwatch();
    const std::vector<float> weights = calculateTrackerWeights(trainData, trainAnnotation);
    std::printf("\n  Tracker weights: mean attraction to the annotation (%s)\n", step.text().c_str());
    std::printf("    %-14s %8s %13s\n", "tracker", "weight", "mean overlap");
    for (int k = 0; k < trackers; ++k)
        std::printf("    %-14s %8.4f %13.4f\n", trackerNames[static_cast<size_t>(k)].c_str(),
                    weights[static_cast<size_t>(k)],
                    score(trackerTracks(trainData, k), trainData, trainAnnotation).overlap);

    // Global removal: the weakest trackers first, a drop standing only if the data-set score of
    // the annotated sequences rises. One selection per fusion mode.
    std::printf("\n  Global removal on the annotated sequences\n");
    std::vector<int> selection[2];
    for (int mode = 0; mode < 2; ++mode) {
        step = Stopwatch();
        selection[mode] = globalRemoval(trainData, trainAnnotation, weights, mode == 1);
        const std::vector<int> dropped =
            selection[mode].empty() ? std::vector<int>() : complement(selection[mode], trackers);
        std::printf("    %-14s drops %s (%s)\n", mode == 0 ? "frame by frame" : "trajectory",
                    names(dropped, trackerNames).c_str(), step.text().c_str());
    }

    // Local removal: each held-out sequence, without annotation, thins the selection further.
    const int selected = static_cast<int>(std::min(selection[0].empty() ? trackers : selection[0].size(),
                                                   selection[1].empty() ? trackers : selection[1].size()));
    std_gamma = std::min(2, selected - 1);
    std::printf(
        "\n  Local removal (std_gamma = %d): the trackers that agree least with the others in each\n"
        "  held-out sequence, no annotation used\n",
        std_gamma);
    step = Stopwatch();
    std::vector<std::vector<int>> localSelection[2];
    for (size_t i = 0; i < testData.size(); ++i) {
        std::vector<int> dropped[2];
        for (int mode = 0; mode < 2; ++mode)
            localSelection[mode].push_back(thin(testData[i][0], selection[mode], weights, dropped[mode]));
        std::printf("    sequence %-3zu frame by frame drops %s; trajectory drops %s\n", training + i,
                    names(dropped[0], trackerNames).c_str(), names(dropped[1], trackerNames).c_str());
    }
    std::printf("    (%s)\n", step.text().c_str());

    // Fuse every held-out run four ways: both modes, with all trackers at equal weight and
    // with the learnt weights and selections.
    rows.clear();
    for (int k = 0; k < trackers; ++k)
        rows.push_back(
            {trackerNames[static_cast<size_t>(k)], score(trackerTracks(testData, k), testData, testAnnotation)});
    const char* const labels[4] = {"frame by frame, all trackers", "frame by frame, learnt", "trajectory, all trackers",
                                   "trajectory, learnt"};
    std::string times[4];
    int fallbacks = 0;
    for (int variant = 0; variant < 4; ++variant) {
        const int mode = variant / 2;
        const bool learnt = variant % 2 == 1;
        RunTracks fused(testData.size());
        step = Stopwatch();
        for (size_t i = 0; i < testData.size(); ++i) {
            for (eTrackList& run : testData[i]) {
                std::vector<int> chosen = learnt ? localSelection[mode][i] : std::vector<int>();
                const std::vector<float> w = learnt ? weights : std::vector<float>();
                if (mode == 1 && !attractsInEveryFrame(run, chosen, w)) {
                    chosen.clear();  // all trackers: the steady ones report a box in every frame
                    ++fallbacks;
                }
                track result;
                if (mode == 1)
                    performFusionForAllFrames_TrajectoryOptimization(run, result, chosen, w, false, true);
                else
                    performFusionForAllFrames(run, result, chosen, w, true);
                fused[i].push_back(result);
            }
        }
        times[variant] = step.text();
        rows.push_back({std::string("fused ") + labels[variant], score(fused, testData, testAnnotation), true});
    }
    std::printf(
        "\n  Held-out sequences: mean overlap, success rate at overlap 0.5, precision at 20 pixels\n"
        "  (learnt: the learnt weights and the trackers that global and local removal kept)\n");
    printTable(rows, true);
    std::printf("  time:");
    for (int variant = 0; variant < 4; ++variant)
        std::printf("%s %s %s", variant == 0 ? "" : ",", labels[variant], times[variant].c_str());
    std::printf("\n");
    if (fallbacks > 0)
        std::printf("  (%d runs fell back to all trackers: a frame had no selected box to fuse)\n", fallbacks);

    std::printf("\nTotal %s\n", wholeRun.text().c_str());
    return 0;
}

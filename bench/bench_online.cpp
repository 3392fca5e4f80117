// Live fusion: the latency of one push against the whole-sequence fusion's cost per frame, and
// the fused AUC against the lag, on deterministic synthetic data.
//
//   build-release/bench/velmora_bench_online                              everything
//   build-release/bench/velmora_bench_online --benchmark_filter=Push      the latencies only
//   build-release/bench/velmora_bench_online --benchmark_filter=LagAuc    the AUC against the lag only
//
// BM_OnlinePush streams every frame of a set of 20 sequences (1,000 to 3,000 frames, about
// 40,000 in all) through an OnlineFuser, timing each push on its own (wall clock) for the median
// and 99th percentile, and the whole stream in processor time for the mean; next to it the
// whole-sequence call's processor time per frame on the same frames, and the ratio of the two
// means. Shared machines vary from one second to the next: the means are the best of seven
// rounds, every benchmark repeats five times, and the _median rows give the medians of the
// repetitions.
//
// BM_OnlineLagAuc fuses a LaSOT-sized set (280 sequences of 1,000 to 3,900 frames, about 685,000
// frames, 10 trackers) live with each lag and scores the fused tracks: the AUC of the success
// plot (21 overlap thresholds 0, 0.05, ..., 1; a frame succeeds when its overlap exceeds the
// threshold), averaged over the sequences. Lag 0 and the unbounded lag are checked to the bit
// against the whole-sequence calls on the way.
#include "approach.h"
#include "online.h"
#include "synthetic.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

namespace syn = velmora::synthetic;
using Box = cv::Rect_<float>;

syn::DataSet makeSet(std::uint64_t seed, int sequences, int minFrames, int maxFrames, int trackers) {
    syn::DataSetSpec options;
    options.seed = seed;
    options.sequences = sequences;
    options.minFrames = minFrames;
    options.maxFrames = maxFrames;
    options.maxRuns = 1;
    options.trackers = trackers;
    return syn::makeDataSet(options);
}

// 24 trackers over 20 sequences; a benchmark of n trackers uses the first n.
const syn::DataSet& latencyData() {
    static const syn::DataSet data = makeSet(2026, 20, 1000, 3000, 24);
    return data;
}

// The first `n` trackers of a run, and the same as one frame of boxes per push.
struct Frames {
    trackList run;
    std::vector<track> frames;
};

std::vector<Frames> framesOf(const syn::DataSet& data, int n) {
    std::vector<Frames> out;
    for (const auto& runs : data.data) {
        Frames f;
        f.run.assign(runs[0].begin(), runs[0].begin() + n);
        for (size_t t = 0; t < f.run[0].size(); ++t) {
            track frame;
            for (const track& tr : f.run) frame.push_back(tr[t]);
            f.frames.push_back(frame);
        }
        out.push_back(std::move(f));
    }
    return out;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The processor time of this thread: unlike the wall clock, it does not count the moments
// another process holds the core.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Arguments: trackers, refine, mode (0 frame by frame, 1 trajectory with lag 0, 2 with lag 15).
void BM_OnlinePush(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const bool refine = state.range(1) != 0;
    const int mode = static_cast<int>(state.range(2));
    const OnlineMode online = mode == 0 ? OnlineMode::FrameByFrame : OnlineMode::Trajectory;
    const int lag = mode == 2 ? 15 : 0;
    const std::vector<Frames> sequences = framesOf(latencyData(), n);
    size_t total = 0;
    for (const Frames& f : sequences) total += f.frames.size();

    // Each push timed on its own, for the median and the 99th percentile.
    std::vector<double> pushes;
    pushes.reserve(total);
    for (auto _ : state) {
        pushes.clear();
        double elapsed = 0;
        for (const Frames& f : sequences) {
            OnlineFuser stream(n, {}, {}, online, lag, refine);
            for (const track& frame : f.frames) {
                const auto start = std::chrono::steady_clock::now();
                benchmark::DoNotOptimize(stream.push(frame).data());
                pushes.push_back(seconds(start));
            }
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(stream.finish().data());
            elapsed += seconds(start);
        }
        for (double p : pushes) elapsed += p;
        state.SetIterationTime(elapsed);
    }
    // The mean: all frames streamed, against the whole-sequence call on the same frames (frame by
    // frame, or the trajectory, with back-tracking for a lag), in this thread's processor time, each
    // the best of seven rounds taken in turns: the other processes of a busy machine weigh on
    // neither.
    double streamed = 1e30, offline = 1e30;
    track result;
    for (int round = 0; round < 7; ++round) {
        double start = threadSeconds();
        for (const Frames& f : sequences) {
            OnlineFuser stream(n, {}, {}, online, lag, refine);
            for (const track& frame : f.frames) benchmark::DoNotOptimize(stream.push(frame).data());
            benchmark::DoNotOptimize(stream.finish().data());
        }
        streamed = std::min(streamed, threadSeconds() - start);
        start = threadSeconds();
        for (const Frames& f : sequences) {
            trackList run = f.run;
            if (online == OnlineMode::FrameByFrame)
                performFusionForAllFrames(run, result, {}, {}, refine);
            else
                performFusionForAllFrames_TrajectoryOptimization(run, result, {}, {}, lag == 0, refine);
            benchmark::DoNotOptimize(result.data());
        }
        offline = std::min(offline, threadSeconds() - start);
    }
    std::sort(pushes.begin(), pushes.end());
    const double frames = static_cast<double>(total);
    state.counters["median_us"] = pushes[pushes.size() / 2] * 1e6;
    state.counters["p99_us"] = pushes[pushes.size() * 99 / 100] * 1e6;
    state.counters["mean_us"] = streamed / frames * 1e6;
    state.counters["offline_us"] = offline / frames * 1e6;
    state.counters["mean/offline"] = streamed / offline;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_OnlinePush)
    ->ArgNames({"trackers", "refine", "mode"})
    ->ArgsProduct({{4, 10, 24}, {0, 1}, {0, 1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Overlap (intersection over union) of two boxes, in double; 0 for boxes without area.
double overlap(const Box& a, const Box& b) {
    const double w = std::min<double>(a.x + a.width, b.x + b.width) - std::max<double>(a.x, b.x);
    const double h = std::min<double>(a.y + a.height, b.y + b.height) - std::max<double>(a.y, b.y);
    if (!(w > 0 && h > 0)) return 0.0;
    const double inter = w * h;
    return inter / (static_cast<double>(a.width) * a.height + static_cast<double>(b.width) * b.height - inter);
}

// The AUC of the success plot of one track: the mean over thresholds 0, 0.05, ..., 1 of the
// share of frames whose overlap exceeds the threshold.
double auc(const track& fused, const track& truth) {
    double sum = 0;
    std::vector<double> overlaps;
    for (size_t f = 0; f < fused.size(); ++f) overlaps.push_back(overlap(fused[f], truth[f]));
    for (int i = 0; i <= 20; ++i) {
        const double threshold = i * 0.05;
        size_t passed = 0;
        for (double o : overlaps) passed += o > threshold;
        sum += static_cast<double>(passed) / static_cast<double>(overlaps.size());
    }
    return sum / 21.0;
}

const syn::DataSet& lasotSized() {
    static const syn::DataSet data = makeSet(685, 280, 1000, 3900, 10);
    return data;
}

bool sameBits(const track& a, const track& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Box)) == 0;
}

// Argument: the lag (-1 unbounded); -2 stands for frame-by-frame fusion, for comparison.
void BM_OnlineLagAuc(benchmark::State& state) {
    const int lag = static_cast<int>(state.range(0));
    const syn::DataSet& data = lasotSized();
    const int n = static_cast<int>(data.data[0][0].size());
    double sum = 0;
    long frames = 0;
    bool exact = true;
    for (auto _ : state) {
        sum = 0;
        frames = 0;
        for (size_t i = 0; i < data.data.size(); ++i) {
            const trackList& run = data.data[i][0];
            OnlineFuser stream(n, {}, {}, lag == -2 ? OnlineMode::FrameByFrame : OnlineMode::Trajectory,
                               lag == -2 ? 0 : lag, true);
            track fused, frame(static_cast<size_t>(n));
            for (size_t t = 0; t < run[0].size(); ++t) {
                for (int k = 0; k < n; ++k) frame[k] = run[k][t];
                const track& decided = stream.push(frame);
                fused.insert(fused.end(), decided.begin(), decided.end());
            }
            const track& rest = stream.finish();
            fused.insert(fused.end(), rest.begin(), rest.end());
            sum += auc(fused, data.annotation[i]);
            frames += static_cast<long>(fused.size());
            if (lag == 0 || lag == -1) {  // the whole-sequence call, to the bit
                trackList copy = run;
                track whole;
                performFusionForAllFrames_TrajectoryOptimization(copy, whole, {}, {}, lag == 0, true);
                exact = exact && sameBits(whole, fused);
            }
        }
    }
    if (!exact) state.SkipWithError("the stream differs from the whole-sequence call");
    state.counters["AUC"] = sum / static_cast<double>(data.data.size());
    state.counters["frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_OnlineLagAuc)
    ->ArgName("lag")
    ->Arg(-2)
    ->Arg(0)
    ->Arg(1)
    ->Arg(5)
    ->Arg(15)
    ->Arg(30)
    ->Arg(60)
    ->Arg(-1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

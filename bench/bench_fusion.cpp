// Fast path against the straightforward path, on a deterministic synthetic data set of about
// 40 sequences of 200 to 1500 frames, 1 to 3 runs each, 24 trackers. Every operation runs
// both ways in the same process; a summary table at the end gives the times, their ratio and
// the kernels' attractions per second, next to the processor's division limit.
//
//   build-release/bench/velmora_bench                       everything (a few minutes)
//   build-release/bench/velmora_bench --benchmark_filter=Kernel   the kernels only
//   build-release/bench/velmora_bench --kernels=avx2         the fast path on AVX2 (or sse2, avx512;
//                                                            baseline or neon on ARM64)
#include "approach.h"
#include "detail/kernels.h"
#include "detail/reference.h"
#include "synthetic.h"

#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

namespace vd = velmora::detail;
namespace ref = velmora::reference;
namespace syn = velmora::synthetic;
using Box = cv::Rect_<float>;

syn::DataSet makeBenchSet(std::uint64_t seed, int sequences, int minFrames, int maxFrames, int maxRuns, int trackers) {
    syn::DataSetSpec options;
    options.seed = seed;
    options.sequences = sequences;
    options.minFrames = minFrames;
    options.maxFrames = maxFrames;
    options.maxRuns = maxRuns;
    options.trackers = trackers;
    return syn::makeDataSet(options);
}

// The data set is made once, outside every timed loop.
const syn::DataSet& benchData() {
    static const syn::DataSet data = makeBenchSet(2026, 40, 200, 1500, 3, 24);
    return data;
}

// A smaller set for global removal, which evaluates the data set once per tracker weight.
const syn::DataSet& removalData() {
    static const syn::DataSet data = makeBenchSet(7, 8, 100, 300, 2, 12);
    return data;
}

long frameCount(const trackData& data) {
    long frames = 0;
    for (const auto& runs : data)
        for (const auto& run : runs) frames += static_cast<long>(run[0].size());
    return frames;
}

// The path a benchmark takes: state.range(0) == 0 is the straightforward path, 1 the fast one,
// on the processor's best instruction set or the one --kernels= names.
bool fast(const benchmark::State& state) { return state.range(0) != 0; }

void BM_evaluate(benchmark::State& state) {
    syn::DataSet data = benchData();
    const bool trajectory = state.range(1) != 0;
    const auto evaluateOn = fast(state) ? static_cast<decltype(&ref::evaluate)>(&evaluate) : &ref::evaluate;
    omp_set_num_threads(static_cast<int>(state.range(2)));
    for (auto _ : state) benchmark::DoNotOptimize(evaluateOn(data.data, data.annotation, trajectory, {}, {}));
    omp_set_num_threads(omp_get_num_procs());
    state.SetItemsProcessed(state.iterations() * frameCount(data.data));
    state.counters["frames"] = static_cast<double>(frameCount(data.data));
}
BENCHMARK(BM_evaluate)
    ->ArgNames({"fast", "trajectory", "threads"})
    ->Args({0, 0, 1})
    ->Args({1, 0, 1})
    ->Args({0, 1, 1})
    ->Args({1, 1, 1})
    ->Args({1, 0, 2})
    ->Args({1, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);

// The 2-thread speed-up measured in pairs: each iteration times the evaluation on one thread
// and then on two, back to back, so that both see the same moment of a shared machine; the
// counter is the median of the iterations' ratios.
void BM_evaluateSpeedUp(benchmark::State& state) {
    syn::DataSet data = benchData();
    const bool trajectory = state.range(1) != 0;
    std::vector<double> ratios;
    auto seconds = [&](int threads) {
        omp_set_num_threads(threads);
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(evaluate(data.data, data.annotation, trajectory, {}, {}));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (auto _ : state) {
        const double one = seconds(1);
        ratios.push_back(one / seconds(2));
    }
    omp_set_num_threads(omp_get_num_procs());
    std::sort(ratios.begin(), ratios.end());
    state.counters["speed-up"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
}
BENCHMARK(BM_evaluateSpeedUp)
    ->ArgNames({"fast", "trajectory"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

void BM_calculateTrackerWeights(benchmark::State& state) {
    syn::DataSet data = benchData();
    const auto weightsOf = fast(state) ? &calculateTrackerWeights : &ref::calculateTrackerWeights;
    for (auto _ : state) benchmark::DoNotOptimize(weightsOf(data.data, data.annotation));
    state.SetItemsProcessed(state.iterations() * frameCount(data.data) * 24);
}
BENCHMARK(BM_calculateTrackerWeights)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_globalRemoval(benchmark::State& state) {
    syn::DataSet data = removalData();
    const std::vector<float> weights = calculateTrackerWeights(data.data, data.annotation);
    const auto removal = fast(state) ? &globalRemoval : &ref::globalRemoval;
    omp_set_num_threads(1);
    for (auto _ : state) benchmark::DoNotOptimize(removal(data.data, data.annotation, weights, false));
    omp_set_num_threads(omp_get_num_procs());
}
BENCHMARK(BM_globalRemoval)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The longest run of the data set: one sequence, as tracker performances see it.
trackList& longestRun() {
    static trackList run = [] {
        const syn::DataSet& data = benchData();
        const eTrackList* longest = &data.data[0][0];
        for (const auto& runs : data.data)
            for (const auto& r : runs)
                if (r[0].size() > (*longest)[0].size()) longest = &r;
        return trackList(longest->begin(), longest->end());
    }();
    return run;
}

void BM_calculateTrackerPerformances(benchmark::State& state) {
    trackList& run = longestRun();
    const auto performancesOf = fast(state) ? &calculateTrackerPerformances : &ref::calculateTrackerPerformances;
    for (auto _ : state) benchmark::DoNotOptimize(performancesOf(run, {}, {}));
    state.SetItemsProcessed(state.iterations() * static_cast<long>(run[0].size()));
}
BENCHMARK(BM_calculateTrackerPerformances)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_localRemoval(benchmark::State& state) {
    trackList& run = longestRun();
    const auto removal = fast(state) ? &localRemoval : &ref::localRemoval;
    std_gamma = 6;
    for (auto _ : state) benchmark::DoNotOptimize(removal(run, {}, {}));
    std_gamma = -1;
    state.SetItemsProcessed(state.iterations() * static_cast<long>(run[0].size()));
}
BENCHMARK(BM_localRemoval)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- Kernels ----

// One frame of n boxes around a common object, in the layout the kernels read.
struct KernelFrame {
    explicit KernelFrame(int count) : n(count) {
        const size_t padded = static_cast<size_t>(vd::paddedCount(n));
        for (auto* v : {&cx, &cy}) v->assign(padded, 0.5f);
        for (auto* v : {&w, &h, &weight}) v->assign(padded, 1.0f);
        totals.assign(padded, 0.0f);
        table.assign(padded * padded, 0.0f);
        syn::Random random(99);
        for (int i = 0; i < n; ++i) {
            const float x = static_cast<float>(random.uniform(100, 120));
            const float y = static_cast<float>(random.uniform(50, 70));
            w[i] = static_cast<float>(random.uniform(40, 60));
            h[i] = static_cast<float>(random.uniform(80, 100));
            cx[i] = w[i] * 0.5f + x;
            cy[i] = h[i] * 0.5f + y;
        }
    }
    vd::FrameView view() const { return {w.data(), h.data(), cx.data(), cy.data(), weight.data(), n}; }
    int n;
    std::vector<float> w, h, cx, cy, weight, totals, table;
};

vd::FieldParams defaultParams() { return {4.0f, 0.25f, true, 0.03f}; }

void BM_KernelPairTable(benchmark::State& state) {
    const vd::Kernels& kernels = vd::activeKernels();
    KernelFrame frame(static_cast<int>(state.range(0)));
    const vd::FieldParams params = defaultParams();
    const int stride = vd::paddedCount(frame.n);
    for (auto _ : state) {
        kernels.pairTable(frame.view(), params, frame.table.data(), stride);
        benchmark::ClobberMemory();
    }
    // Box pairs: each computed attraction serves both orders.
    state.counters["attractions/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * frame.n * (frame.n + 1) / 2.0, benchmark::Counter::kIsRate);
    state.SetLabel(vd::activeInstructionSet().name);
}
BENCHMARK(BM_KernelPairTable)->ArgName("trackers")->Arg(24)->Arg(64);

// One round of the climb for every frame of the first run: with a limit of one move, a
// climb ends after its first round whatever it finds, so each frame costs exactly eight
// neighbours against every tracker.
void BM_KernelClimb(benchmark::State& state) {
    const vd::Kernels& kernels = vd::activeKernels();
    const eTrackList& run = benchData().data[0][0];
    const int n = static_cast<int>(run.size());
    const int frames = static_cast<int>(run[0].size());
    std::vector<const float*> tracks;
    for (const track& t : run) tracks.push_back(&t[0].x);
    const std::vector<float> weights(static_cast<size_t>(n), 1.0f), currents(static_cast<size_t>(frames), 0.0f),
        limits(static_cast<size_t>(frames), 1.0f);
    std::vector<float> work(static_cast<size_t>(vd::frameWork(n)));
    const vd::FieldParams params = defaultParams();
    track boxes;
    for (auto _ : state) {
        state.PauseTiming();
        boxes = run[0];
        state.ResumeTiming();
        kernels.climbFrames(tracks.data(), n, weights.data(), params, 0, frames, currents.data(), limits.data(),
                            &boxes[0].x, work.data());
        benchmark::ClobberMemory();
    }
    state.counters["attractions/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * frames * 8 * n, benchmark::Counter::kIsRate);
    state.SetLabel(vd::activeInstructionSet().name);
}
BENCHMARK(BM_KernelClimb);

void BM_KernelAttractionSums(benchmark::State& state) {
    const vd::Kernels& kernels = vd::activeKernels();
    // The first run of the first sequence: every tracker against the annotation.
    const eTrackList& run = benchData().data[0][0];
    const track& truth = benchData().annotation[0];
    std::vector<const float*> tracks;
    std::vector<int> counts;
    for (const track& t : run) {
        tracks.push_back(&t[0].x);
        counts.push_back(static_cast<int>(std::min(t.size(), truth.size())));
    }
    std::vector<float> sums(run.size());
    const vd::FieldParams params = defaultParams();
    for (auto _ : state) {
        kernels.attractionSums(tracks.data(), counts.data(), static_cast<int>(run.size()), &truth[0].x, params,
                               sums.data());
        benchmark::ClobberMemory();
    }
    double attractions = 0;
    for (int c : counts) attractions += c;
    state.counters["attractions/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * attractions, benchmark::Counter::kIsRate);
    state.SetLabel(vd::activeInstructionSet().name);
}
BENCHMARK(BM_KernelAttractionSums);

// The division limit: eight independent chains of vector divisions, as many lanes as the
// active kernels' widest vector. An attraction needs five divisions, so a fifth of this rate
// is the most attractions per second any bit-exact kernel can reach.
template <int Lanes>
__attribute__((always_inline)) inline void divide(benchmark::State& state) {
    typedef float V __attribute__((vector_size(Lanes * sizeof(float))));
    V v[8];
    for (int i = 0; i < 8; ++i) v[i] = V{} + 1e30f;
    const V d = V{} + 1.0000001f;
    for (auto _ : state) {
        for (int r = 0; r < 64; ++r)
            for (int i = 0; i < 8; ++i) v[i] = v[i] / d;
        asm volatile("" : "+m"(v));  // the quotients count as used
    }
    state.counters["divisions/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 64 * 8 * Lanes, benchmark::Counter::kIsRate);
    state.counters["attractions/s limit"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 64 * 8 * Lanes / 5.0, benchmark::Counter::kIsRate);
}
#if defined(__x86_64__) || defined(_M_X64)
__attribute__((target("avx2"))) void divideAvx2(benchmark::State& state) { divide<8>(state); }
__attribute__((target("avx512f"))) void divideAvx512(benchmark::State& state) { divide<16>(state); }
#endif

void BM_KernelDivisionLimit(benchmark::State& state) {
    const std::string set = vd::activeInstructionSet().name;
#if defined(__x86_64__) || defined(_M_X64)
    if (set == "avx512") {
        divideAvx512(state);
        state.SetLabel("512-bit");
        return;
    }
    if (set == "avx2") {
        divideAvx2(state);
        state.SetLabel("256-bit");
        return;
    }
#endif
    // The baseline levels (SSE2 on x86-64) and NEON: 128-bit vectors.
    divide<4>(state);
    state.SetLabel("128-bit");
}
BENCHMARK(BM_KernelDivisionLimit);

// Collects every run's time and prints the comparison table after the usual output.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark; a single run stands for itself.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            Entry& e = entries_[run.run_name.str()];
            if (e.median && !median) continue;
            e.median = median;
            e.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [name, counter] : run.counters) e.counters[name] = counter.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-34s %16s %12s %8s\n", "operation", "straightforward", "fast", "ratio");
        const char* pairs[][3] = {
            {"evaluate, frame by frame", "BM_evaluate/fast:0/trajectory:0/threads:1/min_time:0.500/real_time",
             "BM_evaluate/fast:1/trajectory:0/threads:1/min_time:0.500/real_time"},
            {"evaluate, trajectory", "BM_evaluate/fast:0/trajectory:1/threads:1/min_time:0.500/real_time",
             "BM_evaluate/fast:1/trajectory:1/threads:1/min_time:0.500/real_time"},
            {"calculateTrackerWeights", "BM_calculateTrackerWeights/fast:0", "BM_calculateTrackerWeights/fast:1"},
            {"globalRemoval", "BM_globalRemoval/fast:0/real_time", "BM_globalRemoval/fast:1/real_time"},
            {"calculateTrackerPerformances", "BM_calculateTrackerPerformances/fast:0",
             "BM_calculateTrackerPerformances/fast:1"},
            {"localRemoval", "BM_localRemoval/fast:0", "BM_localRemoval/fast:1"},
        };
        for (const auto& [label, slow, fast] : pairs) {
            if (!entries_.count(slow) || !entries_.count(fast)) continue;
            const double s = entries_[slow].seconds, f = entries_[fast].seconds;
            std::printf("%-34s %14.2f ms %9.2f ms %7.1fx\n", label, s * 1e3, f * 1e3, s / f);
        }
        const char* threads[][4] = {
            {"evaluate on 2 threads, frame", "BM_evaluate/fast:1/trajectory:0/threads:1/min_time:0.500/real_time",
             "BM_evaluate/fast:1/trajectory:0/threads:2/min_time:0.500/real_time",
             "BM_evaluateSpeedUp/fast:1/trajectory:0/min_time:1.000/real_time"},
            {"evaluate on 2 threads, trajectory", "BM_evaluate/fast:1/trajectory:1/threads:1/min_time:0.500/real_time",
             "BM_evaluate/fast:1/trajectory:1/threads:2/min_time:0.500/real_time",
             "BM_evaluateSpeedUp/fast:1/trajectory:1/min_time:1.000/real_time"},
        };
        std::printf("\n%-34s %16s %12s %8s %8s\n", "parallel evaluation", "1 thread", "2 threads", "speed-up",
                    "paired");
        for (const auto& [label, one, two, paired] : threads) {
            if (!entries_.count(one) || !entries_.count(two)) continue;
            const double a = entries_[one].seconds, b = entries_[two].seconds;
            const double speedUp = entries_.count(paired) ? entries_[paired].counters["speed-up"] : 0.0;
            std::printf("%-34s %14.2f ms %9.2f ms %7.2fx %7.2fx\n", label, a * 1e3, b * 1e3, a / b, speedUp);
        }
        std::printf("\n%-34s %16s\n", ("kernel (" + std::string(vd::activeInstructionSet().name) + ")").c_str(),
                    "attractions/s");
        for (const auto& [name, entry] : entries_) {
            if (name.rfind("BM_Kernel", 0) != 0) continue;
            for (const auto& [counter, value] : entry.counters)
                if (counter.find("/s") != std::string::npos)
                    std::printf("%-34s %16.3g  (%s)\n", name.substr(3).c_str(), value, counter.c_str());
        }
    }

private:
    struct Entry {
        bool median = false;
        double seconds = 0;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Entry> entries_;
};

}  // namespace

int main(int argc, char** argv) {
    // Shared machines vary by tens of percent from one second to the next. Unless told
    // otherwise, every benchmark runs five times, the repetitions of all benchmarks shuffled
    // together, and the summary compares medians: the two paths of a ratio then see the same
    // mix of quiet and busy moments.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--kernels=", 0) != 0) {
            args.push_back(argv[i]);
            continue;
        }
        const std::string name = arg.substr(10);
        const vd::InstructionSet* chosen = nullptr;
        std::string names;
        for (const vd::InstructionSet& set : vd::kInstructionSets) {
            names += (names.empty() ? "" : ", ") + std::string(set.name);
            if (name == set.name) chosen = &set;
        }
        if (!chosen) {
            std::fprintf(stderr, "velmora_bench: --kernels= takes one of %s\n", names.c_str());
            return 1;
        }
        if (!chosen->supported()) {
            std::fprintf(stderr, "velmora_bench: this processor has no %s\n", name.c_str());
            return 1;
        }
        vd::setInstructionSet(*chosen);
    }
    auto given = [&](const std::string& flag) {
        return std::any_of(args.begin(), args.end(), [&](const char* a) { return std::string(a).rfind(flag, 0) == 0; });
    };
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleaving[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    if (!given("--benchmark_repetitions")) args.push_back(repetitions);
    if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleaving);
    if (!given("--benchmark_report_aggregates_only")) args.push_back(aggregates);
    argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

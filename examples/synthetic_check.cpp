// Checks of the synthetic data generator: the same seed gives the same data on every machine
// (a recorded digest), and the data keeps the promises that the examples, benchmarks and
// tests rely on. Exits 1 and names every failed check.
#include "synthetic.h"

#include <cmath>
#include <cstdio>

namespace {

namespace syn = velmora::synthetic;

int failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            ++failures;                                                               \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                             \
    } while (0)

// Digest of makeDataSet(DataSetSpec{}) (seed 1). A change here means every recorded number
// that was computed on synthetic data changes too: update it only on purpose.
constexpr std::uint64_t kDefaultDigest = 0xD058689BDFED186Bull;

bool positive(const cv::Rect_<float>& b) { return b.width > 0 && b.height > 0; }
bool zero(const cv::Rect_<float>& b) { return b.x == 0 && b.y == 0 && b.width == 0 && b.height == 0; }

void checkRandom() {
    syn::Random a(42), b(42), c(43);
    bool same = true, differs = false;
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t x = a.next(), y = b.next(), z = c.next();
        same = same && x == y;
        differs = differs || x != z;
    }
    CHECK(same);
    CHECK(differs);

    // Moments of the normal and uniform conversions over many draws; the stream is fixed, so
    // these bounds hold or fail the same way on every run.
    syn::Random r(7);
    constexpr int kDraws = 200000;
    double sum = 0, squares = 0, usum = 0;
    double lowest = 1, highest = 0;
    for (int i = 0; i < kDraws; ++i) {
        const double n = r.normal();
        sum += n;
        squares += n * n;
        const double u = r.uniform();
        usum += u;
        lowest = std::min(lowest, u);
        highest = std::max(highest, u);
    }
    CHECK(std::fabs(sum / kDraws) < 0.01);
    CHECK(std::fabs(squares / kDraws - 1.0) < 0.02);
    CHECK(std::fabs(usum / kDraws - 0.5) < 0.005);
    CHECK(lowest >= 0 && highest < 1);

    bool inRange = true, sawLo = false, sawHi = false;
    for (int i = 0; i < 1000; ++i) {
        const int v = r.between(-2, 3);
        inRange = inRange && v >= -2 && v <= 3;
        sawLo = sawLo || v == -2;
        sawHi = sawHi || v == 3;
    }
    CHECK(inRange && sawLo && sawHi);
    CHECK(r.between(5, 5) == 5);
}

void checkDataSet() {
    const syn::DataSetSpec options;
    const syn::DataSet set = syn::makeDataSet(options);
    const std::uint64_t d = syn::digest(set.data, set.annotation);
    if (d != kDefaultDigest)
        std::printf("digest of the default data set: 0x%016llX\n", static_cast<unsigned long long>(d));
    CHECK(d == kDefaultDigest);

    const syn::DataSet again = syn::makeDataSet(options);
    CHECK(syn::digest(again.data, again.annotation) == d);
    syn::DataSetSpec other = options;
    other.seed = 2;
    const syn::DataSet different = syn::makeDataSet(other);
    CHECK(syn::digest(different.data, different.annotation) != d);

    CHECK(static_cast<int>(set.data.size()) == options.sequences);
    CHECK(set.annotation.size() == set.data.size());
    CHECK(static_cast<int>(set.trackerNames.size()) == options.trackers);
    CHECK(set.trackers.size() == set.trackerNames.size());

    int zeroBoxes = 0, lostFrames = 0, extraRuns = 0;
    bool neverFailingHoldUp = true, runsFit = true, startOnTruth = true, shapes = true, smooth = true;
    for (size_t i = 0; i < set.data.size(); ++i) {
        const track& truth = set.annotation[i];
        const int frames = static_cast<int>(truth.size());
        CHECK(frames >= options.minFrames && frames <= options.maxFrames);
        CHECK(!set.data[i].empty() && static_cast<int>(set.data[i].size()) <= options.maxRuns);
        for (size_t f = 0; f < truth.size(); ++f) {
            const cv::Rect_<float>& g = truth[f];
            shapes = shapes && positive(g) && g.x == std::floor(g.x) && g.width == std::floor(g.width) && g.x >= -1 &&
                     g.y >= -1 && g.x + g.width <= 1281 && g.y + g.height <= 721;
            if (f > 0) {
                const cv::Rect_<float>& p = truth[f - 1];
                const double dx = (g.x + 0.5 * g.width) - (p.x + 0.5 * p.width);
                const double dy = (g.y + 0.5 * g.height) - (p.y + 0.5 * p.height);
                smooth = smooth && std::fabs(dx) < 40 && std::fabs(dy) < 40 &&
                         std::fabs(g.width - p.width) <= 0.03 * p.width + 1;
            }
        }
        for (size_t j = 0; j < set.data[i].size(); ++j) {
            const eTrackList& run = set.data[i][j];
            if (j > 0) ++extraRuns;
            const int length = static_cast<int>(run[0].size());
            runsFit = runsFit && run.startFrame >= 1 && run.startFrame - 1 + length <= frames && length >= 1;
            if (j == 0) runsFit = runsFit && run.startFrame == 1 && length == frames;
            CHECK(static_cast<int>(run.size()) == options.trackers);
            for (size_t k = 0; k < run.size(); ++k) {
                const track& t = run[k];
                runsFit = runsFit && static_cast<int>(t.size()) == length;
                startOnTruth = startOnTruth && t[0] == truth[static_cast<size_t>(run.startFrame - 1)];
                const bool mustHold = syn::neverFails(set.trackers[k].kind);
                for (size_t f = 0; f < t.size(); ++f) {
                    if (zero(t[f])) ++zeroBoxes;
                    if (mustHold) neverFailingHoldUp = neverFailingHoldUp && positive(t[f]);
                    // Drifted off: no overlap with the truth although the tracker reports a box.
                    const cv::Rect_<float>& g = truth[static_cast<size_t>(run.startFrame - 1) + f];
                    if (positive(t[f]) && (t[f] & g).area() <= 0) ++lostFrames;
                }
            }
        }
    }
    CHECK(neverFailingHoldUp);
    CHECK(runsFit);
    CHECK(startOnTruth);
    CHECK(shapes);
    CHECK(smooth);
    CHECK(zeroBoxes > 0);   // some trackers report failure boxes
    CHECK(lostFrames > 0);  // some trackers drift off the object
    CHECK(extraRuns > 0);   // some sequences have several runs

    // Tracker k's boxes do not depend on how many trackers there are.
    syn::DataSetSpec fewer = options;
    fewer.trackers = 3;
    const syn::DataSet small = syn::makeDataSet(fewer);
    bool independent = small.annotation == set.annotation;
    for (size_t i = 0; i < small.data.size(); ++i)
        for (size_t j = 0; j < small.data[i].size(); ++j)
            for (size_t k = 0; k < 3; ++k) independent = independent && small.data[i][j][k] == set.data[i][j][k];
    CHECK(independent);
    CHECK(syn::neverFails(small.trackers[0].kind));
}

void checkEdges() {
    const std::vector<syn::TrackerProfile> one = syn::makeTrackerProfiles(5, 1);
    const syn::Sequence single = syn::makeSequence(9, 1, 3, one);
    CHECK(single.annotation.size() == 1);
    for (const eTrackList& run : single.runs) CHECK(run.startFrame == 1 && run[0].size() == 1);
    CHECK(syn::makeTrackerProfiles(5, 0).empty());
    const syn::Scene scene = syn::makeScene(9, 50);
    CHECK(scene.truth.size() == 50);
    CHECK(syn::makeRun(one, scene, 1, 0, 3)[0].empty());
    CHECK(syn::makeRun(one, scene, 50, 1, 3)[0][0] == scene.truth[49]);
}

}  // namespace

int main() {
    checkRandom();
    checkDataSet();
    checkEdges();
    std::printf("%s\n", failures == 0 ? "synthetic data: all checks passed" : "synthetic data: checks failed");
    return failures == 0 ? 0 : 1;
}

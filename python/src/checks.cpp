#include "checks.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace velmora::python {

// ---- Texts shared by the messages ----

std::string number(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string count(size_t n, const std::string& noun, const std::string& plural) {
    return std::to_string(n) + " " + (n == 1 ? noun : plural.empty() ? noun + "s" : plural);
}

std::string indexed(const std::string& name, size_t i) { return name + "[" + std::to_string(i) + "]"; }

std::string listText(const std::vector<int>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + std::to_string(values[i]);
    return text + "]";
}

std::string boxText(const Box& b) {
    return "(" + number(b.x) + ", " + number(b.y) + ", " + number(b.width) + ", " + number(b.height) + ")";
}

std::vector<int> allTrackers(size_t trackerCount) {
    std::vector<int> selection(trackerCount);
    for (size_t k = 0; k < trackerCount; ++k) selection[k] = static_cast<int>(k);
    return selection;
}

namespace {

// The greatest squared weight of the selected trackers, 1 for the empty list (all 1.0); a NaN
// weight counts 0, as the library's terms do.
double greatestSquaredWeight(const std::vector<float>& weights, const std::vector<int>& selection) {
    if (weights.empty()) return 1.0;
    double greatest = 0.0;
    for (int k : selection) {
        const double w = weights[k];
        if (!std::isnan(w)) greatest = std::max(greatest, w * w);
    }
    return greatest;
}

}  // namespace

// ---- Parameters ----

void checkAlphaOrSigma(const char* name, float value, const std::string& given) {
    if (!(value > 0.0f) || !std::isfinite(value))
        valueError(std::string(name) + ": must be above 0 and finite as a float32, got " + given);
}

void checkBeta(float value, const std::string& given) {
    if (!std::isfinite(value)) valueError("beta: must be finite as a float32, got " + given);
}

void checkGammaSetting(int value) {
    if (value < -1) valueError("gamma: must be -1 (unset) or a number of trackers, got " + std::to_string(value));
}

void checkParameters(bool readsBeta) {
    checkAlphaOrSigma("alpha", std_alpha, number(std_alpha));
    checkAlphaOrSigma("sigma", std_sigma, number(std_sigma));
    if (readsBeta) checkBeta(std_beta, number(std_beta));
}

// ---- Boxes ----

void checkTrackerBoxes(const trackList& trackers, const std::string& name, size_t firstFrame) {
    for (size_t k = 0; k < trackers.size(); ++k)
        for (size_t f = 0; f < trackers[k].size(); ++f) {
            const Box& b = trackers[k][f];
            if (std::isnan(b.x) || std::isnan(b.y) || std::isnan(b.width) || std::isnan(b.height)) continue;
            const char* problem = nullptr;
            if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.width) || !std::isfinite(b.height))
                problem = " has a coordinate that is not finite";
            else if (b.width < 0.0f || b.height < 0.0f)
                problem = " has a negative width or height";
            if (problem)
                valueError(name + ": tracker " + std::to_string(k) + ", frame " + std::to_string(firstFrame + f) + ": box " +
                           boxText(b) + problem + "; a lost target is a zero or NaN box");
        }
}

void checkAnnotationBoxes(const track& truth, size_t first, size_t end, const std::string& name) {
    for (size_t f = first; f < end; ++f) {
        const Box& b = truth[f];
        const char* problem = nullptr;
        if (std::isnan(b.x) || std::isnan(b.y) || std::isnan(b.width) || std::isnan(b.height))
            problem = " is NaN";
        else if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.width) || !std::isfinite(b.height))
            problem = " has a coordinate that is not finite";
        else if (b.width < 0.0f || b.height < 0.0f)
            problem = " has a negative width or height";
        else if (!std::isfinite(b.width * b.height))  // the overlap's union would be inf - inf
            problem = " is too large: its area overflows float32";
        if (problem)
            valueError(name + ", frame " + std::to_string(f) + ": annotation box " + boxText(b) + problem +
                       "; every annotation frame that is scored needs a real box (leave absent frames out)");
    }
}

// ---- Lists ----

void checkWeightsCover(const std::vector<float>& weights, const std::vector<int>& selection, size_t trackerCount) {
    if (weights.empty()) return;
    const size_t needed = selection.empty()
                              ? trackerCount
                              : static_cast<size_t>(*std::max_element(selection.begin(), selection.end())) + 1;
    if (weights.size() < needed)
        valueError("weights: " + count(weights.size(), "entry", "entries") + " given, none for tracker " +
                   std::to_string(needed - 1) + "; give one weight per tracker index (at least " +
                   std::to_string(needed) + ") or none");
}

void checkReach(size_t first, size_t frames, long long shift, size_t annotationFrames, const char* what) {
    if (first >= frames) return;
    const long long low = static_cast<long long>(first) + shift;
    const long long high = static_cast<long long>(frames) - 1 + shift;
    if (low < 0)
        valueError("shift: " + std::to_string(shift) + " pairs track box " + std::to_string(first) +
                   " with annotation box " + std::to_string(low) + " (" + what + ")");
    if (high >= static_cast<long long>(annotationFrames))
        valueError("shift: " + std::to_string(shift) + " pairs track box " + std::to_string(frames - 1) +
                   " with annotation box " + std::to_string(high) + ", past the " + std::to_string(annotationFrames) +
                   " boxes of the annotation (" + what + ")");
}

void checkDataSet(const DataSet& set, DataSetUse use) {
    // An empty data set would be read out of range (tracker weights) or average 0 / 0 scores.
    if (set.data.empty()) valueError("data: the data set has no sequence");
    if (set.annotation.size() < set.data.size())
        valueError("annotation: " + count(set.annotation.size(), "track") + " for " +
                   count(set.data.size(), "sequence") + "; every sequence needs its annotation track");
    bool anyLaterFrame = false;
    for (size_t i = 0; i < set.data.size(); ++i) {
        const std::string sequenceName = indexed("data", i);
        const auto& runs = set.data[i];
        // A sequence without runs scores 0 / 0 in the evaluation; the weights only need runs in
        // the first sequence, whose first run fixes the tracker count.
        if (runs.empty() && (use == DataSetUse::Evaluation || i == 0))
            valueError(sequenceName + (i == 0 ? ": the sequence has no run (the first run fixes the tracker count)"
                                              : ": the sequence has no run (its score would be 0 / 0)"));
        const track& truth = set.annotation[i];
        if (truth.empty())
            valueError(indexed("annotation", i) + ": the annotation track of sequence " + std::to_string(i) +
                       " has no box");
        for (size_t j = 0; j < runs.size(); ++j) {
            const std::string runName = indexed(sequenceName, j);
            const eTrackList& run = runs[j];
            if (run.size() != set.trackerCount)
                valueError(runName + ": " + count(run.size(), "tracker") + ", but the first run has " +
                           std::to_string(set.trackerCount) + "; every run needs the same trackers");
            const long long frames = static_cast<long long>(run[0].size());
            if (use == DataSetUse::Evaluation && frames == 0)
                valueError(runName + ": the run has no frame (its score would be 0 / 0)");
            if (run.startFrame < 1)
                valueError(runName + ": start_frame " + std::to_string(run.startFrame) +
                           " is below 1 (frames are counted from 1)");
            // Run box k is compared with annotation box k + start_frame - 1.
            if (run.startFrame - 1 + frames > static_cast<long long>(truth.size()))
                valueError(runName + ": " + std::to_string(frames) + " frames from start_frame " +
                           std::to_string(run.startFrame) + " reach past the " + std::to_string(truth.size()) +
                           " boxes of annotation[" + std::to_string(i) + "]");
            checkTrackerBoxes(run, runName);
            // Both the scores and the weights skip the first frame of a run.
            const size_t first = static_cast<size_t>(run.startFrame);
            checkAnnotationBoxes(truth, first, first - 1 + static_cast<size_t>(frames), indexed("annotation", i));
            anyLaterFrame = anyLaterFrame || frames >= 2;
        }
    }
    // Every weight is divided by the number of frames after the first of all runs.
    if (use == DataSetUse::Weights && !anyLaterFrame)
        valueError("data: no run has a frame after its first, so no weight can be learnt (0 / 0)");
}

// ---- Fusion preconditions that read the parameters ----

// Frame scores stay finite while n * max(w * w) / sigma does: beyond, a weight's square or a
// sum of terms turns infinite, every candidate ties and the first tracker wins every frame.
void checkFrameScores(size_t selected, const std::vector<int>& selection, const std::vector<float>& weights,
                      float sigma) {
    const double bound = static_cast<double>(selected) *
                         greatestSquaredWeight(weights, selection.empty() ? allTrackers(selected) : selection) /
                         static_cast<double>(sigma);
    if (!(bound < 1e37))
        valueError("weights: the selected weights are too large for the sigma parameter " + number(sigma) +
                   ": frame scores could overflow");
}

void checkFusionScores(const Fusion& f) {
    checkFrameScores(f.selection.empty() ? f.trackers.size() : f.selection.size(), f.selection, f.weights);
}

//
// Trajectory fusion asserts that in every frame some selected box has a frame score above 0,
// and that no normalised score exceeds 1.01 (which only an infinite score can cause). The
// check here is cheap and sufficient. A box's frame score includes its own term,
// attraction(b, b, std_sigma) * w * w, and every other term counts 0 or more, so a frame in
// which some selected box's own term is at least FLT_MIN has a greatest score whose
// reciprocal is finite. And every term is at most (1 / std_sigma) * w * w, so the scores stay
// finite when n * max(w * w) / std_sigma is well below FLT_MAX. The check is stricter than the
// library in one corner: a box whose own term is 0 (height 0, say) may still be attracted by
// the others; such a frame is refused.

namespace {

// Whether box `b` with weight `w` attracts itself: the library's own term, in the library's
// float operations.
bool attractsItself(const Box& b, float w, float sigma) {
    if (b.width == 0.0f) return false;  // a candidate of width 0 gets no attraction
    const float own = attraction(b, b, sigma) * w * w;
    return own >= std::numeric_limits<float>::min();
}

float weightOf(const std::vector<float>& weights, int k) { return weights.empty() ? 1.0f : weights[k]; }

// The path scores add at most 1 + |beta| per frame, so they stay finite while
// frames * (1 + |beta|) does.
void checkTrajectoryScores(size_t selected, const std::vector<int>& selection, const std::vector<float>& weights,
                           size_t frames, float sigma = std_sigma, float beta = std_beta) {
    checkFrameScores(selected, selection, weights, sigma);
    if (!(static_cast<double>(frames) * (1.0 + std::fabs(static_cast<double>(beta))) < 1e37))
        valueError("beta: " + number(beta) + " is too large for trajectory fusion of " + count(frames, "frame") +
                   ": the path scores could overflow");
}

// The first frame in which no tracker of `group` attracts itself, or -1.
long long frameWithoutAttraction(const trackList& trackers, const std::vector<int>& group,
                                 const std::vector<float>& weights) {
    for (size_t f = 0; f < trackers[0].size(); ++f) {
        bool attracts = false;
        for (int k : group) attracts = attracts || attractsItself(trackers[k][f], weightOf(weights, k), std_sigma);
        if (!attracts) return static_cast<long long>(f);
    }
    return -1;
}

const char kNoAttraction[] =
    " (each has width or height 0, a coordinate that is not finite, or weight 0), which trajectory fusion cannot "
    "score";

}  // namespace

void checkTrajectory(const trackList& trackers, std::vector<int> selection, const std::vector<float>& weights,
                     const std::string& name) {
    if (selection.empty()) selection = allTrackers(trackers.size());
    checkTrajectoryScores(selection.size(), selection, weights, trackers[0].size());
    const long long frame = frameWithoutAttraction(trackers, selection, weights);
    if (frame >= 0) valueError(name + ": no selected box attracts in frame " + std::to_string(frame) + kNoAttraction);
}

void checkStreamScores(const std::vector<int>& selection, const std::vector<float>& weights, size_t frames,
                       float sigma, float beta) {
    checkTrajectoryScores(selection.size(), selection, weights, frames, sigma, beta);
}

void checkStreamFrame(const track& boxes, const std::vector<int>& selection, const std::vector<float>& weights,
                      float sigma, size_t frame) {
    for (int k : selection)
        if (attractsItself(boxes[static_cast<size_t>(k)], weightOf(weights, k), sigma)) return;
    valueError("boxes: no selected box attracts in frame " + std::to_string(frame) + kNoAttraction);
}

// Global removal in trajectory mode fuses with selections that depend on the scores along the
// way, so every selection it might try is checked. A tracker is never dropped when its weight
// is not in (0, 1e15) or an earlier tracker has the same weight. When there are such trackers,
// every trial's selection contains them, and in every frame one of them must attract (the
// last trial may leave exactly them). When there are none, the last trial can leave any one
// tracker alone, so every tracker must attract in every frame on its own. (A trial that leaves
// no tracker fuses all of them.) This refuses some data sets on which the actual trials would
// have passed: the trials are only known once the scores are.
void checkGlobalRemovalTrajectory(const DataSet& set, const std::vector<float>& weights) {
    size_t longest = 0;
    for (const auto& runs : set.data)
        for (const auto& run : runs) longest = std::max(longest, run[0].size());
    checkTrajectoryScores(set.trackerCount, allTrackers(set.trackerCount), weights, longest);
    std::vector<int> neverDropped;
    for (size_t k = 0; k < set.trackerCount; ++k) {
        const float w = weights[k];
        bool tried = w > 0.0f && w < 1e15f;
        for (size_t j = 0; j < k && tried; ++j) tried = weights[j] != w;
        if (!tried) neverDropped.push_back(static_cast<int>(k));
    }
    std::vector<std::vector<int>> groups;
    if (!neverDropped.empty())
        groups.push_back(neverDropped);
    else
        for (size_t k = 0; k < set.trackerCount; ++k) groups.push_back({static_cast<int>(k)});
    for (const auto& group : groups)
        for (size_t i = 0; i < set.data.size(); ++i)
            for (size_t j = 0; j < set.data[i].size(); ++j) {
                const long long frame = frameWithoutAttraction(set.data[i][j], group, weights);
                if (frame < 0) continue;
                const std::string where =
                    "data[" + std::to_string(i) + "][" + std::to_string(j) + "] frame " + std::to_string(frame);
                if (neverDropped.empty())
                    valueError("data: global removal with trajectory fusion may keep tracker " +
                               std::to_string(group[0]) + " alone, and its box in " + where + " does not attract" +
                               kNoAttraction);
                valueError("data: global removal with trajectory fusion may keep only trackers " + listText(group) +
                           " (the ones it never drops), and none of their boxes in " + where + " attracts" +
                           kNoAttraction);
            }
}

// Local removal drops `gamma` trackers one at a time, each the one with the lowest performance
// below 1e25, and asserts that there is one. A performance is a sum over frames of frame
// scores, each at most n * max(w * w) / std_sigma, so the bound usually settles it; otherwise
// the performances are computed and counted.
void checkLocalRemoval(const Fusion& f, int gamma) {
    if (gamma == -1) valueError("gamma: unset; pass gamma= or set the gamma parameter first");
    const std::vector<int> selection = f.selection.empty() ? allTrackers(f.trackers.size()) : f.selection;
    if (gamma < 0 || gamma > static_cast<long long>(selection.size()))
        valueError("gamma: must be from 0 to the " + count(selection.size(), "selected tracker") + ", got " +
                   std::to_string(gamma));
    if (gamma == 0) return;
    const double bound = static_cast<double>(f.trackers[0].size()) * static_cast<double>(selection.size()) *
                         greatestSquaredWeight(f.weights, selection) / static_cast<double>(std_sigma);
    if (bound < 1e24) return;
    const std::vector<float> performances =
        calculateTrackerPerformances(const_cast<trackList&>(f.trackers), selection, f.weights);
    const auto droppable = std::count_if(performances.begin(), performances.end(), [](float p) { return p < 1e25f; });
    if (droppable < gamma)
        valueError("gamma: only " + std::to_string(droppable) + " of the selected trackers have a performance below " +
                   "1e25 (the others are infinite, NaN or too large), so " + std::to_string(gamma) +
                   " cannot be dropped");
}

}  // namespace velmora::python

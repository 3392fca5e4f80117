// Bindings of the track measures, the data sets held between calls and the data-set evaluation.
#include "convert.h"
#include "parameters.h"

#include <cmath>

namespace velmora::python {

namespace {

// `alpha`, `beta` and `sigma` (and `gamma`) are the keyword parameters of one call.

// A scored track's lost boxes (NaN anywhere) as the zero box, the library's lost target: a NaN
// box would make the mean NaN, where a lost frame scores as no overlap.
track lostAsZero(track t) {
    for (Box& b : t)
        if (std::isnan(b.x) || std::isnan(b.y) || std::isnan(b.width) || std::isnan(b.height)) b = Box(0, 0, 0, 0);
    return t;
}

// The annotation boxes that track box k = first .. n - 1 is paired with, at k + shift.
void checkPairedAnnotation(const track& truth, size_t first, size_t frames, int shift) {
    if (first < frames)
        checkAnnotationBoxes(truth, static_cast<size_t>(static_cast<long long>(first) + shift),
                             static_cast<size_t>(static_cast<long long>(frames) + shift), "annotation");
}

float bindTrackQuality(const py::object& t, const py::object& annotation, const py::object& shift,
                       const py::object& threshold, const py::object& centerDistance) {
    const track scored = lostAsZero(toTrack(t, "track"));
    const bool distance = toBool(centerDistance, "center_distance");
    // The library divides by the number of boxes: an empty track would score 1 / 0.
    if (scored.empty()) valueError("track: no box to score");
    const track truth = toTrack(annotation, "annotation");
    const int s = toInt(shift, "shift");
    const float limit = toFloat(threshold, "threshold");
    // Frame 0 is never compared; a track of at most one box compares nothing.
    checkReach(1, scored.size(), s, truth.size(), "frames 1 .. n-1 are compared");
    checkPairedAnnotation(truth, 1, scored.size(), s);
    return reading([&] { return evaluate(scored, truth, s, limit, distance); });
}

float bindTrackAttraction(const py::object& t, const py::object& annotation, const py::object& shift,
                          const py::object& start, const py::object& alpha, const py::object& sigma) {
    const track scored = lostAsZero(toTrack(t, "track"));
    const track truth = toTrack(annotation, "annotation");
    const int s = toInt(shift, "shift");
    const int from = toInt(start, "start");
    // A negative start sums nothing.
    if (from >= 0) {
        checkReach(static_cast<size_t>(from), scored.size(), s, truth.size(), "frames start .. n-1 are summed");
        checkPairedAnnotation(truth, static_cast<size_t>(from), scored.size(), s);
    }
    return withParameters(toOverrides(alpha, sigma), false, [&] { return attraction(scored, truth, s, from); });
}

float bindEvaluateDataset(const py::object& data, const py::object& annotation, const py::object& mode,
                          const py::object& selection, const py::object& weights, const py::object& alpha,
                          const py::object& beta, const py::object& sigma) {
    DataSetArgument argument(data, annotation, DataSetUse::Evaluation);
    DataSet& set = argument.get();
    const std::vector<int> chosen = toSelection(selection, set.trackerCount);
    const std::vector<float> w = toWeights(weights);
    checkWeightsCover(w, chosen, set.trackerCount);
    const bool trajectory = toBool(mode, "trajectory");
    return withParameters(toOverrides(alpha, sigma, beta), trajectory, [&] {
        checkFrameScores(chosen.empty() ? set.trackerCount : chosen.size(), chosen, w);
        if (trajectory)
            for (size_t i = 0; i < set.data.size(); ++i)
                for (size_t j = 0; j < set.data[i].size(); ++j)
                    checkTrajectory(set.data[i][j], chosen, w, indexed(indexed("data", i), j));
        return evaluate(set.data, set.annotation, trajectory, chosen, w);
    });
}

}  // namespace

void bindEvaluation(py::module_& m) {
    const auto none = py::none();
    const auto alpha = py::arg("alpha") = none, beta = py::arg("beta") = none, sigma = py::arg("sigma") = none;

    // ---- Data sets held between calls ----
    py::class_<HeldDataSet>(m, "DataSet", R"pbdoc(
        A data set in the library's own form, converted once and kept: pass it as `data` (with no
        annotation) to evaluate_dataset, tracker_weights and global_removal. For large data sets,
        which are then never held twice, and for data sets used by several calls.

        Add one sequence at a time with add(runs, annotation). Do not add while a call that reads
        the data set runs in another thread.
    )pbdoc")
        .def(py::init<>())
        .def(
            "add",
            [](HeldDataSet& held, const py::object& runs, const py::object& annotation) {
                DataSet one;
                addSequence(one, runs, indexed("data", held.set.data.size()));
                one.annotation.push_back(toTrack(annotation, indexed("annotation", held.set.data.size())));
                if (held.set.trackerCount == 0) held.set.trackerCount = one.trackerCount;
                held.set.data.push_back(std::move(one.data[0]));
                held.set.annotation.push_back(std::move(one.annotation[0]));
            },
            py::arg("runs"), py::arg("annotation"), R"pbdoc(
        Appends a sequence: its runs (a list of (trackers, start_frame) tuples or trackers arrays)
        and its annotation track. Checked in full when a function reads the data set.
    )pbdoc")
        .def("__len__", [](const HeldDataSet& held) { return held.set.data.size(); })
        .def_property_readonly(
            "trackers", [](const HeldDataSet& held) { return held.set.trackerCount; },
            "The number of trackers of the first run.")
        .def_property_readonly(
            "frames",
            [](const HeldDataSet& held) {
                size_t frames = 0;
                for (const auto& runs : held.set.data)
                    for (const auto& run : runs) frames += run.empty() ? 0 : run[0].size();
                return frames;
            },
            "The number of frames in all runs.");


    // ---- Evaluation against annotation ----
    m.def("track_quality", &bindTrackQuality, py::arg("track"), py::arg("annotation"), py::arg("shift") = 0,
          py::arg("threshold") = -1.0f, py::arg("center_distance") = false, R"pbdoc(
        Quality of `track` against `annotation`, box k paired with annotation box k + shift.

        threshold -1: the mean of the per-frame measure (overlap, or centre distance with
        center_distance); any other value: the share of frames whose overlap is >= threshold (or
        whose centre distance is <= threshold). Frame 0 is never compared and counts 1.0. Returns a
        float: 1.0 for a track of one box, inf for an empty track.
    )pbdoc");
    m.def("track_attraction", &bindTrackAttraction, py::arg("track"), py::arg("annotation"), py::arg("shift") = 0,
          py::arg("start") = 1, py::kw_only(), alpha, sigma, R"pbdoc(
        Track-to-annotation attraction: the sum over k = start .. n-1 of
        attraction(track[k], annotation[k + shift], sigma), divided by n - 1 whatever start is.

        Returns a float; a negative start sums nothing (0), a track of one box gives NaN with
        start 1.
    )pbdoc");
    m.def("evaluate_dataset", &bindEvaluateDataset, py::arg("data"), py::arg("annotation") = none,
          py::arg("trajectory") = false, py::arg("selection") = none, py::arg("weights") = none, py::kw_only(), alpha,
          beta, sigma, R"pbdoc(
        Data-set score: every run fused (trajectory optimisation or frame by frame, both refined),
        scored by mean overlap against its sequence's annotation from start_frame on, run scores
        averaged by run length within a sequence, and the plain mean over sequences returned.

        data is a list of sequences, a sequence a list of runs, a run a (trackers, start_frame)
        tuple or a bare trackers array (start_frame 1). annotation holds one track per sequence;
        a velmora.DataSet holds both (annotation None).
        Needs at least one sequence, at least one run per sequence and one frame per run (else the
        score would be NaN). Returns a float. Runs without the GIL, on the library's thread team.
    )pbdoc");

}

}  // namespace velmora::python

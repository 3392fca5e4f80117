// Bindings of the tracker weights and the two ways of dropping trackers.
#include "convert.h"
#include "parameters.h"

#include <cmath>

namespace velmora::python {

namespace {

// `alpha`, `beta` and `sigma` (and `gamma`) are the keyword parameters of one call.

py::array_t<float> bindTrackerWeights(const py::object& data, const py::object& annotation, const py::object& alpha,
                                      const py::object& sigma) {
    DataSetArgument argument(data, annotation, DataSetUse::Weights);
    DataSet& set = argument.get();
    return toArray(withParameters(toOverrides(alpha, sigma), false,
                                  [&] { return calculateTrackerWeights(set.data, set.annotation); }));
}

py::list bindGlobalRemoval(const py::object& data, const py::object& annotation, const py::object& weights,
                           const py::object& mode, const py::object& alpha, const py::object& beta,
                           const py::object& sigma) {
    const bool trajectory = toBool(mode, "trajectory");
    DataSetArgument argument(data, annotation, DataSetUse::Evaluation);
    DataSet& set = argument.get();
    std::vector<float> w = weights.is_none() ? std::vector<float>(set.trackerCount, 1.0f) : toWeights(weights);
    // The removal reads the weight of every tracker to order its trials; it fills no default.
    if (w.size() < set.trackerCount)
        valueError("weights: " + count(w.size(), "entry", "entries") + " for " + count(set.trackerCount, "tracker") +
                   "; global removal needs one weight per tracker");
    return toList(withParameters(toOverrides(alpha, sigma, beta), trajectory, [&] {
        checkFrameScores(set.trackerCount, allTrackers(set.trackerCount), w);
        if (trajectory) checkGlobalRemovalTrajectory(set, w);
        return globalRemoval(set.data, set.annotation, w, trajectory);
    }));
}

py::array_t<float> bindTrackerPerformances(const py::object& trackers, const py::object& selection,
                                           const py::object& weights, const py::object& alpha,
                                           const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    return toArray(withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        return calculateTrackerPerformances(f.trackers, f.selection, f.weights);
    }));
}

// The library takes the count to drop from std_gamma only; a gamma given here is set for the
// call like the other keyword parameters.
py::list bindLocalRemoval(const py::object& trackers, const py::object& selection, const py::object& weights,
                          const py::object& gamma, const py::object& alpha, const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    Overrides o = toOverrides(alpha, sigma);
    if (!gamma.is_none()) o.gamma = toInt(gamma, "gamma");
    return toList(withParameters(o, false, [&] {
        checkFusionScores(f);
        checkLocalRemoval(f, std_gamma);
        return localRemoval(f.trackers, f.selection, f.weights);
    }));
}

}  // namespace

void bindLearning(py::module_& m) {
    const auto none = py::none();
    const auto alpha = py::arg("alpha") = none, beta = py::arg("beta") = none, sigma = py::arg("sigma") = none;

    // ---- Tracker weighting and selection ----
    m.def("tracker_weights", &bindTrackerWeights, py::arg("data"), py::arg("annotation") = none, py::kw_only(), alpha,
          sigma,
          R"pbdoc(
        Tracker weights learnt from the annotation.

        Entry k is the mean attraction between tracker k's boxes and the annotation over the frames
        after the first of every run. Sequences after the first may have no run; at least one run
        needs two frames. Returns a float32 array of max(400, trackers) entries, 0 from the tracker
        count on. Runs without the GIL.
    )pbdoc");
    m.def("global_removal", &bindGlobalRemoval, py::arg("data"), py::arg("annotation") = none,
          py::arg("weights") = none, py::arg("trajectory") = false, py::kw_only(), alpha, beta, sigma, R"pbdoc(
        Greedy removal of trackers over a data set: tries dropping trackers in ascending order of
        weight (one trial per distinct weight in (0, 1e15)) and keeps a drop when the data-set score
        rises strictly.

        weights needs one entry per tracker (None means 1.0 for every tracker). With trajectory,
        every selection a trial may try must be fusable: when some trackers are never dropped,
        they must attract in every frame; otherwise every tracker must attract in every frame on its
        own. Returns the kept tracker indices as a list of ints, ascending (possibly empty, which
        the fusion reads as all trackers). Runs without the GIL.
    )pbdoc");
    m.def("tracker_performances", &bindTrackerPerformances, py::arg("trackers"), py::arg("selection") = none,
          py::arg("weights") = none, py::kw_only(), alpha, sigma, R"pbdoc(
        Agreement of each selected tracker with the others, without annotation.

        Entry p sums, over all frames, the frame attraction of tracker selection[p]'s box. Returns a
        float32 array with one entry per selection position (per tracker when selection is None).
    )pbdoc");
    m.def("local_removal", &bindLocalRemoval, py::arg("trackers"), py::arg("selection") = none,
          py::arg("weights") = none, py::arg("gamma") = none, py::kw_only(), alpha, sigma, R"pbdoc(
        Drops the gamma selected trackers with the lowest performance (the earlier position on
        ties).

        gamma None uses the gamma parameter, which must then be set; gamma is from 0 (drops nothing)
        to the number of selected trackers.
        Returns the remaining tracker indices as a list of ints, in selection order (empty when all
        are dropped, which the fusion reads as all trackers).
    )pbdoc");

}

}  // namespace velmora::python

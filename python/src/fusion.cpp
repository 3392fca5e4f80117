// Bindings of the box geometry and the fusion of one sequence.
#include "convert.h"
#include "parameters.h"

#include <cmath>

namespace velmora::python {

namespace {

// `alpha`, `beta` and `sigma` (and `gamma`) are the keyword parameters of one call.

float bindDistance(const py::object& a, const py::object& b, const py::object& alpha) {
    const Box boxA = toBox(a, "a"), boxB = toBox(b, "b");
    return withParameters(toOverrides(alpha, py::none()), false, [&] { return distance4D_2(boxA, boxB); });
}

// sigma None reads std_sigma at the call, under the lock.
template <class Attraction>
float bindBoxAttraction(const py::object& a, const py::object& b, const py::object& sigma, const py::object& alpha,
                        Attraction attract) {
    const Box boxA = toBox(a, "a"), boxB = toBox(b, "b");
    const std::optional<float> s = toParameter(sigma, "sigma");
    return withParameters(toOverrides(alpha, py::none()), false,
                          [&] { return attract(boxA, boxB, s ? *s : std_sigma); });
}

py::tuple bindFrameAttraction(const py::object& trackers, const py::object& box, const py::object& frame,
                              const py::object& selection, const py::object& weights, const py::object& alpha,
                              const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    const Box b = toBox(box, "box");
    const int at = toFrame(frame, f.trackers);
    // This one function of the library does not fill an empty selection; None means all here too.
    if (selection.is_none()) f.selection = allTrackers(f.trackers.size());
    std::vector<float> terms(f.selection.size(), 0.0f);
    const float total = withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        return calculateAttraction(f.trackers, b, at, f.selection, f.weights, terms);
    });
    return py::make_tuple(total, toArray(terms));
}

py::array_t<float> bindFuseFrame(const py::object& trackers, const py::object& frame, const py::object& selection,
                                 const py::object& weights, const py::object& refine, const py::object& alpha,
                                 const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    const int at = toFrame(frame, f.trackers);
    const bool climb = toBool(refine, "refine");
    return toArray(withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        return performFusionForFrame(f.trackers, at, f.selection, f.weights, climb);
    }));
}

py::array_t<float> bindFuse(const py::object& trackers, const py::object& selection, const py::object& weights,
                            const py::object& refine, const py::object& alpha, const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    const bool climb = toBool(refine, "refine");
    track result;
    withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        performFusionForAllFrames(f.trackers, result, f.selection, f.weights, climb);
    });
    return toArray(result);
}

py::array_t<float> bindFuseTrajectory(const py::object& trackers, const py::object& selection,
                                      const py::object& weights, const py::object& backtracking,
                                      const py::object& refine, const py::object& alpha, const py::object& beta,
                                      const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    const bool back = toBool(backtracking, "backtracking"), climb = toBool(refine, "refine");
    track result;
    withParameters(toOverrides(alpha, sigma, beta), true, [&] {
        checkTrajectory(f.trackers, f.selection, f.weights, "trackers");
        performFusionForAllFrames_TrajectoryOptimization(f.trackers, result, f.selection, f.weights, !back, climb);
    });
    return toArray(result);
}

py::tuple bindStrongestBox(const py::object& trackers, const py::object& frame, const py::object& selection,
                           const py::object& weights, const py::object& alpha, const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    const int at = toFrame(frame, f.trackers);
    std::vector<float> totals(f.selection.empty() ? f.trackers.size() : f.selection.size(), 0.0f);
    const int position = withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        return findTrackingRectWithGreatestAttraction(f.trackers, at, f.selection, f.weights, totals);
    });
    return py::make_tuple(position, toArray(totals));
}

py::array_t<float> bindGradientAscent(const py::object& box, const py::object& trackers, const py::object& frame,
                                      const py::object& selection, const py::object& weights, const py::object& alpha,
                                      const py::object& sigma) {
    Fusion f = toFusion(trackers, selection, weights);
    Box b = toBox(box, "box");
    const int at = toFrame(frame, f.trackers);
    withParameters(toOverrides(alpha, sigma), false, [&] {
        checkFusionScores(f);
        gradient_ascent(b, f.trackers, at, f.selection, f.weights);
    });
    return toArray(b);
}

}  // namespace

void bindFusion(py::module_& m) {
    const auto none = py::none();
    const auto alpha = py::arg("alpha") = none, beta = py::arg("beta") = none, sigma = py::arg("sigma") = none;

    // ---- Box geometry ----

    m.def("distance4d_2", &bindDistance, py::arg("a"), py::arg("b"), py::kw_only(), alpha, R"pbdoc(
        Squared, scale-free distance between boxes a and b (each x, y, width, height).

        Centre offsets count in units of the mean side, size differences relative to the mean side
        and divided by alpha; no square root is taken. Returns a float (float32 value); NaN when
        both widths or both heights are 0. Reads the alpha parameter.
    )pbdoc");
    m.def(
        "attraction",
        [](const py::object& a, const py::object& b, const py::object& s, const py::object& al) {
            return bindBoxAttraction(a, b, s, al, [](Box x, Box y, float v) { return attraction(x, y, v); });
        },
        py::arg("a"), py::arg("b"), sigma, py::kw_only(), alpha, R"pbdoc(
        Attraction of box a on box b: 1 / (distance4d_2(a, b) + sigma).

        sigma None uses the current sigma parameter. Returns a float (float32 value); 1 / sigma for
        equal boxes.
    )pbdoc");
    m.def(
        "normalized_attraction",
        [](const py::object& a, const py::object& b, const py::object& s, const py::object& al) {
            return bindBoxAttraction(a, b, s, al, [](Box x, Box y, float v) { return normalizedAttraction(x, y, v); });
        },
        py::arg("a"), py::arg("b"), sigma, py::kw_only(), alpha, R"pbdoc(
        attraction(a, b, sigma) * sigma: in (0, 1], exactly 1 for equal boxes.

        sigma None uses the current sigma parameter. Returns a float (float32 value).
    )pbdoc");

    // ---- Fusion ----
    m.def("frame_attraction", &bindFrameAttraction, py::arg("trackers"), py::arg("box"), py::arg("frame"),
          py::arg("selection") = none, py::arg("weights") = none, py::kw_only(), alpha, sigma, R"pbdoc(
        Frame attraction of `box`: the trackers' field in one frame, evaluated at the box.

        Sums, in selection order, attraction(trackers[k][frame], box, sigma) * weights[k]**2 over the
        selected trackers k; a negative or NaN term counts 0, and every term is 0 when the box's
        width is 0. selection None means all trackers; an empty list selects none (total 0).
        Returns (total: float, terms: float32 array with one term per selection position).
    )pbdoc");
    m.def("fuse_frame", &bindFuseFrame, py::arg("trackers"), py::arg("frame"), py::arg("selection") = none,
          py::arg("weights") = none, py::arg("refine") = true, py::kw_only(), alpha, sigma, R"pbdoc(
        Fused box of one frame: the selected tracker box with the strictly greatest frame attraction.

        Ties go to the earlier selection position; when no total is above 0, the first selected
        tracker's box. With refine the box then climbs in unit steps of x and y (at most 15 moves).
        Returns a float32 array (x, y, width, height).
    )pbdoc");
    m.def("fuse", &bindFuse, py::arg("trackers"), py::arg("selection") = none, py::arg("weights") = none,
          py::arg("refine") = true, py::kw_only(), alpha, sigma, R"pbdoc(
        Frame-by-frame fusion: fuse_frame for every frame on its own.

        Returns a float32 array of shape (frames, 4). Runs without the GIL.
    )pbdoc");
    m.def("fuse_trajectory", &bindFuseTrajectory, py::arg("trackers"), py::arg("selection") = none,
          py::arg("weights") = none, py::arg("backtracking") = true, py::arg("refine") = true, py::kw_only(), alpha,
          beta, sigma, R"pbdoc(
        Fusion by trajectory optimisation: one selected tracker per frame, chosen to maximise the sum
        of normalised frame scores plus beta times the agreement of consecutive choices.

        backtracking False takes each frame's best accumulated score instead of back-tracking the
        best path; refine runs gradient_ascent on every output box. Every frame needs a selected box
        that attracts (positive width and height, finite coordinates, non-zero weight):
        otherwise ValueError. Returns a float32 array of shape
        (frames, 4). Runs without the GIL.
    )pbdoc");
    m.def("strongest_box", &bindStrongestBox, py::arg("trackers"), py::arg("frame"), py::arg("selection") = none,
          py::arg("weights") = none, py::kw_only(), alpha, sigma, R"pbdoc(
        Which selected tracker box the frame's attraction field favours.

        Returns (position: int, totals: float32 array): the position in the selection (the tracker
        index when selection is None) of the box with the strictly greatest frame attraction, the
        earliest among equals, or -1 when no total is above 0; and the total of every position.
    )pbdoc");
    m.def("gradient_ascent", &bindGradientAscent, py::arg("box"), py::arg("trackers"), py::arg("frame"),
          py::arg("selection") = none, py::arg("weights") = none, py::kw_only(), alpha, sigma, R"pbdoc(
        Moves `box` uphill on the frame's attraction field in unit steps of x and y.

        At most ceil((width + height) * 0.5 / 20) moves; width and height never change. Returns the
        new box as a float32 array (x, y, width, height); the argument is left untouched.
    )pbdoc");

}

}  // namespace velmora::python

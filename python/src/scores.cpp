// The one-pass measures of one result on one sequence, counted in one pass over the frames.
//
// This is the command line's fast path for velmora.metrics, which states the measures; every
// value is computed with the same double operations in the same order as its numpy path, and a
// differential test holds the two to the same counts. What a protocol replaces before scoring
// (the first frame, lost boxes, padding) is done by the caller.
#include "support.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace velmora::python {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// numpy's maximum and minimum: a NaN on either side gives NaN.
double maximum(double a, double b) { return std::isnan(a) || std::isnan(b) ? kNan : (a > b ? a : b); }
double minimum(double a, double b) { return std::isnan(a) || std::isnan(b) ? kNan : (a < b ? a : b); }
double clip(double v, double low, double high) { return std::isnan(v) ? v : std::min(std::max(v, low), high); }

struct Rules {
    bool scoredPositive;    // scored annotation boxes: x, y, w, h > 0 (else w, h > 0)
    bool centreByScored;    // unscored centre: the boxes success leaves unscored (else a centre coordinate <= 0)
    double unscoredCentre;  // -1 or inf
    double unscoredNormalized;
    double sizeEpsilon;  // added to the annotation's size before normalising
    bool pysotCentres;   // pysot's arithmetic: centres x + (w - 1) / 2, each normalised before the difference
};

bool isScored(const double* a, const Rules& rules) {
    if (rules.scoredPositive) return a[0] > 0 && a[1] > 0 && a[2] > 0 && a[3] > 0;
    return !(a[2] <= 0 || a[3] <= 0);
}

double overlap(const double* r, const double* a) {
    const double width = maximum(minimum(r[0] + r[2], a[0] + a[2]) - maximum(r[0], a[0]), 0.0);
    const double height = maximum(minimum(r[1] + r[3], a[1] + a[3]) - maximum(r[1], a[1]), 0.0);
    const double intersection = width * height;
    const double union_ = r[2] * r[3] + a[2] * a[3] - intersection;
    const double iou = union_ > 0 ? intersection / union_ : (std::isnan(union_) ? kNan : 0.0);
    return clip(iou, 0.0, 1.0);
}

double distance(const double* r, const double* a, bool normalized, double unscored, const Rules& rules) {
    if (rules.pysotCentres) {
        // pysot divides each centre by the annotation's size and then subtracts them: a frame that
        // lies on a threshold counts as it does there only with these operations in this order.
        double cx = a[0] + (a[2] - 1) / 2, cy = a[1] + (a[3] - 1) / 2;
        double rx = r[0] + (r[2] - 1) / 2, ry = r[1] + (r[3] - 1) / 2;
        if (normalized) {
            const double width = a[2] + rules.sizeEpsilon, height = a[3] + rules.sizeEpsilon;
            cx = cx / width, cy = cy / height, rx = rx / width, ry = ry / height;
        }
        const double dx = cx - rx, dy = cy - ry;
        const bool invalid = rules.centreByScored ? !isScored(a, rules) : (cx <= 0 || cy <= 0);
        return invalid ? unscored : std::sqrt(dx * dx + dy * dy);
    }
    double cx = a[0] + a[2] / 2, cy = a[1] + a[3] / 2;
    double dx = r[0] + r[2] / 2 - cx, dy = r[1] + r[3] / 2 - cy;
    if (normalized) {
        const double width = a[2] + rules.sizeEpsilon, height = a[3] + rules.sizeEpsilon;
        dx = dx / width, dy = dy / height, cx = cx / width, cy = cy / height;
    }
    const bool invalid = rules.centreByScored ? !isScored(a, rules) : (cx <= 0 || cy <= 0);
    return invalid ? unscored : std::sqrt(dx * dx + dy * dy);
}

// GOT-10k's overlap: both boxes clipped to the image first when its size is known, a small
// epsilon added to the union, a lost box overlapping nothing.
double got10kOverlap(const double* result, const double* annotation, const double* bound) {
    double r[4] = {result[0], result[1], result[2], result[3]};
    double a[4] = {annotation[0], annotation[1], annotation[2], annotation[3]};
    if (bound)
        for (double* box : {r, a}) {
            box[0] = clip(box[0], 0.0, bound[0]);
            box[1] = clip(box[1], 0.0, bound[1]);
            box[2] = clip(box[2], 0.0, bound[0] - box[0]);
            box[3] = clip(box[3], 0.0, bound[1] - box[1]);
        }
    const double width = maximum(minimum(r[0] + r[2], a[0] + a[2]) - maximum(r[0], a[0]), 0.0);
    const double height = maximum(minimum(r[1] + r[3], a[1] + a[3]) - maximum(r[1], a[1]), 0.0);
    const double intersection = width * height;
    const double union_ = r[2] * r[3] + a[2] * a[3] - intersection;
    const double iou = clip(intersection / (union_ + std::numeric_limits<double>::epsilon()), 0.0, 1.0);
    return std::isnan(iou) ? 0.0 : iou;
}

// Adds 1 to counts[j] for every threshold j that `value` passes: value > t (above) or value <= t.
// Binary search among the ascending thresholds: the same comparisons, fewer of them. NaN passes none.
void count(double value, const std::vector<double>& thresholds, bool above, std::vector<long>& counts) {
    if (std::isnan(value)) return;
    // Thresholds below the value: value > t for exactly those.
    const auto below = std::lower_bound(thresholds.begin(), thresholds.end(), value) - thresholds.begin();
    if (above)
        for (long j = 0; j < below; ++j) ++counts[static_cast<size_t>(j)];
    else
        for (size_t j = static_cast<size_t>(below); j < thresholds.size(); ++j) ++counts[j];
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// `scored` is the result as the protocol scores it (first frame and lost boxes replaced), `raw`
// as the tracker reported it, which GOT-10k's measures score.
py::tuple scoreBoxes(const Doubles& scored, const Doubles& raw, const Doubles& annotation, const py::object& absent,
                     const py::array_t<bool, py::array::c_style | py::array::forcecast>& visible,
                     const py::object& bound, const Doubles& success, const Doubles& precision,
                     const Doubles& normPrecision, bool scoredPositive, bool centreByScored, double unscoredCentre,
                     double unscoredNormalized, double sizeEpsilon, bool pysotCentres) {
    const auto frames = static_cast<size_t>(annotation.shape(0));
    for (const Doubles* boxes : {&scored, &raw, &annotation})
        if (boxes->ndim() != 2 || boxes->shape(1) != 4 || static_cast<size_t>(boxes->shape(0)) != frames)
            valueError("score_boxes: the results and the annotation must be (frames, 4) arrays of the same frames");
    if (static_cast<size_t>(visible.size()) != frames) valueError("score_boxes: one visibility flag per frame");
    std::vector<bool> flags(frames, false);
    if (!absent.is_none()) {
        const auto a = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(absent);
        if (!a || static_cast<size_t>(a.size()) != frames) valueError("score_boxes: one absence flag per frame");
        for (size_t f = 0; f < frames; ++f) flags[f] = a.data()[f];
    }
    double size[2] = {0, 0};
    const bool clipped = !bound.is_none();
    if (clipped) {
        const auto b = bound.cast<std::pair<double, double>>();
        size[0] = b.first, size[1] = b.second;
    }
    const Rules rules{scoredPositive, centreByScored, unscoredCentre, unscoredNormalized, sizeEpsilon, pysotCentres};
    const auto values = [](const Doubles& a) { return std::vector<double>(a.data(), a.data() + a.size()); };
    const std::vector<double> ts = values(success), tp = values(precision), tn = values(normPrecision);
    std::vector<long> cs(ts.size()), cp(tp.size()), cn(tn.size());
    std::vector<double> got10k;  // summed by numpy, as the straightforward path sums them
    long above50 = 0, above75 = 0;
    {
        py::gil_scoped_release release;
        const double* r = scored.data();
        const double* g = raw.data();
        const double* a = annotation.data();
        for (size_t f = 0; f < frames; ++f, r += 4, g += 4, a += 4) {
            if (!flags[f]) {
                count(isScored(a, rules) ? overlap(r, a) : -1.0, ts, true, cs);
                count(distance(r, a, false, unscoredCentre, rules), tp, false, cp);
                count(distance(r, a, true, unscoredNormalized, rules), tn, false, cn);
            }
            if (f > 0 && visible.data()[f]) {
                const double iou = got10kOverlap(g, a, clipped ? size : nullptr);
                got10k.push_back(iou);
                above50 += iou > 0.5;
                above75 += iou > 0.75;
            }
        }
    }
    py::array_t<double> overlaps(static_cast<py::ssize_t>(got10k.size()));
    std::copy(got10k.begin(), got10k.end(), overlaps.mutable_data());
    const auto asArray = [](const std::vector<long>& c) {
        py::array_t<long> a(static_cast<py::ssize_t>(c.size()));
        std::copy(c.begin(), c.end(), a.mutable_data());
        return a;
    };
    return py::make_tuple(asArray(cs), asArray(cp), asArray(cn), overlaps, above50, above75);
}

}  // namespace

void bindScores(py::module_& m) {
    m.def("score_boxes", &scoreBoxes, py::arg("scored"), py::arg("raw"), py::arg("annotation"), py::arg("absent"),
          py::arg("visible"), py::arg("bound"), py::arg("success"), py::arg("precision"), py::arg("norm_precision"),
          py::arg("scored_positive"), py::arg("centre_by_scored"), py::arg("unscored_centre"),
          py::arg("unscored_normalized"), py::arg("size_epsilon"), py::arg("pysot_centres") = false, R"pbdoc(
        The counts behind velmora.metrics' curves of one result on one sequence, in one pass: the
        frames above each success threshold and within each precision and normalised precision
        threshold (absent frames in none), and GOT-10k's overlaps of the visible frames after the
        first with the counts of those above 0.5 and 0.75. Internal: velmora.metrics calls it.
    )pbdoc");
}

}  // namespace velmora::python

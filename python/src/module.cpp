// velmora._core: every function of libVelmora.so for numpy users.
//
// Each binding works in two phases. With the GIL held it turns its Python arguments into the
// library's containers and checks everything that does not depend on the std_ parameters:
// shapes, dtypes, boxes, track lengths, index ranges, the reach of runs into their annotation
// (checks.cpp). Then it releases the GIL, takes the parameter lock, checks the parameters and
// what depends on them (trajectory fusion, local removal) and calls the library. Every input
// that would stop the library on an assertion, read out of range, end the process or give a
// silently wrong number is refused with ValueError (TypeError for an argument of the wrong
// kind) before the library sees it; the message names the argument and the problem.
//
// No arithmetic of the library is repeated here: results are the library's own bits.
#include "checks.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace velmora::python;

// ---- The parameter lock ----
//
// The std_ parameters are plain globals that the library reads without synchronisation, and
// the bindings run the library without the GIL, so a setter in one Python thread could race
// with a call in another. Every call into the library holds this lock shared and every write
// of a parameter holds it exclusively. The lock is only ever taken after the GIL has been
// released, and released before the GIL is taken back, so no thread waits for one of the two
// while holding the other: the pair cannot deadlock.
std::shared_mutex parameterLock;

// Runs `work` without the GIL, holding the parameter lock in the mode of `Lock`. `work` must
// not touch Python objects; it may throw the exceptions of pybind11 (they carry only a string
// until the GIL is back).
template <class Lock, class Work>
auto withoutGil(Work&& work) {
    py::gil_scoped_release release;
    Lock lock(parameterLock);
    return work();
}

template <class Work>
auto reading(Work&& work) {
    return withoutGil<std::shared_lock<std::shared_mutex>>(std::forward<Work>(work));
}

template <class Work>
auto writing(Work&& work) {
    return withoutGil<std::unique_lock<std::shared_mutex>>(std::forward<Work>(work));
}

// ---- Messages ----

std::string typeName(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

std::string shapeText(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(array.shape(d));
    }
    if (array.ndim() == 1) text += ",";
    return text + ")";
}

// ---- Scalars ----

long long toInteger(py::handle object, const std::string& name) {
    if (PyBool_Check(object.ptr())) typeError(name + ": expected an int, got bool");
    PyObject* index = PyNumber_Index(object.ptr());
    if (!index) {
        PyErr_Clear();
        typeError(name + ": expected an int, got " + typeName(object));
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow) valueError(name + ": " + std::string(py::str(object)) + " is out of range");
    return value;
}

int toInt(py::handle object, const std::string& name) {
    const long long value = toInteger(object, name);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        valueError(name + ": " + std::to_string(value) + " does not fit a 32-bit int");
    return static_cast<int>(value);
}

float toFloat(py::handle object, const std::string& name) {
    if (PyBool_Check(object.ptr()) || py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object))
        typeError(name + ": expected a number, got " + typeName(object));
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
        PyErr_Clear();
        if (overflow) valueError(name + ": " + std::string(py::str(object)) + " is out of range");
        typeError(name + ": expected a number, got " + typeName(object));
    }
    return static_cast<float>(value);
}

// ---- Parameters of one call ----
//
// A function that reads the parameters also takes them as keywords for that one call. They are
// set under the exclusive lock and put back before it is released, so no call in another
// thread ever sees them: the way to vary the parameters in threaded code.
struct Overrides {
    std::optional<float> alpha, beta, sigma;
    std::optional<int> gamma;
    bool any() const { return alpha || beta || sigma || gamma; }
};

std::optional<float> toParameter(const py::object& object, const char* name) {
    if (object.is_none()) return std::nullopt;
    const float value = toFloat(object, name);
    const std::string given = py::str(object);
    if (name[0] == 'b')
        checkBeta(value, given);
    else
        checkAlphaOrSigma(name, value, given);
    return value;
}

Overrides toOverrides(const py::object& alpha, const py::object& sigma, const py::object& beta = py::none()) {
    return Overrides{toParameter(alpha, "alpha"), toParameter(beta, "beta"), toParameter(sigma, "sigma"), {}};
}

// Runs `work` without the GIL under the parameters in force, or under those of `o` for this
// call only. `readsBeta`: the call may run trajectory fusion.
template <class Work>
auto withParameters(const Overrides& o, bool readsBeta, Work&& work) {
    if (!o.any())
        return reading([&] {
            checkParameters(readsBeta);
            return work();
        });
    return writing([&] {
        struct Restore {
            float alpha = std_alpha, beta = std_beta, sigma = std_sigma;
            int gamma = std_gamma;
            ~Restore() { std_alpha = alpha, std_beta = beta, std_sigma = sigma, std_gamma = gamma; }
        } restore;
        if (o.alpha) std_alpha = *o.alpha;
        if (o.beta) std_beta = *o.beta;
        if (o.sigma) std_sigma = *o.sigma;
        if (o.gamma) std_gamma = *o.gamma;
        checkParameters(readsBeta);
        return work();
    });
}

// ---- Arrays ----

// `object` as a C-contiguous float32 array. Any array-like of real numbers is accepted
// (float64 is rounded to the nearest float32, integers are converted); empty input of any
// dtype too.
py::array_t<float> toFloatArray(py::handle object, const std::string& name, const char* expected) {
    if (object.is_none() || py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object))
        typeError(name + ": expected " + expected + ", got " + typeName(object));
    py::array array;
    try {
        array = py::module_::import("numpy").attr("asarray")(object);
    } catch (py::error_already_set& e) {
        valueError(name + ": cannot be read as an array of numbers (" + e.what() + ")");
    }
    const char kind = array.dtype().kind();
    if (array.size() > 0 && kind != 'f' && kind != 'i' && kind != 'u')
        typeError(name + ": expected real numbers, got dtype " + std::string(py::str(array.dtype())));
    auto converted = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!converted) typeError(name + ": cannot be converted to float32, dtype " + std::string(py::str(array.dtype())));
    return converted;
}

Box toBox(py::handle object, const std::string& name) {
    const py::array_t<float> array = toFloatArray(object, name, "a box (x, y, width, height)");
    if (array.ndim() != 1 || array.shape(0) != 4)
        valueError(name + ": expected a box of shape (4,), got shape " + shapeText(array));
    const float* v = array.data();
    return Box(v[0], v[1], v[2], v[3]);
}

track arrayToTrack(const py::array_t<float>& array, py::ssize_t first, py::ssize_t frames) {
    track result;
    result.reserve(static_cast<size_t>(frames));
    const float* v = array.data() + first * 4;
    for (py::ssize_t f = 0; f < frames; ++f, v += 4) result.emplace_back(v[0], v[1], v[2], v[3]);
    return result;
}

// A track: a (frames, 4) array; an empty list is a track of no frames too.
track toTrack(py::handle object, const std::string& name) {
    const py::array_t<float> array = toFloatArray(object, name, "a (frames, 4) array of boxes");
    if (array.ndim() == 1 && array.size() == 0) return track();
    if (array.ndim() != 2 || array.shape(1) != 4)
        valueError(name + ": expected a track of shape (frames, 4), got shape " + shapeText(array));
    return arrayToTrack(array, 0, array.shape(0));
}

// A list of tracks: a (tracks, frames, 4) array, or a list or tuple of (frames, 4) arrays.
trackList toTrackList(py::handle object, const std::string& name) {
    const char* expected = "a (tracks, frames, 4) array or a list of (frames, 4) arrays";
    if (py::isinstance<py::list>(object) || py::isinstance<py::tuple>(object)) {
        const py::sequence items = py::reinterpret_borrow<py::sequence>(object);
        trackList result;
        result.reserve(items.size());
        for (size_t k = 0; k < items.size(); ++k) result.push_back(toTrack(items[k], indexed(name, k)));
        return result;
    }
    const py::array_t<float> array = toFloatArray(object, name, expected);
    if (array.size() == 0 && array.ndim() == 1) return trackList();
    if (array.ndim() != 3 || array.shape(2) != 4)
        valueError(name + ": expected shape (tracks, frames, 4), got shape " + shapeText(array));
    trackList result;
    for (py::ssize_t k = 0; k < array.shape(0); ++k)
        result.push_back(arrayToTrack(array, k * array.shape(1), array.shape(1)));
    return result;
}

// The trackers of one sequence or run: at least one, every track as long as the first.
trackList toTrackers(py::handle object, const std::string& name) {
    trackList trackers = toTrackList(object, name);
    if (trackers.empty()) valueError(name + ": no tracker given");
    for (size_t k = 1; k < trackers.size(); ++k)
        if (trackers[k].size() != trackers[0].size())
            valueError(name + ": tracker " + std::to_string(k) + " has " + std::to_string(trackers[k].size()) +
                       " frames, tracker 0 has " + std::to_string(trackers[0].size()) +
                       "; every tracker needs one box per frame");
    return trackers;
}

int toFrame(py::handle object, const trackList& trackers) {
    const long long frame = toInteger(object, "frame");
    const size_t frames = trackers[0].size();
    if (frame < 0 || static_cast<unsigned long long>(frame) >= frames)
        valueError("frame: " + std::to_string(frame) + " is out of range for " + std::to_string(frames) + " frames");
    return static_cast<int>(frame);
}

// A selection: None is the empty list, which the library reads as all trackers.
std::vector<int> toSelection(py::handle object, size_t trackerCount) {
    std::vector<int> selection;
    if (object.is_none()) return selection;
    if (py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object))
        typeError("selection: expected a sequence of tracker indices, got " + typeName(object));
    py::array array;
    try {
        array = py::module_::import("numpy").attr("asarray")(object);
    } catch (py::error_already_set& e) {
        valueError(std::string("selection: cannot be read as a list of ints (") + e.what() + ")");
    }
    if (array.ndim() == 0) typeError("selection: expected a sequence of tracker indices, got " + typeName(object));
    if (array.ndim() != 1)
        valueError("selection: expected a flat list of tracker indices, got shape " + shapeText(array));
    if (array.size() == 0) return selection;
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u')
        typeError("selection: expected ints, got dtype " + std::string(py::str(array.dtype())));
    const auto values = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(array);
    for (py::ssize_t p = 0; p < values.size(); ++p) {
        const long long k = values.data()[p];
        // Unsigned values above the signed range come back negative and are refused as well.
        if (k < 0 || static_cast<unsigned long long>(k) >= trackerCount)
            valueError("selection: tracker index " + std::string(py::str(array.attr("__getitem__")(p))) +
                       " is out of range for " + std::to_string(trackerCount) + " trackers");
        selection.push_back(static_cast<int>(k));
    }
    return selection;
}

// Weights: None is the empty list, which the library reads as 1.0 for every tracker.
std::vector<float> toWeights(py::handle object) {
    if (object.is_none()) return {};
    const py::array_t<float> array = toFloatArray(object, "weights", "a sequence of tracker weights");
    if (array.ndim() == 0) typeError("weights: expected a sequence of tracker weights, got " + typeName(object));
    if (array.size() == 0) return {};
    if (array.ndim() != 1) valueError("weights: expected one weight per tracker, got shape " + shapeText(array));
    std::vector<float> weights(array.data(), array.data() + array.size());
    // A NaN weight makes every frame score NaN, an infinite one every score infinite: the fusion
    // would then pick the first tracker everywhere.
    for (size_t k = 0; k < weights.size(); ++k)
        if (!std::isfinite(weights[k]))
            valueError("weights: the weight of tracker " + std::to_string(k) + " is " + number(weights[k]) +
                       "; every weight must be finite as a float32");
    return weights;
}

// A flag: True or False (numpy's too); None and other objects are refused rather than read.
bool toBool(const py::object& object, const char* name) {
    if (PyBool_Check(object.ptr())) return object.ptr() == Py_True;
    if (py::isinstance(object, py::module_::import("numpy").attr("bool_"))) return py::cast<bool>(object);
    typeError(std::string(name) + ": expected True or False, got " + typeName(object));
}

// The selected trackers' frame scores stay finite (see checkFrameScores); under the parameter lock.
void checkFusionScores(const Fusion& f) {
    checkFrameScores(f.selection.empty() ? f.trackers.size() : f.selection.size(), f.selection, f.weights);
}

Fusion toFusion(py::handle trackers, py::handle selection, py::handle weights) {
    Fusion f;
    f.trackers = toTrackers(trackers, "trackers");
    checkTrackerBoxes(f.trackers, "trackers");
    f.selection = toSelection(selection, f.trackers.size());
    f.weights = toWeights(weights);
    checkWeightsCover(f.weights, f.selection, f.trackers.size());
    return f;
}

// ---- Data sets ----

bool isIntegerLike(py::handle object) {
    if (PyBool_Check(object.ptr())) return false;
    if (PyLong_Check(object.ptr())) return true;
    return py::isinstance<py::array>(object) ? py::array(py::reinterpret_borrow<py::object>(object)).ndim() == 0
                                             : PyIndex_Check(object.ptr()) != 0;
}

// A run: a (trackers, start_frame) tuple, or a bare trackers array that starts at frame 1.
eTrackList toRun(py::handle object, const std::string& name) {
    eTrackList run;
    py::handle trackers = object;
    int startFrame = 1;
    if (py::isinstance<py::tuple>(object)) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(object);
        if (pair.size() != 2)
            typeError(name + ": a run is a (trackers, start_frame) tuple or a trackers array, got a tuple of " +
                      std::to_string(pair.size()));
        trackers = pair[0];
        startFrame = toInt(pair[1], name + " start_frame");
    }
    trackList tracks = toTrackers(trackers, name);
    run.assign(std::make_move_iterator(tracks.begin()), std::make_move_iterator(tracks.end()));
    run.startFrame = startFrame;
    return run;
}

// One sequence's runs, appended to `set`.
void addSequence(DataSet& set, py::handle sequence, const std::string& name) {
    const bool looksLikeRun = py::isinstance<py::tuple>(sequence) && py::len(sequence) == 2 &&
                              isIntegerLike(py::reinterpret_borrow<py::tuple>(sequence)[1]);
    if (looksLikeRun) typeError(name + ": a sequence is a list of runs, got a single (trackers, start_frame) run");
    if (!py::isinstance<py::list>(sequence) && !py::isinstance<py::tuple>(sequence))
        typeError(name + ": expected a list of runs, got " + typeName(sequence));
    const py::sequence runs = py::reinterpret_borrow<py::sequence>(sequence);
    std::vector<eTrackList> converted;
    for (size_t j = 0; j < runs.size(); ++j) {
        converted.push_back(toRun(runs[j], indexed(name, j)));
        if (set.trackerCount == 0) set.trackerCount = converted.back().size();
    }
    set.data.push_back(std::move(converted));
}

DataSet toDataSet(py::handle data, py::handle annotation) {
    DataSet set;
    if (py::isinstance<py::str>(data) || py::isinstance<py::bytes>(data) || !PySequence_Check(data.ptr()))
        typeError("data: expected a list of sequences or a velmora.DataSet, got " + typeName(data));
    const py::sequence sequences = py::reinterpret_borrow<py::sequence>(data);
    set.annotation = toTrackList(annotation, "annotation");
    for (size_t i = 0; i < sequences.size(); ++i) addSequence(set, sequences[i], indexed("data", i));
    return set;
}

// A data set kept in the library's form between calls: converted once, sequence by sequence, so
// that a large one is never held twice (as Python arrays and as the library's lists).
struct HeldDataSet {
    DataSet set;
};

// The data set of a call: a velmora.DataSet as it is, or lists converted for this call.
class DataSetArgument {
public:
    DataSetArgument(py::handle data, py::handle annotation, DataSetUse use) {
        if (py::isinstance<HeldDataSet>(data)) {
            if (!annotation.is_none()) typeError("annotation: a velmora.DataSet holds its own annotation; pass none");
            held_ = &data.cast<HeldDataSet&>().set;
        } else {
            owned_ = toDataSet(data, annotation);
        }
        checkDataSet(get(), use);
    }
    DataSet& get() { return held_ ? *held_ : owned_; }

private:
    DataSet owned_;
    DataSet* held_ = nullptr;
};

// ---- Conversions back ----

py::array_t<float> toArray(const track& t) {
    py::array_t<float> result({static_cast<py::ssize_t>(t.size()), static_cast<py::ssize_t>(4)});
    auto out = result.mutable_unchecked<2>();
    for (size_t f = 0; f < t.size(); ++f) {
        const auto i = static_cast<py::ssize_t>(f);
        out(i, 0) = t[f].x;
        out(i, 1) = t[f].y;
        out(i, 2) = t[f].width;
        out(i, 3) = t[f].height;
    }
    return result;
}

py::array_t<float> toArray(const Box& b) {
    py::array_t<float> result(4);
    float* out = result.mutable_data();
    out[0] = b.x;
    out[1] = b.y;
    out[2] = b.width;
    out[3] = b.height;
    return result;
}

py::array_t<float> toArray(const std::vector<float>& values) {
    py::array_t<float> result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

py::list toList(const std::vector<int>& values) {
    py::list result;
    for (int v : values) result.append(v);
    return result;
}

// ---- Bindings ----
//
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

// ---- Parameters ----

py::dict getParams() {
    float alpha = 0, beta = 0, sigma = 0;
    int gamma = 0;
    reading([&] {
        alpha = std_alpha;
        beta = std_beta;
        gamma = std_gamma;
        sigma = std_sigma;
    });
    py::dict result;
    result["alpha"] = alpha;
    result["beta"] = beta;
    result["gamma"] = gamma;
    result["sigma"] = sigma;
    return result;
}

// Every value is converted and checked before any is written, so a bad one changes nothing.
void setParams(const py::object& alpha, const py::object& beta, const py::object& gamma, const py::object& sigma) {
    const Overrides o = toOverrides(alpha, sigma, beta);
    const std::optional<int> g = gamma.is_none() ? std::nullopt : std::optional<int>(toInt(gamma, "gamma"));
    if (g) checkGammaSetting(*g);
    writing([&] {
        if (o.alpha) std_alpha = *o.alpha;
        if (o.beta) std_beta = *o.beta;
        if (g) std_gamma = *g;
        if (o.sigma) std_sigma = *o.sigma;
    });
}

template <class T>
T readParameter(const T& parameter) {
    return reading([&] { return parameter; });
}

}  // namespace

// ---- For the bindings of the other files (support.h) ----

namespace velmora::python {

py::array_t<float> floatArrayArgument(py::handle object, const std::string& name, const char* expected) {
    return toFloatArray(object, name, expected);
}
std::string shapeOf(const py::array& array) { return shapeText(array); }
int intArgument(py::handle object, const std::string& name) { return toInt(object, name); }
std::vector<int> selectionArgument(py::handle object, size_t trackerCount) { return toSelection(object, trackerCount); }
std::vector<float> weightsArgument(py::handle object) { return toWeights(object); }

FusionParameters parametersArgument(const py::object& alpha, const py::object& beta, const py::object& sigma,
                                    bool readsBeta) {
    const Overrides o = toOverrides(alpha, sigma, beta);
    FusionParameters p{};
    reading([&] { p = currentParameters(); });
    if (o.alpha) p.alpha = *o.alpha;
    if (o.beta) p.beta = *o.beta;
    if (o.sigma) p.sigma = *o.sigma;
    checkAlphaOrSigma("alpha", p.alpha, number(p.alpha));
    checkAlphaOrSigma("sigma", p.sigma, number(p.sigma));
    if (readsBeta) checkBeta(p.beta, number(p.beta));
    return p;
}

void readingWithoutGil(const std::function<void()>& work) { reading(work); }

}  // namespace velmora::python

PYBIND11_MODULE(_core, m) {
    m.doc() = R"pbdoc(
        Compiled core of the velmora package: bindings of libVelmora.so.

        Import the functions from `velmora`, which also offers the `parameters` context manager.
    )pbdoc";
    m.attr("__version__") = VELMORA_VERSION;
    bindBoxFiles(m);
    bindScores(m);
    bindOnline(m);

    const auto none = py::none();

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

    // ---- Box geometry ----
    const auto alpha = py::arg("alpha") = none, beta = py::arg("beta") = none, sigma = py::arg("sigma") = none;

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

    // ---- Parameters ----
    m.def("get_params", &getParams, R"pbdoc(
        The four parameters: dict(alpha, beta, gamma, sigma), read together.
    )pbdoc");
    m.def("set_params", &setParams, py::arg("alpha") = none, py::arg("beta") = none, py::arg("gamma") = none,
          py::arg("sigma") = none, R"pbdoc(
        Sets the given parameters (None leaves one as it is); alpha, beta and sigma are rounded to
        float32, gamma is an int (-1 means unset). alpha and sigma must be above 0 and finite as
        float32, beta finite, gamma -1 or more. A bad value raises ValueError naming the parameter
        before anything changes.
        A change waits for the calls running in other threads to finish.
    )pbdoc");
    m.def(
        "get_alpha", [] { return readParameter(std_alpha); },
        "The alpha parameter (divides the size terms of the distance).");
    m.def(
        "get_beta", [] { return readParameter(std_beta); },
        "The beta parameter (weight of the agreement reward of trajectory fusion).");
    m.def(
        "get_gamma", [] { return readParameter(std_gamma); },
        "The gamma parameter (trackers local removal drops; -1 = unset).");
    m.def(
        "get_sigma", [] { return readParameter(std_sigma); },
        "The sigma parameter (additive constant of every attraction).");
    const auto setOne = [](int which, const py::object& v) {
        if (v.is_none()) typeError("value: expected a number, got None");
        py::object args[4] = {py::none(), py::none(), py::none(), py::none()};
        args[which] = v;
        setParams(args[0], args[1], args[2], args[3]);
    };
    m.def(
        "set_alpha", [setOne](const py::object& v) { setOne(0, v); }, py::arg("value"), "Sets the alpha parameter.");
    m.def(
        "set_beta", [setOne](const py::object& v) { setOne(1, v); }, py::arg("value"), "Sets the beta parameter.");
    m.def(
        "set_gamma", [setOne](const py::object& v) { setOne(2, v); }, py::arg("value"),
        "Sets the gamma parameter (an int; -1 = unset).");
    m.def(
        "set_sigma", [setOne](const py::object& v) { setOne(3, v); }, py::arg("value"), "Sets the sigma parameter.");
}

// Conversions between Python objects and the library's containers (see convert.h).
#include "convert.h"

#include <cmath>
#include <limits>

namespace velmora::python {

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

}  // namespace velmora::python

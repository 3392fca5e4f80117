// Conversions between Python objects and the library's containers, for every binding of
// velmora._core. Each conversion checks what needs no parameter (shapes, dtypes, index ranges)
// and raises ValueError or TypeError naming the argument.
#ifndef VELMORA_PYTHON_CONVERT_H
#define VELMORA_PYTHON_CONVERT_H

#include "checks.h"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace velmora::python {

std::string typeName(py::handle object);
std::string shapeText(const py::array& array);

// ---- Python to the library ----

long long toInteger(py::handle object, const std::string& name);
int toInt(py::handle object, const std::string& name);
float toFloat(py::handle object, const std::string& name);
// A flag: True or False (numpy's too); None and other objects are refused rather than read.
bool toBool(const py::object& object, const char* name);
// Any array-like of real numbers as a C-contiguous float32 array (float64 rounded to nearest).
py::array_t<float> toFloatArray(py::handle object, const std::string& name, const char* expected);
Box toBox(py::handle object, const std::string& name);
// A (frames, 4) array; an empty list is a track of no frames.
track toTrack(py::handle object, const std::string& name);
// A (tracks, frames, 4) array, or a list or tuple of (frames, 4) arrays.
trackList toTrackList(py::handle object, const std::string& name);
// The trackers of one sequence or run: at least one, every track as long as the first.
trackList toTrackers(py::handle object, const std::string& name);
int toFrame(py::handle object, const trackList& trackers);
// None is the empty list, which the library reads as all trackers.
std::vector<int> toSelection(py::handle object, size_t trackerCount);
// None is the empty list, which the library reads as 1.0 for every tracker; every weight finite.
std::vector<float> toWeights(py::handle object);
// Trackers, selection and weights of one fusion, their boxes and weights checked.
Fusion toFusion(py::handle trackers, py::handle selection, py::handle weights);

// ---- Data sets ----

// One sequence's runs, appended to `set`.
void addSequence(DataSet& set, py::handle sequence, const std::string& name);
DataSet toDataSet(py::handle data, py::handle annotation);

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

// ---- The library to Python ----

py::array_t<float> toArray(const track& t);
py::array_t<float> toArray(const Box& b);
py::array_t<float> toArray(const std::vector<float>& values);
py::list toList(const std::vector<int>& values);

}  // namespace velmora::python

#endif  // VELMORA_PYTHON_CONVERT_H

// Shared by the sources of velmora._core: the error helpers and the texts of messages.
#ifndef VELMORA_PYTHON_SUPPORT_H
#define VELMORA_PYTHON_SUPPORT_H

#include "approach.h"
#include "online.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

namespace velmora::python {

namespace py = pybind11;
using Box = cv::Rect_<float>;

[[noreturn]] inline void valueError(const std::string& message) { throw py::value_error(message); }
[[noreturn]] inline void typeError(const std::string& message) { throw py::type_error(message); }

// The shortest text that reads back as the same float ("0.03", "inf", "nan").
std::string number(float value);
std::string count(size_t n, const std::string& noun, const std::string& plural = "");
std::string indexed(const std::string& name, size_t i);
std::string listText(const std::vector<int>& values);
std::string boxText(const Box& b);

// 0, 1, ..., trackerCount - 1: what an empty selection stands for.
std::vector<int> allTrackers(size_t trackerCount);

// The box-file readers (boxfile.cpp), the one-pass scorer of the benchmark measures (scores.cpp)
// and the live streams (online.cpp).
void bindBoxFiles(py::module_& m);
void bindScores(py::module_& m);
void bindOnline(py::module_& m);

// The argument conversions of module.cpp, for the bindings of the other files: the same checks
// and messages.
py::array_t<float> floatArrayArgument(py::handle object, const std::string& name, const char* expected);
std::string shapeOf(const py::array& array);
int intArgument(py::handle object, const std::string& name);
std::vector<int> selectionArgument(py::handle object, size_t trackerCount);  // None: empty (all trackers)
std::vector<float> weightsArgument(py::handle object);                       // None: empty (all 1.0)
// The parameters in force, read under the parameter lock, with those given for one call (None
// leaves one as it is), checked; beta only when `readsBeta`.
FusionParameters parametersArgument(const py::object& alpha, const py::object& beta, const py::object& sigma,
                                    bool readsBeta);
// Runs `work` without the GIL, holding the parameter lock shared (module.cpp explains the lock).
void readingWithoutGil(const std::function<void()>& work);

}  // namespace velmora::python

#endif  // VELMORA_PYTHON_SUPPORT_H

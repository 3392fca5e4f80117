// Shared by the sources of velmora._core: the error helpers and the texts of messages.
#ifndef VELMORA_PYTHON_SUPPORT_H
#define VELMORA_PYTHON_SUPPORT_H

#include "approach.h"
#include "online.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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

// Each domain of the module registers its functions, one file each.
void bindParameters(py::module_& m);  // get_params, set_params, check_params, each parameter (parameters.cpp)
void bindFusion(py::module_& m);      // box geometry and the fusion of one sequence (fusion.cpp)
void bindEvaluation(py::module_& m);  // track measures, DataSet, the data-set evaluation (evaluation.cpp)
void bindLearning(py::module_& m);    // tracker weights, global and local removal (learning.cpp)
void bindOnline(py::module_& m);      // the live streams (online.cpp)
void bindBoxFiles(py::module_& m);    // the box-file readers (boxfile.cpp)
void bindScores(py::module_& m);      // the one-pass scorer of the benchmark measures (scores.cpp)

}  // namespace velmora::python

#endif  // VELMORA_PYTHON_SUPPORT_H

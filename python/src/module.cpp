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
#include "support.h"

using namespace velmora::python;

PYBIND11_MODULE(_core, m) {
    m.doc() = R"pbdoc(
        Compiled core of the velmora package: bindings of libVelmora.so.

        Import the functions from `velmora`, which also offers the `parameters` context manager.
    )pbdoc";
    m.attr("__version__") = VELMORA_VERSION;
    bindBoxFiles(m);
    bindScores(m);
    bindOnline(m);
    bindParameters(m);
    bindFusion(m);
    bindEvaluation(m);
    bindLearning(m);
}

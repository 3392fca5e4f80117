// The std_ parameters as the bindings read and set them: a lock that keeps a change away from
// running calls, and the parameters a call takes as keywords for itself alone.
#ifndef VELMORA_PYTHON_PARAMETERS_H
#define VELMORA_PYTHON_PARAMETERS_H

#include "checks.h"

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

namespace velmora::python {

// ---- The parameter lock ----
//
// The std_ parameters are plain globals that the library reads without synchronisation, and
// the bindings run the library without the GIL, so a setter in one Python thread could race
// with a call in another. Every call into the library holds this lock shared and every write
// of a parameter holds it exclusively. The lock is only ever taken after the GIL has been
// released, and released before the GIL is taken back, so no thread waits for one of the two
// while holding the other: the pair cannot deadlock.
std::shared_mutex& parameterLock();

// Runs `work` without the GIL, holding the parameter lock in the mode of `Lock`. `work` must
// not touch Python objects; it may throw the exceptions of pybind11 (they carry only a string
// until the GIL is back).
template <class Lock, class Work>
auto withoutGil(Work&& work) {
    py::gil_scoped_release release;
    Lock lock(parameterLock());
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

// alpha, beta or sigma as given for one call: None, or a checked float32.
std::optional<float> toParameter(const py::object& object, const char* name);
Overrides toOverrides(const py::object& alpha, const py::object& sigma, const py::object& beta = py::none());

// The parameters in force, read under the parameter lock, with those given for one call (None
// leaves one as it is), checked; beta only when `readsBeta`. What a live stream captures.
FusionParameters parametersArgument(const py::object& alpha, const py::object& beta, const py::object& sigma,
                                    bool readsBeta);

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

}  // namespace velmora::python

#endif  // VELMORA_PYTHON_PARAMETERS_H

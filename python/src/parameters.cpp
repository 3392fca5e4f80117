// The parameter lock, the parameters of one call, and the getters and setters of the std_
// parameters.
#include "parameters.h"

#include "convert.h"

namespace velmora::python {

std::shared_mutex& parameterLock() {
    static std::shared_mutex lock;
    return lock;
}

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

Overrides toOverrides(const py::object& alpha, const py::object& sigma, const py::object& beta) {
    return Overrides{toParameter(alpha, "alpha"), toParameter(beta, "beta"), toParameter(sigma, "sigma"), {}};
}


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


namespace {

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
// The values given, converted and checked: the one check of each parameter, wherever it is given.
Overrides checkedParams(const py::object& alpha, const py::object& beta, const py::object& gamma,
                        const py::object& sigma) {
    Overrides o = toOverrides(alpha, sigma, beta);
    if (!gamma.is_none()) o.gamma = toInt(gamma, "gamma");
    if (o.gamma) checkGammaSetting(*o.gamma);
    return o;
}

void setParams(const py::object& alpha, const py::object& beta, const py::object& gamma, const py::object& sigma) {
    const Overrides o = checkedParams(alpha, beta, gamma, sigma);
    const std::optional<int> g = o.gamma;
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

void bindParameters(py::module_& m) {
    const auto none = py::none();
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
        "check_params",
        [](const py::object& alpha, const py::object& beta, const py::object& gamma, const py::object& sigma) {
            checkedParams(alpha, beta, gamma, sigma);
        },
        py::arg("alpha") = none, py::arg("beta") = none, py::arg("gamma") = none, py::arg("sigma") = none, R"pbdoc(
        Checks parameter values as set_params and every function taking them do, and sets nothing:
        ValueError (TypeError for a value of the wrong kind) naming the first bad one.
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

}  // namespace velmora::python

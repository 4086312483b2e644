// Python module halvorn: the Merton jump-diffusion European call.
#include <pybind11/pybind11.h>

#include "initialised_self.h"
#include "module_guards.h"
#include "merton_call.h"

namespace py = pybind11;

MAIN_INTERPRETER_MODULE(halvorn, mod) {
    module_guards::guard_base_type_construction();
    py::class_<MertonEuropeanCall>(mod, "MertonEuropeanCall")
        .def(py::init<double, double>())
        .def(
            "JDAnalyticalPrice",
            [](Initialised<const MertonEuropeanCall> self, double S, double sigma, double r,
               double lam, double m, double s, double n) {
                return self->JDAnalyticalPrice(S, sigma, r, lam, m, s, n);
            },
            py::arg("S"), py::arg("sigma"), py::arg("r"), py::arg("lam"), py::arg("m"),
            py::arg("s"), py::arg("n"));
}

// Python module corvane: European calls and puts under the Kou jump-diffusion model.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "initialised_self.h"
#include "module_guards.h"
#include "options.h"

namespace py = pybind11;
using kou::EuropeanCall;
using kou::EuropeanOption;
using kou::EuropeanPut;
using kou::Option;

MAIN_INTERPRETER_MODULE(corvane, mod) {
    module_guards::guard_base_type_construction();
    py::class_<Option>(mod, "Option");

    // Registering Option as the base makes the binding layer convert an EuropeanOption
    // pointer to its Option part by static_cast, which adjusts the address.
    py::class_<EuropeanOption, Option>(mod, "EuropeanOption")
        .def(
            "priceByKouJumpDiffusion",
            [](Initialised<const EuropeanOption> self, double S, double r, double sigma,
               double lam, double p, double eta1, double eta2, std::int32_t n) {
                return self->priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n);
            },
            py::arg("S"), py::arg("r"), py::arg("sigma"), py::arg("lam"), py::arg("p"),
            py::arg("eta1"), py::arg("eta2"), py::arg("n"));

    py::class_<EuropeanCall, EuropeanOption>(mod, "KouEuropeanCall")
        .def(py::init<double, double>());
    py::class_<EuropeanPut, EuropeanOption>(mod, "KouEuropeanPut")
        .def(py::init<double, double>());

    mod.def("create_european_call", &kou::create_european_call, py::arg("T"), py::arg("K"));
    mod.def("create_european_put", &kou::create_european_put, py::arg("T"), py::arg("K"));
}

// What both modules add to the binding layer's module definition, so that nothing a
// caller does crashes or hangs the interpreter:
//
//  - MAIN_INTERPRETER_MODULE(name, variable): PYBIND11_MODULE(name, variable), the same
//    multi-phase definition and the same exported PyInit_<name>, with one check between
//    the interpreter-version check and the binding layer's first use of its internals:
//    in a sub-interpreter the import fails at once with ImportError. The binding layer
//    (pybind11 3.0) reaches PyGILState_Ensure there, which on CPython 3.11 waits for ever
//    on the lock its own thread holds in the sub-interpreter.
//
//  - guard_base_type_construction(): the binding layer's common base type
//    (pybind11_builtins.pybind11_object) lets a C++ exception escape from its tp_new when
//    it is asked for an instance of itself, which ends the process. copyreg does exactly
//    that for pickle protocols 0 and 1 (base(self) with base = the first type of the MRO
//    that defines __new__), and so does calling the type. The guard wraps that one slot:
//    every type that builds instances through it behaves as before, and the exception
//    becomes a TypeError.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <string>

// The binding layer this package is built against, as pinned in pyproject.toml: 3.0.2 is
// the first release whose generated signatures the stubs and docstrings are written for,
// and 3.1 changed the internals layout (version 12), which would not interoperate with
// other extensions built for version 11.
static_assert(PYBIND11_VERSION_HEX >= 0x03000200 && PYBIND11_VERSION_HEX < 0x03010000 &&
                  PYBIND11_INTERNALS_VERSION == 11,
              "pybind11 >=3.0.2,<3.1 (internals version 11) required");

#define MAIN_INTERPRETER_MODULE(name, variable)                                                 \
    static int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject *);                               \
    PYBIND11_PLUGIN_IMPL(name) {                                                                \
        PYBIND11_CHECK_PYTHON_VERSION                                                           \
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {                            \
            PyErr_SetString(PyExc_ImportError,                                                  \
                            PYBIND11_TOSTRING(name) " supports only the main interpreter");     \
            return nullptr;                                                                     \
        }                                                                                       \
        try {                                                                                   \
            pybind11::detail::ensure_internals();                                               \
            static ::pybind11::detail::slots_array mod_def_slots                                \
                = ::pybind11::detail::init_slots(&PYBIND11_CONCAT(pybind11_exec_, name));       \
            static PyModuleDef def{PyModuleDef_HEAD_INIT, PYBIND11_TOSTRING(name), nullptr, 0,  \
                                   nullptr, mod_def_slots.data(), nullptr, nullptr, nullptr};   \
            return PyModuleDef_Init(&def);                                                      \
        }                                                                                       \
        PYBIND11_CATCH_INIT_EXCEPTIONS                                                          \
        return nullptr;                                                                         \
    }                                                                                           \
    PYBIND11_MODULE_EXEC(name, variable)

namespace module_guards {

inline newfunc &unguarded_new() {
    static newfunc original = nullptr;
    return original;
}

extern "C" inline PyObject *guarded_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    try {
        return unguarded_new()(type, args, kwargs);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances (%s)", type->tp_name,
                     e.what());
    } catch (...) {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    }
    return nullptr;
}

// Once for every module on the same binding-layer internals: the first module to load
// installs its guard and records it in the internals' shared data; the others find the
// record and leave the slot alone. Wrapping again would give the types created in between
// a tp_new different from their base's, and CPython's __new__ refuses that as unsafe
// (corvane.KouEuropeanCall.__new__(corvane.KouEuropeanCall) failed once halvorn was
// imported).
inline void guard_base_type_construction() {
    static const char *const kGuarded = "module_guards.base_type_construction";
    if (pybind11::get_shared_data(kGuarded) != nullptr) {
        return;
    }
    auto *base = reinterpret_cast<PyTypeObject *>(pybind11::detail::get_internals().instance_base);
    unguarded_new() = base->tp_new;
    base->tp_new = &guarded_new;
    pybind11::set_shared_data(kGuarded, reinterpret_cast<void *>(&guarded_new));
}

}  // namespace module_guards

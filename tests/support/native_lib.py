"""Loads the straightforward evaluations (tests/native/straightforward.cpp) via ctypes,
and beside them the probes of the Kou call's evaluation and of the normalised Black-Scholes
call (tests/native/core_probe.cpp).

tests/run.sh builds them with the native tests and passes the path in
STRAIGHTFORWARD_LIB; without it the library is built here with CMake.
"""
import ctypes
import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "native"


def _build():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DBUILD_PYTHON_MODULES=OFF",
                    "-DBUILD_NATIVE_TESTS=ON"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "straightforward", "core_probe"],
                   check=True, capture_output=True)
    return BUILD / "tests" / "native" / "libstraightforward.so"


def load():
    path = os.environ.get("STRAIGHTFORWARD_LIB") or _build()
    lib = ctypes.CDLL(str(path))
    d, i = ctypes.c_double, ctypes.c_int32
    signatures = {
        "sf_kou_call": [d] * 9 + [i],
        "sf_kou_put": [d] * 9 + [i],
        "sf_merton_call": [d] * 9,
    }
    for name, args in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = d
    probe = ctypes.CDLL(str(pathlib.Path(path).with_name("libcore_probe.so")))
    probe.probe_kou_call.argtypes = [d] * 9 + [i, ctypes.POINTER(d), ctypes.POINTER(d)]
    probe.probe_kou_call.restype = ctypes.c_int
    lib.kou_evaluation = lambda *args: _kou_evaluation(probe, *args)
    probe.probe_normalised_call.argtypes = [d, d]
    probe.probe_normalised_call.restype = d
    lib.normalised_call = probe.probe_normalised_call
    probe.probe_kou_stable_call.argtypes = [d] * 9 + [i]
    probe.probe_kou_stable_call.restype = d
    lib.kou_stable_call = probe.probe_kou_stable_call
    return lib


def _kou_evaluation(probe, T, K, S, r, sigma, lam, p, eta1, eta2, n):
    """(certified, closed form, its error bound) as the Kou call's evaluation decided."""
    closed, bound = ctypes.c_double(), ctypes.c_double()
    certified = probe.probe_kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n,
                                     ctypes.byref(closed), ctypes.byref(bound))
    return bool(certified), closed.value, bound.value

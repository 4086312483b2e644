"""Bit-for-bit comparison of doubles: equal bits, or both NaN; and the C library's exp,
which the modules call (math.exp raises on overflow where the C function gives inf)."""
import ctypes
import ctypes.util
import math
import struct

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
c_exp = _libm.exp
c_exp.restype = ctypes.c_double
c_exp.argtypes = [ctypes.c_double]


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


def check_kou_call(lib, T, K, args, call, put=None):
    """A Kou price against the straightforward closed form: its bits where the evaluation
    certified the closed form; elsewhere within the closed form's error bound plus the
    stable evaluation's 1e-11 of S + K exp(-rT) (where the bound is finite; the stable
    evaluation's own accuracy is tested against the high-precision series). Returns
    whether it was certified."""
    certified, closed, bound = lib.kou_evaluation(T, K, *args)
    plain = lib.sf_kou_call(T, K, *args)
    assert same(closed, plain), (T, K, args)
    if certified:
        assert same(call, plain), (T, K, args)
        if put is not None:
            assert same(put, lib.sf_kou_put(T, K, *args)), (T, K, args)
    elif math.isfinite(bound):
        S, r = args[0], args[1]
        scale = S + K * math.exp(-r * T)
        assert abs(call - plain) <= bound + 1e-11 * scale, (T, K, args, call, plain, bound)
    return certified

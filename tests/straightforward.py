"""Straightforward evaluations of both prices, transcribed term by term.

Python floats are IEEE doubles and every arithmetic operation below rounds
once, in the order written; the elementary functions come from the platform's
C math library through ctypes, so both sides of a bit-for-bit comparison use
the same exp, log, pow, sqrt, erfc and tgamma.
"""
import ctypes
import ctypes.util

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
for _name in ("exp", "log", "sqrt", "erfc", "tgamma"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]
_libm.pow.restype = ctypes.c_double
_libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]

exp = _libm.exp
log = _libm.log
sqrt = _libm.sqrt
erfc = _libm.erfc
tgamma = _libm.tgamma
pow_ = _libm.pow

SQRT2 = 1.4142135623730951
INT32_MAX = 2**31 - 1


def merton_call(K, T, S, sigma, r, lam, m, s, n):
    """Merton call: Poisson-weighted Black-Scholes terms i = 0 .. floor(n)."""
    k = exp(0.5 * (s * s) + m) - 1.0
    a = 1.0 + k
    L = (a * lam) * T
    r0 = r - k * lam
    g = log(a) / T
    v = (s * s) / T
    sigma2 = sigma * sigma
    if not (n >= 0.0):
        return 0.0
    total = 0.0
    F = 1.0
    i = 0
    while True:
        x = float(i)
        sig_i = sqrt(v * x + sigma2)
        r_i = g * x + r0
        w = exp(-L) * pow_(L, x)
        if i >= 2:
            F = F * x
            w = w / F
        d1 = ((((sig_i * sig_i) * 0.5 + r_i) * T) + log(S / K)) / sig_i / sqrt(T)
        N1 = 1.0 - erfc(d1 / SQRT2) * 0.5
        D = exp(T * (-r_i))
        d2 = d1 - sig_i * sqrt(T)
        N2 = 1.0 - erfc(d2 / SQRT2) * 0.5
        c = N1 * S - (K * D) * N2
        total = c * w + total
        if i == INT32_MAX or not (n >= float(i + 1)):
            return total
        i += 1

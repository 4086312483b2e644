"""Prints the quadrature reference values tabulated in test_kou_core.cpp.

    python3 tests/native/reference_values.py

Hh(n, x) = (1/n!) * integral from x to infinity of (t - x)^n exp(-t^2/2) dt and
I_n(c; alpha, beta, delta) = integral from c to infinity of exp(alpha x) Hh(n, beta x - delta) dx,
both by mpmath quadrature of the definitions at 30 significant digits.
"""
import mpmath as mp

mp.mp.dps = 30


def hh(n, x):
    return mp.quad(lambda u: u**n * mp.exp(-(u + x) ** 2 / 2), [0, 5, 20, mp.inf]) / mp.factorial(n)


def i_n(n, c, alpha, beta, delta):
    return mp.quad(lambda x: mp.exp(alpha * x) * hh(n, beta * x - delta), [c, c + 2, c + 10, mp.inf])


HH_CASES = [(1, -1.5), (2, 0.3), (3, 2.0), (5, -0.7), (8, 1.2), (12, -2.5)]
IN_CASES = [
    (0, 0.2, 1.5, 2.0, 0.3), (3, 0.2, 1.5, 2.0, 0.3), (2, 0.1, -1.0, 1.5, 0.2),
    (0, 0.2, -1.5, -2.0, 0.3), (4, 0.3, -2.5, -1.1, 0.6), (6, -0.1, -8.0, -2.5, -0.4),
]

if __name__ == "__main__":
    for n, x in HH_CASES:
        print(f"    {{{n}, {x}, {mp.nstr(hh(n, mp.mpf(x)), 20)}}},")
    print()
    for case in IN_CASES:
        args = ", ".join(str(v) for v in case)
        print(f"    {{{args}, {mp.nstr(i_n(*map(mp.mpf, case)), 20)}}},")

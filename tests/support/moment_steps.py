"""Derives the number of backward steps of the Mills-ratio moment series in
src/jumpdiffusion/black_scholes.cpp (moment_series): for the lower end u of each range
(where the recurrence converges slowest), the fewest steps N from which the series'
relative error at the largest t it is used for, t = (sqrt(u^2 + 4) + u)/16, is below
2^-53, measured against the moments M_k(u) = int_0^inf y^k exp(-u y - y^2/2) dy by 40-digit
quadrature. The recurrence is replayed in Python floats (IEEE doubles, as in the core).

Run: python3 tests/support/moment_steps.py (a few seconds; needs mpmath).
"""
import math

import mpmath

RANGES = [2.5, 3.0, 4.0, 6.0]  # the lower ends of the core's ranges of u (the last open)


def exact_terms(u, t, kmax):
    with mpmath.workdps(40):
        def moment(k):
            return mpmath.quad(lambda y: y**k * mpmath.exp(-u * y - y * y / 2), [0, 1, 5, 20, mpmath.inf])
        return [moment(k) * mpmath.mpf(t) ** k / mpmath.factorial(k) for k in range(1, kmax + 1, 2)]


def replayed_terms(u, t, n, kmax):
    """The core's backward recurrence from M_N = 1 and M_{N+1} at the ratio's fixed point,
    normalised by M_0 = R(u) (taken exact here: erfcx's own error is not the recurrence's)."""
    above, current = 0.5 * (math.sqrt(u * u + 4.0 * (n + 1)) - u), 1.0
    moments = {n: current}
    for k in range(n, 0, -1):  # multiplied by the rounded 1/k, as the core does
        above, current = current, (u * current + above) * (1.0 / k)
        moments[k - 1] = current
    with mpmath.workdps(40):
        r0 = float(mpmath.sqrt(mpmath.pi / 2) * mpmath.erfc(u / mpmath.sqrt(2)) * mpmath.exp(u * u / 2))
    scale = r0 / moments[0]
    return [moments[k] * scale * t**k / math.factorial(k) for k in range(1, min(kmax, n) + 1, 2)]


def fewest_steps(u):
    t = (math.sqrt(u * u + 4.0) + u) / 16.0
    exact = exact_terms(u, t, 41)
    total = float(sum(exact))
    for n in range(8, 129, 4):
        replay = replayed_terms(u, t, n, 41)
        error = sum(abs(a - float(b)) for a, b in zip(replay, exact)) + float(sum(exact[len(replay):]))
        if error <= 2.0**-53 * total:
            return n, error / total
    return None, None


if __name__ == "__main__":
    print("| u from | fewest backward steps | series relative error |")
    print("|---|---|---|")
    for u in RANGES:
        n, error = fewest_steps(u)
        print(f"| {u} | {n} | {error:.1e} |")

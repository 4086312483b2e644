"""Worst time of a Merton price with n = +inf (the whole tail decided) over a seeded random
sample of the whole double range, half of it in the regime where the decision is hardest
(maturities of 1e-305 to 1e-280 years, rates near the largest double, S / K = 0, jump laws
with m = -s^2 whose drifts cancel). Each input is timed three times, the fastest kept."""
import math
import random
import struct
import sys
import time

import halvorn

SPECIAL = [0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan, 5e-324,
           1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300]


def any_double(rng):
    u = rng.random()
    if u < 0.15:
        return rng.choice(SPECIAL)
    if u < 0.45:
        return struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0]
    if u < 0.75:
        return rng.choice([1, -1]) * 10 ** rng.uniform(-320, 308.2)
    return rng.uniform(-5, 5)


def whole_range(rng):
    typical = [rng.uniform(50, 150), rng.uniform(0.01, 5), rng.uniform(50, 150), rng.uniform(0, 0.6),
               rng.uniform(-0.02, 0.15), rng.uniform(0, 10), rng.uniform(-1, 0.5), rng.uniform(0, 0.6)]
    return [any_double(rng) if rng.random() < 0.5 else x for x in typical]


def hard_regime(rng):
    s = rng.uniform(0, 10)
    return [10 ** rng.uniform(0, 10), 10 ** rng.uniform(-305, -280), rng.choice([0.0, 1e-320, 5e-324]),
            rng.choice([0.0, rng.uniform(0, 1)]),
            rng.choice([1, -1]) * 1.7976931348623157e308 * rng.uniform(0.5, 1.0),
            rng.choice([0.0, rng.uniform(0, 3)]), -s * s if rng.random() < 0.5 else rng.uniform(-50, 5), s]


def main(count=100_000, seed=2026):
    rng = random.Random(seed)
    worst, worst_args, nan = 0.0, None, 0
    for i in range(count):
        K, T, S, sigma, r, lam, m, s = hard_regime(rng) if i % 2 else whole_range(rng)
        call = halvorn.MertonEuropeanCall(K, T)
        best = math.inf
        for _ in range(3):
            started = time.perf_counter()
            price = call.JDAnalyticalPrice(S, sigma, r, lam, m, s, math.inf)
            best = min(best, time.perf_counter() - started)
        nan += math.isnan(price)
        if best > worst:
            worst, worst_args = best, (K, T, S, sigma, r, lam, m, s)
    print(f"{count} prices with n = +inf ({nan} NaN): worst {worst * 1e6:.1f} µs "
          f"(from Python, the call included) at (K, T) = {worst_args[:2]}, "
          f"(S, sigma, r, lam, m, s) = {worst_args[2:]}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)

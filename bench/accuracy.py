"""Accuracy of Kou prices by eta·sigma·sqrt(T): the plain closed form and corvane against
the truncated series evaluated to many digits, on seeded random in-domain parameters
(the sampler of tests/test_kou_accuracy.py). Prints one markdown table."""
import math
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))  # the sampler of test_kou_accuracy

import corvane  # noqa: E402
import native_lib  # noqa: E402
from kou_series_mp import kou_call as truncated_series  # noqa: E402
from test_kou_accuracy import sweep_case  # noqa: E402

BINS = [0.5, 1, 2, 3, 4, 5, 7, 10, 30]


def main(count=400):
    sf = native_lib.load()
    rng = random.Random(7)
    rows = {b: [0, 0, 0.0, 0.0, 0.0, 0.0] for b in BINS[:-1]}  # count, stable, worst plain, worst ours, time
    for _ in range(count):
        T, K, S, r, sigma, lam, p, eta1, eta2, n = sweep_case(rng)
        x = max(eta1, eta2) * sigma * math.sqrt(T)
        b = max(v for v in BINS[:-1] if v <= x)
        args = (S, r, sigma, lam, p, eta1, eta2, n)
        option = corvane.KouEuropeanCall(T, K)
        started = time.perf_counter()
        got = option.priceByKouJumpDiffusion(*args)
        elapsed = time.perf_counter() - started
        certified, plain, _ = sf.kou_evaluation(T, K, *args)
        if not math.isfinite(plain):
            continue
        want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
        scale = S + K * math.exp(-r * T)
        row = rows[b]
        row[0] += 1
        row[1] += not certified
        row[2] = max(row[2], abs(plain - want) / scale)
        row[3] = max(row[3], abs(got - want) / scale)
        row[4] += elapsed
    print("| eta·sigma·sqrt(T) | prices | stable path | worst error, plain closed form | "
          "worst error, corvane | mean time per call |")
    print("|---|---|---|---|---|---|")
    for lo, hi in zip(BINS, BINS[1:]):
        c, st, wp, wo, t, _ = rows[lo]
        if c:
            print(f"| {lo:g} – {hi:g} | {c} | {st / c:.0%} | {wp:.1e} | {wo:.1e} | {t / c * 1e6:.0f} µs |")
    print("\nErrors relative to S + K·exp(−rT); n uniform in 0..60, sigma 0.1..0.5, T 0.05..5, "
          "lam 0.1..5; one call per price (timings include the interpreter).")


if __name__ == "__main__":
    main()

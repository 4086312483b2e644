"""What the toolkit's batch loops cost in each array layout, and what Greeks cost beside
prices; with the accuracy of Kou's Greeks against the high-precision truncated series.

Run: python3 bench/layouts.py [--accuracy]  (the accuracy part takes about a minute)
Times are benchmark.per_call's (the best of repeated timings in this process), all cores.
"""
from __future__ import annotations

import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import fmt, per_call  # noqa: E402  (also puts tests/support on the path)

import jumpdiffusion as jd  # noqa: E402

KOU = (0.05, 0.16, 1.0, 0.4, 10.0, 5.0)          # r, sigma, lam, p, eta1, eta2
MERTON = (0.05, 0.2, 1.0, -0.1, 0.15)             # r, sigma, lam, m, s


def layouts():
    K20, T20 = np.linspace(80.0, 120.0, 20), np.linspace(0.1, 2.0, 20)
    K41, T6 = np.linspace(60.0, 140.0, 41), np.array([0.1, 0.25, 0.5, 1.0, 1.5, 2.0])
    spots, vols = np.linspace(60.0, 140.0, 1000), np.linspace(0.05, 0.60, 1000)
    rows = [
        ("Kou, 20 × 20 surface", lambda: jd.kou_price("call", 100.0, K20, T20[:, None], *KOU),
         lambda: jd.kou_price("call", 100.0, K20[:, None], T20, *KOU)),
        ("Kou, 6 × 41 surface", lambda: jd.kou_price("call", 100.0, K41, T6[:, None], *KOU),
         lambda: jd.kou_price("call", 100.0, K41[:, None], T6, *KOU)),
        ("Kou, 20 × 20 surface, shuffled order", lambda: jd.kou_price("call", 100.0, K20, T20[:, None], *KOU),
         lambda: jd.kou_price("call", 100.0, shuffledK, shuffledT, *KOU)),
        ("Merton, 20 × 20 surface", lambda: jd.merton_price("call", 100.0, K20, T20[:, None], *MERTON),
         lambda: jd.merton_price("call", 100.0, K20[:, None], T20, *MERTON)),
        ("Kou, 10^6 scenario grid (spot × sigma)",
         lambda: jd.kou_price("call", spots, 100.0, 0.5, 0.03, vols[:, None], 1.0, 0.4, 10.0, 5.0),
         lambda: jd.kou_price("call", spots[:, None], 100.0, 0.5, 0.03, vols, 1.0, 0.4, 10.0, 5.0)),
    ]
    cells = np.random.default_rng(1).permutation(400)
    shuffledK, shuffledT = np.tile(K20, 20)[cells], np.repeat(T20, 20)[cells]
    print("| computation | strips along the last axis | the other layout | ratio |")
    print("|---|---|---|---|")
    for name, along, across in rows:
        repeat = 3 if "10^6" in name else 15
        a, b = per_call(along, repeat=repeat), per_call(across, repeat=repeat)
        print(f"| {name} | {fmt(a)} | {fmt(b)} | {b / a:.2f}× |")


def greeks_cost():
    K20, T20 = np.linspace(80.0, 120.0, 20), np.linspace(0.1, 2.0, 20)[:, None]
    print("\n| 20 × 20 surface | price | Greeks (delta, gamma, vega, theta, rho) | ratio |")
    print("|---|---|---|---|")
    for name, price, greeks in (
            ("Kou", lambda: jd.kou_price("call", 100.0, K20, T20, *KOU), lambda: jd.kou_greeks("call", 100.0, K20, T20, *KOU)),
            ("Merton", lambda: jd.merton_price("call", 100.0, K20, T20, *MERTON),
             lambda: jd.merton_greeks("call", 100.0, K20, T20, *MERTON))):
        a, b = per_call(price, repeat=15), per_call(greeks, repeat=15)
        print(f"| {name} | {fmt(a)} | {fmt(b)} | {b / a:.2f}× |")


def greeks_accuracy(sets=40):
    """Kou Greeks against central differences (one Richardson step) of the truncated series
    at 1e-15 relative (tests/support/kou_series_mp.py), the toolkit's truncation."""
    from kou_series_mp import kou_greeks
    rng = np.random.default_rng(11)
    names = ("delta", "gamma", "vega", "theta", "rho")
    worst = {k: (0.0, 0.0) for k in names}     # (relative, absolute)
    for _ in range(sets):
        a = dict(S=100.0, K=100.0 * math.exp(rng.uniform(-0.6, 0.6)), T=math.exp(rng.uniform(math.log(0.02), math.log(5))),
                 r=rng.uniform(-0.02, 0.08), sigma=rng.uniform(0.08, 0.8), lam=rng.uniform(0.0, 4.0),
                 p=rng.uniform(0.0, 1.0), eta1=rng.uniform(2.0, 40.0), eta2=rng.uniform(1.0, 40.0))
        q, kind = rng.uniform(0.0, 0.04), ("call", "put")[int(rng.integers(2))]
        n = int(jd._native.kou_default_terms(a["T"], a["lam"], a["p"], a["eta1"], a["eta2"]))
        got = jd.kou_greeks(kind, **a, q=q, n=n)
        for name, ref in kou_greeks(kind, **a, n=n, q=q).items():
            err = abs(getattr(got, name) - ref)
            rel = err / abs(ref) if abs(ref) > 1e-6 else 0.0
            worst[name] = (max(worst[name][0], rel), max(worst[name][1], err))
    print(f"\nKou Greeks on {sets} random sets (S = 100, K/S 0.55–1.8, T 0.02–5, sigma 0.08–0.8, lam 0–4): "
          "worst error against the high-precision series")
    print("| Greek | relative (where the Greek exceeds 1e-6) | absolute |")
    print("|---|---|---|")
    for name in names:
        print(f"| {name} | {worst[name][0]:.1e} | {worst[name][1]:.1e} |")


if __name__ == "__main__":
    if "--accuracy-only" not in sys.argv:
        layouts()
        greeks_cost()
    if "--accuracy" in sys.argv or "--accuracy-only" in sys.argv:
        greeks_accuracy()

"""Benchmark: Kou's path-dependent products (first passage, touch, barrier, lookback) by
Laplace inversion: accuracy against a high-precision inversion of the same transforms and
against QuantLib's analytic barrier engine at lam = 0, how often a value is refused, and
the time per price from Python. Prints markdown tables; every figure comes from this run.
Run: python3 bench/passage.py (needs mpmath; QuantLib, from the bench extra, for the lam = 0 rows).
"""
import math
import os
import sys

import numpy as np

import jumpdiffusion as jd
from jumpdiffusion import _native

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import fmt, per_call  # noqa: E402
from support import kou_passage_mp  # noqa: E402


def random_sets(count, seed):
    rng = np.random.default_rng(seed)
    for i in range(count):
        d = "up" if rng.uniform() < 0.5 else "down"
        H = 100.0 * math.exp((1 if d == "up" else -1) * rng.uniform(0.0, 0.7))
        yield d, (None, "hit", "expiry")[i % 3], dict(
            S=100.0, H=H, T=float(np.exp(rng.uniform(np.log(0.01), np.log(10.0)))), r=float(rng.uniform(-0.05, 0.1)),
            sigma=float(np.exp(rng.uniform(np.log(0.02), np.log(0.8)))), lam=float(rng.uniform(0.0, 5.0)),
            p=float(rng.uniform()), eta1=float(np.exp(rng.uniform(np.log(1.1), np.log(100.0)))),
            eta2=float(np.exp(rng.uniform(np.log(0.5), np.log(100.0)))), q=float(rng.uniform(0.0, 0.05)))


def accuracy_table(count=30):
    worst, ratio, refused = 0.0, 0.0, 0
    for d, pay, a in random_sets(count, 3):
        one = lambda v: np.array([float(v)])  # noqa: E731
        rows = _native.kou_passages(1, one(1 if d == "up" else -1), *(one(a[k]) for k in
                                    ("S", "H", "T", "r", "q", "sigma", "lam", "p", "eta1", "eta2")),
                                    {None: 0, "hit": 1, "expiry": 2}[pay])
        value, bound = float(rows[0][0]), float(rows[1][0])
        if bound > 1e-9:
            refused += 1
            continue
        error = abs(value - kou_passage_mp.passage(d, **a, pay=pay))
        worst, ratio = max(worst, error), max(ratio, error / bound)
    print(f"## First passage and one-touch values, {count} random sets against a 30/40-digit inversion\n")
    print("(T 0.01-10 years, |log H/S| <= 0.7, sigma 0.02-0.8, lam 0-5, eta1 1.1-100, eta2 0.5-100, "
          "r -5 to 10 %, both directions, P(tau <= T) and touch paid at the hit or at expiry)\n")
    print("| worst error | worst error / its bound | refused (bound above 1e-9) |")
    print("|---|---|---|")
    print(f"| {worst:.1e} | {ratio:.2f} | {refused} of {count} |\n")


def quantlib_table():
    try:
        import QuantLib as ql
    except ImportError:
        print("QuantLib is not installed (pip install '.[bench]'): no lam = 0 barrier rows\n")
        return
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc))  # noqa: E731
    names = {"up-and-out": "UpOut", "up-and-in": "UpIn", "down-and-out": "DownOut", "down-and-in": "DownIn"}
    worst = 0.0
    for sigma, T in ((0.1, 0.25), (0.2, 1.0), (0.4, 3.0)):
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(100.0)), curve(0.01), curve(0.04),
                                               ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), sigma, dc)))
        for barrier, name in names.items():
            for kind in ("call", "put"):
                for H, K in ((125.0, 90.0), (125.0, 110.0), (80.0, 90.0), (80.0, 110.0)):
                    if barrier.startswith("up") != (H > 100.0):
                        continue
                    option = ql.BarrierOption(getattr(ql.Barrier, name), H, 0.0,
                                              ql.PlainVanillaPayoff(ql.Option.Call if kind == "call" else ql.Option.Put, K),
                                              ql.EuropeanExercise(today + ql.Period(int(round(T * 365)), ql.Days)))
                    option.setPricingEngine(ql.AnalyticBarrierEngine(process))
                    ours = jd.kou_barrier(kind, barrier, 100.0, K, H, round(T * 365) / 365, 0.04, sigma, 0.0, 0.4, 10.0,
                                          5.0, q=0.01)
                    worst = max(worst, abs(ours - option.NPV()))
    print(f"## Barriers at lam = 0 against QuantLib {ql.__version__}'s analytic engine\n")
    print("| cases | worst absolute difference (S = 100) |")
    print("|---|---|")
    print(f"| 48 (8 kinds x 2 strikes x 3 volatilities) | {worst:.1e} |\n")


def speed_table():
    law = (0.75, 0.03, 0.25, 1.5, 0.35, 9.0, 4.0)
    levels, strikes = np.linspace(100.5, 200.0, 100), np.linspace(80.0, 119.0, 100)
    rows = [("kou_first_passage, one level", 50e-6, lambda: jd.kou_first_passage("up", 100.0, 120.0, *law)),
            ("kou_first_passage, 100 levels", 1e-3, lambda: jd.kou_first_passage("up", 100.0, levels, *law)),
            ("kou_touch, paid at the hit", 50e-6, lambda: jd.kou_touch("up", 100.0, 120.0, *law)),
            ("kou_lookback, floating put", 50e-6, lambda: jd.kou_lookback("put", 100.0, *law)),
            ("kou_lookback, fixed call K = 110", 50e-6, lambda: jd.kou_lookback("call", 100.0, *law, K=110.0)),
            ("kou_barrier, up-and-out call", 50e-6, lambda: jd.kou_barrier("call", "up-and-out", 100.0, 100.0, 120.0, *law)),
            ("kou_barrier, 100 strikes", None, lambda: jd.kou_barrier("call", "up-and-out", 100.0, strikes, 120.0, *law))]
    print("## Time per call from Python (T = 0.75, r = 0.03, sigma = 0.25, lam = 1.5, p = 0.35, eta1 = 9, eta2 = 4)\n")
    print("| call | target | time |")
    print("|---|---|---|")
    for name, target, fn in rows:
        print(f"| {name} | {fmt(target) if target else '—'} | {fmt(per_call(fn))} |")
    print()


def refusal_table(count=300):
    """Values refused (ValueError) and values out of range over random sets, in a desk's
    range and over the whole supported domain, each product called once per set."""
    def draw(rng, wide):
        up = rng.uniform() < 0.5
        if wide:
            H = 100.0 * math.exp((1 if up else -1) * rng.uniform(0, 5) * rng.uniform())
            K = 100.0 * math.exp(rng.uniform(-3, 3))
            T = math.exp(rng.uniform(math.log(1e-3), math.log(50)))
            a = dict(r=rng.uniform(-1, 1), sigma=math.exp(rng.uniform(math.log(0.005), math.log(5))),
                     lam=math.exp(rng.uniform(math.log(1e-3), math.log(1000))) * (rng.uniform() < 0.9), p=rng.uniform(),
                     eta1=1.01 + math.exp(rng.uniform(math.log(0.01), math.log(1e4))),
                     eta2=0.05 + math.exp(rng.uniform(math.log(0.01), math.log(1e4))), q=rng.uniform(-1, 1))
            a["lam"] = min(a["lam"], 4999 / T)
        else:
            H = 100.0 * math.exp((1 if up else -1) * rng.uniform(0.01, 0.5))
            K = 100.0 * math.exp(rng.uniform(-0.3, 0.3))
            T = math.exp(rng.uniform(math.log(0.05), math.log(5)))
            a = dict(r=rng.uniform(0, 0.08), sigma=rng.uniform(0.1, 0.6), lam=rng.uniform(0, 10 / T), p=rng.uniform(),
                     eta1=rng.uniform(2, 50), eta2=rng.uniform(1, 50), q=rng.uniform(0, 0.04))
        return ("up" if up else "down"), H, K, T, a

    print(f"## Refused values, {count} random sets per product\n")
    print("| range | first passage | touch | barrier | lookback | NaN, infinite or out of range |")
    print("|---|---|---|---|---|---|")
    for wide in (False, True):
        rng = np.random.default_rng(9)
        refused, wrong = [0, 0, 0, 0], 0
        for i in range(count):
            d, H, K, T, a = draw(rng, wide)
            calls = (lambda: jd.kou_first_passage(d, 100.0, H, T, **a), lambda: jd.kou_touch(d, 100.0, H, T, **a),
                     lambda: jd.kou_barrier("call" if i % 2 else "put", f"{d}-and-{'in' if i % 3 else 'out'}", 100.0,
                                            K, H, T, **a),
                     lambda: jd.kou_lookback("call" if i % 2 else "put", 100.0, T, **a, K=None if i % 4 < 2 else K))
            for j, call in enumerate(calls):
                try:
                    v = call()
                    wrong += not (math.isfinite(v) and v >= 0.0 and (j != 0 or v <= 1.0))
                except ValueError:
                    refused[j] += 1
        label = "whole supported domain" if wide else "a desk's (T 0.05-5, log(H/S) within 0.5, sigma 0.1-0.6, lam T <= 10)"
        print(f"| {label} | " + " | ".join(str(n) for n in refused) + f" | {wrong} |")
    print()


if __name__ == "__main__":
    speed_table()
    quantlib_table()
    accuracy_table()
    refusal_table()

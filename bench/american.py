"""Benchmark: American options under Kou and Merton by the PIDE engine: accuracy on the
published sets and on random sets against foureng's COS American (Fang and Oosterlee's
Bermudans with Richardson extrapolation, 32 base dates: an independent method), the time
per price and per 50-strike strip from Python, and foureng's time at its default and at
coarser settings of comparable accuracy. Prints markdown tables; every figure comes from
this run. Run: python3 bench/american.py (needs fourier-option-pricer, from the bench extra).
"""
import os
import sys
import time

import numpy as np

import jumpdiffusion as jd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import fmt, per_call  # noqa: E402

MERTON = dict(T=0.25, r=0.05, sigma=0.15, lam=0.1, m=-0.9, s=0.45)
KOU = dict(T=0.25, r=0.05, sigma=0.15, lam=0.1, p=0.3445, eta1=3.0465, eta2=3.0775)


def foureng_american(name, kind, S, K, a, base_dates=32):
    import foureng
    from foureng.products import AmericanOption
    fwd = foureng.ForwardSpec(S, a["r"], a.get("q", 0.0), a["T"])
    if name == "kou":
        model, params = "kou", foureng.KouParams(a["sigma"], a["lam"], a["p"], a["eta1"], a["eta2"])
    else:
        model, params = "merton_jd", foureng.MertonJDParams(a["sigma"], a["lam"], a["m"], a["s"])
    option = AmericanOption(K, a["T"], 1 if kind == "call" else -1)
    return foureng.cos_american_price(model, fwd, params, option, base_dates=base_dates)


def ours(name, kind, S, K, a, **kw):
    return (jd.kou_american if name == "kou" else jd.merton_american)(kind, S, K, **a, **kw)


def random_sets(count, seed):
    rng = np.random.default_rng(seed)
    for i in range(count):
        base = dict(T=float(np.exp(rng.uniform(np.log(0.1), np.log(2.0)))), r=float(rng.uniform(0.0, 0.08)),
                    q=float(rng.uniform(0.0, 0.04)), sigma=float(rng.uniform(0.1, 0.4)), lam=float(rng.uniform(0.1, 3.0)))
        if i % 2 == 0:
            yield "kou", dict(base, p=float(rng.uniform(0.2, 0.8)), eta1=float(rng.uniform(3.0, 30.0)),
                              eta2=float(rng.uniform(2.0, 30.0)))
        else:
            yield "merton", dict(base, m=float(rng.uniform(-0.3, 0.1)), s=float(rng.uniform(0.05, 0.4)))


def accuracy_table(count=8):
    print("| set | kind | K | ours | foureng (32 dates) | difference | tolerance 1e-7 (S + K) |")
    print("|---|---|---|---|---|---|---|")
    print(f"| Merton, published (Surkov 2009) | put | 100 | {ours('merton', 'put', 100.0, 100.0, MERTON):.7f} "
          f"| {foureng_american('merton', 'put', 100.0, 100.0, MERTON):.7f} | published 3.2412435: "
          f"{ours('merton', 'put', 100.0, 100.0, MERTON) - 3.2412435:+.1e} | 2e-05 |")
    k, f = ours("kou", "put", 100.0, 100.0, KOU), foureng_american("kou", "put", 100.0, 100.0, KOU)
    print(f"| Kou, Toivanen's set | put | 100 | {k:.7f} | {f:.7f} | {k - f:+.1e} | 2e-05 |")
    worst = 0.0
    for i, (name, a) in enumerate(random_sets(count, 5)):
        kind = "put" if i % 3 else "call"
        for K in (90.0, 100.0, 110.0):
            mine, ref = ours(name, kind, 100.0, K, a), foureng_american(name, kind, 100.0, K, a)
            worst = max(worst, abs(mine - ref) / (1e-7 * (100.0 + K)))
            print(f"| {name} {i} | {kind} | {K:g} | {mine:.7f} | {ref:.7f} | {mine - ref:+.1e} | {1e-7 * (100 + K):.1e} |")
    print(f"\nWorst difference over the tolerance: {worst:.2f}\n")


def timing_table():
    strikes = np.linspace(80.0, 120.0, 50)
    print("| call | target | Kou | Merton |")
    print("|---|---|---|---|")
    one = [per_call(ours, name, "put", 100.0, 100.0, a) for name, a in (("kou", KOU), ("merton", MERTON))]
    strip = [per_call(ours, name, "put", 100.0, strikes, a) for name, a in (("kou", KOU), ("merton", MERTON))]
    print(f"| one American put | 20 ms | {fmt(one[0])} | {fmt(one[1])} |")
    print(f"| 50-strike strip | 60 ms | {fmt(strip[0])} | {fmt(strip[1])} |")
    print()
    print("foureng 0.23, cos_american_price, the same put (S = K = 100), against the converged value"
          " (foureng at 32 base dates and ours agree on it):\n")
    print("| method | Kou error | Kou time | ratio to ours | Merton error | Merton time | ratio to ours |")
    print("|---|---|---|---|---|---|---|")
    reference = {name: foureng_american(name, "put", 100.0, 100.0, a, base_dates=64)
                 for name, a in (("kou", KOU), ("merton", MERTON))}
    for label, dates in (("default (64 base dates)", 64), ("8 base dates", 8), ("4 base dates", 4)):
        cells = []
        for (name, a), mine in zip((("kou", KOU), ("merton", MERTON)), one):
            start = time.perf_counter()
            value = foureng_american(name, "put", 100.0, 100.0, a, base_dates=dates)
            spent = time.perf_counter() - start
            cells += [f"{value - reference[name]:+.1e}", fmt(spent), f"{spent / mine:.0f}×"]
        print(f"| {label} | " + " | ".join(cells) + " |")
    cells = []
    for (name, a), mine in zip((("kou", KOU), ("merton", MERTON)), one):
        cells += [f"{ours(name, 'put', 100.0, 100.0, a) - reference[name]:+.1e}", fmt(mine), "1×"]
    print("| jumpdiffusion | " + " | ".join(cells) + " |\n")


def main():
    print("## American options (PIDE)\n")
    timing_table()
    accuracy_table()


if __name__ == "__main__":
    main()

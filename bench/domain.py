"""Benchmark of jumpdiffusion over its supported domain: the ordinary certified prices,
strips and surfaces beside the paths where the closed forms overflow or the series need
more than 170 jump terms (Kou by Fourier inversion, Merton summed around its mode).

    python3 bench/domain.py            # the table, from the installed package

Times per call from Python, the best of repeated timings (benchmark.per_call)."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchmark import per_call  # noqa: E402

import jumpdiffusion as jd  # noqa: E402

STRIKES = np.linspace(80.0, 120.0, 100)
K20, T20 = np.linspace(80.0, 120.0, 20), np.linspace(0.1, 2.0, 20)[:, None]
KOU = (0.05, 0.16, 1.0, 0.4, 10.0, 5.0)      # r, sigma, lam, p, eta1, eta2
MERTON = (0.05, 0.2, 1.0, -0.1, 0.15)        # r, sigma, lam, m, s


def fmt(seconds):
    return f"{seconds * 1e6:,.1f} µs" if seconds < 1e-3 else f"{seconds * 1e3:,.2f} ms"


def kou(K, T, r, sigma, lam, p, eta1, eta2):
    return per_call(jd.kou_price, "call", 100.0, K, T, r, sigma, lam, p, eta1, eta2)


def merton(K, T, r, sigma, lam, m, s):
    return per_call(jd.merton_price, "call", 100.0, K, T, r, sigma, lam, m, s)


def main():
    rows = [
        ("Kou, one certified call (T = 0.5)", kou(98.0, 0.5, *KOU)),
        ("Kou, 100 strikes, certified", kou(STRIKES, 0.5, *KOU)),
        ("Kou, 20 × 20 surface", kou(K20, T20, *KOU)),
        ("Kou, one call, closed form overflowing (eta1 = 200, T = 2)", kou(100.0, 2.0, 0.03, 0.2, 1.0, 0.4, 200.0, 5.0)),
        ("Kou, 100 strikes, closed form overflowing", kou(STRIKES, 2.0, 0.03, 0.2, 1.0, 0.4, 200.0, 5.0)),
    ]
    for lamT in (75.0, 500.0, 5000.0):
        rows.append((f"Kou, one call, lam T = {lamT:g} (Fourier)", kou(100.0, 1.0, 0.03, 0.2, lamT, 0.4, 10.0, 5.0)))
        rows.append((f"Kou, 100 strikes, lam T = {lamT:g}", kou(STRIKES, 1.0, 0.03, 0.2, lamT, 0.4, 10.0, 5.0)))
    rows += [
        ("Merton, one call (T = 1)", merton(100.0, 1.0, *MERTON)),
        ("Merton, 100 strikes", merton(STRIKES, 1.0, *MERTON)),
        ("Merton, 100 strikes, Greeks", per_call(jd.merton_greeks, "call", 100.0, STRIKES, 1.0, *MERTON)),
    ]
    for LT in (75.0, 500.0, 4990.0):
        rows.append((f"Merton, one call, lam' T = {LT:g} (around the mode)", merton(100.0, 1.0, 0.03, 0.2, LT, -0.00125, 0.05)))
        rows.append((f"Merton, 100 strikes, lam' T = {LT:g}", merton(STRIKES, 1.0, 0.03, 0.2, LT, -0.00125, 0.05)))
    print("| jumpdiffusion | time per call |")
    print("|---|---|")
    for label, seconds in rows:
        print(f"| {label} | {fmt(seconds)} |")


if __name__ == "__main__":
    main()

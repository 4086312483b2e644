"""Calibrates Kou's and Merton's jump-diffusions to a synthetic smile and draws the fit.

The market: Kou prices from known parameters on strikes 70, 75, ..., 130 and maturities
0.1 to 2 years (65 quotes, out-of-the-money calls and puts), their implied volatilities
perturbed by a small noise (seeded). Both models are fitted in implied-volatility terms from
the toolkit's own starting points; the script prints the fitted parameters beside the true
ones with the fit errors, and writes the market and fitted smiles, one panel per maturity.
Needs matplotlib (pip install ".[demo]"); run: python3 examples/calibrate.py [figure.png]
"""
from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import jumpdiffusion as jd

S, R, Q = 100.0, 0.03, 0.01
TRUE = jd.KouParameters(sigma=0.16, lam=1.2, p=0.35, eta1=12.0, eta2=6.0)
STRIKES = np.arange(70.0, 131.0, 5.0)
MATURITIES = np.array([0.1, 0.25, 0.5, 1.0, 2.0])
NOISE = 0.0005   # standard deviation of the quotes' noise, in volatility (0.05 points)


def market(noise: float = NOISE, seed: int = 7) -> jd.Quotes:
    """Out-of-the-money quotes from TRUE, with normal noise on their implied volatilities."""
    K, T = (a.ravel() for a in np.meshgrid(STRIKES, MATURITIES))
    kind = np.where(K >= S, "call", "put")
    prices = jd.kou_price(kind, S, K, T, R, *TRUE, q=Q)
    vol = np.asarray(jd.implied_vol(prices, kind, S, K, T, R, q=Q))
    vol = vol + noise * np.random.default_rng(seed).standard_normal(vol.size)
    return jd.Quotes(kind, K, T, S=S, r=R, q=Q, vol=vol)


def smile(model: str, parameters: tuple[float, ...], T: float, K: np.ndarray) -> np.ndarray:
    kind = np.where(K >= S, "call", "put")
    if model == "Kou":
        prices = jd.kou_price(kind, S, K, T, R, *parameters, q=Q)
    else:
        prices = jd.merton_price(kind, S, K, T, R, *parameters, q=Q)
    return np.asarray(jd.implied_vol(prices, kind, S, K, T, R, q=Q))


def report(quotes: jd.Quotes) -> tuple[jd.Calibration[jd.KouParameters], jd.Calibration[jd.MertonParameters]]:
    kou = jd.calibrate_kou(quotes)
    merton = jd.calibrate_merton(quotes)
    print(f"{len(quotes)} quotes, implied-volatility noise {100 * NOISE:.2f} points\n")
    print(f"{'Kou':8}{'true':>12}{'fitted':>12}{'error':>12}")
    for name, true, fitted in zip(TRUE._fields, TRUE, kou.parameters):
        print(f"{name:8}{true:12.5f}{fitted:12.5f}{fitted / true - 1:12.2e}")
    print(f"\n{'Merton':8}{'fitted':>12}")
    for name, fitted in zip(merton.parameters._fields, merton.parameters):
        print(f"{name:8}{fitted:12.5f}")
    print("\nfit residuals, model minus market implied volatility, in volatility points:")
    print(f"{'model':8}{'rms':>8}{'max':>8}{'evaluations':>13}{'prices':>8}{'seconds':>9}  status")
    for name, fit in (("Kou", kou), ("Merton", merton)):
        print(f"{name:8}{fit.rms:8.4f}{np.max(np.abs(fit.residuals)):8.4f}{fit.evaluations:13d}"
              f"{fit.prices:8d}{fit.seconds:9.3f}  {fit.status}")
    return kou, merton


def figure(quotes: jd.Quotes, kou: jd.Calibration[jd.KouParameters],
           merton: jd.Calibration[jd.MertonParameters], path: str) -> None:
    # Top row: the smiles; bottom row: the fit residuals, where the two models differ.
    fig, axes = plt.subplots(2, len(MATURITIES), figsize=(17, 7), sharex=True,
                             gridspec_kw={"height_ratios": [3, 2]})
    fine = np.linspace(STRIKES[0], STRIKES[-1], 121)
    fits = (("Kou", kou, "tab:blue", "-"), ("Merton", merton, "tab:orange", "--"))
    for column, T in enumerate(MATURITIES):
        top, bottom = axes[0, column], axes[1, column]
        if column > 0:
            bottom.sharey(axes[1, 0])   # residuals on one scale across maturities
        at = quotes.T == T
        top.plot(quotes.K[at], 100 * quotes.vol[at], "o", color="black", ms=5, label="market")
        for name, fit, colour, style in fits:
            top.plot(fine, 100 * smile(name, fit.parameters, T, fine), color=colour, ls=style, lw=1.8,
                     label=f"{name} fit")
            bottom.plot(quotes.K[at], fit.residuals[at], "o", color=colour, ls=style, ms=4, lw=1.2,
                        label=f"{name} (rms {fit.rms:.3f})")
        bottom.axhspan(-100 * NOISE, 100 * NOISE, color="grey", alpha=0.15, lw=0,
                       label="market noise (1 sd)")
        bottom.axhline(0.0, color="black", lw=0.8)
        top.set_title(f"T = {T:g} years")
        bottom.set_xlabel("strike")
        for ax in (top, bottom):
            ax.grid(alpha=0.3)
    axes[0, 0].set_ylabel("implied volatility (%)")
    axes[1, 0].set_ylabel("model - market (vol points)")
    axes[0, 0].legend(loc="upper right", fontsize=9)
    handles, labels = axes[1, 0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=3, fontsize=10, frameon=False)
    fig.suptitle(f"Kou and Merton calibrated to a Kou market: spot {S:g}, r {R:g}, q {Q:g}, "
                 f"{len(quotes)} quotes with {100 * NOISE:.2f} vol points of noise")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(path, dpi=110)
    print(f"\nwrote {path}")


def main(argv: list[str]) -> None:
    path = argv[1] if len(argv) > 1 else "calibration.png"
    quotes = market()
    kou, merton = report(quotes)
    figure(quotes, kou, merton, path)


if __name__ == "__main__":
    main(sys.argv)

"""Calibrates Kou's and Merton's jump-diffusions to a real option market and draws the fits.

The market: the SPY option chain of 15 July 2022 that the stochvolmodels package ships
(four expiries, two weeks to six months, 427 out-of-the-money calls and puts, each with its
forward, discount factor and bid and ask implied volatilities). Each model is fitted with
one diffusion volatility, with a term structure of sigma, and with a term structure of
sigma and lam (the jump law shared by every maturity); the residuals are divided by the
half-spreads, so a quote weighs as its spread says. The script prints each fit's errors
(rms of model minus mid, in volatility points, and the share of model vols inside the
bid-ask spread) and writes the smiles with the bid-ask band and the fits.
Needs the market extra (pip install ".[market]"); run:
python3 examples/calibrate_market.py [figure.png]
"""
from __future__ import annotations

import sys
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import jumpdiffusion as jd


def spy_quotes() -> jd.Quotes:
    """The chain as quotes: per expiry, the spot set to the forward and the dividend yield
    to the rate, so that S exp((r - q) T) is the chain's forward and exp(-rT) its discount
    factor (the prices depend on nothing else)."""
    from stochvolmodels.data.sample_option_chains import get_spy_test_chain_data  # type: ignore[import-untyped]
    chain = get_spy_test_chain_data()
    kind, K, T, F, r, bid, ask = ([] for _ in range(7))
    for i, maturity in enumerate(chain.ttms):
        strikes = np.asarray(chain.strikes_ttms[i], dtype=np.float64)
        kind += ["call" if k == "C" else "put" for k in chain.optiontypes_ttms[i]]
        K += list(strikes)
        T += [float(maturity)] * strikes.size
        F += [float(chain.forwards[i])] * strikes.size
        r += [-np.log(float(chain.discfactors[i])) / float(maturity)] * strikes.size
        bid += list(np.asarray(chain.bid_ivs[i], dtype=np.float64))
        ask += list(np.asarray(chain.ask_ivs[i], dtype=np.float64))
    return jd.Quotes(np.array(kind), np.array(K), np.array(T), S=np.array(F), r=np.array(r), q=np.array(r),
                     bid=np.array(bid), ask=np.array(ask), bid_ask="vol")


FITS = (("one sigma", None), ("sigma(T)", "sigma"), ("sigma(T), lam(T)", ("sigma", "lam")))


def calibrations(quotes: jd.Quotes) -> dict[tuple[str, str], Any]:
    fits: dict[tuple[str, str], Any] = {}
    for model, calibrate in (("Kou", jd.calibrate_kou), ("Merton", jd.calibrate_merton)):
        for label, structure in FITS:
            fits[model, label] = calibrate(quotes, term_structure=structure, quiet=True)
    return fits


def report(quotes: jd.Quotes, fits: dict[tuple[str, str], Any]) -> None:
    print(f"SPY, 15 July 2022: {len(quotes)} quotes, maturities "
          + ", ".join(f"{t:.3f}" for t in np.unique(quotes.T)) + " years")
    print("| model | volatility | rms (vol points) | inside the spread | seconds | parameters |")
    print("|---|---|---|---|---|---|")
    for (model, label), fit in fits.items():
        inside = np.mean((fit.model_vols >= quotes.bid_vol) & (fit.model_vols <= quotes.ask_vol))
        shared = ", ".join(f"{name} {value:.4g}" for name, value in fit.parameters._asdict().items()
                           if fit.term_structure is None or name not in ("sigma", "lam")
                           or (name == "lam" and label == "sigma(T)"))
        if fit.term_structure is not None:
            ts = fit.term_structure
            shared += "; sigma_eff " + "/".join(f"{v:.3f}" for v in ts.sigma)
            if label != "sigma(T)":
                shared += "; lam_eff " + "/".join(f"{v:.3g}" for v in ts.lam)
        print(f"| {model} | {label} | {fit.rms:.3f} | {100 * inside:.0f} % | {fit.seconds:.3f} | {shared} |")


def draw(quotes: jd.Quotes, fits: dict[tuple[str, str], Any], path: str) -> None:
    maturities = np.unique(quotes.T)
    figure, axes = plt.subplots(1, maturities.size, figsize=(4.2 * maturities.size, 4.0))
    styles = {"one sigma": ":", "sigma(T)": "--", "sigma(T), lam(T)": "-"}
    for ax, T in zip(axes, maturities):
        at = quotes.T == T
        K = quotes.K[at]
        ax.fill_between(K, 100 * quotes.bid_vol[at], 100 * quotes.ask_vol[at], color="0.8", label="bid-ask")
        for (model, label), fit in fits.items():
            if label == "sigma(T)":
                continue
            ax.plot(K, 100 * fit.model_vols[at], styles[label], color="C0" if model == "Kou" else "C3",
                    lw=1.2, label=f"{model}, {label}")
        ax.set_title(f"T = {T:.3f}")
        ax.set_xlabel("strike")
    axes[0].set_ylabel("implied volatility (%)")
    axes[0].legend(fontsize=7)
    figure.suptitle("SPY, 15 July 2022: Kou and Merton fitted to the bid-ask market")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    print(f"wrote {path}")


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "calibrate_market.png"
    quotes = spy_quotes()
    fits = calibrations(quotes)
    report(quotes, fits)
    draw(quotes, fits, path)


if __name__ == "__main__":
    main()

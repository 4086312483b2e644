"""Demonstration: European options under the Merton and Kou jump-diffusion models.

Prices a default set of options over several strikes beside the Black-Scholes
value with the same diffusion volatility, shows how the truncated series
converges as the number of jump terms n grows, and writes a figure
(jump_diffusion.png, or the path given as the first argument; needs matplotlib,
the demo extra: pip install ".[demo]"). Its last panel compares Kou's closed form
evaluated plainly in double precision (jumpdiffusion.kou_closed_form), and corvane, with
the truncated series evaluated to many digits (the test suite's reference,
tests/support/kou_series_mp.py); and two panels of path-dependent options
(jumpdiffusion.kou_barrier, kou_first_passage): an up-and-out call against its barrier
level and the probability of reaching a level, Kou beside Black-Scholes with the same
total variance.
"""
import importlib
import math
import os
import sys
from typing import Any, Callable

import corvane
import halvorn
import jumpdiffusion as jd

N_STEPS = [0, 1, 2, 5, 10, 20, 50]


def normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes_call(S: float, K: float, T: float, sigma: float, r: float) -> float:
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * T) / (sigma * math.sqrt(T))
    d2 = d1 - sigma * math.sqrt(T)
    return S * normal_cdf(d1) - K * math.exp(-r * T) * normal_cdf(d2)


def convergence_row(price: Callable[[int], float], label: str, bs: float) -> str:
    """One table row: prices for growing n, stopping once two agree exactly."""
    cells: list[str] = []
    last: float | None = None
    for n in N_STEPS:
        value = price(n)
        if last is not None and value == last:
            cells.append("   (unchanged)")
            break
        cells.append(f"{value:14.10f}")
        last = value
    cells += [""] * (len(N_STEPS) - len(cells))
    return f"{label:>6} {bs:12.6f} " + " ".join(f"{c:>14}" for c in cells)


def merton_table() -> None:
    S, T, sigma, r = 100.0, 1.0, 0.2, 0.05
    lam, m, s = 1.0, -0.1, 0.15
    print("Merton jump-diffusion calls (module halvorn)")
    print(f"  S = {S}, T = {T}, sigma = {sigma}, r = {r}, lam = {lam}, m = {m}, s = {s}")
    print("  price for truncation n (terms 0..n of the jump-count series)\n")
    header = f"{'K':>6} {'Black-Scholes':>12} " + " ".join(f"{'n = ' + str(n):>14}" for n in N_STEPS)
    print(header)
    print("-" * len(header))
    for K in [80.0, 90.0, 100.0, 110.0, 120.0]:
        call = halvorn.MertonEuropeanCall(K, T)   # strike first, then maturity

        def price(n: int) -> float:
            return call.JDAnalyticalPrice(S, sigma, r, lam, m, s, n)

        print(convergence_row(price, f"{K:g}", black_scholes_call(S, K, T, sigma, r)))
    print()


def kou_table() -> None:
    S, T, r, sigma = 100.0, 0.5, 0.05, 0.16
    lam, p, eta1, eta2 = 1.0, 0.4, 10.0, 5.0
    print("Kou double-exponential jump-diffusion calls and puts (module corvane)")
    print(f"  S = {S}, T = {T}, r = {r}, sigma = {sigma}, lam = {lam}, p = {p}, "
          f"eta1 = {eta1}, eta2 = {eta2}")
    print("  price for truncation n (jump counts 0..n in each series)\n")
    header = (f"{'K':>6} {'Black-Scholes':>12} "
              + " ".join(f"{'n = ' + str(n):>14}" for n in N_STEPS))
    classes: list[tuple[str, Callable[[float, float], corvane.EuropeanOption]]] = [
        ("call", corvane.KouEuropeanCall), ("put", corvane.KouEuropeanPut)]
    for kind, cls in classes:
        print(f"  {kind}s")
        print(header)
        print("-" * len(header))
        for K in [90.0, 98.0, 100.0, 105.0, 110.0]:
            option = cls(T, K)   # maturity first, then strike

            def price(n: int) -> float:
                return option.priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n)

            bs = black_scholes_call(S, K, T, sigma, r)
            if kind == "put":
                bs = bs + K * math.exp(-r * T) - S
            print(convergence_row(price, f"{K:g}", bs))
        print()


# Parameters for the figure: both models with the diffusion volatility 0.16 and
# jumps that bring the total variance of the log-return to the same 0.0816 per year,
# beside Black-Scholes with that total volatility.
FIG_S, FIG_T, FIG_R, FIG_SIGMA = 100.0, 0.5, 0.05, 0.16
FIG_KOU = dict(lam=1.0, p=0.4, eta1=10.0, eta2=5.0)    # variance 2p/eta1^2 + 2q/eta2^2 = 0.056
FIG_MERTON = dict(lam=1.0, m=-0.1, s=math.sqrt(0.046))  # variance m^2 + s^2 = 0.056
FIG_VOL = math.sqrt(FIG_SIGMA**2 + 0.056)


def kou_call(K: float, n: int) -> float:
    k = FIG_KOU
    return corvane.KouEuropeanCall(FIG_T, K).priceByKouJumpDiffusion(
        FIG_S, FIG_R, FIG_SIGMA, k["lam"], k["p"], k["eta1"], k["eta2"], n)


def merton_call(K: float, n: int) -> float:
    m = FIG_MERTON
    return halvorn.MertonEuropeanCall(K, FIG_T).JDAnalyticalPrice(
        FIG_S, FIG_SIGMA, FIG_R, m["lam"], m["m"], m["s"], n)


# The accuracy panel: S = K = 100, T = 1, r = 0.05, sigma = 0.2, lam = 3, p = 0.3,
# eta2 = 12, n = 40, with eta1 sweeping eta1 sigma sqrt(T) from 1 to 25.
ACC = dict(S=100.0, K=100.0, T=1.0, r=0.05, sigma=0.2, lam=3.0, p=0.3, eta2=12.0, n=40)


def accuracy_points() -> list[tuple[float, float, float]]:
    """(eta1 sigma sqrt T, error of the plain closed form, error of corvane), both
    relative to S + K exp(-rT), against the high-precision series."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
    truncated_series: Callable[..., float] = importlib.import_module("kou_series_mp").kou_call
    S, K, T, r, sigma = ACC["S"], ACC["K"], ACC["T"], ACC["r"], ACC["sigma"]
    lam, p, eta2, n = ACC["lam"], ACC["p"], ACC["eta2"], int(ACC["n"])
    scale = S + K * math.exp(-r * T)
    points = []
    for i in range(13):
        x = 10 ** (i / 12 * math.log10(25.0))
        eta1 = max(x / (sigma * math.sqrt(T)), 1.5)
        # Kou's closed form as double precision evaluates it (what corvane returned before
        # it bounded the error), from jumpdiffusion's diagnostic.
        plain = float(jd.kou_closed_form(S, K, T, r, sigma, lam, p, eta1, eta2, n=n).value)
        ours = corvane.KouEuropeanCall(T, K).priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n)
        want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
        points.append((eta1 * sigma * math.sqrt(T), abs(plain - want) / scale, abs(ours - want) / scale))
    return points


def figure(path: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no figure (pip install '.[demo]')")
        return
    strikes = [60.0 + 0.5 * i for i in range(161)]
    kou = [kou_call(K, 40) for K in strikes]
    merton = [merton_call(K, 60) for K in strikes]
    bs = [black_scholes_call(FIG_S, K, FIG_T, FIG_VOL, FIG_R) for K in strikes]

    fig, ((left, middle, barrier, boundary), (right, accuracy, passage, premium)) = plt.subplots(
        2, 4, figsize=(26, 10))
    left.plot(strikes, kou, label="Kou (corvane, n = 40)")
    left.plot(strikes, merton, "--", label="Merton (halvorn, n = 60)")
    left.plot(strikes, bs, ":", color="black", label=f"Black-Scholes, vol {FIG_VOL:.4f}")
    left.set(title="European call prices", xlabel="strike K", ylabel="call price")
    left.legend()

    middle.plot(strikes, [a - b for a, b in zip(kou, bs)], label="Kou − Black-Scholes")
    middle.plot(strikes, [a - b for a, b in zip(merton, bs)], "--", label="Merton − Black-Scholes")
    middle.axhline(0.0, color="black", linewidth=0.5)
    middle.set(title="Difference from Black-Scholes with the same total variance",
               xlabel="strike K", ylabel="price difference")
    middle.legend()

    ns = list(range(0, 41))
    for name, price, style in (("Kou", kou_call, "o-"), ("Merton", merton_call, "s--")):
        atm = FIG_S   # the at-the-money strike
        limit = price(atm, 60 if name == "Kou" else 100)
        errors = [abs(price(atm, n) - limit) for n in ns]
        shown = [(n, e) for n, e in zip(ns, errors) if e > 0.0]
        right.semilogy([n for n, _ in shown], [e for _, e in shown], style, markersize=3,
                       label=f"{name}, K = S = {FIG_S:g}")
    right.set(title="Truncation error |price(n) − price(n large)|", xlabel="truncation n",
              ylabel="absolute error (zero errors not drawn)")
    right.grid(True, which="both", alpha=0.3)
    right.legend()

    floor = 1e-18   # exact agreement drawn at the floor of the log scale
    points = accuracy_points()
    xs = [x for x, _, _ in points]
    accuracy.semilogy(xs, [max(e, floor) for _, e, _ in points], "o-", markersize=4,
                      label="Kou's closed form, plain double precision")
    accuracy.semilogy(xs, [max(e, floor) for _, _, e in points], "s-", markersize=4,
                      label="corvane (certified closed form or stable evaluation)")
    accuracy.axhline(1e-10, color="grey", linestyle=":", label="certification threshold 1e-10")
    accuracy.set(title="Kou call: error against the truncated series to many digits\n"
                       "S = K = 100, T = 1, r = 0.05, sigma = 0.2, lam = 3, p = 0.3,\n"
                       "eta2 = 12, n = 40",
                 xlabel="eta1 · sigma · sqrt(T)", ylabel="|error| / (S + K exp(−rT))")
    accuracy.set_xscale("log")
    accuracy.grid(True, which="both", alpha=0.3)
    accuracy.legend(fontsize=8)

    # Path-dependent: the same Kou model and Black-Scholes (lam = 0) at the total volatility.
    levels = [101.0 + 0.5 * i for i in range(119)]
    law = (FIG_T, FIG_R, FIG_SIGMA, FIG_KOU["lam"], FIG_KOU["p"], FIG_KOU["eta1"], FIG_KOU["eta2"])
    flat = (FIG_T, FIG_R, FIG_VOL, 0.0, FIG_KOU["p"], FIG_KOU["eta1"], FIG_KOU["eta2"])
    for label, args, style in (("Kou", law, "-"), (f"Black-Scholes, vol {FIG_VOL:.4f}", flat, ":")):
        barrier.plot(levels, jd.kou_barrier("call", "up-and-out", FIG_S, 100.0, levels, *args), style, label=label)
        passage.plot(levels, jd.kou_first_passage("up", FIG_S, levels, *args), style, label=label)
    barrier.set(title="Up-and-out call, K = 100, against the barrier H", xlabel="barrier H", ylabel="price")
    barrier.legend()
    passage.set(title=f"Probability of reaching H within T = {FIG_T}", xlabel="level H",
                ylabel="P(max S_t >= H)")
    passage.legend()

    # Early exercise: the American put's critical spot against time, and its premium over
    # the European, for both models and Black-Scholes at the total volatility.
    kou_law: dict[str, Any] = dict(T=FIG_T, r=FIG_R, sigma=FIG_SIGMA, lam=FIG_KOU["lam"], p=FIG_KOU["p"], eta1=FIG_KOU["eta1"],
                   eta2=FIG_KOU["eta2"])
    merton_law: dict[str, Any] = dict(T=FIG_T, r=FIG_R, sigma=FIG_SIGMA, lam=FIG_MERTON["lam"], m=FIG_MERTON["m"], s=FIG_MERTON["s"])
    flat_law: dict[str, Any] = dict(kou_law, sigma=FIG_VOL, lam=0.0)
    put_strikes = [80.0 + 1.0 * i for i in range(41)]
    for label, american, european, model, style in (
            ("Kou", jd.kou_american_greeks, jd.kou_price, kou_law, "-"),
            ("Merton", jd.merton_american_greeks, jd.merton_price, merton_law, "--"),
            (f"Black-Scholes, vol {FIG_VOL:.4f}", jd.kou_american_greeks, jd.kou_price, flat_law, ":")):
        curve = american("put", FIG_S, 100.0, **model, boundary=True).boundary
        assert curve is not None
        boundary.plot(curve.times, curve.spot, style, label=label)
        values = american("put", FIG_S, put_strikes, **model).price
        premium.plot(put_strikes, values - european("put", FIG_S, put_strikes, **model), style, label=label)
    boundary.set(title="American put, K = 100: exercise boundary", xlabel="time t (years)",
                 ylabel="critical spot S*(t)")
    boundary.legend()
    premium.set(title="Early-exercise premium of the put (American − European)", xlabel="strike K",
                ylabel="premium")
    premium.legend()

    fig.suptitle(f"S = {FIG_S:g}, T = {FIG_T}, r = {FIG_R}, sigma = {FIG_SIGMA}; "
                 f"Kou lam = 1, p = 0.4, eta1 = 10, eta2 = 5; Merton lam = 1, m = −0.1, "
                 f"s = {FIG_MERTON['s']:.4f}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"figure written to {path}")


def main() -> None:
    merton_table()
    kou_table()
    figure(sys.argv[1] if len(sys.argv) > 1 else "jump_diffusion.png")


if __name__ == "__main__":
    main()

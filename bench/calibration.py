"""Benchmark: implied volatility against py_vollib and over a grid against 40-digit prices,
calibration of both models to the example's 65-quote Kou surface, and calibration against
fourier-option-pricer's (foureng) on the same 233 quotes from the same start. Prints
markdown tables; every figure comes from this run.
Run: python3 bench/calibration.py [--peer] (needs the bench extra for py_vollib and foureng;
--peer runs only the comparison with foureng).
"""
import math
import os
import statistics
import sys
import time
import warnings

import numpy as np

import jumpdiffusion as jd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import calibrate as example  # noqa: E402


def best_of(fn, repeat=5):
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - began)
    return statistics.median(times), result


def implied_vol_table(size=10_000):
    rng = np.random.default_rng(1)
    S = 100.0
    K = S * np.exp(rng.uniform(-1.0, 1.0, size))
    T, r, q = rng.uniform(0.05, 3.0, size), rng.uniform(0.0, 0.06, size), rng.uniform(0.0, 0.03, size)
    sigma = rng.uniform(0.05, 1.0, size)
    kind = np.where(rng.uniform(size=size) < 0.5, "call", "put")
    price = np.asarray(jd.black_scholes_price(kind, S, K, T, r, sigma, q=q))
    seconds, ours = best_of(lambda: jd.implied_vol(price, kind, S, K, T, r, q=q))
    vega = np.asarray(jd.black_scholes_vega(S, K, T, r, sigma, q=q))
    informative = vega * 1e-12 > 4 * np.spacing(price)
    print(f"## Implied volatility of {size:,} options (|ln K/S| <= 1, sigma 5-100 %, T 0.05-3)\n")
    print("| implementation | per option | max abs error (where the price determines the vol to 1e-12) |")
    print("|---|---|---|")
    print(f"| `jumpdiffusion.implied_vol` (native, one call) | {seconds / size * 1e6:.3f} µs "
          f"| {np.max(np.abs(ours - sigma)[informative]):.1e} ({informative.sum():,} options) |")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            from py_vollib.black_scholes_merton.implied_volatility import implied_volatility
    except ImportError:
        print("| `py_vollib` | not installed | |")
        return
    flags = ["c" if k == "call" else "p" for k in kind]

    def theirs():
        out = np.empty(size)
        for e in range(size):
            try:
                out[e] = implied_volatility(price[e], S, K[e], T[e], r[e], q[e], flags[e])
            except Exception:   # it raises where the price is at or beyond a bound
                out[e] = math.nan
        return out

    seconds, vollib = best_of(theirs, repeat=3)
    print(f"| `py_vollib` 1.0 (Let's be rational in Python, a loop of calls) | {seconds / size * 1e6:.2f} µs "
          f"| {np.nanmax(np.abs(vollib - sigma)[informative]):.1e} "
          f"({np.isnan(vollib).sum()} raised) |")


def calibration_table():
    surface = example.market(noise=0.0)
    noisy = example.market()
    true = np.array(example.TRUE)
    starts = [None, jd.KouParameters(0.25, 3.0, 0.6, 5.0, 3.0), jd.KouParameters(0.2, 0.5, 0.5, 20.0, 10.0),
              jd.KouParameters(0.1, 3.0, 0.2, 5.0, 3.0), jd.KouParameters(0.25, 0.2, 0.7, 30.0, 15.0),
              jd.KouParameters(0.12, 2.0, 0.5, 8.0, 8.0)]
    print(f"\n## Kou calibration to the example's {len(surface)}-quote surface without noise "
          f"(true {tuple(float(v) for v in true)})\n")
    print("| start | seconds | evaluations | prices | max relative parameter error | converged |")
    print("|---|---|---|---|---|---|")
    fitted = []
    for start in starts:
        seconds, fit = best_of(lambda: jd.calibrate_kou(surface, start=start, quiet=True))
        error = np.max(np.abs(np.array(fit.parameters) / true - 1.0))
        fitted.append(np.array(fit.parameters))
        label = "default (best of 8 scaled starts)" if start is None else str(tuple(start))
        print(f"| {label} | {seconds:.3f} | {fit.evaluations} | {fit.prices:,} | {error:.1e} | {fit.converged} |")
    spread = np.max(np.abs(np.array(fitted) / fitted[0] - 1.0))
    print(f"\nAll {len(starts)} fits agree to {spread:.1e} relative.\n")
    print("| model, market | seconds | rms residual (vol points) | max residual | evaluations |")
    print("|---|---|---|---|---|")
    for name, fn, quotes in (("Merton, noise-free Kou market", jd.calibrate_merton, surface),
                             ("Kou, market with 0.05 vol points of noise", jd.calibrate_kou, noisy),
                             ("Merton, market with 0.05 vol points of noise", jd.calibrate_merton, noisy)):
        seconds, fit = best_of(lambda: fn(quotes, quiet=True))
        print(f"| {name} | {seconds:.3f} | {fit.rms:.4f} | {np.max(np.abs(fit.residuals)):.4f} "
              f"| {fit.evaluations} |")


def implied_vol_grid(points=150):
    """Relative error over log-moneyness -5..5 x total volatility 0.001..20 (F = 100 e^x,
    K = 100, T = 1, r = q = 0), calls and puts priced at 40 digits and rounded once; the
    error taken where a relative change of 1e-12 in volatility moves the price beyond its
    last bit, and prices strictly inside the bounds counted where the volatility is NaN."""
    import mpmath
    xs, ss = np.linspace(-5.0, 5.0, points), np.geomspace(1e-3, 20.0, points)
    with mpmath.workdps(40):
        forwards = [mpmath.mpf(float(100 * mpmath.exp(mpmath.mpf(float(x))))) for x in xs]
        F = np.array([float(f) for f in forwards])[:, None] * np.ones((1, points))
        sigma = np.ones((points, 1)) * ss[None, :]
        print(f"## Implied volatility over a {points} x {points} grid, calls and puts\n")
        print("| kind | options with an informative price | max relative error | NaN inside the bounds "
              "| per option |")
        print("|---|---|---|---|---|")
        for kind in ("call", "put"):
            price = np.empty((points, points))
            for i, f in enumerate(forwards):
                for j, s in enumerate(ss):
                    s_ = mpmath.mpf(float(s))
                    d1 = mpmath.log(f / 100) / s_ + s_ / 2
                    d2 = d1 - s_
                    price[i, j] = float(f * mpmath.ncdf(d1) - 100 * mpmath.ncdf(d2) if kind == "call"
                                        else 100 * mpmath.ncdf(-d2) - f * mpmath.ncdf(-d1))
            bound = F if kind == "call" else np.full_like(F, 100.0)
            inside = (price > 0) & (price < bound)
            vega = np.asarray(jd.black_scholes_vega(F, 100.0, 1.0, 0.0, sigma))
            informative = inside & (price > 1e-290) & (vega * sigma * 1e-12 > np.spacing(price))
            seconds, iv = best_of(lambda: np.asarray(jd.implied_vol(price, kind, F, 100.0, 1.0, 0.0)))
            error = np.abs(iv - sigma) / sigma
            print(f"| {kind} | {informative.sum():,} | {error[informative].max():.1e} "
                  f"| {np.isnan(iv[inside]).sum()} of {inside.sum():,} | {seconds / price.size * 1e6:.3f} µs |")
    print()


def peer_surface(model):
    """233 quotes (5 maturities 0.1-2 years, strikes 0.7-1.3 of the forward), the model's
    implied vols at known parameters with 0.2 vol points of seeded noise, and a start."""
    rng = np.random.default_rng(3)
    S, r, q = 100.0, 0.03, 0.01
    K, T = [], []
    for t in (0.1, 0.25, 0.5, 1.0, 2.0):
        strikes = np.linspace(0.7, 1.3, 47 if t < 1.5 else 45) * S * np.exp((r - q) * t)
        K += list(strikes)
        T += [t] * strikes.size
    K, T = np.array(K), np.array(T)
    kind = np.where(K >= S, "call", "put")
    if model == "kou":
        true, start = (0.15, 0.8, 0.3, 12.0, 6.0), (0.2, 1.5, 0.4, 10.0, 8.0)
        price = jd.kou_price(kind, S, K, T, r, *true, q=q)
    else:
        true, start = (0.15, 0.8, -0.1, 0.12), (0.2, 1.5, -0.05, 0.2)
        price = jd.merton_price(kind, S, K, T, r, *true, q=q)
    vol = np.asarray(jd.implied_vol(price, kind, S, K, T, r, q=q)) + rng.normal(0.0, 0.002, K.size)
    return S, r, q, kind, K, T, vol, start


def peer_table(repeat=21):
    """Both calibrators from the same start on the same quotes, each timed as the median of
    `repeat` runs taken in turn (so that the machine's load falls on both alike):
    foureng.calibrate (its analytic characteristic-function gradients, its defaults)
    against calibrate_kou / calibrate_merton (all cores)."""
    try:
        import foureng
    except ImportError:
        print("foureng is not installed (pip install '.[bench]')")
        return
    print(f"## Calibration against foureng {foureng.__version__}: 233 quotes, 5 maturities, same start\n")
    print("| model | implementation | seconds (median) | rms of the vol residuals (points) | parameters | "
          "evaluations |")
    print("|---|---|---|---|---|---|")
    for model in ("kou", "merton"):
        S, r, q, kind, K, T, vol, start = peer_surface(model)
        # Each side's quotes are made once, outside the timing.
        quotes = foureng.MarketQuotes(S, r, q, T, K, ivs=vol)
        market = jd.Quotes(kind, K, T, S=S, r=r, q=q, vol=vol)
        if model == "kou":
            initial = foureng.KouParams(*start)
            name, ours = "kou", lambda: jd.calibrate_kou(market, start=jd.KouParameters(*start), quiet=True)
        else:
            initial = foureng.MertonJDParams(sigma=start[0], lam=start[1], muj=start[2], sigj=start[3])
            name, ours = "merton_jd", lambda: jd.calibrate_merton(market, start=jd.MertonParameters(*start),
                                                                   quiet=True)
        peer_times, times = [], []
        for _ in range(repeat):
            peer_time, peer = best_of(lambda: foureng.calibrate(name, quotes, initial), 1)
            time_, fit = best_of(ours, 1)
            peer_times.append(peer_time)
            times.append(time_)
        peer_seconds, seconds = statistics.median(peer_times), statistics.median(times)
        values = ", ".join(f"{v:.5g}" for v in peer.values.values())
        print(f"| {model.capitalize()} | foureng.calibrate | {peer_seconds:.4f} | {100 * peer.rmse_iv:.5f} "
              f"| {values} | {peer.nfev} + {peer.njev} gradients |")
        print(f"| {model.capitalize()} | jumpdiffusion ({peer_seconds / seconds:.1f}× faster) | {seconds:.4f} "
              f"| {fit.rms:.5f} | {', '.join(f'{v:.5g}' for v in fit.parameters)} | {fit.evaluations} |")
    print()


if __name__ == "__main__":
    if "--peer" in sys.argv[1:]:
        peer_table()
        sys.exit(0)
    implied_vol_table()
    implied_vol_grid()
    calibration_table()
    peer_table()

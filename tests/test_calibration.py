"""Implied volatility and calibration: round trips against a high-precision Black-Scholes
price, the reference library, the no-arbitrage bounds, and fits that recover the truth."""
import math
import pathlib
import subprocess
import sys

import mpmath
import numpy as np
import pytest

import jumpdiffusion as jd
from jumpdiffusion import _calibrate

ROOT = pathlib.Path(__file__).resolve().parent.parent
RNG = np.random.default_rng(13)


def mp_black_scholes(kind, S, K, T, r, q, sigma):
    """Black-Scholes at 40 digits, rounded once to double."""
    with mpmath.workdps(40):
        S, K, T, r, q, sigma = (mpmath.mpf(float(v)) for v in (S, K, T, r, q, sigma))
        root = sigma * mpmath.sqrt(T)
        d1 = (mpmath.log(S / K) + (r - q) * T) / root + root / 2
        d2 = d1 - root
        F, D = S * mpmath.exp(-q * T), K * mpmath.exp(-r * T)
        if kind == "call":
            return float(F * mpmath.ncdf(d1) - D * mpmath.ncdf(d2))
        return float(D * mpmath.ncdf(-d2) - F * mpmath.ncdf(-d1))


def random_options(size):
    """Log-moneyness to +-3, volatility 1% to 300%, maturity a week to five years."""
    S = 100.0
    K = S * np.exp(RNG.uniform(-3.0, 3.0, size))
    T = RNG.uniform(0.02, 5.0, size)
    r, q = RNG.uniform(-0.01, 0.08, size), RNG.uniform(0.0, 0.05, size)
    sigma = np.exp(RNG.uniform(np.log(0.01), np.log(3.0), size))
    kind = np.where(RNG.uniform(size=size) < 0.5, "call", "put")
    return kind, S, K, T, r, q, sigma


def test_implied_vol_round_trip_against_high_precision_prices():
    kind, S, K, T, r, q, sigma = random_options(300)
    price = np.array([mp_black_scholes(*a) for a in zip(kind, np.full(300, S), K, T, r, q, sigma)])
    iv = jd.implied_vol(price, kind, S, K, T, r, q=q)
    vega = jd.black_scholes_vega(S, K, T, r, sigma, q=q)
    # Where a change of 1e-12 in volatility moves the price beyond its last bits, the
    # price determines the volatility to 1e-12; elsewhere (deep in the money, or a price
    # at the underflow), the volatility found must reprice to the quoted bits.
    informative = (vega * 1e-12 > 4 * np.spacing(price)) & (price > 1e-300)
    assert informative.sum() > 150 and (~informative).sum() > 10
    assert np.all(np.abs(iv - sigma)[informative] <= 1e-12 * np.maximum(1.0, sigma[informative]))
    rest = ~informative
    repriced = jd.black_scholes_price(kind[rest], S, K[rest], T[rest], r[rest], iv[rest], q=q[rest])
    assert np.all(np.abs(repriced - price[rest]) <= 4 * np.spacing(np.abs(price[rest])) + 1e-300)


def test_implied_vol_agrees_with_the_reference_library():
    lbr = pytest.importorskip("py_lets_be_rational")
    kind, S, K, T, r, q, sigma = random_options(300)
    # Forward and discount factor as implied_vol forms them, with the C library's exp (deep
    # in the money the last bits of the forward are all the volatility information there is).
    F = np.array([S * math.exp((a - b) * t) for a, b, t in zip(r, q, T)])
    D = np.array([math.exp(-a * t) for a, t in zip(r, T)])
    theta = np.where(kind == "call", 1.0, -1.0)
    undiscounted = np.array([lbr.black(f, k, s, t, th) for f, k, s, t, th in zip(F, K, sigma, T, theta)])
    # Far out of the money a price's relative sensitivity to the log-moneyness x is about
    # |x|/s^2 (s = sigma sqrt(T)), so the rounding of x alone moves it by that many ulps.
    x, s = np.log(F / K), sigma * np.sqrt(T)
    conditioning = 4 * np.finfo(float).eps * (1 + np.abs(x)) * (0.5 + np.abs(x) / s**2)
    assert np.all(np.abs(jd.black_scholes_price(kind, S, K, T, r, sigma, q=q) - D * undiscounted)
                  <= (1e-14 + conditioning) * D * undiscounted + 1e-300)
    discounted = undiscounted * D
    ours = jd.implied_vol(discounted, kind, S, K, T, r, q=q)
    for e in np.flatnonzero(undiscounted > 1e-300):
        theirs = lbr.implied_volatility_from_a_transformed_rational_guess(
            discounted[e] / D[e], F[e], K[e], T[e], theta[e])
        assert ours[e] == pytest.approx(theirs, rel=1e-12, abs=1e-14), e


def mp_normalised_call(x, s):
    with mpmath.workdps(40):
        x, s = mpmath.mpf(x), mpmath.mpf(s)
        return mpmath.exp(x / 2) * mpmath.ncdf(x / s + s / 2) - mpmath.exp(-x / 2) * mpmath.ncdf(x / s - s / 2)


# (u, t) = (-x/s, s/2) ranges of each way the normalised call is evaluated: the moment
# series run forward (u <= 2.5) and backward (each range of steps), the difference of
# scaled complementary error functions, and the direct form beyond the inflection point.
FORMS = {"series forward": (0.001, 2.5, 1e-6, 0.1), "series backward": (2.5, 40.0, 1e-6, 0.3),
         "difference": (1.0, 38.0, 0.3, 15.0), "direct": (0.0, 5.0, 0.3, 30.0)}


@pytest.mark.parametrize("form", FORMS)
def test_normalised_call_against_high_precision(straightforward, form):
    """The out-of-the-money part to 5e-15 of itself, an in-the-money call to 2e-15 of its
    value, at exactly the double x and s (so the comparison is free of their rounding)."""
    u_lo, u_hi, t_lo, t_hi = FORMS[form]
    rng = np.random.default_rng(len(form))
    u = rng.uniform(u_lo, u_hi, 60)
    t = np.exp(rng.uniform(np.log(t_lo), np.log(t_hi), 60))
    if form.startswith("series"):
        t = np.minimum(t, (np.sqrt(u * u + 4) + u) / 16.5)
    elif form == "difference":
        t = np.clip(t, (np.sqrt(u * u + 4) + u) / 15.5, 0.99 * u)
    else:
        u = np.minimum(u, 0.99 * t)
    checked = 0
    for uu, tt, itm in zip(u, t, rng.uniform(size=60) < 0.3):
        x, s = (uu * 2 * tt if itm else -uu * 2 * tt), 2 * tt
        want = mp_normalised_call(x, s)
        otm = float(want - (2 * mpmath.sinh(mpmath.mpf(x) / 2) if itm else 0))
        if otm < 1e-290:
            continue
        got = straightforward.normalised_call(x, s)
        assert abs(got - float(want)) <= (2e-15 * float(want) if itm else 5e-15 * otm), (x, s)
        checked += 1
    assert checked > 40


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("K", [40.0, 100.0, 250.0])
def test_prices_just_below_the_upper_bound_have_a_volatility(kind, K):
    """One to five ulps below S exp(-qT) (call) or K exp(-rT) (put) as a user forms them:
    a finite volatility (beyond 4, where the price is that close) that reprices to them."""
    S, T, r, q = 100.0, 2.0, 0.03, 0.01
    bound = S * np.exp(-q * T) if kind == "call" else K * np.exp(-r * T)
    prices = bound - np.arange(1, 6) * np.spacing(bound)
    iv = jd.implied_vol(prices, kind, S, K, T, r, q=q)
    assert np.all(np.isfinite(iv) & (iv > 4.0)), iv
    repriced = jd.black_scholes_price(kind, S, K, T, r, iv, q=q)
    assert np.all(np.abs(repriced - prices) <= 8 * np.spacing(bound))
    assert np.isnan(jd.implied_vol(bound, kind, S, K, T, r, q=q))


def test_prices_outside_the_bounds_give_nan_never_an_exception():
    S, K, T, r = 100.0, 90.0, 1.0, 0.05
    intrinsic_call = S - K * np.exp(-r * T)
    prices = np.array([-1.0, 0.5 * intrinsic_call, intrinsic_call, 16.0, S, 2 * S, np.nan, np.inf])
    iv = jd.implied_vol(prices, "call", S, K, T, r)
    assert np.isnan(iv[[0, 1, 4, 5, 6, 7]]).all()
    assert iv[2] == 0.0 and 0.0 < iv[3] < 1.0
    put = jd.implied_vol(np.array([K * np.exp(-r * T), 1.0]), "put", S, K, T, r)
    assert np.isnan(put[0]) and put[1] > 0.0
    with pytest.raises(ValueError, match=r"K must be finite and > 0; got -1.0 at index 1"):
        jd.implied_vol(1.0, "call", S, [90.0, -1.0], T, r)
    with pytest.raises(ValueError, match="price must be a real number"):
        jd.implied_vol("cheap", "call", S, K, T, r)


TRUE = jd.KouParameters(sigma=0.16, lam=1.2, p=0.35, eta1=12.0, eta2=6.0)


@pytest.fixture(scope="module")
def surface():
    """The example's market without noise: 13 strikes x 5 maturities of OTM options."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import calibrate as example
    finally:
        sys.path.pop(0)
    return example.market(noise=0.0)


@pytest.mark.parametrize("start", [None, (0.2, 0.5, 0.5, 20.0, 10.0), (0.1, 3.0, 0.2, 5.0, 3.0),
                                   (0.25, 0.2, 0.7, 30.0, 15.0)])
def test_kou_parameters_recovered_from_a_noise_free_surface(surface, start):
    fit = jd.calibrate_kou(surface, start=None if start is None else jd.KouParameters(*start), quiet=True)
    assert fit.converged, fit.status
    assert np.allclose(fit.parameters, TRUE, rtol=1e-8, atol=0)
    assert fit.rms < 1e-8 and fit.residuals.shape == (65,)


def test_calibration_report(surface):
    merton = jd.calibrate_merton(surface, quiet=True)
    assert isinstance(merton.parameters, jd.MertonParameters) and merton.converged
    assert merton.rms == pytest.approx(np.sqrt(np.mean(merton.residuals ** 2)))
    assert merton.prices == merton.evaluations * len(surface) and merton.seconds > 0.0
    # The residuals are model minus market implied volatility, in points.
    model = jd.merton_price(surface.kind, surface.S, surface.K, surface.T, surface.r, *merton.parameters,
                            q=surface.q)
    iv = jd.implied_vol(model, surface.kind, surface.S, surface.K, surface.T, surface.r, q=surface.q)
    assert np.allclose(merton.residuals, 100 * (iv - surface.vol), rtol=0, atol=1e-12)
    by_vega = jd.calibrate_kou(surface, weighting="vega", quiet=True)
    assert np.allclose(by_vega.parameters, TRUE, rtol=1e-6)
    cut = jd.calibrate_kou(surface, start=jd.KouParameters(0.3, 5.0, 0.9, 3.0, 1.0), max_evaluations=3,
                           quiet=True)
    assert not cut.converged and cut.status.startswith("did not converge")
    again = jd.calibrate_merton(surface, quiet=True)
    assert again.parameters == merton.parameters   # deterministic, bit for bit


def test_quotes_are_checked():
    with pytest.raises(ValueError, match="one of the two"):
        jd.Quotes("call", [100.0], [1.0], S=100.0, r=0.0, price=[5.0], vol=[0.2])
    with pytest.raises(ValueError, match="price 150.0 at index 1 is outside the no-arbitrage bounds"):
        jd.Quotes("call", [100.0, 100.0], [1.0, 1.0], S=100.0, r=0.0, price=[5.0, 150.0])
    with pytest.raises(ValueError, match="weighting"):
        jd.calibrate_kou(jd.Quotes("call", [100.0], [1.0], S=100.0, r=0.0, vol=[0.2]), weighting="price")


def test_progress_after_a_second_unless_quiet(surface, monkeypatch, capsys):
    clock = iter(np.arange(0.0, 1e4, 0.3))   # every reading of the clock moves it 0.3 s on
    monkeypatch.setattr(_calibrate.time, "perf_counter", lambda: float(next(clock)))
    jd.calibrate_merton(surface)
    assert "calibrate_merton: iteration" in capsys.readouterr().err
    jd.calibrate_merton(surface, quiet=True)
    assert capsys.readouterr().err == ""


def test_calibration_example_prints_and_writes_its_figure(tmp_path):
    figure = tmp_path / "calibration.png"
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "calibrate.py"), str(figure)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    for text in ("eta1", "Merton", "rms", "wrote"):
        assert text in result.stdout
    assert figure.stat().st_size > 20_000 and figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_market_example_fits_the_spy_chain(tmp_path):
    pytest.importorskip("stochvolmodels")
    figure = tmp_path / "market.png"
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "calibrate_market.py"), str(figure)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    rows = {}
    for line in result.stdout.splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if cells[0] in ("Kou", "Merton"):
            rows[cells[0], cells[1]] = float(cells[2])
    assert len(rows) == 6, result.stdout
    for model in ("Kou", "Merton"):   # each term structure closes part of the gap
        assert rows[model, "sigma(T), lam(T)"] < rows[model, "sigma(T)"] < rows[model, "one sigma"] < 3.0
        assert rows[model, "sigma(T), lam(T)"] < 0.7 * rows[model, "one sigma"]
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_bid_ask_quotes_weight_by_spread_and_frames_round_trip(surface):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    half = 0.002 + 0.01 * rng.uniform(size=len(surface))     # half-spreads in vol
    mid = surface.vol.copy()
    mid[0] += 0.05                                           # one quote five points off

    def quotes(wide):
        h = half.copy()
        h[0] = mid[0] if wide else h[0]
        frame = pd.DataFrame(dict(kind=np.where(surface.kind == "call", "C", "P"), K=surface.K, T=surface.T,
                                  bid=mid - h, ask=mid + h))
        return jd.Quotes.from_frame(frame, S=surface.S[0], r=surface.r[0], q=surface.q[0], bid_ask="vol")

    wide, narrow = quotes(True), quotes(False)
    assert np.array_equal(wide.kind, surface.kind) and np.allclose(wide.vol, mid)
    fit = jd.calibrate_kou(wide, quiet=True)
    off = jd.calibrate_kou(narrow, quiet=True)
    # The quote off the market moves the fit as little as its spread says.
    error = lambda f: np.max(np.abs(np.array(f.parameters) / np.array(TRUE) - 1))
    assert fit.converged and error(fit) < 0.1 * error(off)
    table = fit.to_frame()
    assert len(table) == len(surface) and bool(table["inside"].all())
    assert table["residual"].to_numpy() == pytest.approx(fit.residuals)
    # Bid and ask as prices give the same market as their vols.
    bid = jd.black_scholes_price(surface.kind, surface.S, surface.K, surface.T, surface.r, mid - 0.001,
                                 q=surface.q)
    ask = jd.black_scholes_price(surface.kind, surface.S, surface.K, surface.T, surface.r, mid + 0.001, q=surface.q)
    priced = jd.Quotes(surface.kind, surface.K, surface.T, S=surface.S, r=surface.r, q=surface.q, bid=bid, ask=ask)
    assert np.allclose(priced.bid_vol, mid - 0.001, atol=1e-10) and np.allclose(priced.ask_vol, mid + 0.001, atol=1e-10)
    with pytest.raises(ValueError, match="ask 1.0 at index 0 is not above the bid 2.0"):
        jd.Quotes("call", [100.0], [1.0], S=100.0, r=0.0, bid=[2.0], ask=[1.0])
    with pytest.raises(ValueError, match="both a bid and an ask"):
        jd.Quotes("call", [100.0], [1.0], S=100.0, r=0.0, bid=[2.0])


def test_fixed_parameters_bounds_and_a_hard_evaluation_cap(surface):
    fit = jd.calibrate_kou(surface, fixed={"p": 0.35, "eta2": 6.0}, bounds={"lam": (0.5, 2.0)}, quiet=True)
    assert fit.converged and fit.parameters.p == 0.35 and fit.parameters.eta2 == 6.0
    assert np.allclose(fit.parameters, TRUE, rtol=1e-8)
    assert fit.standard_errors.p == 0.0 and fit.standard_errors.eta2 == 0.0
    narrow = jd.calibrate_merton(surface, bounds={"lam": (0.0, 0.3), "s": (0.2, 0.3)}, quiet=True)
    assert narrow.parameters.lam <= 0.3 and 0.2 <= narrow.parameters.s <= 0.3
    for cap in (1, 5, 40):
        cut = jd.calibrate_kou(surface, start=jd.KouParameters(0.3, 5.0, 0.9, 3.0, 1.0), max_evaluations=cap,
                               quiet=True)
        assert cut.evaluations <= cap and not cut.converged and "budget" in cut.status
        assert np.all(np.isfinite(cut.residuals))
    with pytest.raises(ValueError, match="unknown parameter 'm'"):
        jd.calibrate_kou(surface, fixed={"m": 0.1})
    with pytest.raises(ValueError, match=r"fixed eta1=0.5 is outside its range"):
        jd.calibrate_kou(surface, fixed={"eta1": 0.5})
    with pytest.raises(ValueError, match=r"bounds\['sigma'\] = \(3.0, 4.0\) leaves nothing"):
        jd.calibrate_kou(surface, bounds={"sigma": (3.0, 4.0)})


def test_standard_errors_match_the_scatter_of_refits(surface):
    # 24 markets with independent vol noise of 0.3 points: the spread of the fitted
    # parameters against the mean of the reported standard errors.
    fits = []
    for seed in range(24):
        noisy = surface.vol + 0.003 * np.random.default_rng(100 + seed).standard_normal(len(surface))
        quotes = jd.Quotes(surface.kind, surface.K, surface.T, S=surface.S, r=surface.r, q=surface.q, vol=noisy)
        fits.append(jd.calibrate_merton(quotes, start=jd.MertonParameters(0.15, 1.0, -0.1, 0.15), quiet=True))
    scatter = np.std([f.parameters for f in fits], axis=0, ddof=1)
    reported = np.mean([f.standard_errors for f in fits], axis=0)
    assert np.all(reported > 0) and np.all(np.abs(np.log(scatter / reported)) < np.log(1.5)), (scatter, reported)


# Three maturities with their own forward volatilities (and intensities).
_MATURITIES = np.array([0.25, 0.75, 1.5])
_FORWARD_SIGMA = np.array([0.22, 0.15, 0.11])


@pytest.mark.parametrize("model, shared, structure, forward_lam", [
    ("kou", (0.35, 12.0, 6.0), ("sigma", "lam"), (0.5, 2.0, 1.0)),
    ("merton", (-0.12, 0.15), ("sigma", "lam"), (0.5, 2.0, 1.0)),
    ("kou", (0.35, 12.0, 6.0), "sigma", (1.2, 1.2, 1.2)),
])
def test_term_structure_recovered_from_noise_free_quotes(model, shared, structure, forward_lam):
    dt = np.diff(_MATURITIES, prepend=0.0)
    sigma = np.sqrt(np.cumsum(_FORWARD_SIGMA ** 2 * dt) / _MATURITIES)
    lam = np.cumsum(np.array(forward_lam) * dt) / _MATURITIES
    moneyness = np.tile(np.linspace(-1.5, 1.5, 15), 3)
    T = np.repeat(_MATURITIES, 15)
    K = 100.0 * np.exp(0.02 * T + moneyness * 0.2 * np.sqrt(T))
    kind = np.where(moneyness >= 0.0, "call", "put")
    pricer = jd.kou_price if model == "kou" else jd.merton_price
    index = np.repeat(np.arange(3), 15)
    quotes = jd.Quotes(kind, K, T, S=100.0, r=0.02,
                       price=pricer(kind, 100.0, K, T, 0.02, sigma[index], lam[index], *shared))
    calibrate = jd.calibrate_kou if model == "kou" else jd.calibrate_merton
    fit = calibrate(quotes, term_structure=structure, quiet=True)
    ts = fit.term_structure
    assert fit.converged and fit.rms < 1e-7, fit.status
    assert np.array_equal(ts.maturities, _MATURITIES)
    assert np.allclose(ts.forward_sigma, _FORWARD_SIGMA, rtol=1e-6) and np.allclose(ts.sigma, sigma, rtol=1e-6)
    assert np.allclose(ts.forward_lam, forward_lam, rtol=1e-5) and np.allclose(ts.lam, lam, rtol=1e-5)
    assert np.allclose(fit.parameters[2:], shared, rtol=1e-6)
    assert fit.parameters.sigma == ts.sigma[-1] and np.all(ts.forward_sigma_errors > 0)
    # The effective values price the quotes as they are, at their maturities.
    at = np.searchsorted(ts.maturities, quotes.T)
    again = pricer(quotes.kind, 100.0, quotes.K, quotes.T, 0.02, ts.sigma[at], ts.lam[at], *fit.parameters[2:])
    assert np.array_equal(again, fit.model_prices)


def test_term_structure_arguments_are_checked(surface):
    with pytest.raises(ValueError, match="term_structure must be"):
        jd.calibrate_kou(surface, term_structure="p")
    with pytest.raises(ValueError, match="sigma has a term structure in this fit and cannot be fixed"):
        jd.calibrate_merton(surface, term_structure="sigma", fixed={"sigma": 0.2})
    # Bounds hold for every forward value; a forward variance is never negative.
    fit = jd.calibrate_kou(surface, term_structure=("sigma", "lam"), bounds={"sigma": (0.15, 0.17)}, quiet=True)
    assert np.all((fit.term_structure.forward_sigma >= 0.15) & (fit.term_structure.forward_sigma <= 0.17))
    assert np.all(fit.term_structure.forward_lam >= 0.0)

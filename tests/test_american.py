"""American, Bermudan and knock-out options by the PIDE engine: published values, the
Black-Scholes limit (QuantLib's finite differences), the European through the engine,
Kou's barriers against the Laplace inversion, Merton's against exact Monte Carlo, the
exercise boundary, the Greeks, and bad input."""
import math

import numpy as np
import pytest

import jumpdiffusion as jd
from jumpdiffusion._american import _kou_barrier_pide
from support import merton_mc

MERTON_SET = dict(T=0.25, r=0.05, sigma=0.15, lam=0.1, m=-0.9, s=0.45)   # d'Halluin, Forsyth and Vetzal
TOIVANEN = dict(T=0.25, r=0.05, sigma=0.15, lam=0.1, p=0.3445, eta1=3.0465, eta2=3.0775)


def test_published_values():
    # Surkov (2009), Table C.5: the American put; Toivanen (2008): Kou's European put.
    assert jd.merton_american("put", 100.0, 100.0, **MERTON_SET) == pytest.approx(3.2412435, abs=2e-5)
    assert jd.kou_american("put", 100.0, 100.0, **TOIVANEN, exercise=[]) == pytest.approx(2.731258899, abs=1e-6)
    # Each accuracy (its grids' resolution) within what it promises of the tightest's value,
    # away from the exercise boundary.
    for american, args in ((jd.merton_american, MERTON_SET), (jd.kou_american, TOIVANEN)):
        tight = american("put", 100.0, [90.0, 100.0], **args, accuracy=1e-8)
        for accuracy in (1e-7, 1e-6, 1e-5):
            assert american("put", 100.0, [90.0, 100.0], **args, accuracy=accuracy) == pytest.approx(
                tight, abs=accuracy * 200.0)


def quantlib_american(kind, S, K, T, r, q, sigma):
    """QuantLib's Black-Scholes American by finite differences, extrapolated from 2,000 and
    4,000 nodes and steps (its error is first order in the step)."""
    ql = pytest.importorskip("QuantLib")
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    basis = ql.Thirty360(ql.Thirty360.BondBasis)    # months of exactly 1/12 year
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, basis))   # noqa: E731
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)), curve(q), curve(r),
                                           ql.BlackVolTermStructureHandle(
                                               ql.BlackConstantVol(today, ql.NullCalendar(), sigma, basis)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put if kind == "put" else ql.Option.Call, K),
                              ql.AmericanExercise(today, today + ql.Period(round(T * 12), ql.Months)))
    values = []
    for n in (2000, 4000):
        option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, n, n, 0, ql.FdmSchemeDesc.Douglas()))
        values.append(option.NPV())
    return 2.0 * values[1] - values[0]


@pytest.mark.parametrize("kind, S, K, T, r, q, sigma", [
    ("put", 100.0, 100.0, 0.25, 0.05, 0.0, 0.15), ("put", 90.0, 100.0, 1.0, 0.03, 0.01, 0.3),
    ("call", 110.0, 100.0, 0.5, 0.02, 0.06, 0.25)])
def test_without_jumps_is_the_black_scholes_american(kind, S, K, T, r, q, sigma):
    reference = quantlib_american(kind, S, K, T, r, q, sigma)
    assert jd.kou_american(kind, S, K, T, r, sigma, 0.0, 0.5, 5.0, 5.0, q=q) == pytest.approx(reference, abs=2e-5)
    assert jd.merton_american(kind, S, K, T, r, sigma, 0.0, 0.0, 0.1, q=q) == pytest.approx(reference, abs=2e-5)


SETS = [
    ("kou", dict(T=1.0, r=0.05, q=0.0, sigma=0.2, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)),
    ("kou", dict(T=0.1, r=0.02, q=0.03, sigma=0.35, lam=8.0, p=0.6, eta1=25.0, eta2=15.0)),
    ("kou", dict(T=3.0, r=-0.01, q=0.0, sigma=0.12, lam=0.3, p=0.2, eta1=4.0, eta2=2.5)),
    ("merton", dict(T=1.0, r=0.05, q=0.02, sigma=0.2, lam=0.5, m=-0.1, s=0.2)),
    ("merton", dict(T=0.5, r=0.01, q=0.0, sigma=0.3, lam=3.0, m=0.05, s=0.1)),
    ("merton", dict(T=2.0, r=0.04, q=0.01, sigma=0.1, lam=0.2, m=-0.4, s=0.3)),
]
STRIKES = np.array([70.0, 85.0, 95.0, 100.0, 105.0, 115.0, 140.0])


def model(name):
    return (jd.kou_american, jd.kou_price) if name == "kou" else (jd.merton_american, jd.merton_price)


@pytest.mark.parametrize("name, args", SETS)
def test_against_the_european_and_the_payoff(name, args):
    american, european = model(name)
    for kind in ("call", "put"):
        eu = european(kind, 100.0, STRIKES, **args)
        # No exercise before expiry: the European through the engine.
        assert american(kind, 100.0, STRIKES, **args, exercise=[]) == pytest.approx(eu, abs=1e-6 * 200)
        am = american(kind, 100.0, STRIKES, **args)
        payoff = np.maximum(100.0 - STRIKES, 0.0) if kind == "call" else np.maximum(STRIKES - 100.0, 0.0)
        assert np.all(am >= eu - 1e-7 * (100.0 + STRIKES)) and np.all(am >= payoff)
        # A Bermudan lies between the two and rises with its dates.
        dates = np.linspace(0.0, args["T"], 13)[:-1]
        bermudan = american(kind, 100.0, STRIKES, **args, exercise=dates)
        assert np.all(bermudan <= am + 1e-7 * (100.0 + STRIKES)) and np.all(bermudan >= eu - 1e-7 * (100.0 + STRIKES))
    # Not exercisable today, a put deep in the money is worth less than its payoff (the strike
    # is received only at the first date).
    later, eu = american("put", 100.0, 140.0, **args, exercise=[args["T"] / 2.0]), european("put", 100.0, 140.0, **args)
    assert later >= eu - 1e-5 and (later < 40.0 or eu > 39.0)
    if args["q"] == 0.0 and args["r"] >= 0.0:   # the American call is never exercised early
        assert american("call", 100.0, STRIKES, **args) == pytest.approx(european("call", 100.0, STRIKES, **args),
                                                                         abs=2e-5)


@pytest.mark.parametrize("name, jumps", [("kou", dict(p=0.5, eta1=30.0, eta2=30.0)), ("merton", dict(m=-0.02, s=0.05))])
def test_many_jumps(name, jumps):
    # 30 jumps a year: the explicit jump integral's step (lam dt at most 1/16) keeps it accurate.
    american, european = model(name)
    args = dict(T=1.0, r=0.05, sigma=0.2, lam=30.0, **jumps)
    assert american("put", 100.0, 100.0, **args, exercise=[]) == pytest.approx(european("put", 100.0, 100.0, **args),
                                                                                abs=2e-5)


@pytest.mark.parametrize("name, kind, x, args", [
    # The value from paths across a strike the points do not straddle (found by a random sweep:
    # the grids ended short of the strike, 16,000 and 42 tolerances off).
    ("kou", "put", -3.457, dict(T=4.733, r=0.0392, q=0.0114, sigma=0.0762, lam=0.0445, p=0.694, eta1=1.508,
                                eta2=23.2)),
    ("merton", "call", -0.332, dict(T=0.0912, r=0.0647, q=0.0279, sigma=0.0895, lam=0.2495, m=0.3308, s=0.0392)),
    ("kou", "call", -2.889, dict(T=0.0561, r=0.0012, q=0.0232, sigma=0.2267, lam=66.08, p=0.1726, eta1=4.916,
                                 eta2=45.24)),
])
def test_the_strike_beyond_the_points(name, kind, x, args):
    american, european = model(name)
    K = 100.0 * math.exp(-x)
    assert american(kind, 100.0, K, **args, exercise=[]) == pytest.approx(european(kind, 100.0, K, **args),
                                                                          abs=1e-7 * (100.0 + K))


@pytest.mark.parametrize("name, args", [SETS[0], SETS[3]])
def test_boundary_and_greeks(name, args):
    greeks = jd.kou_american_greeks if name == "kou" else jd.merton_american_greeks
    american = model(name)[0]
    g = greeks("put", 100.0, 100.0, **args, boundary=True)
    times, spot = g.boundary
    assert times[0] == 0.0 and times[-1] == args["T"] and spot.shape == (101,)
    # The critical spot rises towards expiry and stays below the strike; at and below it
    # the put is worth its exercise value.
    assert np.all(np.diff(spot) > -1e-9 * 100) and np.all(spot < 100.0)
    below = spot[0] * np.array([0.9, 0.97])
    assert american("put", below, 100.0, **args) == pytest.approx(100.0 - below, abs=1e-9)
    assert american("put", spot[0] * 1.03, 100.0, **args) > 100.0 - spot[0] * 1.03
    # Delta and gamma against differences of prices 0.1 apart; theta against the price at
    # a maturity one day shorter (the same option a day later).
    h = 0.1
    up, down = (american("put", 100.0 + d, 100.0, **args) for d in (h, -h))
    assert g.delta == pytest.approx((up - down) / (2 * h), abs=1e-5)
    assert g.gamma == pytest.approx((up - 2 * g.price + down) / h ** 2, rel=2e-3)
    day = 1.0 / 365.0
    later = american("put", 100.0, 100.0, **dict(args, T=args["T"] - day))
    assert g.theta == pytest.approx((later - g.price) / day, rel=2e-2)


@pytest.mark.parametrize("kind, barrier, H", [("call", "up-and-out", 130.0), ("put", "up-and-out", 115.0),
                                              ("call", "down-and-out", 80.0), ("put", "down-and-out", 90.0)])
def test_kou_barriers_agree_with_the_laplace_inversion(kind, barrier, H):
    args = dict(T=0.5, r=0.05, sigma=0.2, lam=1.0, p=0.4, eta1=10.0, eta2=5.0, q=0.01)
    S = np.array([H * 0.8 if barrier.startswith("up") else H * 1.25, 100.0])
    ours = _kou_barrier_pide(kind, barrier, S, 100.0, H, **args)
    assert ours == pytest.approx(jd.kou_barrier(kind, barrier, S, 100.0, H, **args), abs=1e-6)


@pytest.mark.parametrize("kind, barrier, H, args", [
    ("call", "up-and-out", 125.0, dict(T=0.5, r=0.05, q=0.0, sigma=0.2, lam=1.0, m=-0.1, s=0.15)),
    ("put", "down-and-out", 85.0, dict(T=1.0, r=0.03, q=0.01, sigma=0.25, lam=0.5, m=-0.2, s=0.3)),
])
def test_merton_barriers_against_monte_carlo(kind, barrier, H, args):
    mean, se = merton_mc.knock_out(kind, barrier, 100.0, 100.0, H, **args, paths=300_000, seed=7)
    out = jd.merton_barrier(kind, barrier, 100.0, 100.0, H, **args)
    assert abs(out - mean) < 4 * se
    knock_in = jd.merton_barrier(kind, barrier.replace("out", "in"), 100.0, 100.0, H, **args)
    assert out + knock_in == pytest.approx(jd.merton_price(kind, 100.0, 100.0, **args), abs=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda: jd.kou_american("put", 100.0, 100.0, **TOIVANEN, exercise=[-0.1]), "at least 0"),
    (lambda: jd.kou_american("put", 100.0, 100.0, **TOIVANEN, exercise=[0.5]), "at most T"),
    (lambda: jd.kou_american("put", 100.0, 100.0, **TOIVANEN, exercise="x"), "exercise must be"),
    (lambda: jd.merton_american("put", 100.0, 1e5, **MERTON_SET), "S / K must be between"),
    (lambda: jd.merton_american("put", 100.0, 100.0, **dict(MERTON_SET, sigma=-1.0)), "sigma"),
    (lambda: jd.merton_barrier("call", "up-and-out", 100.0, 100.0, 90.0, **MERTON_SET), "at or above S"),
    (lambda: jd.merton_barrier("call", "sideways", 100.0, 100.0, 90.0, **MERTON_SET), "barrier must be"),
    (lambda: jd.kou_american("put", 100.0, 100.0, 1.0, 0.05, 0.005, 5.0, 0.5, 3.0, 3.0), "exceeds the engine"),
    (lambda: jd.merton_american("put", 100.0, 100.0, **MERTON_SET, accuracy=1e-9), "accuracy must be between"),
    (lambda: jd.merton_barrier("call", "up-and-out", 100.0, 100.0, 120.0, **MERTON_SET, accuracy="x"), "accuracy must"),
])
def test_bad_input(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_broadcasting_and_scalars():
    g = jd.merton_american_greeks("put", [[90.0], [110.0]], [95.0, 100.0, 105.0], **MERTON_SET)
    assert g.price.shape == (2, 3) and g.boundary is None
    assert isinstance(jd.merton_american("put", 100.0, 100.0, **MERTON_SET), float)
    # One solve for the strip: within the accuracy of the solve for the one element.
    assert g.price[1, 1] == pytest.approx(jd.merton_american("put", 110.0, 100.0, **MERTON_SET), abs=2e-5)
    assert math.isfinite(float(g.theta[0, 0]))

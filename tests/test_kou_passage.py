"""Kou's first-passage probability, one-touch options and lookbacks: the Brownian limit, a
high-precision inversion of the same transforms, exact Monte Carlo, invariants and bad input."""
import math

import mpmath
import numpy as np
import pytest

import jumpdiffusion as jd
from support import kou_mc, kou_passage_mp

N = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))   # noqa: E731


def black_scholes_passage(up, S, H, T, r, sigma, q=0.0, rate=0.0):
    """E[exp(-rate tau); tau <= T] for the Brownian log-spot (lam = 0), closed form."""
    mu = (r - q - sigma ** 2 / 2) * (1 if up else -1)
    b = abs(math.log(H / S))
    nu = math.sqrt(mu * mu + 2 * rate * sigma ** 2)
    root = sigma * math.sqrt(T)
    return (math.exp((mu - nu) * b / sigma ** 2) * N((-b + nu * T) / root)
            + math.exp((mu + nu) * b / sigma ** 2) * N((-b - nu * T) / root))


@pytest.mark.parametrize("up, H, T, r, sigma, q", [
    (True, 110.0, 1.0, 0.05, 0.2, 0.0), (True, 150.0, 3.0, -0.02, 0.35, 0.01),
    (False, 90.0, 0.25, 0.03, 0.15, 0.02), (False, 60.0, 10.0, 0.08, 0.5, 0.0), (True, 100.5, 0.01, 0.01, 0.3, 0.0),
])
def test_no_jumps_is_black_scholes(up, H, T, r, sigma, q):
    d = "up" if up else "down"
    args = (100.0, H, T, r, sigma, 0.0, 0.4, 10.0, 5.0)
    assert jd.kou_first_passage(d, *args, q=q) == pytest.approx(black_scholes_passage(up, 100.0, H, T, r, sigma, q),
                                                                abs=1e-12)
    assert jd.kou_touch(d, *args, q=q) == pytest.approx(black_scholes_passage(up, 100.0, H, T, r, sigma, q, rate=r),
                                                        abs=1e-12)
    assert jd.kou_touch(d, *args, q=q, pay="expiry") == pytest.approx(
        math.exp(-r * T) * black_scholes_passage(up, 100.0, H, T, r, sigma, q), abs=1e-12)


def test_no_jumps_near_a_fixed_passage_time():
    # A level the drift reaches in some 15 years, sigma sqrt(T) = 0.1. A node's diffusion root
    # beside eta1 (a spurious near-double root of the quartic) stopped the root iteration, and
    # inversions at A = 25 and A = 22 agree within 8e-10 here while both are 2.5e-9 off.
    H, T, r, sigma = 317.2, 15.2369, 0.0796329, 0.0259723
    args = (100.0, H, T, r, sigma, 0.0, 0.4, 10.0, 5.0)
    assert jd.kou_first_passage("up", *args) == pytest.approx(black_scholes_passage(True, 100.0, H, T, r, sigma), abs=1e-9)
    assert jd.kou_touch("up", *args) == pytest.approx(black_scholes_passage(True, 100.0, H, T, r, sigma, rate=r), abs=1e-9)


def test_against_a_high_precision_inversion():
    rng = np.random.default_rng(11)
    for i in range(9):
        d = "up" if i % 2 == 0 else "down"
        H = 100.0 * math.exp((1 if d == "up" else -1) * rng.uniform(0.02, 0.6))
        args = dict(S=100.0, H=H, T=float(np.exp(rng.uniform(np.log(0.02), np.log(8.0)))),
                    r=float(rng.uniform(-0.03, 0.1)), sigma=float(rng.uniform(0.08, 0.6)), lam=float(rng.uniform(0.0, 5.0)),
                    p=float(rng.uniform()), eta1=float(rng.uniform(1.5, 40.0)), eta2=float(rng.uniform(0.5, 40.0)),
                    q=float(rng.uniform(0.0, 0.04)))
        pay = (None, "hit", "expiry")[i % 3]
        ours = jd.kou_first_passage(d, **args) if pay is None else jd.kou_touch(d, **args, pay=pay)
        assert ours == pytest.approx(kou_passage_mp.passage(d, **args, pay=pay), abs=1e-9), (d, pay, args)
    # Some 80 jumps a year over five weeks: the transform's phase turns fast along the line (an
    # Euler inversion at A = 25 and one at A = 22 differed by 6e-8 here).
    hard = dict(S=100.0, H=72.979, T=0.0962, r=0.0409, sigma=0.156, lam=78.6401, p=0.4848, eta1=6.3542, eta2=38.2453,
                q=0.0102)
    assert jd.kou_first_passage("down", **hard) == pytest.approx(kou_passage_mp.passage("down", **hard), abs=1e-9)


@pytest.mark.parametrize("up, H, args", [
    (True, 120.0, dict(T=1.0, r=0.05, sigma=0.2, lam=2.0, p=0.4, eta1=8.0, eta2=5.0)),
    (False, 85.0, dict(T=0.5, r=0.02, sigma=0.15, lam=3.0, p=0.3, eta1=6.0, eta2=4.0, q=0.01)),
    (True, 104.0, dict(T=2.0, r=0.0, sigma=0.05, lam=0.5, p=0.7, eta1=30.0, eta2=2.0)),
])
def test_against_exact_monte_carlo(up, H, args):
    hit = kou_mc.reached(up, 100.0, H, **args, paths=400_000, seed=5)
    mean = hit.mean()
    error = math.sqrt(mean * (1 - mean) / hit.size)
    assert abs(jd.kou_first_passage("up" if up else "down", 100.0, H, **args) - mean) < 4 * error


def test_invariants_and_strips():
    levels = np.linspace(100.0, 200.0, 101)
    law = (1.0, 0.04, 0.25, 1.5, 0.35, 9.0, 4.0)
    strip = jd.kou_first_passage("up", 100.0, levels, *law)
    assert strip[0] == 1.0 and np.all(np.diff(strip) < 0) and np.all(strip > 0)
    single = [jd.kou_first_passage("up", 100.0, float(h), *law) for h in levels[::25]]
    assert np.array_equal(strip[::25], single)   # the same doubles one by one
    touch, paid_later = jd.kou_touch("up", 100.0, levels, *law), jd.kou_touch("up", 100.0, levels, *law, pay="expiry")
    assert np.all(touch >= paid_later) and np.all(touch <= strip)   # r > 0: paid at the hit is worth more
    assert touch[0] == 1.0 and paid_later[0] == math.exp(-law[1] * law[0])   # H = S: reached at once
    down = jd.kou_first_passage(np.array(["down", "up"]), 100.0, np.array([80.0, 125.0]), *law)
    assert down.shape == (2,) and down[1] == jd.kou_first_passage("up", 100.0, 125.0, *law)


def test_bad_input():
    law = (1.0, 0.04, 0.25, 1.5, 0.35, 9.0, 4.0)
    with pytest.raises(ValueError, match=r"H must be at or above S for direction 'up'; got H=90.0, S=100.0"):
        jd.kou_first_passage("up", 100.0, 90.0, *law)
    with pytest.raises(ValueError, match=r"at or below S for direction 'down'.* at index 1"):
        jd.kou_first_passage("down", 100.0, [90.0, 110.0], *law)
    with pytest.raises(ValueError, match="direction must be 'up' or 'down'"):
        jd.kou_first_passage("above", 100.0, 110.0, *law)
    with pytest.raises(ValueError, match="pay must be 'hit' or 'expiry'"):
        jd.kou_touch("up", 100.0, 110.0, *law, pay="now")
    with pytest.raises(ValueError, match="sigma must be finite and in"):
        jd.kou_first_passage("up", 100.0, 110.0, 1.0, 0.04, 0.0, 1.5, 0.35, 9.0, 4.0)
    # A level the drift reaches at a nearly fixed time: refused, not a wrong number.
    with pytest.raises(ValueError, match="does not reach the accuracy 1e-09"):
        jd.kou_first_passage("up", 100.0, 112.0, 1.0, 0.2, 0.005, 0.0, 0.5, 10.0, 5.0)


def _brownian_max_tail(b, drift, sigma, T):
    """P(max_{t <= T} (drift t + sigma W_t) >= b), b >= 0."""
    root = sigma * math.sqrt(T)
    return (0.5 * mpmath.erfc((b - drift * T) / (root * math.sqrt(2.0)))
            + mpmath.exp(2 * drift * b / sigma ** 2) * 0.5 * mpmath.erfc((b + drift * T) / (root * math.sqrt(2.0))))


@pytest.mark.parametrize("T, r, q, sigma", [(1.0, 0.05, 0.02, 0.25), (0.1, -0.01, 0.0, 0.4), (5.0, 0.03, 0.03, 0.15)])
def test_lookbacks_without_jumps_integrate_the_brownian_maximum(T, r, q, sigma):
    # Goldman, Sosin and Gatto's prices, as integrals of the maximum's closed-form law:
    # E[exp(M)] = 1 + int_0^inf e^b P(M >= b) db and E[(exp(M) - exp(k))+] = int_k^inf.
    S, D, drift = 100.0, math.exp(-r * T), r - q - sigma ** 2 / 2
    law = (T, r, sigma, 0.0, 0.4, 10.0, 5.0)
    up = lambda k: mpmath.quad(lambda b: mpmath.exp(b) * _brownian_max_tail(b, drift, sigma, T), [k, mpmath.inf])  # noqa: E731
    down = lambda k: mpmath.quad(lambda b: mpmath.exp(-b) * _brownian_max_tail(b, -drift, sigma, T), [k, mpmath.inf])  # noqa: E731
    expected = {("put", None): D * S * (1 + up(0)) - S * math.exp(-q * T),
                ("call", None): S * math.exp(-q * T) - D * S * (1 - down(0)),
                ("call", 115.0): D * S * up(math.log(1.15)), ("call", 90.0): D * (S * (1 + up(0)) - 90.0),
                ("put", 85.0): D * S * down(math.log(100 / 85)), ("put", 110.0): D * (110.0 - S * (1 - down(0)))}
    for (kind, K), price in expected.items():
        assert jd.kou_lookback(kind, S, *law, K=K, q=q) == pytest.approx(float(price), abs=1e-12 * S), (kind, K)


def test_lookbacks_with_jumps():
    args = dict(T=1.0, r=0.05, sigma=0.2, lam=2.0, p=0.4, eta1=8.0, eta2=5.0, q=0.01)
    for kind, K in (("put", None), ("call", None), ("call", 110.0), ("put", 90.0)):
        assert jd.kou_lookback(kind, 100.0, **args, K=K) == pytest.approx(
            kou_passage_mp.lookback(kind, 100.0, **args, K=K), abs=1e-9 * 100.0), (kind, K)
    # Exact Monte Carlo of the floating-strike put (the maximum between jumps from the
    # Brownian bridge's law).
    ST, top = kou_mc.maxima(100.0, **args, paths=300_000, seed=3)
    pay = math.exp(-args["r"] * args["T"]) * (100.0 * np.exp(top) - ST)
    assert abs(jd.kou_lookback("put", 100.0, **args) - pay.mean()) < 4 * pay.std() / math.sqrt(pay.size)
    # A fixed-strike call struck at S is the floating put plus S exp(-qT) - S exp(-rT), and the
    # two forms of the fixed strike meet at K = S.
    fixed = jd.kou_lookback("call", 100.0, **args, K=np.array([100.0 - 1e-9, 100.0, 100.0 + 1e-9]))
    floating = jd.kou_lookback("put", 100.0, **args)
    carry = 100.0 * (math.exp(-args["q"]) - math.exp(-args["r"]))
    assert fixed[1] == pytest.approx(floating + carry, abs=1e-9) and np.ptp(fixed) < 1e-8


_QL_BARRIERS = {"up-and-out": "UpOut", "up-and-in": "UpIn", "down-and-out": "DownOut", "down-and-in": "DownIn"}


def _quantlib_barrier(kind, barrier, S, K, H, T, r, sigma, q):
    ql = pytest.importorskip("QuantLib")
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc))  # noqa: E731
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)), curve(q), curve(r),
                                           ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), sigma, dc)))
    option = ql.BarrierOption(getattr(ql.Barrier, _QL_BARRIERS[barrier]), H, 0.0,
                              ql.PlainVanillaPayoff(ql.Option.Call if kind == "call" else ql.Option.Put, K),
                              ql.EuropeanExercise(today + ql.Period(int(round(T * 365)), ql.Days)))
    option.setPricingEngine(ql.AnalyticBarrierEngine(process))
    return option.NPV()


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("barrier, H, K", [("up-and-out", 120.0, 100.0), ("up-and-in", 120.0, 130.0),
                                           ("down-and-out", 80.0, 70.0), ("down-and-in", 90.0, 110.0)])
def test_barriers_without_jumps_are_black_scholes(kind, barrier, H, K):
    # QuantLib's analytic barrier engine (Reiner and Rubinstein's formulas); T = 365 days.
    ours = jd.kou_barrier(kind, barrier, 100.0, K, H, 1.0, 0.05, 0.2, 0.0, 0.4, 10.0, 5.0, q=0.01)
    assert ours == pytest.approx(_quantlib_barrier(kind, barrier, 100.0, K, H, 1.0, 0.05, 0.2, 0.01), abs=1e-12 * 100)


@pytest.mark.parametrize("kind, barrier, H, K, args", [
    ("call", "up-and-in", 115.0, 100.0, dict(T=1.0, r=0.05, sigma=0.2, lam=2.0, p=0.4, eta1=8.0, eta2=5.0, q=0.01)),
    ("put", "down-and-out", 85.0, 100.0, dict(T=0.5, r=0.03, sigma=0.15, lam=3.0, p=0.3, eta1=6.0, eta2=4.0)),
    ("call", "up-and-out", 130.0, 105.0, dict(T=0.75, r=0.02, sigma=0.25, lam=1.0, p=0.5, eta1=10.0, eta2=3.0)),
])
def test_barriers_with_jumps_against_exact_monte_carlo(kind, barrier, H, K, args):
    hit, ST = kou_mc.reached(barrier.startswith("up"), 100.0, H, **args, paths=300_000, seed=7, spot=True)
    pay = (np.maximum(ST - K, 0.0) if kind == "call" else np.maximum(K - ST, 0.0)) * math.exp(-args["r"] * args["T"])
    pay = pay * (hit if barrier.endswith("in") else ~hit)
    assert abs(jd.kou_barrier(kind, barrier, 100.0, K, H, **args) - pay.mean()) < 4 * pay.std() / math.sqrt(pay.size)


def test_barrier_invariants():
    law = (0.75, 0.03, 0.25, 1.5, 0.35, 9.0, 4.0)
    K = np.array([80.0, 100.0, 120.0])
    for kind in ("call", "put"):
        european = jd.kou_price(kind, 100.0, K, *law)
        for side, H in (("up", 130.0), ("down", 75.0)):
            knock_in = jd.kou_barrier(kind, f"{side}-and-in", 100.0, K, H, *law)
            knock_out = jd.kou_barrier(kind, f"{side}-and-out", 100.0, K, H, *law)
            assert np.array_equal(knock_in + knock_out, european) or np.allclose(knock_in + knock_out, european,
                                                                                rtol=0, atol=1e-13)
            assert np.all(knock_in >= 0) and np.all(knock_out >= 0)
            # A list takes the checked path, an array of float64 the native intake: the same doubles.
            assert np.array_equal(jd.kou_barrier(kind, f"{side}-and-out", 100.0, K.tolist(), H, *law), knock_out)
    levels = np.array([101.0, 110.0, 150.0, 5000.0])
    out = jd.kou_barrier("call", "up-and-out", 100.0, 90.0, levels, *law)
    assert np.all(np.diff(out) > 0) and out[-1] == pytest.approx(jd.kou_price("call", 100.0, 90.0, *law), abs=1e-8)
    with pytest.raises(ValueError, match="barrier must be one of"):
        jd.kou_barrier("call", "knock-out", 100.0, 100.0, 120.0, *law)
    with pytest.raises(ValueError, match="H must be at or below S for a down-and-in barrier"):
        jd.kou_barrier("call", "down-and-in", 100.0, 100.0, 120.0, *law)


def test_greeks_by_differences():
    # A Brownian up-and-out call against differences of QuantLib's closed form at small steps.
    greeks = jd.kou_path_greeks(jd.kou_barrier, "call", "up-and-out", 100.0, 100.0, 130.0, 1.0, 0.05, 0.2,
                                0.0, 0.4, 10.0, 5.0)
    ref = lambda S, sigma: _quantlib_barrier("call", "up-and-out", S, 100.0, 130.0, 1.0, 0.05, sigma, 0.0)  # noqa: E731
    h, v = 1e-3, 1e-5
    assert greeks.delta == pytest.approx((ref(100 + h, 0.2) - ref(100 - h, 0.2)) / (2 * h), abs=1e-7)
    assert greeks.gamma == pytest.approx((ref(100 + h, 0.2) - 2 * ref(100, 0.2) + ref(100 - h, 0.2)) / h ** 2, abs=1e-6)
    assert greeks.vega == pytest.approx((ref(100, 0.2 + v) - ref(100, 0.2 - v)) / (2 * v), abs=2e-4)
    # A floating-strike lookback is homogeneous of degree one in S: delta = price / S, gamma = 0.
    law = dict(T=0.5, r=0.03, sigma=0.3, lam=2.0, p=0.3, eta1=6.0, eta2=4.0)
    g = jd.kou_path_greeks(jd.kou_lookback, "call", S=np.array([80.0, 120.0]), **law)
    assert np.allclose(g.delta, jd.kou_lookback("call", np.array([80.0, 120.0]), **law) / np.array([80.0, 120.0]),
                       rtol=0, atol=1e-7)
    assert np.all(np.abs(g.gamma) < 1e-6)


def test_barriers_with_jumps_against_a_high_precision_inversion():
    rng = np.random.default_rng(17)
    for kind, barrier in (("call", "up-and-in"), ("put", "down-and-out"), ("call", "down-and-in"), ("put", "up-and-out")):
        up = barrier.startswith("up")
        H = 100.0 * math.exp((1 if up else -1) * rng.uniform(0.05, 0.4))
        args = dict(K=float(100.0 * math.exp(rng.uniform(-0.2, 0.2))), H=H, T=float(rng.uniform(0.1, 2.0)),
                    r=float(rng.uniform(0.0, 0.08)), sigma=float(rng.uniform(0.1, 0.4)), lam=float(rng.uniform(0.2, 3.0)),
                    p=float(rng.uniform(0.1, 0.9)), eta1=float(rng.uniform(3.0, 25.0)), eta2=float(rng.uniform(2.0, 25.0)),
                    q=float(rng.uniform(0.0, 0.03)))
        ours = jd.kou_barrier(kind, barrier, 100.0, **args)
        assert ours == pytest.approx(kou_passage_mp.barrier(kind, barrier, 100.0, **args), abs=1e-9 * (100.0 + args["K"])), \
            (kind, barrier, args)
    # A far barrier (H/S = 0.2) beside a jump rate of 493: the passage's roots in the order that
    # made exp(b (beta1 - beta2)) overflow, and the knock-in was NaN (refused).
    far = dict(K=38.7576, H=20.533, T=1.3733, r=-0.18627, sigma=0.45975, lam=0.81029, p=0.69306, eta1=1.027246,
               eta2=493.1519, q=0.79337)
    assert jd.kou_barrier("put", "down-and-in", 100.0, **far) == pytest.approx(
        kou_passage_mp.barrier("put", "down-and-in", 100.0, **far), abs=1e-9 * (100.0 + far["K"]))

"""The vectorised toolkit: the same prices as the two modules, element by element."""
import math

import numpy as np
import pytest

import jumpdiffusion as jd
from corvane import KouEuropeanCall, KouEuropeanPut
from halvorn import MertonEuropeanCall
from bitwise import same

RNG = np.random.default_rng(2026)


def random_market(size):
    return dict(S=RNG.uniform(50, 150, size), K=RNG.uniform(50, 150, size),
                T=RNG.uniform(0.05, 3.0, size), r=RNG.uniform(-0.02, 0.1, size),
                sigma=RNG.uniform(0.05, 0.6, size), lam=RNG.uniform(0.0, 5.0, size))


def test_kou_bit_identical_to_corvane():
    size = 300
    m = random_market(size)
    p, eta1, eta2 = RNG.uniform(0, 1, size), RNG.uniform(1.5, 40, size), RNG.uniform(0.5, 30, size)
    n = RNG.integers(0, 61, size)
    kind = np.where(RNG.uniform(size=size) < 0.5, "call", "put")
    got = jd.kou_price(kind, m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], p, eta1, eta2, n=n)
    for e in range(size):
        cls = KouEuropeanCall if kind[e] == "call" else KouEuropeanPut
        want = cls(m["T"][e], m["K"][e]).priceByKouJumpDiffusion(
            m["S"][e], m["r"][e], m["sigma"][e], m["lam"][e], p[e], eta1[e], eta2[e], int(n[e]))
        assert same(got[e], want), e


def test_merton_bit_identical_to_halvorn_and_put_by_parity():
    size = 300
    m = random_market(size)
    mj, sj, n = RNG.uniform(-0.5, 0.3, size), RNG.uniform(0, 0.5, size), RNG.integers(0, 200, size)
    call = jd.merton_price("call", m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], mj, sj, n=n)
    put = jd.merton_price("put", m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], mj, sj, n=n)
    for e in range(size):
        want = MertonEuropeanCall(m["K"][e], m["T"][e]).JDAnalyticalPrice(
            m["S"][e], m["sigma"][e], m["r"][e], m["lam"][e], mj[e], sj[e], float(n[e]))
        assert same(call[e], want), e
        assert same(put[e], (m["K"][e] * math.exp(-m["r"][e] * m["T"][e]) + want) - m["S"][e])


def test_large_arrays_on_threads_match_small_ones():
    size = 20_000
    m = random_market(size)
    args = (m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], 0.4, 10.0, 5.0)
    whole = jd.kou_price("call", *args, n=10)
    pieces = np.concatenate([jd.kou_price("call", *(a[i:i + 1000] if np.ndim(a) else a for a in args), n=10)
                             for i in range(0, size, 1000)])
    assert whole.tobytes() == pieces.tobytes()


def test_broadcasting_and_scalars():
    one = jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=20)
    assert type(one) is float
    grid = jd.kou_price(["call", "put"], 100.0, [[90.0], [100.0], [110.0]], 0.5, 0.05, 0.16, 1.0,
                        0.4, 10.0, 5.0, n=20)
    assert grid.shape == (3, 2) and grid.dtype == np.float64
    assert grid[1, 0] == jd.kou_price("call", 100.0, 100.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=20)
    assert jd.merton_price("put", np.full((2, 3), 100.0), 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15).shape == (2, 3)


@pytest.mark.parametrize("price", ["kou", "merton"])
def test_dividend_yield_through_the_forward(price):
    T, q = 1.5, 0.03
    if price == "kou":
        f = lambda S, q: jd.kou_price("put", S, 95.0, T, 0.04, 0.2, 2.0, 0.35, 8.0, 4.0, q=q)
    else:
        f = lambda S, q: jd.merton_price("put", S, 95.0, T, 0.04, 0.2, 2.0, -0.1, 0.15, q=q)
    assert f(100.0, q) == f(100.0 * math.exp((-q) * T), 0.0)
    call = (jd.kou_price if price == "kou" else jd.merton_price)
    # put-call parity with the dividend: C - P = S exp(-qT) - K exp(-rT)
    args = (100.0, 95.0, T, 0.04, 0.2, 2.0) + ((0.35, 8.0, 4.0) if price == "kou" else (-0.1, 0.15))
    c, p = call("call", *args, q=q), call("put", *args, q=q)
    assert c - p == pytest.approx(100.0 * math.exp(-q * T) - 95.0 * math.exp(-0.04 * T), abs=1e-12)


# The default truncation's tail is below 2^-64 of S + K. Merton's price keeps its bits; a Kou
# price may change evaluation (the closed form's error bound grows with n, so n = 170 may
# take the stable evaluation where the default n is certified), within 1e-14 of S + K.
@pytest.mark.parametrize("lam,T", [(0.5, 0.25), (1.0, 1.0), (3.0, 2.0), (5.0, 5.0)])
def test_default_truncation_leaves_the_price_unchanged(lam, T):
    K = np.linspace(70.0, 130.0, 13)
    kou = jd.kou_price("call", 100.0, K, T, 0.03, 0.2, lam, 0.4, 10.0, 5.0)
    full = jd.kou_price("call", 100.0, K, T, 0.03, 0.2, lam, 0.4, 10.0, 5.0, n=170)
    assert np.all(np.abs(kou - full) <= 1e-14 * (100.0 + K))
    merton = jd.merton_price("call", 100.0, K, T, 0.03, 0.2, lam, -0.1, 0.15)
    assert merton.tobytes() == jd.merton_price("call", 100.0, K, T, 0.03, 0.2, lam, -0.1, 0.15, n=170).tobytes()


@pytest.mark.parametrize("call,message", [
    (lambda: jd.kou_price("call", 100.0, [98.0, -1.0], 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^K must be finite and > 0; got -1.0 at index 1$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 1.0, 5.0),
     r"^eta1 must be finite and > 1; got 1.0$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, [[0.4, 1.5]], 10.0, 5.0),
     r"^p must be finite and between 0 and 1; got 1.5 at index \(0, 1\)$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, math.nan, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^r must be finite; got nan$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=171),
     r"^n must be between 0 and 170; got 171$"),
    (lambda: jd.kou_price("swap", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^kind must be 'call' or 'put'; got 'swap'$"),
    (lambda: jd.merton_price("put", [1.0, 2.0], [1.0, 2.0, 3.0], 1.0, 0.05, 0.2, 1.0, -0.1, 0.15),
     r"^the arguments' shapes do not broadcast: S \(2,\), K \(3,\)$"),
    (lambda: jd.merton_price("put", 100.0, 100.0, 1.0, 0.05, 0.2, -1.0, -0.1, 0.15),
     r"^lam must be finite and >= 0; got -1.0$"),
    (lambda: jd.merton_price("put", 100.0, 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15, n=2.5),
     r"^n must be an integer or an array of integers; got 2.5$"),
])
def test_bad_input_raises_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()

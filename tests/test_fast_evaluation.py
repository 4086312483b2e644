"""The modules against the straightforward term-by-term evaluations, bit for bit."""
import math
import random

import pytest

from corvane import KouEuropeanCall, KouEuropeanPut
from halvorn import MertonEuropeanCall
from straightforward import exp, log
from bitwise import check_kou_call, same


def wild(rng, typical):
    """Mostly a typical value, sometimes one outside the model's domain."""
    u = rng.random()
    if u < 0.04:
        return rng.choice([0.0, -0.0, -1.0, 1.0, 1e-300, 1e300, -1e300, math.inf, math.nan])
    if u < 0.08:
        return rng.uniform(-5.0, 5.0)
    return typical


# ---- Kou ----

def kou_case(rng):
    T = wild(rng, rng.uniform(0.02, 5.0))
    K = wild(rng, rng.uniform(50.0, 150.0))
    S = wild(rng, rng.uniform(50.0, 150.0))
    r = wild(rng, rng.uniform(-0.02, 0.1))
    sigma = wild(rng, rng.uniform(0.05, 0.6))
    lam = wild(rng, rng.choice([0.0, rng.uniform(0.0, 3.0), rng.uniform(3.0, 12.0)]))
    p = wild(rng, rng.uniform(0.0, 1.0))
    eta1 = wild(rng, rng.uniform(1.2, 40.0))
    eta2 = wild(rng, rng.uniform(0.5, 30.0))
    n = rng.randint(-2, 25) if rng.random() < 0.92 else rng.randint(26, 60)
    return (T, K), (S, r, sigma, lam, p, eta1, eta2, n)


def test_kou_bit_exact(straightforward):
    # Bits where the closed form is certified; elsewhere within its bound (check_kou_call).
    rng = random.Random(4)
    finite = certified = 0
    for trial in range(5000):
        (T, K), args = kou_case(rng)
        call = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        put = KouEuropeanPut(T, K).priceByKouJumpDiffusion(*args) if trial % 5 == 0 else None
        certified += check_kou_call(straightforward, T, K, args, call, put)
        finite += math.isfinite(call)
    assert finite > 3500   # the comparison is mostly between numbers, not NaNs
    assert certified > 3000


# ---- Merton ----

def merton_case(rng):
    K = wild(rng, rng.uniform(20.0, 200.0))
    T = wild(rng, rng.uniform(0.01, 10.0))
    S = wild(rng, rng.uniform(20.0, 200.0))
    sigma = wild(rng, rng.uniform(0.0, 0.8))
    r = wild(rng, rng.uniform(-0.02, 0.15))
    lam = wild(rng, rng.choice([0.0, rng.uniform(0.0, 3.0), rng.uniform(3.0, 40.0)]))
    m = wild(rng, rng.uniform(-1.0, 0.5))
    s = wild(rng, rng.uniform(0.0, 0.6))
    u = rng.random()
    if u < 0.85:
        n = rng.choice([float(rng.randint(-1, 300)), rng.uniform(-1.0, 300.0)])
    else:
        n = 10 ** rng.uniform(2.5, 5.0)
    return (K, T), (S, sigma, r, lam, m, s, n)


def test_merton_bit_exact(straightforward):
    rng = random.Random(5)
    for _ in range(5000):
        (K, T), args = merton_case(rng)
        got = MertonEuropeanCall(K, T).JDAnalyticalPrice(*args)
        assert same(got, straightforward.sf_merton_call(K, T, *args)), (K, T, args)


def zero_crossing_rate(index, m):
    """r making r_i = g i + r0 exactly zero at `index` (sigma = s = 0, lam = 0, T = 1)."""
    g = log(1.0 + (exp(0.5 * (0.0 * 0.0) + m) - 1.0)) / 1.0
    return -(g * float(index))


# (K, T, S, sigma, r, lam, m, s): how the tail of the series behaves
TAILS = {
    # lam = 0, m = -1: the discount factor exp(-T r_i) overflows from about i = 710
    "discount overflow": (100.0, 1.0, 100.0, 0.2, 0.05, 0.0, -1.0, 0.0),
    # L = lam' T > 1: pow(L, i) overflows near i = 440 while i! is already infinite
    "power overflow": (100.0, 1.0, 100.0, 0.2, 0.05, 5.0, 0.0, 0.1),
    # a typical equity jump law: r_i falls slowly, the discount overflows near i = 8000
    "late overflow": (100.0, 1.0, 100.0, 0.2, 0.05, 1.0, -0.1, 0.15),
    # upward mean jump (r_i grows) and L < 1: the tail stays zero
    "finite": (100.0, 1.0, 100.0, 0.2, 0.05, 0.5, 0.05, 0.1),
    # no diffusion: d1 = 0 / 0 at the single index where r_i = 0, i = 500
    "zero diffusion, one NaN index": (100.0, 1.0, 100.0, 0.0, zero_crossing_rate(500, 0.5),
                                      0.0, 0.5, 0.0),
    # negative spot and strike: log(S / K) is finite and the terms are numbers
    "negative spot and strike": (-100.0, 1.0, -100.0, 0.2, 0.05, 1.0, -0.1, 0.15),
    # no diffusion, S / K underflows to 0: d1 = -inf / 0 throughout
    "zero diffusion, spot far below strike": (1e300, 1.0, 1e-300, 0.0, 0.05, 0.5, 0.05, 0.0),
    # no diffusion, r_i never exactly zero
    "zero diffusion, no NaN": (100.0, 1.0, 100.0, 0.0, zero_crossing_rate(500, 0.5) + 1e-9,
                               0.0, 0.5, 0.0),
}


@pytest.mark.parametrize("name", TAILS)
@pytest.mark.parametrize("n", [170, 171, 300, 439, 440, 499, 500, 709, 710, 711, 2000, 7999,
                               8000, 8001, 10**5, 10**6])
def test_merton_tail_against_term_by_term(straightforward, name, n):
    K, T, *args = TAILS[name]
    got = MertonEuropeanCall(K, T).JDAnalyticalPrice(*args, n)
    assert same(got, straightforward.sf_merton_call(K, T, *args, n))


@pytest.mark.parametrize("name,nan_from", [
    ("discount overflow", 600), ("power overflow", 400), ("late overflow", 7000),
    ("finite", None), ("zero diffusion, one NaN index", 500), ("zero diffusion, no NaN", None),
    ("negative spot and strike", 7000), ("zero diffusion, spot far below strike", None),
])
def test_merton_huge_truncations(straightforward, name, nan_from):
    K, T, *args = TAILS[name]
    call = MertonEuropeanCall(K, T)
    at_cap = call.JDAnalyticalPrice(*args, 2**31 - 1)
    for n in (2.0**31, 1e12, 1e300, math.inf):
        assert same(call.JDAnalyticalPrice(*args, n), at_cap)
    if nan_from is None:
        # Nothing from i = 171 on can turn NaN: the price at the cap is that of 170 terms.
        assert same(at_cap, straightforward.sf_merton_call(K, T, *args, 170))
        assert math.isfinite(at_cap)
    else:
        assert math.isnan(at_cap)
        assert math.isfinite(straightforward.sf_merton_call(K, T, *args, nan_from - 1))

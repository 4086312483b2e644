"""Every test of the modules against the straightforward term-by-term evaluations, bit for
bit (tests/native/straightforward.cpp, built with the same flags and C library). The same
comparisons run natively in the 64-bit, sanitizer and 32-bit builds
(tests/native/test_bit_exact.cpp); the Merton tail beyond i = 170 is tested natively
(tests/native/test_merton_tail.cpp)."""
import math
import random

from corvane import KouEuropeanCall, KouEuropeanPut, create_european_put
from halvorn import MertonEuropeanCall
from bitwise import check_kou_call, same
from cases import random_kou_args


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


# ---- typical arguments ----

def test_kou_bit_exact_in_the_domain(straightforward):
    # Typical arguments, a tenth of them pushed outside the model's domain.
    rng = random.Random(20261208)
    for trial in range(3000):
        T, K = rng.uniform(0.02, 5.0), rng.uniform(50.0, 150.0)
        args = random_kou_args(rng)
        if trial % 10 == 0:   # some arguments outside the model's domain
            args = tuple(rng.uniform(-2.0, 2.0) if rng.random() < 0.3 else a for a in args[:-1]) + args[-1:]
        call = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        put = create_european_put(T, K).priceByKouJumpDiffusion(*args)
        check_kou_call(straightforward, T, K, args, call, put)


def random_merton_case(rng):
    K = rng.uniform(20.0, 200.0)
    T = rng.choice([rng.uniform(0.01, 5.0), rng.uniform(5.0, 30.0)])
    S = rng.uniform(20.0, 200.0)
    sigma = rng.uniform(-0.1, 0.8)
    r = rng.uniform(-0.02, 0.15)
    lam = rng.choice([0.0, rng.uniform(0.0, 3.0), rng.uniform(3.0, 40.0)])
    m = rng.uniform(-0.5, 0.3)
    s = rng.uniform(0.0, 0.6)
    n = rng.choice([rng.randint(-1, 40), rng.uniform(-1.0, 40.0), float(rng.randint(0, 200))])
    return K, T, S, sigma, r, lam, m, s, n


def test_merton_bit_exact_typical(straightforward):
    rng = random.Random(20261208)
    for _ in range(3000):
        K, T, *args = random_merton_case(rng)
        got = MertonEuropeanCall(K, T).JDAnalyticalPrice(*args)
        want = straightforward.sf_merton_call(K, T, *args)
        assert same(got, want), (K, T, args, got, want)

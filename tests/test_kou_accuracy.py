"""Kou prices against the series truncated at n evaluated to many digits: where the closed
form loses its digits to cancellation the module must still be right, and where its error
bound certifies it, the bound must hold."""
import math
import random

import pytest

from corvane import KouEuropeanCall, KouEuropeanPut
from kou_series_mp import kou_call as truncated_series


def scale(S, K, T, r):
    return S + K * math.exp(-r * T)


# (T, K, S, r, sigma, lam, p, eta1, eta2, n), the closed form's value, the series' value.
ILL_CONDITIONED = [
    ((2.0, 100.0, 100.0, 0.03, 0.3, 3.0, 0.4, 25.0, 5.0, 38), 28.8516, 27.1557),
    ((2.0, 100.0, 100.0, 0.03, 0.2, 3.0, 0.4, 50.0, 5.0, 38), 1228041090.0, 23.8898),
    ((30.0, 100.0, 100.0, 0.03, 0.16, 1.0, 0.4, 10.0, 5.0, 170), -150.6, 72.98),
    ((1.0, 100.0, 100.0, 0.05, 0.2, 3.0, 0.3, 40.0, 12.0, 60), 12.654021, 12.654091),
]


@pytest.mark.parametrize("case,closed,series", ILL_CONDITIONED)
def test_ill_conditioned_cases(straightforward, case, closed, series):
    T, K, S, r, sigma, lam, p, eta1, eta2, n = case
    args = (S, r, sigma, lam, p, eta1, eta2, n)
    plain = straightforward.sf_kou_call(T, K, *args)
    assert plain == pytest.approx(closed, rel=1e-3)          # the closed form is wrong here
    want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
    assert want == pytest.approx(series, rel=1e-4)
    call = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
    assert abs(call - want) <= 1e-11 * scale(S, K, T, r)
    put = KouEuropeanPut(T, K).priceByKouJumpDiffusion(*args)
    assert put == (K * math.exp((-r) * T) + call) - S


def sweep_case(rng):
    """An in-domain set with eta sigma sqrt(T) spread log-uniformly over 0.5 .. 30."""
    T = math.exp(rng.uniform(math.log(0.05), math.log(5.0)))
    sigma = rng.uniform(0.1, 0.5)
    large = math.exp(rng.uniform(math.log(0.5), math.log(30.0))) / (sigma * math.sqrt(T))
    other = rng.uniform(1.5, max(2.0, large))
    eta1, eta2 = (max(large, 1.05), other) if rng.random() < 0.5 else (other, large)
    S, K = 100.0, rng.uniform(70.0, 130.0)
    r, lam, p, n = rng.uniform(0.0, 0.06), rng.uniform(0.1, 5.0), rng.random(), rng.randint(0, 60)
    return T, K, S, r, sigma, lam, p, eta1, eta2, n


def test_sweep_against_the_truncated_series(straightforward):
    rng = random.Random(2026)
    stable = 0
    for _ in range(300):
        T, K, S, r, sigma, lam, p, eta1, eta2, n = case = sweep_case(rng)
        args = (S, r, sigma, lam, p, eta1, eta2, n)
        got = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        plain = straightforward.sf_kou_call(T, K, *args)
        certified, closed, bound = straightforward.kou_evaluation(T, K, *args)
        # A NaN or an infinity only where the closed form gives one.
        assert math.isfinite(got) == math.isfinite(plain), case
        if not math.isfinite(got):
            continue
        want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
        assert abs(got - want) <= 1e-9 * scale(S, K, T, r), case
        # The bound is a bound: the closed form is never further off than it says.
        assert abs(plain - want) <= bound + 1e-15 * scale(S, K, T, r), case
        if not certified:
            stable += 1
            assert abs(got - want) <= 1e-11 * scale(S, K, T, r), case
    assert 30 < stable < 270   # both evaluations are exercised


# Corners of the domain for the stable evaluation: a maturity of microseconds (the
# diffusion far narrower than the jumps), rare huge down-jumps, all jumps one way, eta1
# near 1, deep in and out of the money, many expected jumps, the largest n.
@pytest.mark.parametrize("case", [
    (1e-12, 100.0, 100.0, 0.05, 0.2, 3.0, 0.3, 10.0, 5.0, 20),
    (1.0, 100.0, 100.0, 0.05, 0.2, 3.0, 0.3, 60.0, 0.05, 30),
    (1.0, 100.0, 100.0, 0.05, 0.3, 2.0, 1.0, 60.0, 5.0, 40),
    (1.0, 100.0, 100.0, 0.05, 0.3, 2.0, 0.0, 60.0, 5.0, 40),
    (1.0, 100.0, 100.0, 0.05, 0.3, 2.0, 0.5, 1.2, 60.0, 40),
    (5.0, 10.0, 100.0, 0.05, 0.3, 10.0, 0.4, 30.0, 20.0, 100),
    (5.0, 1000.0, 100.0, 0.05, 0.3, 10.0, 0.4, 30.0, 20.0, 100),
    (2.0, 100.0, 100.0, 0.03, 0.2, 30.0, 0.4, 50.0, 5.0, 170),
])
def test_corners_against_the_truncated_series(case):
    T, K, S, r, sigma, lam, p, eta1, eta2, n = case
    got = KouEuropeanCall(T, K).priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n)
    want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
    assert abs(got - want) <= 1e-11 * scale(S, K, T, r)

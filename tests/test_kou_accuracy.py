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


def right_tail_case(rng):
    """A set whose Hh recursion starts far right of the origin, where the closed form's
    Hh(0, x0) = (1 - erfc / 2) sqrt(2 pi) is a small difference or exactly 0: a small
    sigma sqrt(T) against the moneyness or eta sigma sqrt(T), p at 0 or 1, n at 0 or 170,
    lam T up to 50."""
    T = math.exp(rng.uniform(math.log(0.02), math.log(3.0)))
    sigma = math.exp(rng.uniform(math.log(0.02), math.log(0.3))) / math.sqrt(T)
    s = sigma * math.sqrt(T)
    eta1 = max(1.05, rng.uniform(0.2, 6.0) / s)
    eta2 = rng.uniform(0.2, 6.0) / s
    K = 100.0 * math.exp(rng.uniform(-0.5, 0.5))
    p = rng.choice([0.0, 1.0, rng.random()])
    lam = math.exp(rng.uniform(math.log(0.05), math.log(50.0))) / T
    n = 170 if rng.random() < 0.08 else rng.choice([0, rng.randint(1, 40)])
    return T, K, 100.0, rng.uniform(0.0, 0.06), sigma, lam, p, eta1, eta2, n


def test_bound_holds_right_of_the_origin(straightforward):
    rng = random.Random(30)
    certified_count = 0
    for _ in range(30):
        T, K, S, r, sigma, lam, p, eta1, eta2, n = case = right_tail_case(rng)
        certified, closed, bound = straightforward.kou_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, n)
        if not math.isfinite(closed):
            continue
        want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
        assert abs(closed - want) <= bound + 1e-15 * scale(S, K, T, r), case
        certified_count += certified
    assert certified_count > 22


# Sets whose probabilities' bounds each exceed the certification, while their errors (from
# Hh(0, x0) right of the origin, shared by both) cancel in the price: certified by the second
# evaluation from the tail form, within the bound of the series.
@pytest.mark.parametrize("case", [
    (1.937575036302176, 151.76354023318953, 100.0, 0.05, 0.20419635345185688, 4.0113024432873505,
     0.29281221583144401, 4.89024885831153, 18.920192078350155, 46),
    (0.569216, 112.26, 100.0, 0.05, 0.223216, 4.94473, 0.531702, 23.8549, 0.572349, 42),
    (1.527095291654214, 91.00569696455878, 100.0, 0.05, 0.36418922625450595, 6.4196843631323084,
     0.85701404033055517, 4.6933399651321741, 29.949166408363428, 55),
])
def test_errors_cancelling_in_the_price_are_certified(straightforward, case):
    T, K, S, r, sigma, lam, p, eta1, eta2, n = case
    certified, closed, bound = straightforward.kou_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, n)
    assert certified
    assert KouEuropeanCall(T, K).priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n) == closed
    want = truncated_series(S, K, T, r, sigma, lam, p, eta1, eta2, n)
    assert abs(closed - want) <= bound + 1e-15 * scale(S, K, T, r)

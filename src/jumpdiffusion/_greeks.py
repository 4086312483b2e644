"""Greeks of both models: analytic for Merton (term by term) and for Kou's delta, central
differences of the price for the rest of Kou's."""
from __future__ import annotations

import math
from typing import NamedTuple, Union

import numpy as np
import numpy.typing as npt

from . import _native
from ._pricing import _priced, kou_arguments, kou_terms, merton_arguments

Values = Union[float, npt.NDArray[np.float64]]

# Relative step of the central differences: the error of a central difference is about
# h^2 |f'''| / 6 from the step and eps |f| / h from the prices' rounding (eps about 1e-15 of
# S + K); 2^-17 (7.6e-6) balances the two near 1e-10 relative.
STEP = 2.0**-17


class Greeks(NamedTuple):
    """Sensitivities of the price: delta and gamma in the spot, vega per unit of sigma, theta
    per year of calendar time (minus the derivative in T), rho per unit of r."""
    delta: Values
    gamma: Values
    vega: Values
    theta: Values
    rho: Values


def _shape_result(shape: tuple[int, ...], rows: npt.NDArray[np.float64]) -> Greeks:
    if shape == ():
        return Greeks(*(float(row[0]) for row in rows))
    return Greeks(*(row.reshape(shape) for row in rows))


def merton_greeks(kind: npt.ArrayLike, S: npt.ArrayLike, K: npt.ArrayLike, T: npt.ArrayLike,
                  r: npt.ArrayLike, sigma: npt.ArrayLike, lam: npt.ArrayLike, m: npt.ArrayLike,
                  s: npt.ArrayLike, *, q: npt.ArrayLike = 0.0,
                  n: npt.ArrayLike | None = None) -> Greeks:
    """Delta, gamma, vega, theta and rho of merton_price (same arguments), exactly as the
    derivatives of the truncated series, term by term."""
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, m_, s_, q_, n_) = merton_arguments(
        kind, S, K, T, r, sigma, lam, m, s, q, n, rows=5)
    rows = _native.merton_greeks(math.prod(shape), kinds, S_, K_, T_, r_, q_, sigma_, lam_, m_, s_, n_)
    return _shape_result(shape, rows)


def kou_greeks(kind: npt.ArrayLike, S: npt.ArrayLike, K: npt.ArrayLike, T: npt.ArrayLike,
               r: npt.ArrayLike, sigma: npt.ArrayLike, lam: npt.ArrayLike, p: npt.ArrayLike,
               eta1: npt.ArrayLike, eta2: npt.ArrayLike, *, q: npt.ArrayLike = 0.0,
               n: npt.ArrayLike | None = None) -> Greeks:
    """Delta, gamma, vega, theta and rho of kou_price (same arguments).

    Delta is exact: the truncated series is homogeneous of degree one in (S, K) and its two
    probabilities satisfy S f1 = K exp(-rT) f2 jump count by jump count, so the call's
    delta is its share-measure probability U1 (times exp(-qT); the put's is that minus
    exp(-qT)). Gamma is the central difference of U1 in S with the step 2^-17 S
    min(1, sigma sqrt(T)); vega, theta and rho central differences of the price with the
    relative step 2^-17 (rho: an absolute 2^-17), the truncation n held fixed (where the
    series needs more than 170 terms, the untruncated price and its delta by Fourier
    inversion).
    """
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, p_, e1, e2, q_, n_) = kou_arguments(
        kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, n, rows=5)
    size = math.prod(shape)
    # One truncation for every difference: the default rule's n depends on T.
    terms = kou_terms(n_, T_, lam_, p_, e1, e2, size).astype(np.float64)

    def price(S: np.ndarray = S_, T: np.ndarray = T_, r: np.ndarray = r_,
              sigma: np.ndarray = sigma_) -> np.ndarray:
        return _native.kou_prices(size, kinds, S, K_, T, r, q_, sigma, lam_, p_, e1, e2, terms)

    def share(S: np.ndarray) -> np.ndarray:
        return _native.kou_share_probabilities(size, S, K_, T_, r_, q_, sigma_, lam_, p_, e1, e2, terms)

    carry = np.exp(-q_ * T_)
    U1 = share(S_)
    delta = carry * (U1 - (kinds == 0))
    # U1 varies on the scale of the spot's standard deviation S sigma sqrt(T): the step
    # follows it where that is below S.
    hS = STEP * S_ * np.minimum(1.0, sigma_ * np.sqrt(T_))
    gamma = carry * (share(S_ + hS) - share(S_ - hS)) / (2.0 * hS)
    hs = STEP * sigma_
    vega = (price(sigma=sigma_ + hs) - price(sigma=sigma_ - hs)) / (2.0 * hs)
    hT = STEP * T_
    theta = -(price(T=T_ + hT) - price(T=T_ - hT)) / (2.0 * hT)
    rho = (price(r=r_ + STEP) - price(r=r_ - STEP)) / (2.0 * STEP)
    rows = np.stack([delta, gamma, vega, theta, rho])
    _priced(shape, np.where(np.isnan(rows).any(axis=0), np.nan, 0.0))   # one check for all rows
    return _shape_result(shape, rows)

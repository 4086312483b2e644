"""Greeks of both models: Merton's term by term, Kou's from identities of its truncated
series (batch/kou_greeks.h)."""
from __future__ import annotations

import math
from typing import NamedTuple, Union

import numpy as np
import numpy.typing as npt

from . import _native
from ._pricing import _priced, kou_arguments, merton_arguments

Values = Union[float, npt.NDArray[np.float64]]

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
    """Delta, gamma, vega, theta and rho of kou_price (same arguments), the truncation n
    held fixed.

    Where the price is the certified closed form (almost everywhere), from the price's own
    evaluation through identities of the truncated series: delta is the share-measure
    probability U1 that the call is made of, rho T K exp(-rT) U2, vega gamma S'^2 sigma T
    (S' = S exp(-qT)), theta from the price's dependence on T through r T, sigma^2 T and
    lam T, with the series after one more jump for the last; gamma is the central
    difference of U1 with the step 2^-17 S' min(1, sigma sqrt(T)). Elsewhere central
    differences of the price with the relative step 2^-17 (rho: an absolute 2^-17).
    """
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, p_, e1, e2, q_, n_) = kou_arguments(
        kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, n, rows=5)
    rows = _native.kou_greeks(math.prod(shape), kinds, S_, K_, T_, r_, q_, sigma_, lam_, p_, e1, e2,
                              n_.astype(np.float64))
    _priced(shape, rows[0])
    return _shape_result(shape, rows)

"""Black-Scholes implied volatility and the Black-Scholes price and vega it inverts."""
from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from . import _native
from ._pricing import Prices, _as_float, _as_kind, _broadcast, _real_array, _result

ArrayLike = npt.ArrayLike


def implied_vol(price: ArrayLike, kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike,
                r: ArrayLike, *, q: ArrayLike = 0.0) -> Prices:
    """Black-Scholes implied volatility of European option prices, element by element.

    Halley's method on the logarithm of the normalised price (below the inflection point)
    or of its headroom below the upper bound (above it), from a starting point close enough
    that one to three steps reach the accuracy the price's last bit allows (relative error
    below 1e-12 wherever a relative change of 1e-12 moves the price by more than its
    rounding; a price one ulp below the upper bound still has its volatility). A price outside the no-arbitrage bounds, below the intrinsic value
    max(+-(S exp(-qT) - K exp(-rT)), 0) or at or above S exp(-qT) (call) / K exp(-rT)
    (put), gives NaN, as does a NaN price; a price equal to the intrinsic value (to within
    the rounding of the forward and the discount factor) gives 0.
    S, K, T > 0, r and q finite: otherwise ValueError, as for the pricing functions.
    """
    prices = _real_array("price", price)
    shape, (price_, kinds, S_, K_, T_, r_, q_) = _broadcast({
        "price": prices, "kind": _as_kind(kind), "S": _as_float("S", S, "positive"),
        "K": _as_float("K", K, "positive"), "T": _as_float("T", T, "positive"),
        "r": _as_float("r", r, "finite"), "q": _as_float("q", q, "finite"),
    })
    return _result(shape, _native.implied_vols(math.prod(shape), price_, kinds, S_, K_, T_, r_, q_))


def black_scholes_price(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike,
                        r: ArrayLike, sigma: ArrayLike, *, q: ArrayLike = 0.0) -> Prices:
    """Black-Scholes price of European options, the inverse of implied_vol: the intrinsic
    value plus the out-of-the-money part, the latter to within about 3e-15 of itself however
    deep out of the money (beyond that, the rounding of S, K and the exponentials in the
    forward, to which a price far out of the money is sensitive in proportion to
    |ln(F/K)|/(sigma^2 T))."""
    shape, (kinds, S_, K_, T_, r_, sigma_, q_) = _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S, "positive"),
        "K": _as_float("K", K, "positive"), "T": _as_float("T", T, "positive"),
        "r": _as_float("r", r, "finite"), "sigma": _as_float("sigma", sigma, "non-negative"),
        "q": _as_float("q", q, "finite"),
    })
    return _result(shape, _native.black_scholes_prices(math.prod(shape), kinds, S_, K_, T_, r_, q_, sigma_))


def black_scholes_vega(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                       sigma: ArrayLike, *, q: ArrayLike = 0.0) -> Prices:
    """dPrice/dsigma of a European call or put under Black-Scholes (the same for both):
    S exp(-qT) sqrt(T) phi(d1). Arguments checked and broadcast as for black_scholes_price."""
    shape, (S_, K_, T_, r_, sigma_, q_) = _broadcast({
        "S": _as_float("S", S, "positive"), "K": _as_float("K", K, "positive"),
        "T": _as_float("T", T, "positive"), "r": _as_float("r", r, "finite"),
        "sigma": _as_float("sigma", sigma, "positive"), "q": _as_float("q", q, "finite"),
    })
    root = sigma_ * np.sqrt(T_)
    d1 = (np.log(S_ / K_) + (r_ - q_) * T_) / root + 0.5 * root
    vega = S_ * np.exp(-q_ * T_) * np.sqrt(T_) * np.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    return _result(shape, np.broadcast_to(vega, (math.prod(shape),)))

"""Argument checking and broadcasting around the native element loops."""
from __future__ import annotations

import math
from typing import Any, Callable, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from . import _native

ArrayLike = npt.ArrayLike
Prices = Union[float, npt.NDArray[np.float64]]

KOU_MAX_TERMS = 170
MERTON_MAX_TERMS = 2**31 - 1

# Each condition once, as a test that works on a Python float and on an array alike.
_CONDITIONS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "positive": ("> 0", lambda x: x > 0.0),
    "non-negative": (">= 0", lambda x: x >= 0.0),
    "probability": ("between 0 and 1", lambda x: (x >= 0.0) & (x <= 1.0)),
    "above one": ("> 1", lambda x: x > 1.0),
    "finite": ("finite", lambda x: x == x),   # finiteness itself is checked beside each test
}


def _where(shape: tuple[int, ...], flat_index: int) -> str:
    if not shape:
        return ""
    index = tuple(int(i) for i in np.unravel_index(flat_index, shape))
    return f" at index {index[0] if len(index) == 1 else index}"


def _as_float(name: str, value: ArrayLike, condition: str) -> np.ndarray:
    if type(value) is float or type(value) is int:   # the common scalar, checked cheaply
        number = float(value)
        if math.isfinite(number) and _CONDITIONS[condition][1](number):
            return np.array(number)
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a real number or an array of them; got {value!r}") from None
    words, test = _CONDITIONS[condition]
    bad = ~(np.isfinite(array) & test(array))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        got = float(array.reshape(-1)[index])
        rule = "finite" if words == "finite" else f"finite and {words}"
        raise ValueError(f"{name} must be {rule}; got {got!r}{_where(array.shape, index)}")
    return array


_CALL, _PUT = np.array(1, dtype=np.int8), np.array(0, dtype=np.int8)


def _as_kind(kind: Any) -> np.ndarray:
    if type(kind) is str and kind in ("call", "put"):   # the common scalar
        return _CALL if kind == "call" else _PUT
    array = np.asarray(kind)
    if array.dtype.kind not in "US":
        raise ValueError(f"kind must be 'call' or 'put'; got {kind!r}")
    calls: np.ndarray = np.asarray(array == "call")
    bad = ~(calls | (array == "put"))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        raise ValueError(f"kind must be 'call' or 'put'; got {str(array.reshape(-1)[index])!r}"
                         f"{_where(array.shape, index)}")
    return calls.astype(np.int8)


def _as_terms(n: ArrayLike | None, largest: int) -> np.ndarray:
    if n is None:
        return np.asarray(-1, dtype=np.int64)   # the default rule, element by element
    array = np.asarray(n)
    if array.dtype.kind not in "iu":
        if array.dtype.kind == "f" and np.all(np.isfinite(array)) and np.all(array == np.floor(array)):
            array = array.astype(np.int64)
        else:
            raise ValueError(f"n must be an integer or an array of integers; got {n!r}")
    bad = (array < 0) | (array > largest)
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        raise ValueError(f"n must be between 0 and {largest}; got {int(array.reshape(-1)[index])}"
                         f"{_where(array.shape, index)}")
    return array.astype(np.int64)


def _broadcast(named: dict[str, np.ndarray]) -> tuple[tuple[int, ...], list[np.ndarray]]:
    try:
        shape = np.broadcast_shapes(*{a.shape for a in named.values()})   # each shape once
    except ValueError:
        shapes = ", ".join(f"{k} {v.shape}" for k, v in named.items() if v.shape)
        raise ValueError(f"the arguments' shapes do not broadcast: {shapes}") from None
    # An argument of one value stays one value (the native loop reads it for every element);
    # the others are written out to the broadcast shape.
    flat = [a.reshape(1) if a.size == 1
            else np.ascontiguousarray(a if a.shape == shape else np.broadcast_to(a, shape)).reshape(-1)
            for a in named.values()]
    return shape, flat


def _result(shape: tuple[int, ...], values: np.ndarray) -> Prices:
    return float(values[0]) if shape == () else values.reshape(shape)


def kou_arguments(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                  sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike,
                  eta2: ArrayLike, q: ArrayLike,
                  n: ArrayLike | None) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """Checked and broadcast: kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, n (n < 0: the
    default truncation)."""
    return _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S, "positive"), "K": _as_float("K", K, "positive"),
        "T": _as_float("T", T, "positive"), "r": _as_float("r", r, "finite"),
        "sigma": _as_float("sigma", sigma, "positive"), "lam": _as_float("lam", lam, "non-negative"),
        "p": _as_float("p", p, "probability"), "eta1": _as_float("eta1", eta1, "above one"),
        "eta2": _as_float("eta2", eta2, "positive"), "q": _as_float("q", q, "finite"),
        "n": _as_terms(n, KOU_MAX_TERMS),
    })


def merton_arguments(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                     sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, q: ArrayLike,
                     n: ArrayLike | None) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """Checked and broadcast: kind, S, K, T, r, sigma, lam, m, s, q, n (as float64; n < 0:
    the default truncation)."""
    shape, arrays = _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S, "positive"), "K": _as_float("K", K, "positive"),
        "T": _as_float("T", T, "positive"), "r": _as_float("r", r, "finite"),
        "sigma": _as_float("sigma", sigma, "positive"), "lam": _as_float("lam", lam, "non-negative"),
        "m": _as_float("m", m, "finite"), "s": _as_float("s", s, "non-negative"),
        "q": _as_float("q", q, "finite"), "n": _as_terms(n, MERTON_MAX_TERMS),
    })
    arrays[-1] = arrays[-1].astype(np.float64)
    return shape, arrays


def kou_terms(n: np.ndarray, T: np.ndarray, lam: np.ndarray, p: np.ndarray, eta1: np.ndarray,
              eta2: np.ndarray, size: int) -> npt.NDArray[np.int64]:
    """The truncation of each of size elements: n, or the default rule where n < 0."""
    chosen = np.where(n < 0, _native.kou_default_terms(T, lam, p, eta1, eta2), n)
    return np.broadcast_to(chosen.astype(np.int64), (size,)).copy()


def kou_price(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
              sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike,
              eta2: ArrayLike, *, q: ArrayLike = 0.0, n: ArrayLike | None = None) -> Prices:
    """European call or put prices under Kou's double-exponential jump-diffusion.

    kind "call" or "put"; S spot, K strike, T maturity in years, r and q the continuously
    compounded rate and dividend yield; sigma the diffusion volatility; lam the jump
    intensity, p the probability that a jump is upward, eta1 > 1 and eta2 > 0 the rates of
    the upward and downward exponential log-jump sizes. n, the jump terms kept in each
    series (0 to 170), defaults element by element to the fewest whose Poisson tail is
    below 2^-64. Raises ValueError naming the argument, the value and its index.
    """
    # Plain floats and float64 arrays in the domain are taken natively as they are; for
    # anything else (or anything wrong) the checks here convert, or raise.
    taken: Prices | None = _native.try_kou_prices(kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, n)
    if taken is not None:
        return taken
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, p_, eta1_, eta2_, q_, n_) = kou_arguments(
        kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, n)
    prices = _native.kou_prices(math.prod(shape), kinds, S_, K_, T_, r_, q_, sigma_, lam_, p_,
                                eta1_, eta2_, n_.astype(np.float64))
    return _result(shape, prices)


def merton_price(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, *,
                 q: ArrayLike = 0.0, n: ArrayLike | None = None) -> Prices:
    """European call or put prices under Merton's jump-diffusion (log-normal jumps).

    kind "call" or "put"; S, K, T, r, q and sigma as for kou_price; lam the jump intensity,
    m and s the mean and standard deviation of the log jump size. n, the last jump count
    summed (0 to 2^31 - 1), defaults element by element to the fewest terms whose Poisson
    tail is below 2^-64. The put is (K exp(-rT) + call) - S exp(-qT).
    """
    taken: Prices | None = _native.try_merton_prices(kind, S, K, T, r, sigma, lam, m, s, q, n)
    if taken is not None:
        return taken
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, m_, s_, q_, n_) = merton_arguments(
        kind, S, K, T, r, sigma, lam, m, s, q, n)
    prices = _native.merton_prices(math.prod(shape), kinds, S_, K_, T_, r_, q_, sigma_, lam_,
                                   m_, s_, n_)
    return _result(shape, prices)


class ClosedForm(NamedTuple):
    """Kou's closed form for a call as evaluated in double precision (value), a rigorous
    bound on its error against the exact truncated series (bound), and whether kou_price
    returns exactly that value (certified: the bound is at most 1e-10 (S + K exp(-rT)));
    where it is not, kou_price evaluates the same series as a sum of positive terms."""
    value: Prices
    bound: Prices
    certified: Union[bool, npt.NDArray[np.bool_]]


def kou_closed_form(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                    lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *,
                    q: ArrayLike = 0.0, n: ArrayLike | None = None) -> ClosedForm:
    """What kou_price knows about the accuracy of Kou's closed form for the call (same
    arguments, no kind): the closed form's double, its error bound, and whether the price
    is that double. For a put, the same by parity."""
    shape, (_, S_, K_, T_, r_, sigma_, lam_, p_, e1, e2, q_, n_) = kou_arguments(
        "call", S, K, T, r, sigma, lam, p, eta1, eta2, q, n)
    size = math.prod(shape)
    rows = _native.kou_closed_forms(size, S_, K_, T_, r_, q_, sigma_, lam_, p_, e1, e2,
                                    n_.astype(np.float64))
    certified = rows[2] != 0.0
    return ClosedForm(_result(shape, rows[0]), _result(shape, rows[1]),
                      bool(certified[0]) if shape == () else certified.reshape(shape))

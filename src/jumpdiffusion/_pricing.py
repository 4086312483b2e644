"""Argument checking and broadcasting around the native element loops."""
from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Any, Callable, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from . import _native

ArrayLike = npt.ArrayLike
Prices = Union[float, npt.NDArray[np.float64]]

KOU_MAX_TERMS = 170
MERTON_MAX_TERMS = 2**31 - 1

# The supported domain (the native module's, the single source of the numbers): each
# argument's (low, high, low excluded), the moneyness K / S and the expected jump count.
SUPPORTED_RANGES: dict[str, tuple[float, float, bool]] = dict(_native.SUPPORTED_RANGES)
MONEYNESS_RANGE: tuple[float, float] = (float(_native.MONEYNESS_RANGE[0]), float(_native.MONEYNESS_RANGE[1]))
MAX_EXPECTED_JUMPS: float = float(_native.MAX_EXPECTED_JUMPS)
MAX_ELEMENTS: int = int(_native.MAX_ELEMENTS)

# Conditions of arguments outside the models (prices, volatilities): words and a test that
# works on a Python float and on an array alike.
_CONDITIONS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "positive": ("> 0", lambda x: x > 0.0),
    "non-negative": (">= 0", lambda x: x >= 0.0),
    "finite": ("finite", lambda x: x == x),   # finiteness itself is checked beside each test
}


def _rule(name: str, condition: str | None) -> tuple[str, Callable[[Any], Any]]:
    """The words and the test of an argument: its supported range, or a plain condition."""
    if condition is None:
        low, high, open_low = SUPPORTED_RANGES[name]
        if high >= 1e300:   # bounded only jointly with another argument (lam: lam T)
            words = f"{'>' if open_low else '>='} {low:g}"
        else:
            words = f"in {'(' if open_low else '['}{low:g}, {high:g}] (the supported domain)"
        if open_low:
            return words, lambda x: (x > low) & (x <= high)
        return words, lambda x: (x >= low) & (x <= high)
    return _CONDITIONS[condition]


def _where(shape: tuple[int, ...], flat_index: int) -> str:
    if not shape:
        return ""
    index = tuple(int(i) for i in np.unravel_index(flat_index, shape))
    return f" at index {index[0] if len(index) == 1 else index}"


def _describe(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def _compact(array: np.ndarray) -> np.ndarray:
    """A broadcast view (a stride of 0 along an axis) as the values it repeats, with that
    axis of length 1: the same broadcasting, without writing the repeats out."""
    if array.ndim == 0 or all(st != 0 or n <= 1 for st, n in zip(array.strides, array.shape)):
        return array
    return array[tuple(slice(0, 1) if st == 0 else slice(None)
                       for st, n in zip(array.strides, array.shape))]


def _real_array(name: str, value: Any) -> np.ndarray:
    """value as a float64 array in the machine's byte order, converted exactly from any real
    dtype (bool, integers, floats); complex, strings, bytes, dates, durations and objects
    that are not real numbers raise ValueError naming the argument."""
    def refused() -> ValueError:
        return ValueError(f"{name} must be a real number or an array of them; got {_describe(value)}")

    if isinstance(value, (bool, int, float)) or (isinstance(value, numbers.Real) and not isinstance(value, np.generic)):
        try:
            return np.array(float(value))
        except (OverflowError, TypeError, ValueError):
            raise ValueError(f"{name} must be a finite real number; got {_describe(value)}") from None
    try:
        array = value if isinstance(value, np.ndarray) else np.asarray(value)
    except (TypeError, ValueError, OverflowError):
        raise refused() from None
    if array.dtype.kind == "O":   # real numbers as Python objects (a pandas object column)
        items = array.reshape(-1)
        if not all(isinstance(v, numbers.Real) and not isinstance(v, (str, bytes)) for v in items):
            raise refused()
        try:
            return np.array([float(v) for v in items], dtype=np.float64).reshape(array.shape)
        except (OverflowError, TypeError, ValueError):
            raise refused() from None
    if array.dtype.kind not in "biuf":
        raise refused()
    compact = _compact(array)
    converted = np.asarray(compact, dtype=np.float64)
    return converted if compact is array else np.broadcast_to(converted, array.shape)


def _as_float(name: str, value: ArrayLike, condition: str | None = None) -> np.ndarray:
    """value checked: within its supported range (condition None) or the named condition."""
    if type(value) is float or type(value) is int:   # the common scalar, checked cheaply
        try:
            number = float(value)
        except OverflowError:
            raise ValueError(f"{name} must be a finite real number; got {_describe(value)}") from None
        if math.isfinite(number) and _rule(name, condition)[1](number):
            return np.array(number)
    array = _real_array(name, value)
    words, test = _rule(name, condition)
    values = _compact(array)   # a broadcast view's values, each once
    with np.errstate(invalid="ignore"):
        bad = ~(np.isfinite(values) & test(values))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        got = float(values.reshape(-1)[index])
        if values is not array:   # the first such element of the view itself
            index = int(np.ravel_multi_index(np.unravel_index(index, values.shape), array.shape,
                                             mode="clip"))
        rule = "finite" if words == "finite" else f"finite and {words}"
        raise ValueError(f"{name} must be {rule}; got {got!r}{_where(array.shape, index)}")
    return array


_CALL, _PUT = np.array(1, dtype=np.int8), np.array(0, dtype=np.int8)


def _as_kind(kind: Any) -> np.ndarray:
    """kind as 1 (call) or 0 (put): a str, or an array of them (str, object or StringDType)."""
    if isinstance(kind, str) and kind in ("call", "put"):   # the common scalar
        return _CALL if kind == "call" else _PUT
    try:
        array = np.asarray(kind)
    except (TypeError, ValueError):
        raise ValueError(f"kind must be 'call' or 'put' or an array of them; got {_describe(kind)}") from None
    if array.dtype.kind == "O" and all(isinstance(item, str) for item in array.reshape(-1)):
        array = array.astype(str) if array.size else array.astype("U1")
    if array.dtype.kind not in "UT":
        raise ValueError(f"kind must be 'call' or 'put' or an array of them; got {_describe(kind)}")
    calls: np.ndarray = np.asarray(array == "call")
    bad = ~(calls | np.asarray(array == "put"))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        raise ValueError(f"kind must be 'call' or 'put'; got {str(array.reshape(-1)[index])!r}"
                         f"{_where(array.shape, index)}")
    return calls.astype(np.int8)


def _as_terms(n: ArrayLike | None, largest: int) -> np.ndarray:
    if n is None:
        return np.asarray(-1, dtype=np.int64)   # the default rule, element by element
    def refused() -> ValueError:
        return ValueError(f"n must be an integer or an array of integers; got {_describe(n)}")

    try:
        array = np.asarray(n)
    except (TypeError, ValueError, OverflowError):
        raise refused() from None
    if array.dtype.kind == "O":
        try:
            array = np.asarray([int(operator.index(v)) for v in array.reshape(-1)], dtype=object).reshape(array.shape)
        except TypeError:
            raise refused() from None
    elif array.dtype.kind == "f":
        if not (np.all(np.isfinite(array)) and np.all(array == np.floor(array))):
            raise refused()
    elif array.dtype.kind not in "iu":
        raise refused()
    bad = (array < 0) | (array > largest)
    if np.any(bad):
        index = int(np.flatnonzero(bad)[0])
        got = array.reshape(-1)[index]
        shown = int(got) if array.dtype.kind != "f" else float(got)
        raise ValueError(f"n must be between 0 and {largest}; got {shown!r}{_where(array.shape, index)}")
    return array.astype(np.int64)


def _available_memory() -> int:
    try:
        return int(os.sysconf("SC_AVPHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (ValueError, OSError, AttributeError):
        return 2**62


def _broadcast_shape(named: dict[str, np.ndarray]) -> tuple[int, ...]:
    """numpy's broadcasting rule on the shapes alone, in Python integers (numpy's own refuses
    shapes whose product overflows its index type, before the size could be reported)."""
    shapes = [a.shape for a in named.values()]
    rank = max((len(s) for s in shapes), default=0)
    result = []
    for axis in range(rank):
        extents = {s[axis - rank + len(s)] for s in shapes if axis - rank + len(s) >= 0} - {1}
        if len(extents) > 1:
            listed = ", ".join(f"{k} {v.shape}" for k, v in named.items() if v.shape)
            raise ValueError(f"the arguments' shapes do not broadcast: {listed}")
        result.append(extents.pop() if extents else 1)
    return tuple(result)


def _broadcast(named: dict[str, np.ndarray], rows: int = 1) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """The arguments broadcast together: each argument of one value stays one value, the
    others are written out to the broadcast shape. The result's size (rows values per
    element) is checked against MAX_ELEMENTS and the memory available before anything is
    allocated."""
    shape = _broadcast_shape(named)
    size = math.prod(shape)
    if size > MAX_ELEMENTS:
        raise ValueError(f"the arguments broadcast to shape {shape}, {size} elements; "
                         f"at most {MAX_ELEMENTS} are supported in one call")
    written = sum(1 for a in named.values() if a.size != 1 and a.shape != shape)
    needed, available = 8 * size * (written + rows + 2), _available_memory()
    if needed > available:
        raise ValueError(f"the arguments broadcast to shape {shape}, {size} elements, which need "
                         f"{needed / 2**30:.1f} GiB; {available / 2**30:.1f} GiB are available")
    flat = [a.reshape(1) if a.size == 1
            else np.ascontiguousarray(a if a.shape == shape else np.broadcast_to(a, shape)).reshape(-1)
            for a in named.values()]
    return shape, flat


def _result(shape: tuple[int, ...], values: np.ndarray) -> Prices:
    return float(values[0]) if shape == () else values.reshape(shape)


_JOINT = {1: "K / S", 2: "lam * T", 3: "lam * exp(m + s^2/2) * T"}


def _joint_error(shape: tuple[int, ...], found: tuple[int, int], values: dict[str, np.ndarray]) -> ValueError:
    """The ValueError for an element that breaks a joint condition of the supported domain."""
    index, code = found
    got = ", ".join(f"{k}={float(v[0] if v.size == 1 else v[index])!r}" for k, v in values.items())
    if code == 1:
        low, high = MONEYNESS_RANGE
        rule = f"K / S must be between {low:g} and {high:g} (the supported domain)"
    else:
        rule = f"{_JOINT[code]}, the expected number of jumps, must be at most {MAX_EXPECTED_JUMPS:g} (the supported domain)"
    return ValueError(f"{rule}; got {got}{_where(shape, index)}")


def kou_arguments(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                  sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike,
                  eta2: ArrayLike, q: ArrayLike, n: ArrayLike | None,
                  rows: int = 1) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """Checked against the supported domain and broadcast: kind, S, K, T, r, sigma, lam, p,
    eta1, eta2, q, n (n < 0: the default truncation)."""
    shape, arrays = _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S), "K": _as_float("K", K),
        "T": _as_float("T", T), "r": _as_float("r", r), "sigma": _as_float("sigma", sigma),
        "lam": _as_float("lam", lam), "p": _as_float("p", p), "eta1": _as_float("eta1", eta1),
        "eta2": _as_float("eta2", eta2), "q": _as_float("q", q), "n": _as_terms(n, KOU_MAX_TERMS),
    }, rows)
    _, S_, K_, T_, _, _, lam_ = arrays[:7]
    found = _native.kou_violation(math.prod(shape), S_, K_, T_, lam_)
    if found[0] >= 0:
        raise _joint_error(shape, found, {"S": S_, "K": K_} if found[1] == 1 else {"lam": lam_, "T": T_})
    return shape, arrays


def merton_arguments(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                     sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, q: ArrayLike,
                     n: ArrayLike | None, rows: int = 1) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """Checked against the supported domain and broadcast: kind, S, K, T, r, sigma, lam, m,
    s, q, n (as float64; n < 0: the default truncation)."""
    shape, arrays = _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S), "K": _as_float("K", K),
        "T": _as_float("T", T), "r": _as_float("r", r), "sigma": _as_float("sigma", sigma),
        "lam": _as_float("lam", lam), "m": _as_float("m", m), "s": _as_float("s", s),
        "q": _as_float("q", q), "n": _as_terms(n, MERTON_MAX_TERMS),
    }, rows)
    arrays[-1] = arrays[-1].astype(np.float64)
    _, S_, K_, T_, _, _, lam_, m_, s_ = arrays[:9]
    found = _native.merton_violation(math.prod(shape), S_, K_, T_, lam_, m_, s_)
    if found[0] >= 0:
        raise _joint_error(shape, found, {"S": S_, "K": K_} if found[1] == 1
                           else {"lam": lam_, "m": m_, "s": s_, "T": T_})
    return shape, arrays


def _priced(shape: tuple[int, ...], values: np.ndarray) -> np.ndarray:
    """values, unless an element could not be priced to the toolkit's accuracy (NaN): then
    a ValueError that says which."""
    unpriced = np.isnan(values)
    if unpriced.any():
        index = int(np.flatnonzero(unpriced)[0])
        raise ValueError("no method prices the Kou option to the toolkit's accuracy in double "
                         f"precision{_where(shape, index)} (the closed form overflows and the "
                         "Fourier integrand reaches too far); with an explicit n, n=None may price it")
    return values


def kou_price(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
              sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike,
              eta2: ArrayLike, *, q: ArrayLike = 0.0, n: ArrayLike | None = None) -> Prices:
    """European call or put prices under Kou's double-exponential jump-diffusion.

    kind "call" or "put"; S spot, K strike, T maturity in years, r and q the continuously
    compounded rate and dividend yield; sigma the diffusion volatility; lam the jump
    intensity, p the probability that a jump is upward, eta1 > 1 and eta2 > 0 the rates of
    the upward and downward exponential log-jump sizes. n, the jump terms kept in each
    series (0 to 170), defaults element by element to the fewest whose Poisson tail is
    below 2^-64; where that exceeds 170, the price is the untruncated one (Fourier
    inversion). Every argument must lie in the supported domain (SUPPORTED_RANGES, K / S
    in MONEYNESS_RANGE, lam T at most MAX_EXPECTED_JUMPS): otherwise ValueError naming
    the argument, the value, the range and the index.
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
    return _result(shape, _priced(shape, prices))


def merton_price(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, *,
                 q: ArrayLike = 0.0, n: ArrayLike | None = None) -> Prices:
    """European call or put prices under Merton's jump-diffusion (log-normal jumps).

    kind "call" or "put"; S, K, T, r, q and sigma as for kou_price; lam the jump intensity,
    m and s the mean and standard deviation of the log jump size. n, the last jump count
    summed (0 to 2^31 - 1), defaults element by element to the fewest terms whose Poisson
    tail is below 2^-64 (none: untruncated, where that exceeds 170). The put is
    (K exp(-rT) + call) - S exp(-qT), floored at 0. The supported domain as for kou_price,
    with lam (1 + k) T, k = exp(m + s^2/2) - 1, at most MAX_EXPECTED_JUMPS.
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
    is that double (never where it is not finite). Where the series needs more than 170
    jump terms the closed form is not evaluated: value NaN, bound inf, certified False.
    For a put, the same by parity."""
    shape, (kinds, S_, K_, T_, r_, sigma_, lam_, p_, e1, e2, q_, n_) = kou_arguments(
        "call", S, K, T, r, sigma, lam, p, eta1, eta2, q, n, rows=3)
    size = math.prod(shape)
    rows = _native.kou_closed_forms(size, kinds, S_, K_, T_, r_, q_, sigma_, lam_, p_, e1, e2,
                                    n_.astype(np.float64))
    certified = rows[2] != 0.0
    return ClosedForm(_result(shape, rows[0]), _result(shape, rows[1]),
                      bool(certified[0]) if shape == () else certified.reshape(shape))

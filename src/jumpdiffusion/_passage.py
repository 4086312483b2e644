"""Kou's first-passage products: the probability of reaching a level, and one-touch options,
by numerical inversion of their Laplace transforms in the maturity (passage/kou_passage.h)."""
from __future__ import annotations

import inspect
import math
from typing import Any, Callable, NamedTuple

import numpy as np
from numpy.typing import ArrayLike

from . import _native
from ._pricing import (MAX_EXPECTED_JUMPS, MONEYNESS_RANGE, SUPPORTED_RANGES, Prices, _as_float, _as_kind,
                       _broadcast, _joint_error, _priced, _result, _where)


def _as_direction(direction: Any) -> np.ndarray:
    """direction as 1.0 ("up") or -1.0 ("down"): a str, or an array of them."""
    if isinstance(direction, str) and direction in ("up", "down"):
        return np.array(1.0 if direction == "up" else -1.0)
    try:
        array = np.asarray(direction)
    except (TypeError, ValueError):
        array = np.asarray(None)
    if array.dtype.kind == "O" and all(isinstance(item, str) for item in array.reshape(-1)):
        array = array.astype(str) if array.size else array.astype("U1")
    if array.dtype.kind not in "UT":
        raise ValueError(f"direction must be 'up' or 'down' or an array of them; got {direction!r}")
    up = np.asarray(array == "up")
    bad = ~(up | np.asarray(array == "down"))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        raise ValueError(f"direction must be 'up' or 'down'; got {str(array.reshape(-1)[index])!r}"
                         f"{_where(array.shape, index)}")
    return np.where(up, 1.0, -1.0)


def _at(a: np.ndarray, index: int) -> float:
    return float(a[0] if a.size == 1 else a[index])


def _check_level(shape: tuple[int, ...], S: np.ndarray, H: np.ndarray, T: np.ndarray, lam: np.ndarray,
                 up: np.ndarray, what: Any) -> None:
    """H / S in MONEYNESS_RANGE and lam T within the domain (as K / S and lam T for
    kou_price), and H on its side of S (up > 0: at or above); what(up) names the product for
    the message."""
    size = math.prod(shape)
    found = _native.kou_violation(size, S, H, T, lam)
    if found[0] >= 0:
        if found[1] == 1:
            low, high = MONEYNESS_RANGE
            raise ValueError(f"H / S must be between {low:g} and {high:g} (the supported domain); "
                             f"got H={_at(H, found[0])!r}, S={_at(S, found[0])!r}{_where(shape, found[0])}")
        raise _joint_error(shape, found, {"lam": lam, "T": T})
    with np.errstate(invalid="ignore"):
        wrong = np.broadcast_to(np.where(up > 0.0, H < S, H > S), (size,))
    if wrong.any():
        index = int(np.flatnonzero(wrong)[0])
        side = "at or above" if _at(up, index) > 0.0 else "at or below"
        raise ValueError(f"H must be {side} S for {what(_at(up, index))}; "
                         f"got H={_at(H, index)!r}, S={_at(S, index)!r}{_where(shape, index)}")


def _vouched(shape: tuple[int, ...], rows: np.ndarray, scale: Any, unit: str, differ: str, hint: str) -> np.ndarray:
    """The values of rows[0] where their bounds rows[1] are at most ACCURACY * scale, else a
    ValueError naming the first element refused and why (unit: the scale in words; differ,
    hint: what the error estimate and the refusal point to)."""
    bounds = rows[1]
    failed = ~(bounds <= ACCURACY * scale)
    if failed.any():
        index = int(np.flatnonzero(failed)[0])
        reason = "the roots of the Levy exponent were not found, or the transform was not finite" \
            if np.isnan(bounds[index]) else \
            f"its error estimate is {float(bounds[index]):.1e}{differ}"
        raise ValueError(f"the Laplace inversion does not reach the accuracy {ACCURACY:g}{unit} ({reason}; "
                         f"{hint}){_where(shape, index)}")
    values: np.ndarray = rows[0]
    return values


_WHAT = {"probability": 0, "hit": 1, "expiry": 2}

# What a value returned is vouched for: its error bound (the inversions' estimates) at most this
# (times S for lookbacks, S + K for barriers), as the native loops decide where to refine.
ACCURACY = float(_native.PASSAGE_ACCURACY)


def _plain(values: dict[str, Any]) -> dict[str, float] | None:
    """The arguments as floats where every one is a plain number inside the supported domain
    (each in its range, H positive with H / S and K / S in MONEYNESS_RANGE, lam T at most
    MAX_EXPECTED_JUMPS), else None: the general path then checks and raises what is wrong."""
    if not all(type(v) is float or type(v) is int for v in values.values()):
        return None
    x = {k: float(v) for k, v in values.items()}
    for name, v in x.items():
        if name == "H":
            ok = math.isfinite(v) and v > 0.0
        else:
            low, high, open_low = SUPPORTED_RANGES[name]
            ok = math.isfinite(v) and (v > low if open_low else v >= low) and v <= high
        if not ok:
            return None
    low, high = MONEYNESS_RANGE
    if not all(low <= x[name] / x["S"] <= high for name in ("H", "K") if name in x):
        return None
    return x if x["lam"] * x["T"] <= MAX_EXPECTED_JUMPS else None


def _columns(x: dict[str, float], names: str) -> list[Any]:
    return [np.array([x[name]]) for name in names.split()]


def _scalar(what: str, direction: Any, values: dict[str, Any]) -> float | None:
    """The common call with plain numbers: the value, or None where the general path must
    check (anything not a plain number, out of the domain or refused)."""
    if not isinstance(direction, str) or direction not in ("up", "down"):
        return None
    x = _plain(values)
    if x is None:
        return None
    up = direction == "up"
    if (x["H"] < x["S"]) if up else (x["H"] > x["S"]):
        return None
    native: Any = _native
    rows = native.kou_passages(1, np.array([1.0 if up else -1.0]), *_columns(x, "S H T r q sigma lam p eta1 eta2"),
                               _WHAT[what])
    return float(rows[0][0]) if rows[1][0] <= ACCURACY else None


def _passages(what: str, direction: Any, S: ArrayLike, H: ArrayLike, T: ArrayLike, r: ArrayLike,
              sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike,
              q: ArrayLike) -> Prices:
    quick = _scalar(what, direction, dict(S=S, H=H, T=T, r=r, q=q, sigma=sigma, lam=lam, p=p, eta1=eta1,
                                          eta2=eta2))
    if quick is not None:
        return quick
    shape, (up, S_, H_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_) = _broadcast({
        "direction": _as_direction(direction), "S": _as_float("S", S), "H": _as_float("H", H, "positive"),
        "T": _as_float("T", T), "r": _as_float("r", r), "q": _as_float("q", q),
        "sigma": _as_float("sigma", sigma), "lam": _as_float("lam", lam), "p": _as_float("p", p),
        "eta1": _as_float("eta1", eta1), "eta2": _as_float("eta2", eta2)})
    size = math.prod(shape)
    _check_level(shape, S_, H_, T_, lam_, up, lambda u: f"direction {'up' if u > 0.0 else 'down'!r}")
    rows = _native.kou_passages(size, up, S_, H_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_, _WHAT[what])
    return _result(shape, _vouched(shape, rows, 1.0, "", ": the level is reached at a nearly fixed time",
                                    "sigma sqrt(T) is too small beside the level's distance"))


def kou_first_passage(direction: Any, S: ArrayLike, H: ArrayLike, T: ArrayLike, r: ArrayLike,
                      sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike,
                      *, q: ArrayLike = 0.0) -> Prices:
    """The risk-neutral probability that Kou's spot reaches the level H by T: direction "up"
    with H >= S (the running maximum reaches H), "down" with H <= S (the minimum); 1 where H
    is S. Arguments as for kou_price (H in place of K, its ratio to S in MONEYNESS_RANGE),
    broadcast together; H on the wrong side of S is a ValueError naming both and the index.

    By Kou and Wang's first-passage law (the overshoot is exponential and independent of
    the passage time) inverted in T by Abate and Whitt's Euler algorithm, less its aliasing
    (the nodes shared by every level of one law and maturity); vouched for within 1e-9 by
    two error estimates, else a ValueError, and typically accurate to some 1e-12 (measured
    against a 30-digit inversion and, without jumps, the closed form; see the README)."""
    return _passages("probability", direction, S, H, T, r, sigma, lam, p, eta1, eta2, q)


def kou_touch(direction: Any, S: ArrayLike, H: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike,
              lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *, q: ArrayLike = 0.0,
              pay: str = "hit") -> Prices:
    """A one-touch option on the level H, paying 1 when the spot reaches it (pay="hit",
    discounted from the hitting time) or at T (pay="expiry": exp(-rT) times the
    probability of kou_first_passage) if it is reached by T. A no-touch paying 1 at T is
    exp(-rT) minus the one-touch paid at expiry. Arguments and accuracy as for
    kou_first_passage."""
    if pay not in ("hit", "expiry"):
        raise ValueError(f"pay must be 'hit' or 'expiry'; got {pay!r}")
    return _passages(pay, direction, S, H, T, r, sigma, lam, p, eta1, eta2, q)


def kou_lookback(kind: Any, S: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike, lam: ArrayLike,
                 p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *, K: ArrayLike | None = None,
                 q: ArrayLike = 0.0) -> Prices:
    """Lookback calls and puts under Kou's model, the running maximum and minimum starting at
    S: with K None a floating strike (the call pays S_T - min, the put max - S_T), else a
    fixed strike (the call pays (max - K)+, the put (K - min)+, K / S in MONEYNESS_RANGE).
    Arguments as for kou_price, broadcast together.

    By the maximum's exponential moments at an exponential time in the same roots as
    kou_first_passage (Kou and Wang 2004), inverted in T likewise; each price is vouched
    for within 1e-9 S, or a ValueError."""
    floating = K is None
    if isinstance(kind, str) and kind in ("call", "put"):
        given = dict(S=S, T=T, r=r, q=q, sigma=sigma, lam=lam, p=p, eta1=eta1, eta2=eta2)
        x = _plain(given if floating else dict(given, K=K))
        if x is not None:
            x.setdefault("K", math.nan)
            rows = _native.kou_lookbacks(1, np.array([1 if kind == "call" else 0], dtype=np.int8),
                                         *_columns(x, "S K T r q sigma lam p eta1 eta2"))
            if rows[1][0] <= ACCURACY * x["S"]:
                return float(rows[0][0])
    shape, (kind_, S_, K_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_) = _broadcast({
        "kind": _as_kind(kind), "S": _as_float("S", S),
        "K": np.array(np.nan) if K is None else _as_float("K", K), "T": _as_float("T", T),
        "r": _as_float("r", r), "q": _as_float("q", q), "sigma": _as_float("sigma", sigma),
        "lam": _as_float("lam", lam), "p": _as_float("p", p), "eta1": _as_float("eta1", eta1),
        "eta2": _as_float("eta2", eta2)})
    size = math.prod(shape)
    found = _native.kou_violation(size, S_, S_ if floating else K_, T_, lam_)
    if found[0] >= 0:
        raise _joint_error(shape, found, {"S": S_, "K": K_} if found[1] == 1 else {"lam": lam_, "T": T_})
    rows = _native.kou_lookbacks(size, kind_, S_, K_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_)
    return _result(shape, _vouched(shape, rows, np.broadcast_to(S_, (size,)), " S", "", "sigma sqrt(T) is too small"))


_BARRIERS = ("up-and-out", "up-and-in", "down-and-out", "down-and-in")


def _barrier_arguments(barrier: str, kind: Any, named: dict[str, Any]) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """A barrier option's arguments checked and broadcast: kind, S, K, H, T, r, q, sigma, lam
    and the jump law's (p, eta1, eta2 for Kou; m, s for Merton), against the supported domain
    of the law, with H on its side of S for the barrier's direction."""
    merton = "m" in named
    shape, flat = _broadcast({"kind": _as_kind(kind), **{
        name: _as_float(name, named[name], "positive" if name == "H" else None)
        for name in ("S", "K", "H", "T", "r", "q", "sigma", "lam") + (("m", "s") if merton else ("p", "eta1", "eta2"))}})
    _, S_, K_, H_, T_, _, _, _, lam_ = flat[:9]
    size = math.prod(shape)
    if merton:
        found = _native.merton_violation(size, S_, K_, T_, lam_, flat[9], flat[10])
        joint = {"lam": lam_, "m": flat[9], "s": flat[10], "T": T_}
    else:
        found = _native.kou_violation(size, S_, K_, T_, lam_)
        joint = {"lam": lam_, "T": T_}
    if found[0] >= 0:
        raise _joint_error(shape, found, {"S": S_, "K": K_} if found[1] == 1 else joint)
    # H / S in the domain (and, for Kou, lam T again: the level's own check) and H's side.
    _check_level(shape, S_, H_, T_, np.zeros(1) if merton else lam_, np.array([1.0 if barrier.startswith("up") else -1.0]),
                 lambda u: f"a {barrier} barrier")
    return shape, flat


def kou_barrier(kind: Any, barrier: str, S: ArrayLike, K: ArrayLike, H: ArrayLike, T: ArrayLike, r: ArrayLike,
                sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *,
                q: ArrayLike = 0.0) -> Prices:
    """Continuously monitored barrier calls and puts under Kou's model: barrier one of
    "up-and-out", "up-and-in" (H >= S), "down-and-out", "down-and-in" (H <= S); no rebate.
    Arguments as for kou_price (H, like K, with H / S in MONEYNESS_RANGE), broadcast together.

    The knock-in is the Laplace inversion in T of its transform after the first passage
    (the overshoot exponential and independent of the passage time; passage/kou_barrier.h),
    vouched for within 1e-9 (S + K), else a ValueError; the knock-out is
    kou_price's European less it, so that in + out is the European exactly (each kept in
    [0, European])."""
    if barrier not in _BARRIERS:
        raise ValueError(f"barrier must be one of {', '.join(repr(b) for b in _BARRIERS)}; got {barrier!r}")
    up_side = barrier.startswith("up")
    # Plain floats and float64 arrays in the domain, every knock-in vouched for: natively as
    # they are; for anything else the checks here convert, or raise.
    taken: Prices | None = _native.try_kou_barrier(kind, up_side, barrier.endswith("in"), S, K, H, T, r, sigma, lam,
                                                   p, eta1, eta2, q)
    if taken is not None:
        return taken
    shape, (kind_, S_, K_, H_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_) = _barrier_arguments(
        barrier, kind, dict(S=S, K=K, H=H, T=T, r=r, q=q, sigma=sigma, lam=lam, p=p, eta1=eta1, eta2=eta2))
    size = math.prod(shape)
    up = np.array([1.0 if up_side else -1.0])
    rows = _native.kou_knock_ins(size, kind_, up, S_, K_, H_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_)
    knock_in = _vouched(shape, rows, np.broadcast_to(S_, (size,)) + np.broadcast_to(K_, (size,)), " (S + K)", "",
                        "sigma sqrt(T) is too small")
    # The European from the arguments as checked here (kou_price's loop, its default truncation).
    european = np.broadcast_to(_priced(shape, _native.kou_prices(size, kind_, S_, K_, T_, r_, q_, sigma_, lam_, p_,
                                                                 eta1_, eta2_, np.array([-1.0]))), (size,))
    knock_in = np.minimum(knock_in, european)
    values = knock_in if barrier.endswith("in") else european - knock_in
    return _result(shape, values)


class PathGreeks(NamedTuple):
    """Delta and gamma in the spot and vega per unit of sigma of a path-dependent price."""
    delta: Prices
    gamma: Prices
    vega: Prices


def kou_path_greeks(product: Callable[..., Prices], *args: Any, **kwargs: Any) -> PathGreeks:
    """Delta, gamma and vega of kou_first_passage, kou_touch, kou_barrier or kou_lookback,
    called with the same arguments as the product (S and sigma by position or keyword), by
    central differences with one Richardson step (steps h and h/2, error O(h^4)): the spot
    by h = 1e-2 S, or half the distance to the level H where that is closer (a bumped spot
    stays on its side of it), sigma by 1e-2 (less where sigma is within it of the supported
    0.005). With the products' values within 1e-9 (S + K), the rounding of the differences is
    below 1e-7 (S + K) / h for delta and vega and 3e-8 (S + K) / h^2 for gamma. Nine
    evaluations of the product."""
    params = list(inspect.signature(product).parameters)
    bound = dict(zip(params, args))
    bound.update(kwargs)
    S = np.asarray(bound["S"], dtype=np.float64)
    sigma = np.asarray(bound["sigma"], dtype=np.float64)
    h = 1e-2 * S
    if "H" in bound:
        distance = np.abs(np.asarray(bound["H"], dtype=np.float64) - S)
        h = np.where(distance > 0.0, np.minimum(h, 0.5 * distance), h)
    low = SUPPORTED_RANGES["sigma"][0]
    dv = np.minimum(1e-2, 0.5 * (sigma - low))

    def at(**changes: Any) -> np.ndarray:
        return np.asarray(product(**dict(bound, **changes)), dtype=np.float64)

    def richardson(coarse: np.ndarray, fine: np.ndarray) -> np.ndarray:
        result: np.ndarray = (4.0 * fine - coarse) / 3.0
        return result

    middle = at()
    spots = {k: at(S=S + k * h) for k in (-1.0, -0.5, 0.5, 1.0)}
    delta = richardson((spots[1.0] - spots[-1.0]) / (2.0 * h), (spots[0.5] - spots[-0.5]) / h)
    gamma = richardson((spots[1.0] - 2.0 * middle + spots[-1.0]) / (h * h),
                       (spots[0.5] - 2.0 * middle + spots[-0.5]) / (0.25 * h * h))
    vols = {k: at(sigma=sigma + k * dv) for k in (-1.0, -0.5, 0.5, 1.0)}
    vega = richardson((vols[1.0] - vols[-1.0]) / (2.0 * dv), (vols[0.5] - vols[-0.5]) / dv)
    if middle.ndim == 0:
        return PathGreeks(float(delta), float(gamma), float(vega))
    return PathGreeks(delta, gamma, vega)

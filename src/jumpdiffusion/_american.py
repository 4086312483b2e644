"""American and Bermudan options under Kou's and Merton's models, and Merton's continuously
monitored barriers, by the partial integro-differential equation of the value
(pide/pide_engine.h): one solve per model and kind serves every strike and spot."""
from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike

from . import _native
from ._passage import _BARRIERS, _barrier_arguments
from ._pricing import Prices, _priced, _result, _where, kou_arguments, merton_arguments

# What a value returned is vouched for by default: the engine's error estimate (the change
# of the extrapolated value from one level of grids to the next) at most this times S + K
# (ten times it beside the exercise boundary). Another accuracy, from TIGHTEST_ACCURACY to
# LOOSEST_ACCURACY, scales the grids' nodes per length and steps as accuracy^-0.4 (the
# extrapolated error falls as about the 2.5th power of the spacing), at least a quarter of
# the default's.
ACCURACY = 1e-7
TIGHTEST_ACCURACY = 1e-8
LOOSEST_ACCURACY = 1e-5
# The points of one solve: |ln(S / K)| (and |ln(H / K)| for a barrier) at most this.
MAX_LOG_MONEYNESS = float(_native.LATTICE_MAX_MONEYNESS)
BOUNDARY_POINTS = 101

_KOU, _MERTON = 0, 1
_STYLE = {"european": 0, "american": 1, "bermudan": 2}


class Boundary(NamedTuple):
    """The early-exercise boundary: the critical spot (a put is exercised at or below it, a
    call at or above) at the times from today times[..., j] = j T / 100."""
    times: np.ndarray
    spot: np.ndarray


class AmericanGreeks(NamedTuple):
    """An American or Bermudan option's price and its delta, gamma and theta (per year of
    calendar time) from the same solution; boundary when asked for (American only)."""
    price: Prices
    delta: Prices
    gamma: Prices
    theta: Prices
    boundary: Boundary | None


def _schedule(exercise: ArrayLike | None, T: np.ndarray, shape: tuple[int, ...]) -> tuple[int, np.ndarray]:
    """The exercise style and dates: None American; an array of times from today, each in
    [0, T] of every element (none before T: the European)."""
    if exercise is None:
        return _STYLE["american"], np.zeros(0)
    try:
        dates = np.asarray(exercise, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        raise ValueError(f"exercise must be None (American) or an array of exercise times; got {exercise!r}") from None
    if not np.all(np.isfinite(dates)) or np.any(dates < 0.0):
        bad = dates[~(np.isfinite(dates) & (dates >= 0.0))][0]
        raise ValueError(f"exercise times must be finite and at least 0; got {float(bad)!r}")
    if dates.size:
        latest = float(dates.max())
        late = np.broadcast_to(T, (math.prod(shape),)) < latest
        if late.any():
            index = int(np.flatnonzero(late)[0])
            raise ValueError(f"exercise times must be at most T; got {latest!r} with "
                             f"T={float(T[0] if T.size == 1 else T[index])!r}{_where(shape, index)}")
    return _STYLE["bermudan"] if dates.size else _STYLE["european"], dates


def _check_moneyness(shape: tuple[int, ...], names: tuple[str, str], a: np.ndarray, b: np.ndarray) -> None:
    size = math.prod(shape)
    with np.errstate(divide="ignore"):
        far = np.broadcast_to(np.abs(np.log(a / b)) > MAX_LOG_MONEYNESS, (size,))
    if far.any():
        index = int(np.flatnonzero(far)[0])
        low, high = math.exp(-MAX_LOG_MONEYNESS), math.exp(MAX_LOG_MONEYNESS)
        raise ValueError(f"{names[0]} / {names[1]} must be between {low:.4g} and {high:.4g} for the PIDE engine; "
                         f"got {names[0]}={float(a[0] if a.size == 1 else a[index])!r}, "
                         f"{names[1]}={float(b[0] if b.size == 1 else b[index])!r}{_where(shape, index)}")


def _resolution(accuracy: object) -> tuple[float, float]:
    """The accuracy asked for, checked, and the grids' resolution relative to the default's."""
    try:
        value = float(accuracy)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise ValueError(f"accuracy must be a number between {TIGHTEST_ACCURACY:g} and {LOOSEST_ACCURACY:g}; "
                         f"got {accuracy!r}") from None
    if not TIGHTEST_ACCURACY <= value <= LOOSEST_ACCURACY:
        raise ValueError(f"accuracy must be between {TIGHTEST_ACCURACY:g} and {LOOSEST_ACCURACY:g}; got {value!r}")
    return value, max((ACCURACY / value) ** 0.4, 0.25)


def _solve(law: int, shape: tuple[int, ...], kinds: np.ndarray, S: np.ndarray, K: np.ndarray, H: np.ndarray,
           T: np.ndarray, r: np.ndarray, q: np.ndarray, sigma: np.ndarray, lam: np.ndarray, jumps: list[np.ndarray],
           style: int, dates: np.ndarray, barrier: int, boundary_points: int, accuracy: object) -> np.ndarray:
    """The engine's rows (price, delta, gamma, theta, error, status, boundary...), every
    element vouched for, else a ValueError naming the first refused."""
    size = math.prod(shape)
    tolerance, resolution = _resolution(accuracy)
    j3 = jumps[2] if len(jumps) == 3 else np.zeros(1)
    rows: np.ndarray = _native.lattice_prices(law, size, kinds.astype(np.int8), S, K, H, T, r, q, sigma, lam,
                                              jumps[0], jumps[1], j3, style, dates, barrier, tolerance,
                                              boundary_points, resolution)
    status = rows[5]
    refused = status != 0.0
    if refused.any():
        index = int(np.flatnonzero(refused)[0])
        at = _where(shape, index)
        if status[index] == 2.0:
            raise ValueError("the PIDE grid this model needs exceeds the engine's limits (65536 nodes, 5e7 "
                             "node-steps): sigma sqrt(T) is too small beside the jumps' reach or lam T too large"
                             f"{at}")
        raise ValueError(f"the PIDE solution does not reach the accuracy {tolerance:g} (S + K): its error "
                         f"estimate is {float(rows[4][index]):.1e}{at}")
    return rows


def _american(law: int, arguments: list[np.ndarray], shape: tuple[int, ...], exercise: ArrayLike | None,
              accuracy: object, boundary_points: int = 0) -> tuple[np.ndarray, int]:
    kinds, S_, K_, T_, r_, sigma_, lam_ = arguments[:7]
    jumps = arguments[7:10] if law == _KOU else arguments[7:9]
    q_ = arguments[10] if law == _KOU else arguments[9]
    _check_moneyness(shape, ("S", "K"), S_, K_)
    style, dates = _schedule(exercise, T_, shape)
    rows = _solve(law, shape, kinds, S_, K_, np.ones(1), T_, r_, q_, sigma_, lam_, list(jumps), style, dates, 0,
                  boundary_points if style == _STYLE["american"] else 0, accuracy)
    return rows, style


def _greeks(rows: np.ndarray, shape: tuple[int, ...], T: np.ndarray, boundary: bool, style: int) -> AmericanGreeks:
    curve = None
    if boundary:
        size = math.prod(shape)
        fractions = np.linspace(0.0, 1.0, BOUNDARY_POINTS)
        times = np.broadcast_to(T, (size,))[:, None] * fractions[None, :]
        spot = rows[6:].T if style == _STYLE["american"] else np.full((size, BOUNDARY_POINTS), np.nan)
        curve = Boundary(times.reshape(shape + (BOUNDARY_POINTS,)), np.ascontiguousarray(spot).reshape(
            shape + (BOUNDARY_POINTS,)))
    price, delta, gamma, theta = (_result(shape, np.ascontiguousarray(rows[i])) for i in range(4))
    return AmericanGreeks(price, delta, gamma, theta, curve)


def kou_american(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *, q: ArrayLike = 0.0,
                 exercise: ArrayLike | None = None, accuracy: float = ACCURACY) -> Prices:
    """American (exercise None) or Bermudan (exercise an array of exercise times from today,
    each in [0, T]; an empty one is the European) calls and puts under Kou's model.
    Arguments as for kou_price, broadcast together, with |ln(S / K)| at most
    MAX_LOG_MONEYNESS.

    By the PIDE on grids in ln(S / K) stretched about the strikes and the exercise
    boundary: Crank-Nicolson with the jump integral by Toivanen's exponential recursion, the
    exercise constraint by the Brennan-Schwartz elimination, Richardson's extrapolation over
    three levels of grids. Each price is vouched for by the extrapolation's change from one
    level to the next: within accuracy (S + K) (ten times that beside the exercise
    boundary), else a ValueError. accuracy: from TIGHTEST_ACCURACY to LOOSEST_ACCURACY,
    ACCURACY by default; a looser one is faster. One solve serves every S and K of one
    model."""
    shape, arguments = kou_arguments(kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, None)
    rows, _ = _american(_KOU, arguments, shape, exercise, accuracy)
    return _result(shape, np.ascontiguousarray(rows[0]))


def merton_american(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                    lam: ArrayLike, m: ArrayLike, s: ArrayLike, *, q: ArrayLike = 0.0,
                    exercise: ArrayLike | None = None, accuracy: float = ACCURACY) -> Prices:
    """American or Bermudan calls and puts under Merton's model; arguments as for
    merton_price, exercise and accuracy as for kou_american. The jump integral is the
    convolution with the log-normal density's exact weights (by FFT where that is faster)."""
    shape, arguments = merton_arguments(kind, S, K, T, r, sigma, lam, m, s, q, None)
    rows, _ = _american(_MERTON, arguments, shape, exercise, accuracy)
    return _result(shape, np.ascontiguousarray(rows[0]))


def kou_american_greeks(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                        lam: ArrayLike, p: ArrayLike, eta1: ArrayLike, eta2: ArrayLike, *, q: ArrayLike = 0.0,
                        exercise: ArrayLike | None = None, boundary: bool = False,
                        accuracy: float = ACCURACY) -> AmericanGreeks:
    """kou_american's price with delta and gamma (the solution's derivatives in S at the
    spot) and theta (in calendar time, at today), extrapolated like the price; with
    boundary=True also the early-exercise boundary (Boundary: the critical spot at 101
    times from today to T; NaN for a Bermudan)."""
    shape, arguments = kou_arguments(kind, S, K, T, r, sigma, lam, p, eta1, eta2, q, None)
    rows, style = _american(_KOU, arguments, shape, exercise, accuracy, BOUNDARY_POINTS if boundary else 0)
    return _greeks(rows, shape, arguments[3], boundary, style)


def merton_american_greeks(kind: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                           sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, *, q: ArrayLike = 0.0,
                           exercise: ArrayLike | None = None, boundary: bool = False,
                           accuracy: float = ACCURACY) -> AmericanGreeks:
    """merton_american's price with delta, gamma, theta and, on request, the boundary, as
    for kou_american_greeks."""
    shape, arguments = merton_arguments(kind, S, K, T, r, sigma, lam, m, s, q, None)
    rows, style = _american(_MERTON, arguments, shape, exercise, accuracy, BOUNDARY_POINTS if boundary else 0)
    return _greeks(rows, shape, arguments[3], boundary, style)


def _barrier(law: int, kind: Any, barrier: str, named: dict[str, ArrayLike], accuracy: object) -> Prices:
    if barrier not in _BARRIERS:
        raise ValueError(f"barrier must be one of {', '.join(repr(b) for b in _BARRIERS)}; got {barrier!r}")
    shape, flat = _barrier_arguments(barrier, kind, named)
    kinds, S_, K_, H_, T_, r_, q_, sigma_, lam_ = flat[:9]
    jumps = flat[9:]
    size = math.prod(shape)
    up_side = barrier.startswith("up")
    _check_moneyness(shape, ("S", "K"), S_, K_)
    _check_moneyness(shape, ("H", "K"), H_, K_)
    rows = _solve(law, shape, kinds, S_, K_, H_, T_, r_, q_, sigma_, lam_, list(jumps), 0, np.zeros(0),
                  1 if up_side else 2, 0, accuracy)
    # The European from the arguments as checked here (the price loops, their default truncation).
    n = np.array([-1.0])
    if law == _KOU:
        p_, eta1_, eta2_ = jumps
        whole = _priced(shape, _native.kou_prices(size, kinds, S_, K_, T_, r_, q_, sigma_, lam_, p_, eta1_, eta2_, n))
    else:
        m_, s_ = jumps
        whole = _native.merton_prices(size, kinds, S_, K_, T_, r_, q_, sigma_, lam_, m_, s_, n)
    whole = np.broadcast_to(whole, (size,))
    out = np.clip(rows[0], 0.0, whole)
    values = out if barrier.endswith("out") else whole - out
    return _result(shape, np.ascontiguousarray(values))


def merton_barrier(kind: Any, barrier: str, S: ArrayLike, K: ArrayLike, H: ArrayLike, T: ArrayLike, r: ArrayLike,
                   sigma: ArrayLike, lam: ArrayLike, m: ArrayLike, s: ArrayLike, *, q: ArrayLike = 0.0,
                   accuracy: float = ACCURACY) -> Prices:
    """Continuously monitored barrier calls and puts under Merton's model, barrier one of
    "up-and-out", "up-and-in" (H >= S), "down-and-out", "down-and-in" (H <= S); no rebate.
    Arguments as for merton_price, broadcast together, with H / S in MONEYNESS_RANGE and
    |ln(S / K)|, |ln(H / K)| at most MAX_LOG_MONEYNESS.

    The knock-out is the PIDE's solution with the value 0 at and beyond the barrier (a jump
    across it knocks out); the knock-in is merton_price's European less it, so that in + out
    is the European. Accuracy as for kou_american."""
    return _barrier(_MERTON, kind, barrier, dict(S=S, K=K, H=H, T=T, r=r, q=q, sigma=sigma, lam=lam, m=m, s=s),
                    accuracy)


def _kou_barrier_pide(kind: Any, barrier: str, S: ArrayLike, K: ArrayLike, H: ArrayLike, T: ArrayLike,
                      r: ArrayLike, sigma: ArrayLike, lam: ArrayLike, p: ArrayLike, eta1: ArrayLike,
                      eta2: ArrayLike, *, q: ArrayLike = 0.0, accuracy: float = ACCURACY) -> Prices:
    """Kou's barriers by the same engine, beside kou_barrier's Laplace inversion."""
    return _barrier(_KOU, kind, barrier, dict(S=S, K=K, H=H, T=T, r=r, q=q, sigma=sigma, lam=lam, p=p, eta1=eta1,
                                              eta2=eta2), accuracy)


__all__ = ["ACCURACY", "LOOSEST_ACCURACY", "TIGHTEST_ACCURACY", "AmericanGreeks", "Boundary", "kou_american", "kou_american_greeks", "merton_american",
           "merton_american_greeks", "merton_barrier"]

"""Calibration of the Kou and Merton models to a surface of European option quotes."""
from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Generic, NamedTuple, Optional, TypeVar

import numpy as np
import numpy.typing as npt

from ._implied import black_scholes_price, black_scholes_vega, implied_vol
from ._pricing import (MAX_EXPECTED_JUMPS, MONEYNESS_RANGE, _as_float, _as_kind, _joint_error, kou_price,
                       merton_price)

Floats = npt.NDArray[np.float64]


class KouParameters(NamedTuple):
    """Kou's jump-diffusion: diffusion volatility, jump intensity, probability of an upward
    jump, and the rates of the upward (> 1) and downward (> 0) exponential log-jump sizes."""
    sigma: float
    lam: float
    p: float
    eta1: float
    eta2: float


class MertonParameters(NamedTuple):
    """Merton's jump-diffusion: diffusion volatility, jump intensity, and the mean and
    standard deviation of the normal log-jump size."""
    sigma: float
    lam: float
    m: float
    s: float


@dataclass(frozen=True)
class Quotes:
    """European option quotes on one underlying: kind ("call"/"put"), strike K and maturity
    T per quote, and either the market price or the Black-Scholes implied volatility (the
    other is filled in); spot S, rate r and dividend yield q, scalars or one per quote.
    A quote whose price is outside the no-arbitrage bounds raises ValueError with its index.
    """
    kind: Any
    K: Any
    T: Any
    S: Any
    r: Any
    q: Any = 0.0
    price: Any = None
    vol: Any = None

    def __post_init__(self) -> None:
        if (self.price is None) == (self.vol is None):
            raise ValueError("give the quotes' prices or their implied volatilities (one of the two)")
        kinds = np.where(_as_kind(self.kind) == 1, "call", "put")
        K = _as_float("K", self.K)
        T = _as_float("T", self.T)
        S = _as_float("S", self.S)
        r = _as_float("r", self.r)
        q = _as_float("q", self.q)
        try:
            shape = np.broadcast_shapes(kinds.shape, K.shape, T.shape)
        except ValueError:
            raise ValueError(f"kind, K and T do not broadcast: {kinds.shape}, {K.shape}, {T.shape}") from None
        if len(shape) > 1:
            raise ValueError(f"quotes are one-dimensional arrays; got shape {shape}")
        size = math.prod(shape)
        if size == 0:
            raise ValueError("no quotes")
        def per_quote(name: str, value: np.ndarray) -> np.ndarray:
            if value.size != 1 and value.shape != (size,):
                raise ValueError(f"{name} must be one value or one per quote ({size}); got shape {value.shape}")
            return np.broadcast_to(value.reshape(-1), (size,)).copy()

        kinds, K, T = (np.broadcast_to(a, (size,)).copy() for a in (kinds, K, T))
        S, r, q = per_quote("S", S), per_quote("r", r), per_quote("q", q)
        ratio = K / S
        low, high = MONEYNESS_RANGE
        bad = ~((ratio >= low) & (ratio <= high))
        if bad.any():
            raise _joint_error((size,), (int(np.flatnonzero(bad)[0]), 1), {"S": S, "K": K})
        if self.vol is not None:
            vol = per_quote("vol", _as_float("vol", self.vol, "positive"))
            price = np.asarray(black_scholes_price(kinds, S, K, T, r, vol, q=q), dtype=np.float64)
        else:
            price = per_quote("price", _as_float("price", self.price, "finite"))
            vol = np.asarray(implied_vol(price, kinds, S, K, T, r, q=q), dtype=np.float64)
            bad = ~(vol > 0.0)
            if bad.any():
                i = int(np.flatnonzero(bad)[0])
                raise ValueError(f"price {float(price[i])!r} at index {i} is outside the no-arbitrage bounds "
                                 f"(or carries no time value): no implied volatility")
        for name, value in (("kind", kinds), ("K", K), ("T", T), ("S", S), ("r", r), ("q", q),
                            ("price", price), ("vol", vol)):
            value.setflags(write=False)
            object.__setattr__(self, name, value)

    def __len__(self) -> int:
        return int(self.K.size)


P = TypeVar("P", KouParameters, MertonParameters)


@dataclass(frozen=True)
class Calibration(Generic[P]):
    """The result of calibrate_kou / calibrate_merton.

    parameters: the fitted parameters; start: where the fit started; residuals: model minus
    market implied volatility per quote, in volatility points (0.01); rms: their root mean
    square; evaluations: objective evaluations (each prices every quote), prices: option
    prices computed in all; seconds: wall-clock time; converged: whether the optimiser
    stopped on a convergence test (not on its evaluation budget or a failure); status: what
    the optimiser said, in words.
    """
    parameters: P
    start: P
    residuals: Floats = field(repr=False)
    rms: float
    evaluations: int
    prices: int
    seconds: float
    converged: bool
    status: str


# The fitted coordinates: the diffusion volatility and jump intensity, then the jump law
# (Kou: p and the mean sizes 1/eta1, 1/eta2 of the up and down jumps, of the same order as
# sigma; Merton: m and s). The bounds keep every parameter inside the supported domain
# (sigma >= 0.005, eta1 >= 1.11, eta2 >= 0.5; the intensity capped so that the expected
# number of jumps by the last maturity stays within it) and away from sizes no market shows.
_KOU_LOWER = np.array([5e-3, 0.0, 0.0, 1e-3, 1e-3])
_KOU_UPPER = np.array([2.0, 50.0, 1.0, 0.9, 2.0])
_MERTON_LOWER = np.array([5e-3, 0.0, -2.0, 1e-3])
_MERTON_UPPER = np.array([2.0, 50.0, 1.0, 1.5])


def _intensity_capped(upper: Floats, quotes: Quotes, growth: float) -> Floats:
    """upper with the intensity bound lowered so that lam * growth * max(T) (growth: the
    largest 1 + k the other bounds allow) stays within the supported domain."""
    capped = upper.copy()
    capped[1] = min(upper[1], 0.999 * MAX_EXPECTED_JUMPS / (growth * float(np.max(quotes.T))))
    return capped


def _kou_from(z: Floats) -> KouParameters:
    return KouParameters(float(z[0]), float(z[1]), float(z[2]), 1.0 / float(z[3]), 1.0 / float(z[4]))


def _kou_to(par: KouParameters) -> Floats:
    return np.array([par.sigma, par.lam, par.p, 1.0 / par.eta1, 1.0 / par.eta2])


def _merton_from(z: Floats) -> MertonParameters:
    return MertonParameters(*(float(v) for v in z))


def _merton_to(par: MertonParameters) -> Floats:
    return np.array([par.sigma, par.lam, par.m, par.s], dtype=np.float64)


class _Stopped(Exception):
    """The objective could not be evaluated: the fit ends where it is, not converged."""


class _Objective:
    """Residuals in implied volatility for a parameter vector, counting evaluations. Where
    a model price has no implied volatility (below intrinsic by rounding, or beyond the
    largest price), the price difference over the market vega stands in: the same quantity
    to first order."""

    def __init__(self, quotes: Quotes, price: Callable[[Floats], Floats], weighting: str):
        self.quotes, self.price, self.weighting = quotes, price, weighting
        self.vega = np.asarray(black_scholes_vega(quotes.S, quotes.K, quotes.T, quotes.r, quotes.vol,
                                                  q=quotes.q), dtype=np.float64)
        self.evaluations = 0
        self.best: Optional[tuple[float, Floats]] = None   # the smallest cost seen, and where

    def vol_residuals(self, z: Floats) -> Floats:
        self.evaluations += 1
        qt = self.quotes
        try:
            model = self.price(z)
        except ValueError as error:
            raise _Stopped(f"the model could not be priced at {z.tolist()}: {error}") from None
        by_vega: Floats = (model - qt.price) / self.vega
        if self.weighting == "vega":
            return by_vega
        vol = np.asarray(implied_vol(model, qt.kind, qt.S, qt.K, qt.T, qt.r, q=qt.q), dtype=np.float64)
        residuals: Floats = np.where(np.isfinite(vol), vol - qt.vol, by_vega)
        if not np.all(np.isfinite(residuals)):
            raise _Stopped(f"a residual was not finite at {z.tolist()}")
        cost = float(np.sum(residuals ** 2))
        if self.best is None or cost < self.best[0]:
            self.best = (cost, z.copy())
        return residuals

    __call__ = vol_residuals


class _Progress:
    """Prints the optimiser's progress to stderr once a fit has run for a second."""

    def __init__(self, name: str, objective: _Objective, quiet: bool):
        self.name, self.objective, self.quiet = name, objective, quiet
        self.began = time.perf_counter()
        self.last = self.began
        self.iterations = 0

    def __call__(self, intermediate_result: Any) -> None:
        self.iterations += 1
        now = time.perf_counter()
        if self.quiet or now - self.began < 1.0 or now - self.last < 0.25:
            return
        self.last = now
        rms = 100.0 * math.sqrt(2.0 * float(intermediate_result.cost) / len(self.objective.quotes))
        print(f"{self.name}: iteration {self.iterations}, {self.objective.evaluations} evaluations, "
              f"rms residual {rms:.4f} vol points, {now - self.began:.1f} s", file=sys.stderr, flush=True)


def _check_quotes(quotes: Any) -> None:
    if not isinstance(quotes, Quotes):
        raise TypeError(f"quotes must be a jumpdiffusion.Quotes; got {type(quotes).__name__}")


def _fit(name: str, quotes: Quotes, price: Callable[[Floats], Floats], starts: list[Floats],
         lower: Floats, upper: Floats, from_z: Callable[[Floats], P], weighting: str,
         quiet: bool, max_evaluations: int) -> Calibration[P]:
    if weighting not in ("vol", "vega"):
        raise ValueError(f"weighting must be 'vol' or 'vega'; got {weighting!r}")
    # scipy is imported here, not with the package: pricing alone needs neither its import
    # time nor the BLAS threads it starts.
    from scipy.optimize import least_squares  # type: ignore[import-untyped]

    began = time.perf_counter()
    objective = _Objective(quotes, price, weighting)
    # Several starts: the one with the smallest residual goes to the optimiser.
    inside = [np.clip(z, lower + 1e-9 * (upper - lower), upper - 1e-9 * (upper - lower)) for z in starts]
    start = inside[0]
    try:
        costs = [float(np.sum(objective(z) ** 2)) if len(inside) > 1 else 0.0 for z in inside]
        start = inside[int(np.argmin(costs))]
        progress = _Progress(name, objective, quiet)
        fit = least_squares(objective, start, bounds=(lower, upper), method="trf", x_scale="jac",
                            xtol=1e-12, ftol=1e-12, gtol=1e-12, max_nfev=max_evaluations,
                            callback=progress)
        found, converged = fit.x, fit.status > 0
        status = fit.message if converged else f"did not converge: {fit.message}"
    except _Stopped as stopped:
        # Ends at the best point evaluated so far (or the start), reported as not converged.
        found = objective.best[1] if objective.best is not None else start
        converged, status = False, f"did not converge: stopped because {stopped}"
    # The report's residuals are in implied volatility whatever the weighting.
    objective.weighting = "vol"
    try:
        residuals = 100.0 * objective(found)
    except _Stopped:
        residuals = np.full(len(quotes), np.nan)
        converged = False
    evaluations = objective.evaluations
    return Calibration(parameters=from_z(found), start=from_z(start), residuals=residuals,
                       rms=float(np.sqrt(np.mean(residuals ** 2))), evaluations=evaluations,
                       prices=evaluations * len(quotes), seconds=time.perf_counter() - began,
                       converged=bool(converged), status=str(status))


def _atm_vol(quotes: Quotes) -> float:
    """The market implied volatility of the quote nearest the forward at the shortest
    maturities: the diffusion's scale."""
    forward = quotes.S * np.exp((quotes.r - quotes.q) * quotes.T)
    moneyness = np.abs(np.log(quotes.K / forward)) / np.sqrt(quotes.T)
    return float(quotes.vol[int(np.argmin(moneyness + 1e-3 * quotes.T))])


def calibrate_kou(quotes: Quotes, *, start: Optional[KouParameters] = None, weighting: str = "vol",
                  n: Optional[int] = None, quiet: bool = False,
                  max_evaluations: int = 400) -> Calibration[KouParameters]:
    """Fits Kou's (sigma, lam, p, eta1, eta2) to the quotes by least squares
    (scipy.optimize.least_squares, trust-region reflective, within bounds that keep every
    parameter in the supported domain: 0.005 <= sigma <= 2, 0 <= lam <= min(50, 4995 /
    max(T)), 0 <= p <= 1, 1.11 <= eta1 <= 1000, 0.5 <= eta2 <= 1000).

    weighting "vol" (the default) minimises the model-minus-market implied volatilities:
    the units a desk reads a fit in, every quote weighted alike whatever its vega.
    "vega" minimises price differences divided by the market vega, the same to first
    order and one implied-volatility inversion cheaper per quote, but distorted where
    vega is small (far wings, short maturities). Without `start`, a few starts scaled to
    the at-the-money volatility are tried and the best goes to the optimiser. A fit that
    runs longer than a second prints its progress to stderr unless `quiet`. Deterministic.
    Should the model fail to price somewhere in the bounds, the fit stops there with
    converged False and a status that says why (it does not raise from the optimiser).
    """
    _check_quotes(quotes)

    def price(z: Floats) -> Floats:
        par = _kou_from(z)
        return np.asarray(kou_price(quotes.kind, quotes.S, quotes.K, quotes.T, quotes.r, par.sigma,
                                    par.lam, par.p, par.eta1, par.eta2, q=quotes.q, n=n))

    if start is not None:
        starts = [_kou_to(KouParameters(*start))]
    else:
        atm = _atm_vol(quotes)
        starts = [np.array([f * atm, lam, p, up, down])
                  for f, lam in ((0.8, 1.0), (0.6, 3.0)) for p in (0.3, 0.6)
                  for up, down in ((0.05, 0.1), (0.1, 0.25))]
    return _fit("calibrate_kou", quotes, price, starts, _KOU_LOWER,
                _intensity_capped(_KOU_UPPER, quotes, 1.0), _kou_from, weighting, quiet, max_evaluations)


def calibrate_merton(quotes: Quotes, *, start: Optional[MertonParameters] = None,
                     weighting: str = "vol", n: Optional[int] = None, quiet: bool = False,
                     max_evaluations: int = 400) -> Calibration[MertonParameters]:
    """Fits Merton's (sigma, lam, m, s) to the quotes, as calibrate_kou does (bounds
    0.005 <= sigma <= 2, 0 <= lam <= min(50, 4995 / (exp(2.125) max(T))), -2 <= m <= 1,
    0.001 <= s <= 1.5)."""
    _check_quotes(quotes)

    def price(z: Floats) -> Floats:
        par = _merton_from(z)
        return np.asarray(merton_price(quotes.kind, quotes.S, quotes.K, quotes.T, quotes.r, par.sigma,
                                       par.lam, par.m, par.s, q=quotes.q, n=n))

    if start is not None:
        starts = [_merton_to(MertonParameters(*start))]
    else:
        atm = _atm_vol(quotes)
        starts = [np.array([f * atm, lam, m, s]) for f, lam in ((0.8, 1.0), (0.6, 3.0))
                  for m in (-0.1, 0.0) for s in (0.1, 0.25)]
    growth = math.exp(_MERTON_UPPER[2] + 0.5 * _MERTON_UPPER[3] ** 2)   # the largest 1 + k
    return _fit("calibrate_merton", quotes, price, starts, _MERTON_LOWER,
                _intensity_capped(_MERTON_UPPER, quotes, growth), _merton_from, weighting, quiet,
                max_evaluations)

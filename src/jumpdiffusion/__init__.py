"""Vectorised European option prices under the Kou and Merton jump-diffusion models.

One argument order for both models, instrument, market, diffusion, jumps::

    kou_price(kind, S, K, T, r, sigma, lam, p, eta1, eta2, *, q=0.0, n=None)
    merton_price(kind, S, K, T, r, sigma, lam, m, s, *, q=0.0, n=None)

Every argument broadcasts like numpy; the result is a float64 array of the broadcast shape
(a float when every argument is a scalar). Each element is the price that `corvane` or
`halvorn` gives for the same inputs (bit for bit when q = 0): the same native functions
compute it, with the interpreter lock released and, for large arrays, on every core.
kou_greeks and merton_greeks take the same arguments and return delta, gamma, vega, theta
and rho. Arguments outside the supported domain (SUPPORTED_RANGES, MONEYNESS_RANGE,
MAX_EXPECTED_JUMPS) raise ValueError; inside it every value is finite and within 1e-11 of
S exp(-qT) + K exp(-rT).

kou_american and merton_american price American and Bermudan options (with their Greeks and
exercise boundary from kou_american_greeks / merton_american_greeks), and merton_barrier
continuously monitored barriers, by the PIDE engine; kou_barrier, kou_first_passage,
kou_touch and kou_lookback Kou's path-dependent options by Laplace inversion.

implied_vol inverts Black-Scholes prices (Halley's method on the log price); Quotes holds a
surface of market quotes, and calibrate_kou / calibrate_merton fit either model to it.
"""
from ._american import (AmericanGreeks, Boundary, kou_american, kou_american_greeks, merton_american,
                        merton_american_greeks, merton_barrier)
from ._calibrate import (Calibration, KouParameters, MertonParameters, Quotes, TermStructure, calibrate_kou,
                         calibrate_merton)
from ._greeks import Greeks, kou_greeks, merton_greeks
from ._implied import black_scholes_price, black_scholes_vega, implied_vol
from ._passage import PathGreeks, kou_barrier, kou_first_passage, kou_lookback, kou_path_greeks, kou_touch
from ._pricing import (MAX_EXPECTED_JUMPS, MONEYNESS_RANGE, SUPPORTED_RANGES, ClosedForm,
                       kou_closed_form, kou_price, merton_price)

__all__ = ["MAX_EXPECTED_JUMPS", "MONEYNESS_RANGE", "SUPPORTED_RANGES", "AmericanGreeks", "Boundary", "Calibration", "ClosedForm", "Greeks", "KouParameters", "MertonParameters", "PathGreeks", "Quotes",
           "TermStructure",
           "black_scholes_price", "black_scholes_vega", "calibrate_kou", "calibrate_merton",
           "implied_vol", "kou_american", "kou_american_greeks", "kou_barrier", "kou_closed_form", "kou_first_passage", "kou_greeks", "kou_lookback", "kou_path_greeks", "kou_price", "kou_touch", "merton_american", "merton_american_greeks", "merton_barrier", "merton_greeks",
           "merton_price"]

"""Merton calls priced by QuantLib, as the peer in the benchmark.

QuantLib's Python wrappers do not expose JumpDiffusionEngine; a Bates model with the
variance frozen at sigma^2 (v0 = theta = sigma^2, kappa 1, vol-of-vol 1e-6, no
correlation) and the Merton jump law (intensity lam, log-jump mean nu = m and standard
deviation delta = s) prices the same option with BatesEngine. With a vol-of-vol of 1e-6
QuantLib agrees with the Merton series to about 1e-12; at 1e-4 the vol-of-vol itself
limits the agreement to about 1e-9.

A user prices many spots with one engine: `price(S)` only moves the spot quote, and
QuantLib recomputes the NPV. `rebuild_price(...)` builds the process, model and engine
afresh for every price, as a one-off call would.
"""
import QuantLib as ql

VOL_OF_VOL = 1e-6


class MertonByBates:
    def __init__(self, K, T, sigma, r, lam, m, s, S=100.0):
        self.today = ql.Date(8, 12, 2026)
        ql.Settings.instance().evaluationDate = self.today
        self.dc = ql.Actual365Fixed()
        maturity = self.today + int(round(T * 365))
        self.option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, K),
                                       ql.EuropeanExercise(maturity))
        self.spot = ql.SimpleQuote(S)
        self.option.setPricingEngine(self._engine(self.spot, sigma, r, lam, m, s))

    def _engine(self, spot, sigma, r, lam, m, s):
        rates = ql.YieldTermStructureHandle(ql.FlatForward(self.today, r, self.dc))
        dividends = ql.YieldTermStructureHandle(ql.FlatForward(self.today, 0.0, self.dc))
        v = sigma * sigma
        process = ql.BatesProcess(rates, dividends, ql.QuoteHandle(spot), v, 1.0, v, VOL_OF_VOL,
                                  0.0, lam, m, s)
        return ql.BatesEngine(ql.BatesModel(process))

    def price(self, S):
        self.spot.setValue(S)
        return self.option.NPV()

    def rebuild_price(self, S, sigma, r, lam, m, s):
        self.option.setPricingEngine(self._engine(ql.SimpleQuote(S), sigma, r, lam, m, s))
        return self.option.NPV()

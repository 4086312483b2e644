"""Merton calls priced by QuantLib, as the peer in the benchmark.

QuantLib's Python wrappers do not expose JumpDiffusionEngine; a Bates model with
the variance frozen at sigma^2 (v0 = theta = sigma^2, kappa 1, vol-of-vol 1e-4,
no correlation) and the Merton jump law (intensity lam, log-jump mean nu = m and
standard deviation delta = s) prices the same option with BatesEngine.
"""
import QuantLib as ql


class MertonByBates:
    def __init__(self, K, T):
        self.today = ql.Date(8, 12, 2026)
        ql.Settings.instance().evaluationDate = self.today
        self.days = int(round(T * 365))
        maturity = self.today + self.days
        self.option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, K),
                                       ql.EuropeanExercise(maturity))
        self.dc = ql.Actual365Fixed()

    def price(self, S, sigma, r, lam, m, s):
        spot = ql.QuoteHandle(ql.SimpleQuote(S))
        rates = ql.YieldTermStructureHandle(ql.FlatForward(self.today, r, self.dc))
        dividends = ql.YieldTermStructureHandle(ql.FlatForward(self.today, 0.0, self.dc))
        v = sigma * sigma
        process = ql.BatesProcess(rates, dividends, spot, v, 1.0, v, 1e-4, 0.0, lam, m, s)
        self.option.setPricingEngine(ql.BatesEngine(ql.BatesModel(process)))
        return self.option.NPV()

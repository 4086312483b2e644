"""Prices published by others, each row with its source and the precision it was printed
to: the modules must agree to within half a unit of the last printed digit."""
import pytest

from corvane import KouEuropeanCall
from halvorn import MertonEuropeanCall

# (source, T, K, S, r, sigma, lam, p, eta1, eta2, published price, decimals printed)
KOU_CALLS = [
    ("Surkov (2009), PhD thesis, University of Toronto, Table 6.2",
     1.0, 110.0, 100.0, 0.0, 0.2, 0.2, 0.5, 3.0, 2.0, 7.27993383, 8),
    ("Surkov (2009), PhD thesis, University of Toronto, Table C.2",
     0.2, 1.0, 1.0, 0.0, 0.2, 0.2, 0.5, 3.0, 2.0, 0.0426478, 7),
    ("Toivanen (2008), SIAM J. Sci. Comput. 30(4), at the money (as quoted)",
     0.25, 100.0, 100.0, 0.05, 0.15, 0.1, 0.3445, 3.0465, 3.0775, 3.97, 2),
    ("Haug (2007), The Complete Guide to Option Pricing Formulas, 2nd ed., Black-Scholes "
     "example (lam = 0)", 0.25, 65.0, 60.0, 0.08, 0.3, 0.0, 0.5, 3.0, 2.0, 2.1334, 4),
]


@pytest.mark.parametrize("source,T,K,S,r,sigma,lam,p,eta1,eta2,published,decimals", KOU_CALLS,
                         ids=[row[0].split(",")[0] + f" {i}" for i, row in enumerate(KOU_CALLS)])
def test_kou_call_against_published_values(source, T, K, S, r, sigma, lam, p, eta1, eta2,
                                           published, decimals):
    price = KouEuropeanCall(T, K).priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, 60)
    assert abs(price - published) <= 0.5 * 10.0**-decimals, source


def test_merton_without_jumps_is_haugs_black_scholes_example():
    # Haug (2007), 2nd ed.: S = 60, K = 65, T = 0.25, r = 0.08, sigma = 0.3: 2.1334.
    price = MertonEuropeanCall(65.0, 0.25).JDAnalyticalPrice(60.0, 0.3, 0.08, 0.0, 0.0, 0.1, 0)
    assert abs(price - 2.1334) <= 0.5e-4

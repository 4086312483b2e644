"""Demonstration: European options under the Merton and Kou jump-diffusion models.

Prices a default set of options over several strikes beside the Black-Scholes
value with the same diffusion volatility, and shows how the truncated series
converges as the number of jump terms n grows.
"""
import math

import corvane
import halvorn

N_STEPS = [0, 1, 2, 5, 10, 20, 50]


def black_scholes_call(S, K, T, sigma, r):
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * T) / (sigma * math.sqrt(T))
    d2 = d1 - sigma * math.sqrt(T)
    cdf = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))
    return S * cdf(d1) - K * math.exp(-r * T) * cdf(d2)


def convergence_row(price, label, bs):
    """One table row: prices for growing n, stopping once two agree exactly."""
    cells, last = [], None
    for n in N_STEPS:
        value = price(n)
        if last is not None and value == last:
            cells.append("   (unchanged)")
            break
        cells.append(f"{value:14.10f}")
        last = value
    cells += [""] * (len(N_STEPS) - len(cells))
    return f"{label:>6} {bs:12.6f} " + " ".join(f"{c:>14}" for c in cells)


def merton_table():
    S, T, sigma, r = 100.0, 1.0, 0.2, 0.05
    lam, m, s = 1.0, -0.1, 0.15
    print("Merton jump-diffusion calls (module halvorn)")
    print(f"  S = {S}, T = {T}, sigma = {sigma}, r = {r}, lam = {lam}, m = {m}, s = {s}")
    print("  price for truncation n (terms 0..n of the jump-count series)\n")
    header = f"{'K':>6} {'Black-Scholes':>12} " + " ".join(f"{'n = ' + str(n):>14}" for n in N_STEPS)
    print(header)
    print("-" * len(header))
    for K in [80.0, 90.0, 100.0, 110.0, 120.0]:
        call = halvorn.MertonEuropeanCall(K, T)   # strike first, then maturity
        price = lambda n: call.JDAnalyticalPrice(S, sigma, r, lam, m, s, n)
        print(convergence_row(price, f"{K:g}", black_scholes_call(S, K, T, sigma, r)))
    print()


def kou_table():
    S, T, r, sigma = 100.0, 0.5, 0.05, 0.16
    lam, p, eta1, eta2 = 1.0, 0.4, 10.0, 5.0
    print("Kou double-exponential jump-diffusion calls and puts (module corvane)")
    print(f"  S = {S}, T = {T}, r = {r}, sigma = {sigma}, lam = {lam}, p = {p}, "
          f"eta1 = {eta1}, eta2 = {eta2}")
    print("  price for truncation n (jump counts 0..n in each series)\n")
    header = (f"{'K':>6} {'Black-Scholes':>12} "
              + " ".join(f"{'n = ' + str(n):>14}" for n in N_STEPS))
    for kind, cls in (("call", corvane.KouEuropeanCall), ("put", corvane.KouEuropeanPut)):
        print(f"  {kind}s")
        print(header)
        print("-" * len(header))
        for K in [90.0, 98.0, 100.0, 105.0, 110.0]:
            option = cls(T, K)   # maturity first, then strike
            price = lambda n: option.priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n)
            bs = black_scholes_call(S, K, T, sigma, r)
            if kind == "put":
                bs = bs + K * math.exp(-r * T) - S
            print(convergence_row(price, f"{K:g}", bs))
        print()


def main():
    merton_table()
    kou_table()


if __name__ == "__main__":
    main()

"""The untruncated Merton series in mpmath, summed from the Poisson mode outward."""
import mpmath as mp


def merton_call_mp(S, K, T, r, sigma, lam, m, s, q=0.0, dps=30):
    """sum_i pi_i(L) S' N(d1_i) - pi_i(lam T) K' N(d2_i) (Merton 1976), each weight
    exp(-mu + i log mu - loggamma(i + 1)) at dps digits, terms added from the larger mean
    outward until both weights fall below 10^-dps."""
    with mp.workdps(dps):
        S, K, T, r, sigma, lam, m, s, q = map(mp.mpf, (S, K, T, r, sigma, lam, m, s, q))
        spot, discounted = S * mp.exp(-q * T), K * mp.exp(-r * T)
        g = m + s * s / 2
        k = mp.exp(g) - 1
        L, lamT = lam * mp.exp(g) * T, lam * T
        x0 = mp.log(spot / discounted) - lamT * k

        def weight(mu, i):
            return mp.exp(-mu + i * mp.log(mu) - mp.loggamma(i + 1)) if mu > 0 else mp.mpf(i == 0)

        def term(i):
            V = sigma**2 * T + i * s * s
            root = mp.sqrt(V)
            d1 = (x0 + i * g + V / 2) / root
            wS, wK = weight(L, i), weight(lamT, i)
            return spot * wS * mp.ncdf(d1) - discounted * wK * mp.ncdf(d1 - root), wS + wK

        tiny, top = mp.mpf(10) ** (-dps), max(L, lamT)
        mode = int(mp.floor(top))
        total, i = mp.mpf(0), mode
        while True:
            value, w = term(i)
            total += value
            if w < tiny and i > top:
                break
            i += 1
        for i in range(mode - 1, -1, -1):
            value, w = term(i)
            total += value
            if w < tiny and i < min(L, lamT):
                break
        return total

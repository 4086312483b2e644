"""Independent Kou pricer: Lewis's Fourier inversion of the model's characteristic function.

X_T = log(S_T / S_0) has the risk-neutral exponent
    psi(u) = i u (r - sigma^2/2 - lam zeta) - sigma^2 u^2 / 2
             + lam (p eta1 / (eta1 - i u) + (1 - p) eta2 / (eta2 + i u) - 1),
zeta = p eta1 / (eta1 - 1) + (1 - p) eta2 / (eta2 + 1) - 1, and the call is
    C = S - sqrt(S K) exp(-r T) / pi * integral_0^inf Re[exp(i u log(S/K)) phi(u - i/2)] / (u^2 + 1/4) du.
"""
import mpmath as mp


def kou_call(S, K, T, r, sigma, lam, p, eta1, eta2, dps=30):
    with mp.workdps(dps):
        S, K, T, r, sigma, lam, p, eta1, eta2 = map(mp.mpf, (S, K, T, r, sigma, lam, p, eta1, eta2))
        q = 1 - p
        zeta = p * eta1 / (eta1 - 1) + q * eta2 / (eta2 + 1) - 1
        drift = r - sigma**2 / 2 - lam * zeta

        def phi(u):
            psi = (1j * u * drift - sigma**2 * u**2 / 2
                   + lam * (p * eta1 / (eta1 - 1j * u) + q * eta2 / (eta2 + 1j * u) - 1))
            return mp.exp(T * psi)

        k = mp.log(S / K)
        integrand = lambda u: mp.re(mp.exp(1j * u * k) * phi(u - 0.5j)) / (u**2 + mp.mpf(1) / 4)
        # Break points on the scale of the diffusion's damping exp(-sigma^2 u^2 T / 2).
        scale = 1 / (sigma * mp.sqrt(T))
        points = [0] + [scale * x for x in (1, 2, 4, 8, 16)] + [mp.inf]
        integral = mp.quad(integrand, points)
        return S - mp.sqrt(S * K) * mp.exp(-r * T) / mp.pi * integral


def black_scholes_call(S, K, T, r, sigma, dps=30):
    with mp.workdps(dps):
        S, K, T, r, sigma = map(mp.mpf, (S, K, T, r, sigma))
        d1 = (mp.log(S / K) + (r + sigma**2 / 2) * T) / (sigma * mp.sqrt(T))
        return S * mp.ncdf(d1) - K * mp.exp(-r * T) * mp.ncdf(d1 - sigma * mp.sqrt(T))

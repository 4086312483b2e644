"""Kou European options by the COS method (Fang and Oosterlee), vectorised with numpy.

The log-return X = log(S_T / S_0) has the risk-neutral characteristic function
phi(u) = exp(T psi(u)), psi(u) = i u mu - sigma^2 u^2 / 2
         + lam (p eta1 / (eta1 - i u) + (1 - p) eta2 / (eta2 + i u) - 1),
mu = r - sigma^2 / 2 - lam zeta. Puts are expanded in a cosine series on a
truncated range of log(S_T / K); calls follow by put-call parity.
"""
import numpy as np


def _cumulant_range(T, r, sigma, lam, p, eta1, eta2, width):
    q = 1.0 - p
    zeta = p * eta1 / (eta1 - 1.0) + q * eta2 / (eta2 + 1.0) - 1.0
    mu = r - 0.5 * sigma * sigma - lam * zeta
    c1 = mu * T + lam * T * (p / eta1 - q / eta2)
    c2 = sigma * sigma * T + lam * T * (2 * p / eta1**2 + 2 * q / eta2**2)
    c4 = lam * T * (24 * p / eta1**4 + 24 * q / eta2**4)
    half = width * np.sqrt(c2 + np.sqrt(c4))
    return mu, c1 - half, c1 + half


def kou_prices(S, K, T, r, sigma, lam, p, eta1, eta2, terms=256, width=16.0):
    """(calls, puts) for an array of strikes K."""
    K = np.atleast_1d(np.asarray(K, dtype=float))
    mu, a0, b0 = _cumulant_range(T, r, sigma, lam, p, eta1, eta2, width)
    span = b0 - a0
    u = np.arange(terms) * np.pi / span
    psi = (1j * u * mu - 0.5 * sigma * sigma * u * u
           + lam * (p * eta1 / (eta1 - 1j * u) + (1.0 - p) * eta2 / (eta2 + 1j * u) - 1.0))
    weights = np.exp(T * psi) * np.exp(-1j * u * a0)   # phi(u) e^{-i u a}, a relative to x
    weights[0] *= 0.5
    # Range of y = log(S_T / K) for each strike: [x + a0, x + b0]; the put pays on [a, 0].
    a = np.log(S / K)[:, None] + a0
    c, d = a, 0.0
    w = u[None, :]
    chi = (np.cos(w * (d - a)) * np.exp(d) - np.cos(w * (c - a)) * np.exp(c)
           + w * np.sin(w * (d - a)) * np.exp(d) - w * np.sin(w * (c - a)) * np.exp(c)) / (1.0 + w * w)
    with np.errstate(divide="ignore", invalid="ignore"):
        psi_k = np.where(w > 0, (np.sin(w * (d - a)) - np.sin(w * (c - a))) / w, d - c)
    payoff = 2.0 / span * (psi_k - chi)
    puts = K * np.exp(-r * T) * np.real(payoff @ weights)
    calls = puts + S - K * np.exp(-r * T)
    return calls, puts

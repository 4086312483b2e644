"""Exact Monte Carlo of Merton's knock-out options: jump times and log-normal sizes drawn
exactly, the Brownian motion's maximum between jumps from the Brownian-bridge law
(kou_mc.extremes). A reference for continuously monitored barriers; it shares no code with
the engine."""
import numpy as np

from kou_mc import extremes


def knock_out(kind, barrier, S, K, H, T, r, sigma, lam, m, s, q=0.0, paths=200_000, seed=1):
    """The discounted knock-out's price and its standard error."""
    up = barrier.startswith("up")
    mu = r - q - sigma ** 2 / 2 - lam * np.expm1(m + s * s / 2)
    ST, top = extremes(S, T, mu, sigma, lam, lambda rng, n: m + s * rng.standard_normal(n), paths, seed,
                       1.0 if up else -1.0)
    alive = top < (1.0 if up else -1.0) * np.log(H / S)
    payoff = np.maximum(ST - K, 0.0) if kind == "call" else np.maximum(K - ST, 0.0)
    values = np.exp(-r * T) * payoff * alive
    return float(values.mean()), float(values.std() / np.sqrt(paths))

"""Exact Monte Carlo of Merton's spot and its running extreme: jump times and log-normal
sizes drawn exactly, the Brownian motion's maximum between jumps drawn from the
Brownian-bridge law. A reference for continuously monitored barriers; it shares no code
with the engine."""
import numpy as np


def extremes(S, T, r, sigma, lam, m, s, q=0.0, paths=200_000, seed=1, sign=1.0):
    """Per path the spot at T and the running maximum of sign * log(S_t / S) over [0, T]
    (sign -1: the running minimum's negative)."""
    rng = np.random.default_rng(seed)
    mu = r - q - sigma ** 2 / 2 - lam * np.expm1(m + s * s / 2)
    x, t, top = np.zeros(paths), np.zeros(paths), np.zeros(paths)
    active = np.ones(paths, dtype=bool)
    while active.any():
        i = np.flatnonzero(active)
        wait = rng.exponential(1.0 / lam, i.size) if lam > 0 else np.full(i.size, np.inf)
        step = np.minimum(wait, T - t[i])
        end = x[i] + mu * step + sigma * np.sqrt(step) * rng.standard_normal(i.size)
        a, b = sign * x[i], sign * end
        # The bridge's maximum from a to b over step: (a + b + sqrt((b - a)^2 - 2 sigma^2 step log U)) / 2.
        bridge = 0.5 * (a + b + np.sqrt((b - a) ** 2 - 2.0 * sigma ** 2 * step * np.log(rng.uniform(size=i.size))))
        top[i] = np.maximum(top[i], bridge)
        t[i] += step
        x[i] = end
        jumping = t[i] < T
        j = i[jumping]
        x[j] += m + s * rng.standard_normal(j.size)
        top[j] = np.maximum(top[j], sign * x[j])
        active[i[~jumping]] = False
    return S * np.exp(x), top


def knock_out(kind, barrier, S, K, H, T, r, sigma, lam, m, s, q=0.0, paths=200_000, seed=1):
    """The discounted knock-out's price and its standard error."""
    up = barrier.startswith("up")
    ST, top = extremes(S, T, r, sigma, lam, m, s, q, paths, seed, 1.0 if up else -1.0)
    alive = top < (1.0 if up else -1.0) * np.log(H / S)
    payoff = np.maximum(ST - K, 0.0) if kind == "call" else np.maximum(K - ST, 0.0)
    values = np.exp(-r * T) * payoff * alive
    return float(values.mean()), float(values.std() / np.sqrt(paths))

"""Exact Monte Carlo of whether Kou's spot reaches a level by T: jump times and sizes drawn
exactly, the Brownian motion's maximum between jumps by the Brownian-bridge law (no time
step, no bias). A reference for the first-passage probability; it shares no code with
the engine."""
import numpy as np


def reached(up, S, H, T, r, sigma, lam, p, eta1, eta2, q=0.0, paths=200_000, seed=1, spot=False):
    """A boolean per path: whether the spot reaches H by T (up: from below, down: from above);
    with spot=True also the spot at T (the path run on to T after the hit)."""
    rng = np.random.default_rng(seed)
    zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
    mu = r - q - sigma ** 2 / 2 - lam * zeta
    sign = 1.0 if up else -1.0
    b = sign * np.log(H / S)                      # the level, for sign * X
    x, t = np.zeros(paths), np.zeros(paths)       # sign * X and the time reached so far
    hit = np.zeros(paths, dtype=bool)
    alive = np.ones(paths, dtype=bool)
    while alive.any():
        idx = np.flatnonzero(alive)
        wait = rng.exponential(1.0 / lam, idx.size) if lam > 0 else np.full(idx.size, np.inf)
        step = np.minimum(wait, T - t[idx])       # to the next jump, or to T
        end = x[idx] + sign * mu * step + sigma * np.sqrt(step) * rng.standard_normal(idx.size)
        # A Brownian bridge from x to end over `step` (both below b) reaches b with
        # probability exp(-2 (b - x)(b - end) / (sigma^2 step)).
        above = np.exp(-2.0 * np.maximum(b - x[idx], 0.0) * np.maximum(b - end, 0.0) / (sigma ** 2 * step))
        crossed = (end >= b) | (rng.uniform(size=idx.size) < above)
        t[idx] += step
        x[idx] = end
        hit[idx[crossed]] = True
        done = (crossed & (not spot)) | (t[idx] >= T)
        j = idx[~done]                            # a jump at t
        upward = rng.uniform(size=j.size) < p
        x[j] += sign * np.where(upward, rng.exponential(1.0 / eta1, j.size), -rng.exponential(1.0 / eta2, j.size))
        landed = x[j] >= b
        hit[j[landed]] = True
        alive[idx[done]] = False
        if not spot:
            alive[j[landed]] = False
    return (hit, S * np.exp(sign * x)) if spot else hit


def maxima(S, T, r, sigma, lam, p, eta1, eta2, q=0.0, paths=200_000, seed=1, sign=1.0):
    """Per path the spot at T and the running maximum of sign * log(S_t / S) over [0, T]: the
    bridge's maximum between jumps drawn from its law, (x0 + x1 + sqrt((x1 - x0)^2 -
    2 sigma^2 dt log U)) / 2. sign -1: the running minimum's negative."""
    zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1

    def jump(rng, n):
        upward = rng.uniform(size=n) < p
        return np.where(upward, rng.exponential(1.0 / eta1, n), -rng.exponential(1.0 / eta2, n))
    return extremes(S, T, r - q - sigma ** 2 / 2 - lam * zeta, sigma, lam, jump, paths, seed, sign)


def extremes(S, T, mu, sigma, lam, jump, paths, seed, sign):
    """maxima for any jump law: mu the log-spot's drift, jump(rng, n) n log-jump sizes."""
    rng = np.random.default_rng(seed)
    x, t, top = np.zeros(paths), np.zeros(paths), np.zeros(paths)
    active = np.ones(paths, dtype=bool)
    while active.any():
        i = np.flatnonzero(active)
        wait = rng.exponential(1.0 / lam, i.size) if lam > 0 else np.full(i.size, np.inf)
        step = np.minimum(wait, T - t[i])
        end = x[i] + mu * step + sigma * np.sqrt(step) * rng.standard_normal(i.size)
        a, b = sign * x[i], sign * end
        bridge = 0.5 * (a + b + np.sqrt((b - a) ** 2 - 2.0 * sigma ** 2 * step * np.log(rng.uniform(size=i.size))))
        top[i] = np.maximum(top[i], bridge)
        t[i] += step
        x[i] = end
        jumping = t[i] < T
        j = i[jumping]
        x[j] += jump(rng, j.size)
        top[j] = np.maximum(top[j], sign * x[j])
        active[i[~jumping]] = False
    return S * np.exp(x), top

"""The Kou call truncated at n jumps, evaluated to many digits: an independent reference.

Kou's series for P(X(T) >= a), keeping the jump counts 0..n,
    Upsilon_n = pi_0 Phi((muT - a) / s) + sum_{i=1..n} pi_i sum_{k=1..i} (P(i,k) G1_k + Q(i,k) G2_k),
where G1_k = A1 (eta1 s)^k I_{k-1}(a - muT; -eta1, -1/s, -sigma eta1 sqrt T) is the probability
that the diffusion plus an Erlang(k, eta1) upward jump ends above a (G2_k likewise downward),
is evaluated with the integrals I_k and the functions Hh in mpmath at a working precision
that grows until two precisions agree: the closed form cancels by up to
exp((eta sigma)^2 T / 2), which no fixed precision covers. The coefficients P(i,k), Q(i,k)
are sums of positive terms (well conditioned), formed in double precision from exact
binomial coefficients. The call is C_n = S Upsilon1_n - K exp(-rT) Upsilon2_n with the
share-measure parameters of Upsilon1 formed exactly from the inputs.
"""
import math
from functools import lru_cache

import mpmath as mp
import numpy as np


def _hh_all(last, x):
    """Hh(0..last, x) by the upward recursion, at the current precision."""
    before = mp.exp(-x * x / 2)
    h = [mp.sqrt(mp.pi / 2) * mp.erfc(x / mp.sqrt(2))]
    for k in range(1, last + 1):
        prev = h[k - 2] if k >= 2 else before
        h.append((prev - x * h[k - 1]) / k)
    return h


def _conditional(count, c, alpha, beta, delta, eta, s):
    """A (eta s)^k I_{k-1}(c; alpha, beta, delta) for k = 1..count: Kou's I_n in closed form."""
    rho = beta / alpha
    x0 = beta * c - delta
    h = _hh_all(count - 1, x0)
    exp_c = mp.exp(c * alpha)
    tail = mp.exp(alpha * alpha / (2 * beta * beta) + delta * alpha / beta) * mp.sqrt(2 * mp.pi) / beta
    if beta > 0:
        cdf = mp.ncdf(alpha / beta + delta - beta * c)
    else:
        cdf = mp.ncdf(x0 - alpha / beta)
    sign = 1 if beta > 0 else -1
    T_factor = mp.exp((eta * s) ** 2 / 2) / (mp.sqrt(2 * mp.pi) * s)   # A with sigma sqrt T = s
    out = []
    for k in range(count):
        sum_h = mp.fsum(rho ** (k - i) * h[i] for i in range(k + 1))
        integral = sign * (tail * rho ** (k + 1) * cdf) - sum_h * exp_c / alpha
        out.append(T_factor * (eta * s) ** (k + 1) * integral)
    return out


@lru_cache(maxsize=None)
def _binomials(n):
    return np.array([[float(math.comb(x, y)) if y <= x else 0.0 for y in range(n + 1)]
                     for x in range(n + 1)])


def _coefficients(n, p, eta1, eta2):
    """P(i, k), Q(i, k) for 1 <= k <= i <= n as (n+1) x (n+1) arrays, in double precision."""
    q = 1.0 - p
    r1, r2 = eta1 / (eta1 + eta2), eta2 / (eta1 + eta2)
    B = _binomials(n)
    P = np.zeros((n + 1, n + 1))
    Q = np.zeros((n + 1, n + 1))
    for i in range(1, n + 1):
        for k in range(1, i):
            j = np.arange(k, i)
            common = B[i, j] * B[i - k - 1, j - k]
            P[i, k] = np.sum(common * r1 ** (j - k) * r2 ** (i - j) * p ** j * q ** (i - j))
            Q[i, k] = np.sum(common * r1 ** (i - j) * r2 ** (j - k) * q ** j * p ** (i - j))
        P[i, i], Q[i, i] = p ** i, q ** i
    return P, Q


def upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n, digits=25):
    """P(X(T) >= a) keeping the jump counts 0..n, to about `digits` significant digits.

    The arguments may be mpf (exact share-measure parameters); p, eta1, eta2 are also used
    as doubles for the coefficients, whose relative error (about n ulp) is far below what
    the tests ask.
    """
    n = max(n, 0)
    P, Q = _coefficients(n, float(p), float(eta1), float(eta2)) if n else (None, None)
    digits_needed = (max(eta1, eta2) * sigma) ** 2 * T / 2 / math.log(10)
    dps = int(digits + 20 + float(digits_needed) + 1.5 * n)
    previous = None
    while True:
        with mp.workdps(dps):
            mu, sigma, lam, a, T = map(mp.mpf, (mu, sigma, lam, a, T))
            s = sigma * mp.sqrt(T)
            c = a - mu * T
            value = mp.exp(-lam * T) * mp.ncdf(-c / s)
            if n:
                up = _conditional(n, c, -mp.mpf(eta1), -1 / s, -sigma * eta1 * mp.sqrt(T), eta1, s)
                down = _conditional(n, c, mp.mpf(eta2), 1 / s, -sigma * eta2 * mp.sqrt(T), eta2, s)
                g1 = np.array([float(g) for g in up])
                g2 = np.array([float(g) for g in down])
                jumps = 0.0
                for i in range(1, n + 1):
                    weight = mp.exp(-lam * T) * (lam * T) ** i / mp.factorial(i)
                    jumps += float(weight) * float(np.dot(P[i, 1:i + 1], g1[:i]) +
                                                   np.dot(Q[i, 1:i + 1], g2[:i]))
                value = float(value) + jumps
            value = float(value)
        if previous is not None and abs(value - previous) <= 1e-17:
            return value
        previous = value
        dps += 30


def kou_call(S, K, T, r, sigma, lam, p, eta1, eta2, n):
    """The Kou call truncated at n jumps per series, to about 1e-15 relative to S + K."""
    with mp.workdps(40):
        S_, K_, T_, r_, sigma_, lam_, p_, eta1_, eta2_ = map(
            mp.mpf, (S, K, T, r, sigma, lam, p, eta1, eta2))
        zeta = p_ * eta1_ / (eta1_ - 1) + (1 - p_) * eta2_ / (eta2_ + 1) - 1
        a = mp.log(K_ / S_)
        mu1 = r_ + sigma_ ** 2 / 2 - lam_ * zeta
        mu2 = r_ - sigma_ ** 2 / 2 - lam_ * zeta
        lam_t = (1 + zeta) * lam_
        p_t = p_ / (1 + zeta) * eta1_ / (eta1_ - 1)
        discount = K_ * mp.exp(-r_ * T_)
    u1 = upsilon(mu1, sigma_, lam_t, p_t, eta1_ - 1, eta2_ + 1, a, T_, n)
    u2 = upsilon(mu2, sigma_, lam_, p_, eta1_, eta2_, a, T_, n)
    return float(S_ * u1 - u2 * discount)


def _richardson(f, x, h, second=False):
    """A central difference (first or second) with one Richardson step: error O(h^4)."""
    d = (lambda h: (f(x + h) - 2 * f(x) + f(x - h)) / (h * h)) if second else \
        (lambda h: (f(x + h) - f(x - h)) / (2 * h))
    return (4 * d(h / 2) - d(h)) / 3


def kou_greeks(kind, S, K, T, r, sigma, lam, p, eta1, eta2, n, q=0.0, steps=None):
    """Delta, gamma, vega, theta, rho of the series truncated at n (a put by parity, q
    through S exp(-qT)) as differences of kou_call with one Richardson step; steps
    (for S, sigma, T, r) where the reference's rounding (1e-15 of the price over the step)
    and the differences' truncation (the step to the fourth) both stay near 1e-10."""
    a = dict(S=S, K=K, T=T, r=r, sigma=sigma, lam=lam, p=p, eta1=eta1, eta2=eta2)

    def price(**kw):
        b = {**a, **kw}
        spot = b["S"] * math.exp(-q * b["T"])
        c = kou_call(spot, b["K"], b["T"], b["r"], b["sigma"], b["lam"], b["p"], b["eta1"], b["eta2"], n)
        return c if kind == "call" else c - spot + b["K"] * math.exp(-b["r"] * b["T"])

    hS, hs, hT, hr = steps or (0.5 * sigma * math.sqrt(T), 1e-3 * sigma, 1e-3 * T, 1e-3)
    return dict(delta=_richardson(lambda v: price(S=v), S, hS),
                gamma=_richardson(lambda v: price(S=v), S, hS, second=True),
                vega=_richardson(lambda v: price(sigma=v), sigma, hs),
                theta=-_richardson(lambda v: price(T=v), T, hT),
                rho=_richardson(lambda v: price(r=v), r, hr))

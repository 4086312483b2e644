"""Kou's first-passage probability and one-touch values in mpmath: the same transforms
(the roots of the quartic by mpmath.polyroots) inverted by de Hoog's algorithm at high
precision, the precision raised until two evaluations agree. A reference: it shares no
code with the native engine."""
import mpmath as mp


def _positive_roots(alpha, mu, sigma, lam, p, eta1, eta2):
    c = lam + alpha
    half = sigma * sigma / 2
    coefficients = [-half, half * (eta1 - eta2) - mu, c + mu * (eta1 - eta2) + half * eta1 * eta2,
                    mu * eta1 * eta2 - c * (eta1 - eta2) + lam * (p * eta1 - (1 - p) * eta2), -alpha * eta1 * eta2]
    roots = sorted(mp.polyroots(coefficients, maxsteps=400, extraprec=4 * mp.mp.prec), key=lambda z: -mp.re(z))
    return roots[0], roots[1]


def _transform(alpha, b, law):
    mu, sigma, lam, p, eta1, eta2 = law
    if b == 0:
        return mp.mpf(1)
    b1, b2 = _positive_roots(alpha, *law)
    c1 = (eta1 - b1) / eta1 * b2 / (b2 - b1)
    c2 = (b2 - eta1) / eta1 * b1 / (b2 - b1)
    return c1 * mp.exp(-b * b1) + c2 * mp.exp(-b * b2)


def passage(direction, S, H, T, r, sigma, lam, p, eta1, eta2, q=0.0, pay=None, digits=30):
    """P(tau <= T) (pay None), E[exp(-r tau); tau <= T] (pay "hit") or exp(-rT) P (pay "expiry")."""
    def at(dps):
        with mp.workdps(dps):
            S_, H_, T_, r_, q_, s_, l_, p_, e1, e2 = (mp.mpf(float(x)) for x in (S, H, T, r, q, sigma, lam, p, eta1, eta2))
            zeta = p_ * e1 / (e1 - 1) + (1 - p_) * e2 / (e2 + 1) - 1
            mu = r_ - q_ - s_ * s_ / 2 - l_ * zeta
            law = (mu, s_, l_, p_, e1, e2) if direction == "up" else (-mu, s_, l_, 1 - p_, e2, e1)
            b = mp.log(H_ / S_) if direction == "up" else mp.log(S_ / H_)
            rate = r_ if pay == "hit" else 0
            value = mp.invertlaplace(lambda a: _transform(a + rate, b, law) / a, T_, method="dehoog")
            return value * (mp.exp(-r_ * T_) if pay == "expiry" else 1)

    low, high = at(digits), at(digits + 10)
    if abs(low - high) > mp.mpf(10) ** (-14):
        raise ArithmeticError(f"the reference did not settle: {low} against {high}")
    return float(high)


def lookback(kind, S, T, r, sigma, lam, p, eta1, eta2, K=None, q=0.0, digits=30):
    """The lookback prices of kou_lookback from H(theta, k) = sum_i c_i exp(-(beta_i - theta) k)
    / (beta_i - theta) at an exponential time, in the plain (unsymmetrised) form."""
    def at(dps):
        with mp.workdps(dps):
            S_, T_, r_, q_, s_, l_, p_, e1, e2 = (mp.mpf(float(x)) for x in (S, T, r, q, sigma, lam, p, eta1, eta2))
            zeta = p_ * e1 / (e1 - 1) + (1 - p_) * e2 / (e2 + 1) - 1
            mu = r_ - q_ - s_ * s_ / 2 - l_ * zeta
            up, down = (mu, s_, l_, p_, e1, e2), (-mu, s_, l_, 1 - p_, e2, e1)

            def H(theta, k, law):
                shift = max(mp.mpf(0), r_ - q_) if theta > 0 else 0

                def F(a):
                    b1, b2 = _positive_roots(a + shift, *law)
                    eta = law[4]
                    c1 = (eta - b1) / eta * b2 / (b2 - b1)
                    c2 = (b2 - eta) / eta * b1 / (b2 - b1)
                    return (c1 * mp.exp(-(b1 - theta) * k) / (b1 - theta)
                            + c2 * mp.exp(-(b2 - theta) * k) / (b2 - theta)) / (a + shift)
                return mp.exp(shift * T_) * mp.invertlaplace(F, T_, method="dehoog")

            D, carried = mp.exp(-r_ * T_), mp.exp(-q_ * T_)
            if K is None:
                if kind == "call":
                    return S_ * carried - D * S_ * (1 - H(-1, 0, down))
                return D * S_ * (1 + H(1, 0, up)) - S_ * carried
            K_ = mp.mpf(float(K))
            if kind == "call":
                return D * S_ * H(1, mp.log(K_ / S_), up) if K_ >= S_ else D * (S_ * (1 + H(1, 0, up)) - K_)
            return D * S_ * H(-1, mp.log(S_ / K_), down) if K_ <= S_ else D * (K_ - S_ * (1 - H(-1, 0, down)))

    low, high = at(digits), at(digits + 10)
    if abs(low - high) > mp.mpf(10) ** (-12):
        raise ArithmeticError(f"the reference did not settle: {low} against {high}")
    return float(high)


def _all_roots(alpha, mu, sigma, lam, p, eta1, eta2):
    c = lam + alpha
    half = sigma * sigma / 2
    coefficients = [-half, half * (eta1 - eta2) - mu, c + mu * (eta1 - eta2) + half * eta1 * eta2,
                    mu * eta1 * eta2 - c * (eta1 - eta2) + lam * (p * eta1 - (1 - p) * eta2), -alpha * eta1 * eta2]
    return sorted(mp.polyroots(coefficients, maxsteps=400, extraprec=4 * mp.mp.prec), key=lambda z: -mp.re(z))


def _payoff_integral(components, x, sign, S, K, call):
    """sum over components (coef, rate, positive side) of the integral of coef exp(rate z)
    times the payoff of S exp(sign (x + z)), each piece written out directly."""
    k = mp.log(K / S)
    edge = k - x if sign > 0 else -k - x
    total = 0
    for coef, rate, positive in components:
        lo, hi = (mp.mpf(0), mp.inf) if positive else (-mp.inf, mp.mpf(0))
        if (sign > 0) == call:
            lo = max(lo, edge)
        else:
            hi = min(hi, edge)
        if not hi > lo:
            continue

        def integral(c):   # integral of exp(c z) over [lo, hi]
            top = 0 if hi == mp.inf else mp.exp(c * hi)
            bottom = 0 if lo == -mp.inf else mp.exp(c * lo)
            return (top - bottom) / c
        value = S * mp.exp(sign * x) * integral(rate + sign) - K * integral(rate)
        total += coef * (value if call else -value)
    return total


def barrier(kind, barrier_kind, S, K, H, T, r, sigma, lam, p, eta1, eta2, q=0.0, digits=30):
    """Barrier prices: the knock-in's transform (creeping and overshooting parts of the first
    passage, the log-spot's law at an exponential time by partial fractions over the four
    roots, the overshoot convolved in) inverted by de Hoog's algorithm; the knock-out from the
    European computed the same way with b = 0."""
    def at(dps):
        with mp.workdps(dps):
            S_, K_, H_, T_, r_, q_, s_, l_, p_, e1, e2 = (mp.mpf(float(x)) for x in (S, K, H, T, r, q, sigma, lam, p,
                                                                                      eta1, eta2))
            zeta = p_ * e1 / (e1 - 1) + (1 - p_) * e2 / (e2 + 1) - 1
            mu = r_ - q_ - s_ * s_ / 2 - l_ * zeta
            up = barrier_kind.startswith("up")
            law = (mu, s_, l_, p_, e1, e2) if up else (-mu, s_, l_, 1 - p_, e2, e1)
            sign = 1 if up else -1
            shift = max(mp.mpf(0), r_ - q_)
            call = kind == "call"
            eta = law[4]

            def knock_in(b):
                def F(a):
                    alpha = a + shift
                    rho = _all_roots(alpha, *law)
                    half = law[1] ** 2 / 2

                    def w(i):
                        prod = half
                        for j in range(4):
                            if j != i:
                                prod *= rho[i] - rho[j]
                        return alpha * (law[4] - rho[i]) * (law[5] + rho[i]) / prod
                    P = [-w(0), -w(1)]
                    N = [w(2), w(3)]
                    Wb = [P[i] * eta / (eta - rho[i]) for i in range(2)]
                    V = [N[j] * eta / (-rho[2 + j] + eta) for j in range(2)]
                    # Densities: P_i exp(-beta_i z) for z > 0, N_j exp(gamma_j z) for z < 0
                    # (beta_i = rho[i], gamma_j = -rho[2 + j]).
                    Z = [(P[0], -rho[0], True), (P[1], -rho[1], True), (N[0], -rho[2], False), (N[1], -rho[3], False)]
                    OZ = [(Wb[0], -rho[0], True), (Wb[1], -rho[1], True), (sum(V) - sum(Wb), -eta, True),
                          (V[0], -rho[2], False), (V[1], -rho[3], False)]
                    b1, b2 = rho[0], rho[1]
                    creep = ((eta - b1) * mp.exp(-b * b1) + (b2 - eta) * mp.exp(-b * b2)) / (b2 - b1)
                    jump = (eta - b1) * (b2 - eta) / (eta * (b2 - b1)) * (mp.exp(-b * b1) - mp.exp(-b * b2))
                    return (creep * _payoff_integral(Z, b, sign, S_, K_, call)
                            + jump * _payoff_integral(OZ, b, sign, S_, K_, call)) / alpha
                return mp.exp(-r_ * T_) * mp.exp(shift * T_) * mp.invertlaplace(F, T_, method="dehoog")

            inside = knock_in(abs(mp.log(H_ / S_)))
            return inside if barrier_kind.endswith("in") else knock_in(mp.mpf(0)) - inside

    low, high = at(digits), at(digits + 10)
    if abs(low - high) > mp.mpf(10) ** (-11):
        raise ArithmeticError(f"the reference did not settle: {low} against {high}")
    return float(high)

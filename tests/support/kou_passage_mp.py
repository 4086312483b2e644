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

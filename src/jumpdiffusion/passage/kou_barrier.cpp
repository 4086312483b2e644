#include "kou_barrier.h"

#include <cmath>
#include <limits>

namespace passage {

namespace {

// Where a payoff pays, in z, for the spot S exp(sign (x + z)) at T: above or below `edge`.
struct Region {
    double edge;        // k - x (sign +1) or -k - x (sign -1), k = log(K / S)
    bool above;         // the payoff lives above the edge
    double shifted;     // exp(sign edge)
    double spot, strike;  // S exp(sign x) and K, signed: (spot e^(sign z) - strike) is the payoff
};

// The payoff against one component coef exp(rate z) of a density on z > 0 (positive) or
// z < 0: integrals of exponentials over half-lines and intervals in closed form, each
// needing at most exp(rate edge) (phi where an interval is short: no cancellation).
// Inlined at its five calls: passed by value, its complex arguments went through the stack
// (a store-forwarding stall on entry that took two fifths of its time).
[[gnu::always_inline]] inline Complex against(Complex coef, Complex rate, bool positive, const Region &g, double sign) {
    const double e = g.edge;
    const Complex c = rate + sign;  // the spot's exponent
    Complex spot = 0.0, strike = 0.0;
    if (positive) {       // z in (0, inf)
        if (g.above) {    // (max(0, e), inf)
            if (e <= 0.0) {
                spot = -divide(1.0, c);
                strike = -divide(1.0, rate);
            } else {
                const Complex E = std::exp(rate * e);
                spot = -divide(E * g.shifted, c);
                strike = -divide(E, rate);
            }
        } else if (e > 0.0) {  // (0, e)
            const Complex E = std::exp(rate * e);
            spot = e * phi(c * e, E * g.shifted);
            strike = e * phi(rate * e, E);
        }
    } else {              // z in (-inf, 0)
        if (g.above) {
            if (e < 0.0) {  // (e, 0)
                const Complex E = std::exp(rate * e);
                spot = -e * phi(c * e, E * g.shifted);
                strike = -e * phi(rate * e, E);
            }
        } else if (e >= 0.0) {  // (-inf, 0)
            spot = divide(1.0, c);
            strike = divide(1.0, rate);
        } else {            // (-inf, e)
            const Complex E = std::exp(rate * e);
            spot = divide(E * g.shifted, c);
            strike = divide(E, rate);
        }
    }
    return coef * (g.spot * spot - g.strike * strike);
}

}  // namespace

UpKnockIn::UpKnockIn(const KouLaw &law, double T, double A, double shift, double sign, EulerRule rule)
    : eta1_(law.eta1), sign_(sign), terms_(rule.terms()) {
    scale_ = std::exp(0.5 * A + shift * T) / T;
    aliasing_ = std::exp(-A - 2.0 * shift * T);
    const double half = 0.5 * law.sigma * law.sigma, e1 = law.eta1, e2 = law.eta2;
    Complex roots[4] = {}, last[4] = {}, before[4] = {}, guess[4] = {};
    for (int k = 0; k < terms_; ++k) {
        const Complex alpha = euler_node(A, T, k) + shift;
        next_guess(k, 4, roots, last, before, guess);
        if (!kou_roots(alpha, law, roots, k > 0 ? guess : nullptr)) {
            ok_ = false;
            return;
        }
        // roots: two with Re > 0 (the betas), then two with Re < 0 (minus the gammas).
        auto product = [&](int i) {
            Complex prod = half;
            for (int l = 0; l < 4; ++l) {
                if (l != i) prod *= roots[i] - roots[l];
            }
            return prod;
        };
        Complex W0 = 0.0;
        for (int i = 0; i < 2; ++i) {
            const Complex b = roots[i], base = divide(alpha * (e2 + b), product(i));
            beta_[k][i] = b;
            P_[k][i] = -(e1 - b) * base;
            W_[k][i] = -e1 * base;  // P_i eta1 / (eta1 - beta_i)
            W0 -= W_[k][i];
        }
        for (int j = 0; j < 2; ++j) {
            const Complex rho = roots[2 + j];  // -gamma_j
            gamma_[k][j] = -rho;
            N_[k][j] = divide(alpha * (e1 - rho) * (e2 + rho), product(2 + j));
            V_[k][j] = divide(N_[k][j] * e1, -rho + e1);
            W0 += V_[k][j];
        }
        W_[k][2] = W0;
        inverse_[k] = divide(1.0, alpha);
    }
    euler_weights(rule, weight_, shorter_);
}

Inverse UpKnockIn::value(double b, double S, double K, bool call) const {
    const double k = std::log(K / S), edge = sign_ > 0.0 ? k - b : -k - b;
    const double payer = call ? 1.0 : -1.0;
    const Region g{edge, (sign_ > 0.0) == call, std::exp(sign_ * edge), payer * S * std::exp(sign_ * b), payer * K};
    double sum = 0.0, shorter = 0.0;
    for (int j = 0; j < terms_; ++j) {
        // The passage's two roots ordered so that Re(b2 - b1) >= 0: exp(z) then stays at most 1
        // (in the other order it overflowed where b (beta2 - beta1) > 709, a far level beside
        // a huge jump rate, and the value was NaN).
        const bool ordered = beta_[j][0].real() <= beta_[j][1].real();
        const Complex b1 = beta_[j][ordered ? 0 : 1], b2 = beta_[j][ordered ? 1 : 0];
        const Complex z = -b * (b2 - b1), E1 = std::exp(-b * b1), ratio = std::exp(z), bphi = b * phi(z, ratio);
        const Complex creep = E1 * (ratio + (eta1_ - b1) * bphi);
        const Complex jump = (eta1_ - b1) * (b2 - eta1_) / eta1_ * E1 * bphi;
        Complex atLevel = 0.0, afterJump = 0.0;
        for (int i = 0; i < 2; ++i) {
            // The positive side's components share exp(-beta_i edge) between the two densities.
            const Complex one = against(1.0, -beta_[j][i], true, g, sign_);
            atLevel += P_[j][i] * one;
            afterJump += W_[j][i] * one;
            const Complex other = against(1.0, gamma_[j][i], false, g, sign_);
            atLevel += N_[j][i] * other;
            afterJump += V_[j][i] * other;
        }
        afterJump += against(W_[j][2], -eta1_, true, g, sign_);
        const double term = ((creep * atLevel + jump * afterJump) * inverse_[j]).real();
        sum += weight_[j] * term;
        shorter += shorter_[j] * term;
    }
    return {scale_ * sum, scale_ * shorter};
}

}  // namespace passage

#include "kou_barrier.h"

#include <cmath>
#include <limits>

namespace passage {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// integral of exp(c z) over [lo, hi] (lo may be -inf with Re c > 0, hi +inf with Re c < 0).
Complex exponential_integral(Complex c, double lo, double hi) {
    if (!(hi > lo)) return 0.0;
    if (lo == -kInf) return std::exp(c * hi) / c;
    if (hi == kInf) return -std::exp(c * lo) / c;
    const Complex z = c * (hi - lo);
    return std::exp(c * lo) * (hi - lo) * phi(z, std::exp(z));
}

// The payoff against one component coef exp(rate z) of a density on [lo, hi]: the spot at T
// is S exp(sign (x + z)); a call pays where sign (x + z) > k, a put where below.
Complex against(Complex coef, Complex rate, double lo, double hi, double x, double sign, double S, double K,
                bool call) {
    const double k = std::log(K / S);
    // sign (x + z) > k  <=>  z > k - x (sign +1) or z < -k - x (sign -1).
    const double edge = sign > 0.0 ? k - x : -k - x;
    const bool above = (sign > 0.0) == call;  // the payoff lives above the edge
    const double from = above ? std::fmax(lo, edge) : lo, to = above ? hi : std::fmin(hi, edge);
    const Complex spot = S * std::exp(sign * x) * exponential_integral(rate + sign, from, to);
    const Complex strike = K * exponential_integral(rate, from, to);
    return coef * (call ? spot - strike : strike - spot);
}

}  // namespace

UpKnockIn::UpKnockIn(const KouLaw &law, double T, double A, double shift, double sign)
    : eta1_(law.eta1), sign_(sign) {
    scale_ = std::exp(0.5 * A + shift * T) / T;
    const double half = 0.5 * law.sigma * law.sigma, e1 = law.eta1, e2 = law.eta2;
    Complex roots[4];
    const Complex *guess = nullptr;
    for (int k = 0; k < kEulerTerms; ++k) {
        const Complex alpha = euler_node(A, T, k) + shift;
        if (!kou_roots(alpha, law, roots, guess)) {
            ok_ = false;
            return;
        }
        guess = roots;
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
            const Complex b = roots[i], base = alpha * (e2 + b) / product(i);
            beta_[k][i] = b;
            P_[k][i] = -(e1 - b) * base;
            W_[k][i] = -e1 * base;  // P_i eta1 / (eta1 - beta_i)
            W0 -= W_[k][i];
        }
        for (int j = 0; j < 2; ++j) {
            const Complex rho = roots[2 + j];  // -gamma_j
            gamma_[k][j] = -rho;
            N_[k][j] = alpha * (e1 - rho) * (e2 + rho) / product(2 + j);
            V_[k][j] = N_[k][j] * e1 / (-rho + e1);
            W0 += V_[k][j];
        }
        W_[k][2] = W0;
        inverse_[k] = 1.0 / alpha;
        weight_[k] = euler_weight(k);
    }
}

double UpKnockIn::value(double b, double S, double K, bool call) const {
    double sum = 0.0;
    for (int k = 0; k < kEulerTerms; ++k) {
        const Complex b1 = beta_[k][0], b2 = beta_[k][1];
        const Complex z = -b * (b2 - b1), E1 = std::exp(-b * b1), ratio = std::exp(z), bphi = b * phi(z, ratio);
        const Complex creep = E1 * (ratio + (eta1_ - b1) * bphi);
        const Complex jump = (eta1_ - b1) * (b2 - eta1_) / eta1_ * E1 * bphi;
        Complex atLevel = 0.0, afterJump = 0.0;
        for (int i = 0; i < 2; ++i) {
            atLevel += against(P_[k][i], -beta_[k][i], 0.0, kInf, b, sign_, S, K, call);
            afterJump += against(W_[k][i], -beta_[k][i], 0.0, kInf, b, sign_, S, K, call);
        }
        afterJump += against(W_[k][2], -eta1_, 0.0, kInf, b, sign_, S, K, call);
        for (int j = 0; j < 2; ++j) {
            atLevel += against(N_[k][j], gamma_[k][j], -kInf, 0.0, b, sign_, S, K, call);
            afterJump += against(V_[k][j], gamma_[k][j], -kInf, 0.0, b, sign_, S, K, call);
        }
        sum += weight_[k] * ((creep * atLevel + jump * afterJump) * inverse_[k]).real();
    }
    return scale_ * sum;
}

}  // namespace passage

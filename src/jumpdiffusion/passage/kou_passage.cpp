#include "kou_passage.h"

#include <algorithm>
#include <cmath>

namespace passage {

namespace {

// sum_{i >= j} binom(m, i) / 2^m: the share of the averaged partial sums that take term
// n + j.
double tail_share(int j, int m) {
    double share = 0.0, c = 1.0;  // c = binom(m, i)
    for (int i = 0; i <= m; ++i) {
        if (i >= j) share += c;
        c = c * (m - i) / (i + 1);
    }
    return std::ldexp(share, -m);
}

}  // namespace

double euler_weight(int k, EulerRule rule) {
    if (k >= rule.terms()) return 0.0;
    const double sign = k % 2 == 0 ? 1.0 : -1.0;
    const double first = k == 0 ? 0.5 : 1.0;
    return sign * first * (k <= rule.n ? 1.0 : tail_share(k - rule.n, rule.m));
}

namespace {

struct WeightTable {
    double weight[kMaxEulerTerms] = {}, shorter[kMaxEulerTerms] = {};
};

WeightTable table_of(EulerRule rule) {
    WeightTable t;
    for (int k = 0; k < rule.terms() && k < kMaxEulerTerms; ++k) {
        t.weight[k] = euler_weight(k, rule);
        t.shorter[k] = euler_weight(k, EulerRule{rule.n - 1, rule.m});
    }
    return t;
}

}  // namespace

void euler_weights(EulerRule rule, double *weight, double *shorter) {
    // The rules the engines use, formed once (each weight sums up to m binomial terms).
    static const WeightTable tables[4] = {table_of(kStandard.rule), table_of(kStandard.coarse), table_of(kFine.rule),
                                          table_of(kFine.coarse)};
    static const EulerRule rules[4] = {kStandard.rule, kStandard.coarse, kFine.rule, kFine.coarse};
    const int terms = rule.terms();
    for (int i = 0; i < 4; ++i) {
        if (rules[i].n == rule.n && rules[i].m == rule.m) {
            std::copy(tables[i].weight, tables[i].weight + terms, weight);
            std::copy(tables[i].shorter, tables[i].shorter + terms, shorter);
            return;
        }
    }
    const WeightTable t = table_of(rule);
    std::copy(t.weight, t.weight + terms, weight);
    std::copy(t.shorter, t.shorter + terms, shorter);
}

Complex euler_node(double A, double T, int k) { return Complex(A / (2.0 * T), kPi * k / T); }

UpPassage::UpPassage(const KouLaw &law, double T, double rate, double A, double shift, EulerRule rule)
    : eta1_(law.eta1), terms_(rule.terms()) {
    const double kappa = std::fmax(std::fmax(-rate, 0.0), shift);
    scale_ = std::exp(0.5 * A + kappa * T) / T;
    aliasing_ = std::exp(-A - 2.0 * kappa * T);
    Complex roots[2] = {}, last[2] = {}, before[2] = {}, guess[2] = {};
    for (int k = 0; k < terms_; ++k) {
        const Complex alpha = euler_node(A, T, k) + kappa;
        // Each node's roots by Newton's method from the last nodes' extrapolated, the first's
        // from scratch.
        next_guess(k, 2, roots, last, before, guess);
        if (!kou_positive_roots(alpha + rate, law, roots, k > 0 ? guess : nullptr)) {
            ok_ = false;
            return;
        }
        const bool ordered = roots[0].real() <= roots[1].real();
        beta1_[k] = ordered ? roots[0] : roots[1];
        beta2_[k] = ordered ? roots[1] : roots[0];
        inverse_[k] = divide(1.0, alpha);
    }
    euler_weights(rule, weight_, shorter_);
}

Inverse UpPassage::value(double b) const {
    double sum = 0.0, shorter = 0.0;
    for (int k = 0; k < terms_; ++k) {
        const Complex b1 = beta1_[k], b2 = beta2_[k];
        const Complex z = -b * (b2 - b1), near = std::exp(-b * b1), ratio = std::exp(z);  // exp(-b beta2) / near
        const Complex transform = near * ratio + near * (b * phi(z, ratio)) * (b2 * (1.0 - b1 / eta1_));
        const double term = (transform * inverse_[k]).real();
        sum += weight_[k] * term;
        shorter += shorter_[k] * term;
    }
    return {scale_ * sum, scale_ * shorter};
}

Inverse UpPassage::moment(double theta, double k) const {
    double sum = 0.0, shorter = 0.0;
    for (int j = 0; j < terms_; ++j) {
        const Complex b1 = beta1_[j], b2 = beta2_[j];
        const Complex z = -k * (b2 - b1), g1 = std::exp(-k * b1), ratio = std::exp(z), g2 = g1 * ratio;
        const Complex dg = -k * g1 * phi(z, ratio);  // (g1 - g2) / (b1 - b2), g = exp(-k x)
        // (g(x) / (x - s)) divided at b1, b2.
        auto divided = [&](double s) { return ((b2 - s) * dg - g2) / ((b1 - s) * (b2 - s)); };
        const Complex H = -(b1 * b2 / eta1_) * std::exp(theta * k) *
                          (-(eta1_ / theta) * divided(0.0) + ((eta1_ - theta) / theta) * divided(theta));
        const double term = (H * inverse_[j]).real();
        sum += weight_[j] * term;
        shorter += shorter_[j] * term;
    }
    return {scale_ * sum, scale_ * shorter};
}

}  // namespace passage

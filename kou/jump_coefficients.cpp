#include "jump_coefficients.h"

#include <cmath>

namespace kou {

JumpCoefficients::JumpCoefficients(double p, double eta1, double eta2, std::int32_t last) {
    const double q = 1.0 - p;
    const double r1 = eta1 / (eta1 + eta2);
    const double r2 = eta2 / (eta1 + eta2);
    for (std::int32_t m = 1; m <= last + 1; ++m) {
        tgamma_[m] = std::tgamma(static_cast<double>(m));
    }
    tgamma_[0] = 0.0;  // never read: tgamma is only taken of x + 1 with x >= 0
    for (std::int32_t e = 0; e <= last; ++e) {
        const double x = static_cast<double>(e);
        powP_[e] = std::pow(p, x);
        powQ_[e] = std::pow(q, x);
        powR1_[e] = std::pow(r1, x);
        powR2_[e] = std::pow(r2, x);
    }
}

// For k < i: sum over j = k .. i - 1, ascending from 0.0, of
//   binom(i, j) binom(i - k - 1, j - k) r1^(j - k) r2^(i - j) (p^j q^(i - j)),
// multiplied left to right with the two probability powers paired first.
double JumpCoefficients::P(std::int32_t i, std::int32_t k) const {
    if (k == i) {
        return powP_[i];
    }
    double sum = 0.0;
    for (std::int32_t j = k; j < i; ++j) {
        sum = sum + binom(i, j) * binom(i - k - 1, j - k) * powR1_[j - k] * powR2_[i - j] *
                        (powP_[j] * powQ_[i - j]);
    }
    return sum;
}

// The mirror image: r1 and r2 trade exponents, and so do p and q.
double JumpCoefficients::Q(std::int32_t i, std::int32_t k) const {
    if (k == i) {
        return powQ_[i];
    }
    double sum = 0.0;
    for (std::int32_t j = k; j < i; ++j) {
        sum = sum + binom(i, j) * binom(i - k - 1, j - k) * powR1_[i - j] * powR2_[j - k] *
                        (powQ_[j] * powP_[i - j]);
    }
    return sum;
}

}  // namespace kou

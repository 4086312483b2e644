#include "jump_coefficients.h"

#include <cmath>

namespace kou {

namespace {

struct IntegerGammaTable {
    double value[kMaxJumps + 2];
    IntegerGammaTable() {
        value[0] = 0.0;  // never read
        for (std::int32_t m = 1; m <= kMaxJumps + 1; ++m) {
            value[m] = std::tgamma(static_cast<double>(m));
        }
    }
};

}  // namespace

const double *tgamma_of_integers() {
    static const IntegerGammaTable table;  // thread-safe one-time initialisation
    return table.value;
}

JumpCoefficients::JumpCoefficients(double p, double eta1, double eta2, std::int32_t last) {
    const double q = 1.0 - p;
    const double r1 = eta1 / (eta1 + eta2);
    const double r2 = eta2 / (eta1 + eta2);
    for (std::int32_t e = 0; e <= last; ++e) {
        const double x = static_cast<double>(e);
        powP_[e] = std::pow(p, x);
        powQ_[e] = std::pow(q, x);
        powR1_[e] = std::pow(r1, x);
        powR2_[e] = std::pow(r2, x);
    }
}

// P(i, i) = p^i and Q(i, i) = q^i. For k < i each is a sum over j = k .. i - 1,
// ascending from 0.0, of
//   P: binom(i, j) binom(i - k - 1, j - k) r1^(j - k) r2^(i - j) (p^j q^(i - j)),
//   Q: binom(i, j) binom(i - k - 1, j - k) r1^(i - j) r2^(j - k) (q^j p^(i - j)),
// each multiplied left to right. The two share their first product and, for one i,
// binom(i, j) and the paired probability powers, so those are formed once.
void JumpCoefficients::of_jump_count(std::int32_t i, double *P, double *Q) const {
    const double *tg = tgamma_of_integers();
    double binomI[kMaxJumps + 1];
    double pq[kMaxJumps + 1];  // p^j q^(i - j)
    double qp[kMaxJumps + 1];  // q^j p^(i - j)
    for (std::int32_t j = 1; j < i; ++j) {
        binomI[j] = binom(tg, i, j);
        pq[j] = powP_[j] * powQ_[i - j];
        qp[j] = powQ_[j] * powP_[i - j];
    }
    for (std::int32_t k = 1; k < i; ++k) {
        double sumP = 0.0;
        double sumQ = 0.0;
        for (std::int32_t j = k; j < i; ++j) {
            const double b = binomI[j] * binom(tg, i - k - 1, j - k);
            sumP = sumP + b * powR1_[j - k] * powR2_[i - j] * pq[j];
            sumQ = sumQ + b * powR1_[i - j] * powR2_[j - k] * qp[j];
        }
        P[k] = sumP;
        Q[k] = sumQ;
    }
    P[i] = powP_[i];
    Q[i] = powQ_[i];
}

}  // namespace kou

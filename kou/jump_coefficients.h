// Kou's P and Q coefficients: the probability that i independent double-exponential
// jumps sum like k upward (P) or k downward (Q) exponential sizes.
#pragma once

#include <cstdint>

#include "options.h"

namespace kou {

// Tables of what every coefficient of one Upsilon evaluation shares, for jump counts
// up to `last` <= kMaxJumps: tgamma of the integers 1 .. last + 1 and the powers
// 0 .. last of p, q = 1 - p, r1 = eta1 / (eta1 + eta2) and r2 = eta2 / (eta1 + eta2).
// Each entry is the library call the coefficient formulas make, made once.
class JumpCoefficients {
public:
    JumpCoefficients(double p, double eta1, double eta2, std::int32_t last);

    // tgamma(m) for 1 <= m <= last + 1.
    double tgamma_of(std::int32_t m) const { return tgamma_[m]; }

    // binom(x, y) = tgamma(x + 1) / (tgamma(y + 1) tgamma(x - y + 1)), 0 <= y <= x <= last.
    double binom(std::int32_t x, std::int32_t y) const {
        return tgamma_[x + 1] / (tgamma_[y + 1] * tgamma_[x - y + 1]);
    }

    // 1 <= k <= i <= last.
    double P(std::int32_t i, std::int32_t k) const;
    double Q(std::int32_t i, std::int32_t k) const;

private:
    double tgamma_[kMaxJumps + 2];
    double powP_[kMaxJumps + 1], powQ_[kMaxJumps + 1];
    double powR1_[kMaxJumps + 1], powR2_[kMaxJumps + 1];
};

}  // namespace kou

// Kou's P and Q coefficients: the probability that i independent double-exponential
// jumps sum like k upward (P) or k downward (Q) exponential sizes (S. G. Kou, "A
// jump-diffusion model for option pricing", Management Science 48(8) (2002), Appendix B:
// the decomposition of a sum of double exponentials, 1 <= k <= i, with q = 1 - p and
// r1 = eta1 / (eta1 + eta2), r2 = eta2 / (eta1 + eta2)).
#pragma once

#include <cstdint>

#include "options.h"

namespace kou {

// tgamma(m) at m = 0, 1, ..., kLastFiniteFactorial + 1 (entry 0 is never read), each the
// library's value, computed once per process: the factorials that the Poisson weights
// and the binomial coefficients divide by.
const double *tgamma_of_integers();

// binom(x, y) = tgamma(x + 1) / (tgamma(y + 1) tgamma(x - y + 1)), 0 <= y <= x <= kLastFiniteFactorial,
// with tg = tgamma_of_integers().
inline double binom(const double *tg, std::int32_t x, std::int32_t y) {
    return tg[x + 1] / (tg[y + 1] * tg[x - y + 1]);
}

// Every binom(x, y) with 0 <= y <= x <= kLastFiniteFactorial, formed once per process by the same
// operations on the same operands as binom() (so the same values), stored by the
// difference d = x - y: row d holds binom(d + y, y) for y = 0 .. kLastFiniteFactorial - d, so that a
// run of coefficients with one x - y is contiguous. Read-only after its initialisation.
constexpr std::int32_t kBinomialRow = kLastFiniteFactorial + 1;
const double *binomial_table();  // binom(d + y, y) at [d * kBinomialRow + y]; [-4 .. -1] hold 0.0

// Tables of what every coefficient of one Upsilon evaluation shares, for jump counts
// up to `last` <= kLastFiniteFactorial: the powers 0 .. last of p and q = 1 - p, and
// 0 .. last - 1 of r1 = eta1 / (eta1 + eta2) and r2 = eta2 / (eta1 + eta2). Each entry is
// the pow call that the coefficient formulas make, made once.
class JumpCoefficients {
public:
    JumpCoefficients(double p, double eta1, double eta2, std::int32_t last);

    // P(i, 1 .. i) into P[1 .. i] and Q(i, 1 .. i) into Q[1 .. i], 1 <= i <= last (with a
    // stride: P(i, k) into P[k * stride]). Bit for bit the values of the formulas, each sum
    // added in ascending j.
    void of_jump_count(std::int32_t i, double *P, double *Q, std::int32_t stride = 1) const;

    // The same for the kJumpLanes jump counts i = first + L, L < kJumpLanes, at once
    // (1 <= first, first + kJumpLanes - 1 <= last): P(first + L, k) into P[k * kJumpLanes + L]
    // for k = 1 .. first + L, likewise Q (the other entries of rows 1 .. first + 3 are
    // left as scratch). The same doubles as of_jump_count.
    static constexpr std::int32_t kJumpLanes = 4;
    void of_jump_counts(std::int32_t first, double *P, double *Q) const;

private:
    // Exponent e at [kBefore + e]. Four entries (zero) before exponent 0 let a vector read
    // start before the first exponent a row needs.
    static constexpr std::int32_t kBefore = 4;
    static constexpr std::int32_t kPowers = kBefore + kLastFiniteFactorial + 1;
    double powP_[kPowers], powQ_[kPowers];
    double powR1_[kPowers], powR2_[kPowers];
};

}  // namespace kou

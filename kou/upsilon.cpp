#include <cmath>
#include <limits>

#include "jump_coefficients.h"
#include "options.h"
#include "special_functions.h"

namespace kou {

// Kou's closed-form series
//   Upsilon = pi_0 Phi((muT - a) / (sigma sqrt T)) + (A2 J2 + A1 J1),
// with J1 (paths whose jumps sum upward) and J2 (downward) summed over the jump
// counts i = 1..n, each weighted by the Poisson probability pi_i of i jumps.
//
// Every quantity the terms share is computed once, into tables on the stack: the
// I_n values of each order (they depend on the order k but not on the jump count i)
// and the powers of p, q, r1, r2, lam T, eta1 s and eta2 s by exponent; tgamma of the
// integers is tabled once per process. Each table entry is the library call, with the
// same operands, that the term-by-term evaluation would make, and every sum and
// product keeps its order and grouping, so the result is the same double. The tables
// take about 20 KiB of stack at n = 170.
double Option::Upsilon(double mu, double sigma, double lam, double p, double eta1,
                       double eta2, double a, double T, std::int32_t n) const {
    // Every n >= 171 gives NaN, whatever the other arguments. At i = 171,
    // tgamma(172) = +inf, so for k < i every binomial coefficient binom(171, j) of
    // P(171, k) and Q(171, k) is +inf (or NaN, when its denominator overflows too):
    // each term of their j-sums, and so each coefficient, is +-inf or NaN. Each
    // sum1 / sum2 of that i therefore holds an infinite or NaN term (an infinite
    // coefficient times a zero or NaN factor is NaN), so sum1 and sum2 are +-inf or
    // NaN. The Poisson weight pi_171 = (...) / tgamma(172) is +-0.0 or NaN. Their
    // product sum * pi_171 is NaN, which J1, J2 and the result carry to the end.
    if (n > kMaxJumps) {
        return std::numeric_limits<double>::quiet_NaN();
    }

    const double pi0 = std::exp((-lam) * T);
    const double muT = mu * T;
    double J1 = 0.0;
    double J2 = 0.0;

    if (n > 0) {
        const double sqrtT = std::sqrt(T);
        const double s = sigma * sqrtT;
        const double c = a - muT;
        const double lamT = lam * T;
        const double eta1s = eta1 * s;
        const double eta2s = eta2 * s;

        double upward[kMaxOrders];    // I_n(k - 1, c, -eta1, -1 / s, -sigma eta1 sqrt T) at k - 1
        double downward[kMaxOrders];  // I_n(k - 1, c, eta2, 1 / s, -sigma eta2 sqrt T) at k - 1
        I_n_orders(n, c, -eta1, -1.0 / s, sqrtT * (eta1 * (-sigma)), upward);
        I_n_orders(n, c, eta2, 1.0 / s, sqrtT * ((-sigma) * eta2), downward);

        double powLamT[kMaxJumps + 1], powEta1s[kMaxJumps + 1], powEta2s[kMaxJumps + 1];
        for (std::int32_t e = 1; e <= n; ++e) {
            const double x = static_cast<double>(e);
            powLamT[e] = std::pow(lamT, x);
            powEta1s[e] = std::pow(eta1s, x);
            powEta2s[e] = std::pow(eta2s, x);
        }
        const JumpCoefficients coef(p, eta1, eta2, n);
        const double *tg = tgamma_of_integers();

        for (std::int32_t i = 1; i <= n; ++i) {
            const double pi_i = (pi0 * powLamT[i]) / tg[i + 1];
            double P[kMaxJumps + 1], Q[kMaxJumps + 1];
            coef.of_jump_count(i, P, Q);
            double sum1 = 0.0;
            double sum2 = 0.0;
            for (std::int32_t k = 1; k <= i; ++k) {
                sum1 = upward[k - 1] * (P[k] * powEta1s[k]) + sum1;
                sum2 = downward[k - 1] * (Q[k] * powEta2s[k]) + sum2;
            }
            J1 = sum1 * pi_i + J1;
            J2 = sum2 * pi_i + J2;
        }
    }

    // Formed for every n: with n <= 0 the products A1 * 0.0 and A2 * 0.0 still carry
    // a NaN when A1 or A2 is infinite.
    const double e1 = eta1 * sigma;
    const double e2 = eta2 * sigma;
    const double A1 = std::exp(e1 * e1 * T * 0.5) / (std::sqrt(6.283185307179586 * T) * sigma);
    const double A2 = std::exp(e2 * e2 * T * 0.5) / (std::sqrt(6.283185307179586 * T) * sigma);
    const double z = (-(a - muT)) / (std::sqrt(T) * sigma) / kSqrt2;
    return pi0 * (1.0 - std::erfc(z) * 0.5) + (A2 * J2 + A1 * J1);
}

}  // namespace kou

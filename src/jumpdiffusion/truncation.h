// The toolkit's default truncation: the fewest jump terms whose Poisson tail is negligible
// in double precision.
//
// Both series weigh the jump count i by pi_i = exp(-mu) mu^i / i! (mu = lam T, and for the
// Kou share-measure series zeta1 lam T), and each term's factor (a probability, or a
// Black-Scholes price at most S + K) is bounded; so the terms beyond n change the price by
// at most (S + K) P(N > n). The default n is the smallest with P(N > n) <= 2^-64 for the
// larger of the means, which moves a price by less than 2^-64 (S + K): below the last bit
// of any price not far out of the money. Kou's closed form ends at 170 (from 171 on every price is NaN). For n + 2 > mu, P(N > n) <= pi_(n+1) / (1 - mu / (n + 2)) (a geometric bound on
// the ratios of successive weights), which is what is tested.
#pragma once

#include <cmath>
#include <cstdint>

namespace jumpdiffusion {

// The search ends at n = 170, where the scalar series end (Kou's factorials): a mean
// whose tail beyond 170 is still above 2^-64 gets 170 where that tail is below 2^-45
// (some 3e-14 of S + K, within the toolkit's accuracy), and -1 otherwise: such a price is
// formed without truncation. At most 171 steps, whatever mu.
constexpr double kLastSearched = 170.0;

inline double poisson_default_terms(double mu) {
    if (!(mu > 0.0)) {
        return 0.0;
    }
    if (!(mu < kLastSearched)) {
        return -1.0;  // the answer exceeds mu itself
    }
    const double logMu = std::log(mu);
    const double threshold = -64.0 * std::log(2.0);
    double logNext = -mu + logMu;  // log pi_1
    for (double n = 0.0;; n += 1.0) {
        // logNext = log pi_(n+1)
        const double logTail = n + 2.0 > mu ? logNext - std::log1p(-mu / (n + 2.0)) : 0.0;
        if (logTail <= threshold) {
            return n;
        }
        if (n == kLastSearched) {
            return logTail <= -45.0 * std::log(2.0) ? n : -1.0;
        }
        logNext += logMu - std::log(n + 2.0);
    }
}

// Kou: E[e^Y] = 1 + zeta for a double-exponential log-jump Y, the factor by which the share
// measure's intensity exceeds lam.
inline double kou_jump_growth(double p, double eta1, double eta2) {
    return (1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0);
}

// Kou: the default n of both series, or -1 where it exceeds 170 (the price is then the
// untruncated one, by Fourier inversion).
inline std::int32_t kou_default_terms(double T, double lam, double p, double eta1, double eta2) {
    const double zeta1 = kou_jump_growth(p, eta1, eta2);
    const double mu = std::fmax(lam * T, zeta1 * lam * T);
    return static_cast<std::int32_t>(poisson_default_terms(mu));
}

// Merton: the default n, or +inf where it exceeds 170 (the series is then summed around its
// mode, as far as its tails matter).
inline double merton_default_terms(double T, double lam, double m, double s) {
    const double lamPrime = lam * std::exp(0.5 * (s * s) + m);  // lam (1 + k)
    const double n = poisson_default_terms(lamPrime * T);
    return n >= 0.0 ? n : HUGE_VAL;
}

}  // namespace jumpdiffusion

// The toolkit's default truncation: the fewest jump terms whose Poisson tail is negligible
// in double precision.
//
// Both series weigh the jump count i by pi_i = exp(-mu) mu^i / i! (mu = lam T, and for the
// Kou share-measure series zeta1 lam T), and each term's factor (a probability, or a
// Black-Scholes price at most S + K) is bounded; so the terms beyond n change the price by
// at most (S + K) P(N > n). The default n is the smallest with P(N > n) <= 2^-64 for the
// larger of the means, which moves a price by less than 2^-64 (S + K): below the last bit
// of any price not far out of the money. Kou caps it at 170 (from 171 on every price is
// NaN). For n + 2 > mu, P(N > n) <= pi_(n+1) / (1 - mu / (n + 2)) (a geometric bound on
// the ratios of successive weights), which is what is tested.
#pragma once

#include <cmath>
#include <cstdint>

namespace jumpdiffusion {

inline double poisson_default_terms(double mu, double cap) {
    if (!(mu > 0.0)) {
        return 0.0;
    }
    if (!(mu < 1e6)) {
        // Far beyond any Kou truncation; for Merton a normal bound of the tail, 12 standard
        // deviations above the mean.
        return std::fmin(cap, std::ceil(mu + 12.0 * std::sqrt(mu) + 50.0));
    }
    const double logMu = std::log(mu);
    const double threshold = -64.0 * std::log(2.0);
    double logNext = -mu + logMu;  // log pi_1
    for (double n = 0.0; n < cap; n += 1.0) {
        // logNext = log pi_(n+1)
        if (n + 2.0 > mu && logNext - std::log1p(-mu / (n + 2.0)) <= threshold) {
            return n;
        }
        logNext += logMu - std::log(n + 2.0);
    }
    return cap;
}

inline std::int32_t kou_default_terms(double T, double lam, double p, double eta1, double eta2) {
    const double zeta1 = (1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0);
    const double mu = std::fmax(lam * T, zeta1 * lam * T);
    return static_cast<std::int32_t>(poisson_default_terms(mu, 170.0));
}

inline double merton_default_terms(double T, double lam, double m, double s) {
    const double lamPrime = lam * std::exp(0.5 * (s * s) + m);  // lam (1 + k)
    return poisson_default_terms(lamPrime * T, 2147483647.0);
}

}  // namespace jumpdiffusion

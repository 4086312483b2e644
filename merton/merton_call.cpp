#include "merton_call.h"

#include "merton_tail.h"
#include "merton_terms.h"

#include <cmath>
#include <cstdint>
#include <limits>

using merton::kFirstInfiniteFactorial;
using merton::MertonTerms;

namespace {

constexpr std::int32_t kLastIndex = INT32_MAX;  // the largest value the term counter takes

}  // namespace

double MertonEuropeanCall::JDAnalyticalPrice(double S, double sigma, double r, double lam,
                                             double m, double s, double n) const {
    MertonTerms t;
    t.S = S;
    t.K = K_;
    t.T = T_;
    const double k = std::exp(0.5 * (s * s) + m) - 1.0;  // mean relative jump size
    const double a = 1.0 + k;
    t.L = (a * lam) * T_;                                // lambda' T
    t.r0 = r - k * lam;
    t.g = std::log(a) / T_;
    t.v = (s * s) / T_;
    t.sigma2 = sigma * sigma;

    if (!(n >= 0.0)) {
        return 0.0;  // negative or NaN truncation: no term at all
    }
    // The last term index: floor(n), capped at the largest 32-bit index.
    const std::int32_t last =
        n >= static_cast<double>(kLastIndex) ? kLastIndex : static_cast<std::int32_t>(n);

    // Shared by every term.
    t.expNegL = std::exp(-t.L);
    t.sqrtT = std::sqrt(T_);
    t.logSK = std::log(S / K_);

    // Terms 0..170 one by one, while i! is finite.
    const std::int32_t head = last < kFirstInfiniteFactorial ? last : kFirstInfiniteFactorial - 1;
    double sum = 0.0;
    double F = 1.0;  // i! as an ascending double product, F_1 = 1
    for (std::int32_t i = 0; i <= head; ++i) {
        const double x = static_cast<double>(i);
        double w = t.weight_numerator(x);
        if (i >= 2) {
            F = F * x;
            w = w / F;
        }
        sum = t.black_scholes(x) * w + sum;
    }
    if (last <= head || std::isnan(sum)) {
        return sum;
    }
    return merton::tail_has_nan(t, kFirstInfiniteFactorial, last) ? std::numeric_limits<double>::quiet_NaN()
                                                         : sum;
}

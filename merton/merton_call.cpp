#include "merton_call.h"

#include "merton_tail.h"
#include "merton_terms.h"

#include <cmath>
#include <cstdint>
#include <limits>

using merton::cdf_from_erfc;
using merton::erfc_argument;
using merton::MertonTerms;

namespace {

constexpr std::int32_t kLastIndex = INT32_MAX;  // the largest value the term counter takes
constexpr std::size_t kChunk = 32;              // strikes per pass of a strip's term

}  // namespace

double MertonEuropeanCall::JDAnalyticalPrice(double S, double sigma, double r, double lam,
                                             double m, double s, double n) const {
    double price = 0.0;
    double logSK = 0.0;
    merton::call_strip(&K_, T_, &S, 1, sigma, r, lam, m, s, n, &price, &logSK);
    return price;
}

namespace merton {

// The terms are summed for all strikes at once, jump count by jump count: what a term
// shares across strikes (sigma_i, r_i, the Poisson weight, the discount factor and the
// scaled drift) is formed once, and each strike's sum still adds its terms in ascending i
// with the same operations, so each price is the double the single-option loop gives.
void call_strip(const double *K, double T, const double *S, std::size_t count, double sigma,
                double r, double lam, double m, double s, double n, double *price,
                double *logSK) {
    MertonTerms t;
    t.T = T;
    const double k = std::exp(0.5 * (s * s) + m) - 1.0;  // mean relative jump size
    const double a = 1.0 + k;
    t.L = (a * lam) * T;                                 // lambda' T
    t.r0 = r - k * lam;
    t.g = std::log(a) / T;
    t.v = (s * s) / T;
    t.sigma2 = sigma * sigma;

    for (std::size_t j = 0; j < count; ++j) {
        price[j] = 0.0;
    }
    if (!(n >= 0.0)) {
        return;  // negative or NaN truncation: no term at all
    }
    // The last term index: floor(n), capped at the largest 32-bit index.
    const std::int32_t last =
        n >= static_cast<double>(kLastIndex) ? kLastIndex : static_cast<std::int32_t>(n);

    // Shared by every term.
    t.expNegL = std::exp(-t.L);
    t.sqrtT = std::sqrt(T);
    for (std::size_t j = 0; j < count; ++j) {
        logSK[j] = std::log(S[j] / K[j]);
    }

    // Terms 0..170 one by one, while i! is finite.
    const std::int32_t head = last <= kLastFiniteFactorial ? last : kLastFiniteFactorial;
    double F = 1.0;  // i! as an ascending double product, F_1 = 1
    for (std::int32_t i = 0; i <= head; ++i) {
        const double x = static_cast<double>(i);
        double w = t.weight_numerator(x);
        if (i >= 2) {
            F = F * x;
            w = w / F;
        }
        // What the strikes share of term i, then each strike's Black-Scholes call.
        const double sig_i = t.variance_root(x);
        const double r_i = t.drift(x);
        const double drift = t.scaled_drift(sig_i, r_i);
        const double D = std::exp(T * (-r_i));
        // Each strike's Black-Scholes call (MertonTerms::black_scholes_at) in three passes
        // over a chunk of strikes: the erfc arguments, the erfc calls, the prices. The
        // library calls then follow one another without waiting on the divisions.
        for (std::size_t j0 = 0; j0 < count; j0 += kChunk) {
            const std::size_t m = count - j0 < kChunk ? count - j0 : kChunk;
            double e1[kChunk], e2[kChunk];
            for (std::size_t j = 0; j < m; ++j) {
                const double d1 = t.d1_at(drift, sig_i, logSK[j0 + j]);
                e1[j] = erfc_argument(d1);
                e2[j] = erfc_argument(t.d2_at(d1, sig_i));
            }
            for (std::size_t j = 0; j < m; ++j) {
                e1[j] = std::erfc(e1[j]);
                e2[j] = std::erfc(e2[j]);
            }
            for (std::size_t j = 0; j < m; ++j) {
                const double call = MertonTerms::call_from(cdf_from_erfc(e1[j]), cdf_from_erfc(e2[j]),
                                                           D, S[j0 + j], K[j0 + j]);
                price[j0 + j] = call * w + price[j0 + j];
            }
        }
    }
    if (last <= head) {
        return;
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (std::isnan(price[j])) {
            continue;
        }
        t.S = S[j];
        t.K = K[j];
        t.logSK = logSK[j];
        if (tail_has_nan(t, kLastFiniteFactorial + 1, last)) {
            price[j] = std::numeric_limits<double>::quiet_NaN();
        }
    }
}

}  // namespace merton

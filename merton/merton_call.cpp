#include "merton_call.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr std::int32_t kLastIndex = INT32_MAX;  // the largest value the term counter takes

// Standard normal distribution function in the form used throughout:
// one minus half of erfc, the argument divided (not multiplied) by sqrt(2).
inline double normal_cdf(double x) { return 1.0 - std::erfc(x / kSqrt2) * 0.5; }

}  // namespace

double MertonEuropeanCall::JDAnalyticalPrice(double S, double sigma, double r, double lam,
                                             double m, double s, double n) const {
    const double T = T_;
    const double K = K_;

    const double k = std::exp(0.5 * (s * s) + m) - 1.0;  // mean relative jump size
    const double a = 1.0 + k;
    const double L = (a * lam) * T;                      // lambda' T
    const double r0 = r - k * lam;
    const double g = std::log(a) / T;
    const double v = (s * s) / T;
    const double sigma2 = sigma * sigma;

    if (!(n >= 0.0)) {
        return 0.0;  // negative or NaN truncation: no term at all
    }

    // Shared by every term.
    const double expNegL = std::exp(-L);
    const double sqrtT = std::sqrt(T);
    const double logSK = std::log(S / K);

    double sum = 0.0;
    double F = 1.0;  // i! as an ascending double product, F_1 = 1
    for (std::int32_t i = 0;; ++i) {
        const double x = static_cast<double>(i);
        const double sig_i = std::sqrt(v * x + sigma2);
        const double r_i = g * x + r0;

        double w = expNegL * std::pow(L, x);
        if (i >= 2) {
            F = F * x;
            w = w / F;
        }

        const double d1 = ((((sig_i * sig_i) * 0.5 + r_i) * T) + logSK) / sig_i / sqrtT;
        const double N1 = normal_cdf(d1);
        const double D = std::exp(T * (-r_i));
        const double d2 = d1 - sig_i * sqrtT;
        const double N2 = normal_cdf(d2);
        const double c = N1 * S - (K * D) * N2;
        sum = c * w + sum;

        // The next index must exist as a 32-bit integer and lie within the truncation.
        if (i == kLastIndex || !(n >= static_cast<double>(i + 1))) {
            break;
        }
    }
    return sum;
}

// Internal: the pieces of the Merton series' terms, shared by the price and the decision
// about its tail. Each piece performs the operations of the series in their stated order,
// as a function of x = i converted to double.
#pragma once

#include <cmath>
#include <limits>

#include "math_entries.h"
#include "numeric_constants.h"

namespace merton {

using numeric::kSqrt2;

// Standard normal distribution function in the form used throughout:
// one minus half of erfc, the argument divided (not multiplied) by sqrt(2).
inline double erfc_argument(double x) { return x / kSqrt2; }
inline double cdf_from_erfc(double e) { return 1.0 - e * 0.5; }
inline double normal_cdf(double x) { return cdf_from_erfc(std::erfc(erfc_argument(x))); }

struct MertonTerms {
    double S;        // spot
    double K;        // strike
    double T;        // maturity
    double sigma2;   // sigma * sigma, the diffusion variance rate
    double v;        // (s * s) / T, the variance rate each jump adds
    double g;        // log(1 + k) / T, the drift each jump adds
    double r0;       // r - k lam, the drift with no jump
    double L;        // (1 + k) lam T, the Poisson mean lambda' T
    double expNegL;  // exp(-L)
    double sqrtT;    // sqrt(T)
    double logSK;    // log(S / K)

    double variance_root(double x) const { return std::sqrt(v * x + sigma2); }  // sigma_i
    double drift(double x) const { return g * x + r0; }                          // r_i
    // Poisson weight before the division by i!: exp(-L) * L^i.
    double weight_numerator(double x) const { return expNegL * math_entries::pow(L, x); }

    // ((sigma_i^2 / 2 + r_i) T): the numerator of d1 before log(S / K) is added.
    double scaled_drift(double sig_i, double r_i) const {
        return ((sig_i * sig_i) * 0.5 + r_i) * T;
    }
    // Numerator of d1: ((sigma_i^2 / 2 + r_i) T) + log(S / K).
    double d1_numerator(double sig_i, double r_i) const { return scaled_drift(sig_i, r_i) + logSK; }

    // The Black-Scholes call with volatility sigma_i and rate r_i.
    double black_scholes(double x) const {
        const double sig_i = variance_root(x);
        const double r_i = drift(x);
        return black_scholes_at(scaled_drift(sig_i, r_i), sig_i, std::exp(T * (-r_i)), logSK, S, K);
    }

    // The same from the parts of term i that every strike shares: the scaled drift,
    // sigma_i and the discount factor D = exp(T (-r_i)); then one strike's log(S / K), S, K.
    double black_scholes_at(double drift, double sig_i, double D, double logSK_, double S_,
                            double K_) const {
        const double d1 = d1_at(drift, sig_i, logSK_);
        return call_from(normal_cdf(d1), normal_cdf(d2_at(d1, sig_i)), D, S_, K_);
    }
    double d1_at(double drift, double sig_i, double logSK_) const {
        return (drift + logSK_) / sig_i / sqrtT;
    }
    double d2_at(double d1, double sig_i) const { return d1 - sig_i * sqrtT; }
    static double call_from(double N1, double N2, double D, double S_, double K_) {
        return N1 * S_ - (K_ * D) * N2;
    }

    // Term i >= 171, where i! is +inf: the weight is +-0.0 or NaN, the term too.
    double infinite_factorial_term(double x) const {
        return black_scholes(x) * (weight_numerator(x) / std::numeric_limits<double>::infinity());
    }
};

}  // namespace merton

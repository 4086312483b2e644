#include "merton_call.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr std::int32_t kLastIndex = INT32_MAX;  // the largest value the term counter takes
constexpr std::int32_t kFirstInfiniteFactorial = 171;  // 171! overflows a double

// Standard normal distribution function in the form used throughout:
// one minus half of erfc, the argument divided (not multiplied) by sqrt(2).
inline double normal_cdf(double x) { return 1.0 - std::erfc(x / kSqrt2) * 0.5; }

// What every term of one price shares, and the pieces of term i as functions of
// x = i converted to double. Each piece performs the operations of the series in
// their stated order.
struct MertonTerms {
    double S, K, T, sigma2, v, g, r0, L;
    double expNegL, sqrtT, logSK;

    double variance_root(double x) const { return std::sqrt(v * x + sigma2); }  // sigma_i
    double drift(double x) const { return g * x + r0; }                          // r_i
    // Poisson weight before the division by i!: exp(-L) * L^i.
    double weight_numerator(double x) const { return expNegL * std::pow(L, x); }

    // Numerator of d1: ((sigma_i^2 / 2 + r_i) T) + log(S / K).
    double d1_numerator(double sig_i, double r_i) const {
        return (((sig_i * sig_i) * 0.5 + r_i) * T) + logSK;
    }

    // The Black-Scholes call with volatility sigma_i and rate r_i.
    double black_scholes(double x) const {
        const double sig_i = variance_root(x);
        const double r_i = drift(x);
        const double d1 = d1_numerator(sig_i, r_i) / sig_i / sqrtT;
        const double N1 = normal_cdf(d1);
        const double D = std::exp(T * (-r_i));
        const double d2 = d1 - sig_i * sqrtT;
        const double N2 = normal_cdf(d2);
        return N1 * S - (K * D) * N2;
    }

    // Term i >= 171, where i! is +inf: the weight is +-0.0 or NaN, the term too.
    double infinite_factorial_term(double x) const {
        return black_scholes(x) * (weight_numerator(x) / std::numeric_limits<double>::infinity());
    }

    bool tail_has_nan(std::int32_t first, std::int32_t last) const;

    enum class Tail { Regular, NoDiffusion, Unknown };
    Tail classify_tail(double first, double last) const;
    bool numerator_vanishes(double first, double last) const;
    bool scaled_drift_bounded(double lo, double hi, bool fromBelow, int &budget) const;
};

// Whether any term first..last (171 <= first <= last) is NaN.
//
// From i = 171 on, i! is +inf and each term is c_i * (exp(-L) L^i / inf): +-0.0 when
// exp(-L) L^i and the Black-Scholes value c_i are both finite, NaN otherwise. Added
// to the running sum a +-0.0 changes nothing (the sum starts at +0.0, and IEEE
// addition gives -0.0 only from two -0.0, so the sum is never -0.0), and a NaN makes
// the price NaN. So the price is the sum of the first 171 terms unless some later
// term is NaN, and only that has to be decided.
//
// exp(-L) L^i is non-finite on a tail of the indices: for |L| <= 1 it is bounded (or
// non-finite for every i, when L is not finite), and for |L| > 1 the power grows
// with i (the C library's pow is monotone in an integer exponent, as are exp and the
// rounded arithmetic used below). The last index decides it.
//
// Under the conditions of classify_tail(), c_i is non-finite exactly where
// K * exp(-T r_i) overflows, and since r_i = g i + r0 is monotone in i that happens
// on an end of the index range: the two end indices decide. With no diffusion at all
// (sigma = s = 0), d1 divides its numerator by zero and the term is also NaN where
// that numerator is zero: a run of indices, since the numerator is monotone in i,
// found by bisection. Inputs outside these arguments are evaluated term by term.
bool MertonTerms::tail_has_nan(std::int32_t first, std::int32_t last) const {
    const double lo = static_cast<double>(first);
    const double hi = static_cast<double>(last);
    if (std::isnan(infinite_factorial_term(lo)) || std::isnan(infinite_factorial_term(hi))) {
        return true;
    }
    switch (classify_tail(lo, hi)) {
        case Tail::Regular:
            return false;
        case Tail::NoDiffusion:
            return numerator_vanishes(lo, hi);
        case Tail::Unknown:
            break;
    }
    for (std::int32_t i = first + 1; i < last; ++i) {
        if (std::isnan(infinite_factorial_term(static_cast<double>(i)))) {
            return true;
        }
    }
    return false;
}

// Regular: c_i is non-finite exactly where K exp(-T r_i) is, when
//  - 0 < T, K, S, sigma^2 and v = s^2 / T are finite; g, r0 and log(S / K) are not
//    NaN. Then r_i = g x + r0 is NaN only where g x is an infinity of the other sign
//    than r0, which holds at the last index if anywhere (|g x| grows with x), and the
//    last term would have been NaN: so r_i is a number or an infinity, and
//    K D = K exp(-T r_i) is monotone in i, never NaN unless K = 0 and D = +inf;
//  - N1 S - (K D) N2 with N1, N2 in [0, 1] cannot overflow: S and K have the same
//    sign (D >= 0, so the two products do too), or |S| + max |K D| is finite, the
//    maximum taken at the two ends (K D is monotone, and finite there, or those terms
//    would have been NaN);
//  - sigma_i > 0 and sigma_i sqrt(T) is finite on the range: sigma_i grows with i, so
//    both hold if v or sigma^2 is positive and they hold at the last index;
//  - log(S / K) is finite; or, where S / K underflows (log = -inf), the rest of the
//    numerator of d1 stays below +inf, and where S / K overflows (+inf) above -inf
//    (scaled_drift_bounded).
// Then wherever K D is finite, r_i > -inf, so the numerator of d1 is not NaN, nor are
// d1 = numerator / sigma_i / sqrt(T) and d2 = d1 - sigma_i sqrt(T); N1 and N2 lie in
// [0, 1], and c_i is finite. Where K D is infinite or NaN, so is (K D) N2, and c_i is
// non-finite.
//
// NoDiffusion: the same with sigma = s = 0 (sigma_i = 0 throughout) and log(S / K)
// finite: the numerator of d1, r_i T + log(S / K), is a number or an infinity, and
// d1 is +-inf except where the numerator is zero, where it is NaN. With log(S / K)
// infinite instead, the numerator is that infinity, or NaN where r_i T is the other
// infinity; r_i T is monotone, so that would show at an end: the case is Regular.
MertonTerms::Tail MertonTerms::classify_tail(double first, double last) const {
    const bool finite_inputs = T > 0.0 && std::isfinite(T) && std::isfinite(K) &&
                               std::isfinite(S) && std::isfinite(sigma2) && std::isfinite(v) &&
                               !std::isnan(r0) && !std::isnan(g) && !std::isnan(logSK);
    if (!finite_inputs) {
        return Tail::Unknown;
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double rFirst = drift(first), rLast = drift(last);
    const bool sameSigns = (S >= 0.0 && K >= 0.0) || (S <= 0.0 && K <= 0.0);
    const double discountedStrike = std::fmax(std::fabs(K * std::exp(T * (-rFirst))),
                                              std::fabs(K * std::exp(T * (-rLast))));
    if (!sameSigns && !(std::fabs(S) + discountedStrike < inf)) {
        return Tail::Unknown;
    }
    if (v == 0.0 && sigma2 == 0.0) {
        return std::isfinite(logSK) ? Tail::NoDiffusion : Tail::Regular;
    }
    const double sigLast = variance_root(last);
    if (!std::isfinite(sigLast * sqrtT)) {
        return Tail::Unknown;
    }
    if (std::isfinite(logSK)) {
        return Tail::Regular;
    }
    int budget = 256;
    return scaled_drift_bounded(first, last, logSK > 0.0, budget) ? Tail::Regular
                                                                   : Tail::Unknown;
}

// Whether ((sigma_i^2 / 2 + r_i) T) stays below +inf (or, with fromBelow, above -inf)
// for every index in lo..hi. sigma_i^2 / 2 grows with i and r_i is monotone, and the
// rounded sum and product are monotone in each operand, so on a range the value is
// bounded by the one formed from the largest (smallest) of each at the range's ends.
// Where that bound is not conclusive the range is halved, within a budget of ranges.
bool MertonTerms::scaled_drift_bounded(double lo, double hi, bool fromBelow,
                                       int &budget) const {
    if (--budget < 0) {
        return false;
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double rLo = drift(lo), rHi = drift(hi);
    if (fromBelow) {
        const double sig = variance_root(lo);
        if (((sig * sig) * 0.5 + std::fmin(rLo, rHi)) * T > -inf) {
            return true;
        }
    } else {
        const double sig = variance_root(hi);
        if (((sig * sig) * 0.5 + std::fmax(rLo, rHi)) * T < inf) {
            return true;
        }
    }
    if (hi - lo < 1.0) {
        return false;
    }
    const double mid = std::floor((lo + hi) * 0.5);
    return scaled_drift_bounded(lo, mid, fromBelow, budget) &&
           scaled_drift_bounded(mid + 1.0, hi, fromBelow, budget);
}

// sigma = s = 0: whether the numerator of d1, monotone in i, is zero at some index
// of first..last. Both ends are known to be non-zero (their terms are not NaN).
bool MertonTerms::numerator_vanishes(double first, double last) const {
    auto numerator = [this](double x) { return d1_numerator(variance_root(x), drift(x)); };
    double lo = first, hi = last;
    const double atLo = numerator(lo);
    if ((atLo < 0.0) == (numerator(hi) < 0.0)) {
        return false;  // one sign throughout
    }
    while (hi - lo > 1.0) {
        const double mid = std::floor((lo + hi) * 0.5);
        const double atMid = numerator(mid);
        if (atMid == 0.0) {
            return true;
        }
        ((atMid < 0.0) == (atLo < 0.0) ? lo : hi) = mid;
    }
    return false;
}

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
    return t.tail_has_nan(kFirstInfiniteFactorial, last) ? std::numeric_limits<double>::quiet_NaN()
                                                         : sum;
}

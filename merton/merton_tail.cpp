#include "merton_tail.h"

#include <cmath>
#include <limits>

namespace merton {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Tail { Regular, NoDiffusion, ScaledDrift, EndsDecide };

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
//  - log(S / K) is finite.
// Then wherever K D is finite, r_i > -inf, so the numerator of d1 is not NaN, nor are
// d1 = numerator / sigma_i / sqrt(T) and d2 = d1 - sigma_i sqrt(T); N1 and N2 lie in
// [0, 1], and c_i is finite. Where K D is infinite or NaN, so is (K D) N2, and c_i is
// non-finite.
//
// ScaledDrift: the same, but S / K under- or overflows and log(S / K) is -inf or +inf.
// The numerator of d1 is then that infinity (and the argument above holds) except where
// the scaled drift ((sigma_i^2 / 2 + r_i) T) is the opposite infinity: the sum is NaN,
// and so is the term. Whether that happens somewhere is decided by DriftSearch.
//
// NoDiffusion: the same with sigma = s = 0 (sigma_i = 0 throughout) and log(S / K)
// finite: the numerator of d1, r_i T + log(S / K), is a number or an infinity, and
// d1 is +-inf except where the numerator is zero, where it is NaN. With log(S / K)
// infinite instead, the numerator is that infinity, or NaN where r_i T is the other
// infinity; r_i T is monotone, so that would show at an end: the case is Regular.
//
// EndsDecide: every other input. Each of them makes every term of the range NaN, the
// two end terms included, so the caller has already answered: T = +inf (d1 is
// +-inf / inf or 0 / 0), K or S infinite (inf * N2 or N1 * inf against the other
// product), sigma^2 or v infinite (sigma_i = inf and the numerator of d1 infinite), r0,
// g or log(S / K) NaN (r_i or the numerator NaN), S and K of different signs and not
// zero (log of a negative ratio is NaN), and sigma_i sqrt(T) infinite at the last
// index (sigma_i = inf there, for finite T). The answer for it is NaN.
Tail classify_tail(const MertonTerms &t, double first, double last) {
    const bool finite_inputs = t.T > 0.0 && std::isfinite(t.T) && std::isfinite(t.K) &&
                               std::isfinite(t.S) && std::isfinite(t.sigma2) &&
                               std::isfinite(t.v) && !std::isnan(t.r0) && !std::isnan(t.g) &&
                               !std::isnan(t.logSK);
    if (!finite_inputs) {
        return Tail::EndsDecide;
    }
    const bool sameSigns = (t.S >= 0.0 && t.K >= 0.0) || (t.S <= 0.0 && t.K <= 0.0);
    const double discountedStrike =
        std::fmax(std::fabs(t.K * std::exp(t.T * (-t.drift(first)))),
                  std::fabs(t.K * std::exp(t.T * (-t.drift(last)))));
    if (!sameSigns && !(std::fabs(t.S) + discountedStrike < kInf)) {
        return Tail::EndsDecide;
    }
    if (t.v == 0.0 && t.sigma2 == 0.0) {
        return std::isfinite(t.logSK) ? Tail::NoDiffusion : Tail::Regular;
    }
    if (!std::isfinite(t.variance_root(last) * t.sqrtT)) {
        return Tail::EndsDecide;
    }
    return std::isfinite(t.logSK) ? Tail::Regular : Tail::ScaledDrift;
}

// sigma = s = 0: whether the numerator of d1, monotone in i, is zero at some index
// of first..last. Both ends are known to be non-zero (their terms are not NaN).
bool numerator_vanishes(const MertonTerms &t, double first, double last) {
    auto numerator = [&t](double x) { return t.d1_numerator(t.variance_root(x), t.drift(x)); };
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

// Whether the scaled drift D(x) = ((sigma_x^2 / 2 + r_x) T) is +inf (toward = +1, for
// log(S / K) = -inf) or -inf (toward = -1) at some index of a range whose ends are known
// not to be. With A(x) = (sigma_x^2) / 2 and B(x) = r_x as computed, D(x) = fl(fl(A + B) T).
//
// Two bounds on a range [p, q], each of which may settle it:
//  - monotone: A grows with x and B is monotone, and the rounded operations are monotone
//    in each operand, so D(x) <= fl(fl(A(q) + max(B(p), B(q))) T) (and likewise from
//    below). Tight on short ranges, loose where A and B move in opposite directions.
//  - linear: A(x) = fl(fl(sigma_x * sigma_x) * 0.5) differs from (v x + sigma^2) / 2 by
//    the roundings of fl(v x), the sum, the square root and the square: at most 4.5 ulp
//    of A (taken as 9 half-ulp); G = fl(g x) from g x by half an ulp of G, and
//    B = fl(G + r0) from G + r0 by half an ulp of B. So A + B lies within that spread E
//    of the linear function l(x) = (v / 2 + g) x + sigma^2 / 2 + r0, whose extremes on the
//    range are at its ends, evaluated in extended precision (long double, 64-bit
//    significand). This bound does not suffer from the opposite slopes: for a typical jump
//    law v / 2 + g is small (m = -s^2 makes it vanish), and the sum is nearly constant;
//    it is tight to a few ulp, so only a sum within a few ulp of overflow stays open.
// A range neither bound settles is split, after evaluating D at its middle; short ranges
// are evaluated point by point. Only inputs whose scaled drift sits within E of the
// overflow threshold over a long run of indices leave ranges unsettled; the search
// evaluates at most kPointBudget points and visits at most kRangeBudget ranges.
class DriftSearch {
public:
    enum class Result { Never, Reached, Undecided };

    DriftSearch(const MertonTerms &t, int toward) : t_(t), toward_(toward) {}

    Result search(double lo, double hi) {
        if (--ranges_ < 0) {
            return Result::Undecided;
        }
        if (settled(lo, hi)) {
            return Result::Never;
        }
        if (hi - lo < 16.0) {
            for (double x = lo; x <= hi; x += 1.0) {
                if (reached(x)) {
                    return Result::Reached;
                }
            }
            return points_ < 0 ? Result::Undecided : Result::Never;
        }
        const double mid = std::floor((lo + hi) * 0.5);
        if (reached(mid)) {
            return Result::Reached;
        }
        const Result left = search(lo, mid);
        if (left == Result::Reached) {
            return left;
        }
        const Result right = search(mid + 1.0, hi);
        if (right == Result::Reached) {
            return right;
        }
        return (left == Result::Undecided || right == Result::Undecided) ? Result::Undecided
                                                                        : Result::Never;
    }

private:
    static constexpr int kPointBudget = 4096;
    static constexpr int kRangeBudget = 4096;

    bool reached(double x) {
        --points_;
        const double D = t_.scaled_drift(t_.variance_root(x), t_.drift(x));
        return toward_ > 0 ? D == kInf : D == -kInf;
    }

    bool settled(double p, double q) const {
        const double rp = t_.drift(p), rq = t_.drift(q);
        if (toward_ > 0) {
            const double bound = t_.scaled_drift(t_.variance_root(q), std::fmax(rp, rq));
            if (bound < kInf) {
                return true;
            }
        } else {
            const double bound = t_.scaled_drift(t_.variance_root(p), std::fmin(rp, rq));
            if (bound > -kInf) {
                return true;
            }
        }
        return linear_bound_settles(p, q);
    }

    // Half an ulp of |y| (0.5 * 2^(e - 52) for |y| in [2^e, 2^(e+1))); of the smallest
    // subnormal at least.
    static long double half_ulp(double y) {
        int e = 0;
        std::frexp(std::fabs(y), &e);  // |y| = f 2^e, f in [0.5, 1)
        return std::fmax(std::ldexp(1.0L, e - 54), std::ldexp(1.0L, -1075));
    }

    bool linear_bound_settles(double p, double q) const {
        // The roundings of A, G = fl(g x) and B = fl(G + r0) at any x of the range, from
        // the largest magnitudes, which the range's ends take (A grows, |G| grows, B is
        // monotone).
        const double Aq = (t_.variance_root(q) * t_.variance_root(q)) * 0.5;
        const double Gq = t_.g * q;
        const double Bmax = std::fmax(std::fabs(t_.drift(p)), std::fabs(t_.drift(q)));
        const long double spread = 9.0L * half_ulp(Aq) + half_ulp(Gq) + half_ulp(Bmax);
        // The line and its extremes, in extended precision: relative 2^-64 of the terms,
        // covered by the last term of `room`.
        const long double slope = 0.5L * t_.v + static_cast<long double>(t_.g);
        const long double offset = 0.5L * t_.sigma2 + static_cast<long double>(t_.r0);
        const long double atP = slope * p + offset, atQ = slope * q + offset;
        const long double size = 0.5L * t_.v * q + std::fabs(static_cast<long double>(t_.g)) * q +
                                 0.5L * t_.sigma2 + std::fabs(static_cast<long double>(t_.r0));
        const long double room = spread + std::ldexp(size, -58);
        // fl(fl(A + B) T) is finite if A + B < limit, Omega = 2^1024 - 2^970 being the least
        // real that rounds to infinity: for T <= 1, A + B < Omega keeps fl(A + B) finite and
        // the product no larger; for T > 1, fl(A + B) <= (A + B)(1 + 2^-53) < Omega / T.
        const long double omega = std::ldexp(1.0L, 1024) - std::ldexp(1.0L, 970);
        const long double limit =
            t_.T <= 1.0 ? omega
                        : omega / static_cast<long double>(t_.T) * (1.0L - std::ldexp(1.0L, -52));
        if (toward_ > 0) {
            return std::fmax(atP, atQ) + room < limit;
        }
        return std::fmin(atP, atQ) - room > -limit;
    }

    const MertonTerms &t_;
    int toward_;
    int points_ = kPointBudget;
    int ranges_ = kRangeBudget;
};

}  // namespace

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
// found by bisection. With log(S / K) infinite, the term is also NaN where the scaled
// drift is the opposite infinity: DriftSearch.
//
// One set of inputs is left undecided: a scaled drift within a few ulp of the overflow
// threshold over more indices than the search's budgets (4,096 points and ranges, well
// under a millisecond). It takes a rate at the largest double itself, jump laws whose
// drifts cancel (m = -s^2) and S / K beyond the double range; there the terms that
// overflow are scattered by rounding (a few percent of the indices, in the cases tried).
// For those the tail is taken to be NaN: the price is not vouched for, and NaN says so.
bool tail_has_nan(const MertonTerms &t, std::int32_t first, std::int32_t last) {
    const double lo = static_cast<double>(first);
    const double hi = static_cast<double>(last);
    if (std::isnan(t.infinite_factorial_term(lo)) || std::isnan(t.infinite_factorial_term(hi))) {
        return true;
    }
    switch (classify_tail(t, lo, hi)) {
        case Tail::Regular:
            return false;
        case Tail::NoDiffusion:
            return numerator_vanishes(t, lo, hi);
        case Tail::ScaledDrift: {
            DriftSearch search(t, t.logSK < 0.0 ? +1 : -1);
            return search.search(lo, hi) != DriftSearch::Result::Never;
        }
        case Tail::EndsDecide:
            break;
    }
    return true;
}

}  // namespace merton

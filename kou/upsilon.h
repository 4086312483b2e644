// Kou's Upsilon probability with a bound on the rounding error of its closed form.
//
// Upsilon(mu, sigma, lam, p, eta1, eta2; a, T) = P(X(T) >= a) for
// X(t) = mu t + sigma W(t) + sum of N(t) double-exponential log-jumps, N Poisson of
// intensity lam, a jump upward with probability p (rate eta1) and downward otherwise (rate
// eta2): S. G. Kou, "A jump-diffusion model for option pricing", Management Science 48(8)
// (2002) 1086-1101, Appendix B, as the sum over the jump count i of the Poisson weights
// pi_i = exp(-lam T) (lam T)^i / i! times the conditional probabilities, formed from the P
// and Q coefficients (jump_coefficients.h) and the integrals I_n (special_functions.h);
// here truncated after i = n.
#pragma once

#include <cstdint>

#include "bounded.h"
#include "special_functions.h"

namespace kou {

// Upsilon truncated after n jumps, by the closed form (the option family's Upsilon member
// forwards here). Domain: every double; n <= 0 keeps the no-jump term only, n > 170 gives
// NaN (170! is the last finite factorial). Accurate where the closed form is well
// conditioned; upsilon_with_bound says how accurate.
double upsilon(double mu, double sigma, double lam, double p, double eta1, double eta2,
               double a, double T, std::int32_t n);

struct UpsilonEstimate {
    double value;  // Upsilon as the closed form evaluates it in double precision
    double bound;  // bound on |value - exact series truncated at n|, or +inf / NaN
    double tailShare = 0.0;  // of bound, Hh(0, x0)'s share right of the origin (see HhZero)
};

// Upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n) of the option family, the value bit for
// bit, beside a bound on its error by running error analysis: every quantity of the
// evaluation carries a bound on its absolute error through the Hh recursion, the I_n sums
// and closed forms, the P/Q coefficients, the J sums, A1, A2 and the final combination.
// The arguments carry their own error bounds (sigma and T are exact); the exact value is
// that of exact arguments. The bound holds for arguments in the model's domain (sigma,
// T > 0, 0 <= p <= 1 up to their error bounds, eta1, eta2 > 0, lam >= 0), where the
// coefficients P and Q are sums of terms of one sign; elsewhere it is not meaningful.
UpsilonEstimate upsilon_with_bound(Bounded mu, double sigma, Bounded lam, Bounded p,
                                   Bounded eta1, Bounded eta2, Bounded a, double T,
                                   std::int32_t n);

template <int W>
class InOrdersLanes;
using InOrders = InOrdersLanes<1>;

// The same at `levels` levels a[0 .. levels - 1] (1 <= levels <= kMaxLevels) sharing every
// other argument: what does not depend on the level (the coefficients, the powers, the
// weights, A1 and A2) is formed once, and each level's value and bound are the doubles
// upsilon_with_bound gives for it. orders is storage for 2 * levels InOrders (constructed
// here); upsilon_with_bound is this with one level. The levels run four at a time as the
// lanes of vectors (special_functions.h). 128 levels share the work well: a 100-strike
// strip at n = 16 costs about a tenth of 100 single calls.
constexpr std::int32_t kMaxLevels = 128;
// start = HhZero::tail evaluates the same with the tail form of Hh(0, x0) right of the
// origin (special_functions.h): other values, for a bound's second opinion only.
// shifted, where given, receives at each level the series with every conditional
// probability of i jumps weighted by pi_(i-1) instead of pi_i (i = 1 .. n): the
// probability after one more jump Y, sum over i < n of pi_i P(X(T) + Y >= a | i jumps),
// whose difference from the value is dUpsilon / d(lam T) at fixed mu T (no bound; the
// values and bounds in out are unchanged by it).
void upsilon_levels(Bounded mu, double sigma, Bounded lam, Bounded p, Bounded eta1,
                    Bounded eta2, const Bounded *a, std::int32_t levels, double T,
                    std::int32_t n, InOrders *orders, UpsilonEstimate *out,
                    HhZero start = HhZero::closed_form, double *shifted = nullptr);

}  // namespace kou

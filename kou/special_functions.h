// Kou's special functions: the repeated normal integrals Hh and the integrals I_n.
//
// Source: S. G. Kou, "A jump-diffusion model for option pricing", Management Science 48(8)
// (2002) 1086-1101, Appendix B (the Hh functions as Kou takes them from M. Abramowitz and
// I. A. Stegun, Handbook of Mathematical Functions, 1972, and his closed form of I_n).
#pragma once

#include <cstdint>

#include "bounded.h"
#include "numeric_constants.h"

// (Vectors of four never cross a call here: the lane templates are always inlined, lanes.h.)
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kou {

using numeric::kLastFiniteFactorial;
using numeric::kSqrt2;
using numeric::kSqrt2Pi;
// The same constants as approximations of sqrt(2) and sqrt(2 pi), within half an ulp.
constexpr Bounded kSqrt2Rounded{kSqrt2, kSqrt2 * kUnitRoundoff};
constexpr Bounded kSqrt2PiRounded{kSqrt2Pi, kSqrt2Pi * kUnitRoundoff};

// Hh(-1, x) = exp(-x^2 / 2); Hh(0, x) = sqrt(2 pi) Phi(-x); for n >= 1 the n-fold
// repeated integral Hh(n, x) = integral from x to infinity of Hh(n - 1, y) dy, through the
// recursion n Hh(n, x) = Hh(n - 2, x) - x Hh(n - 1, x) evaluated upward.
// Domain: n >= -1 and any x (NaN for n < -1). Upward, the recursion is exact in exact
// arithmetic and loses accuracy for x > 0 and large n, where Hh(n, x) is the small solution.
double Hh(std::int32_t n, double x);

// Hh(0, x), ..., Hh(last, x) into out[0 .. last], last >= 0: the same values as Hh().
// minusOne, when given, receives Hh(-1, x), which the recursion starts from.
void Hh_upward(std::int32_t last, double x, double *out, double *minusOne = nullptr);

// I_n(n, c, alpha, beta, delta) = integral from c to infinity of exp(alpha x) Hh(n, beta x - delta) dx
// has Kou's closed form in two cases. With rho = beta / alpha, x0 = beta c - delta,
// E = exp(alpha^2 / (2 beta^2) + delta alpha / beta) and
// sumH(n) = sum over i = 0 .. n of rho^(n - i) Hh(i, x0):
//   positive beta (beta > 0, alpha != 0):
//     I_n = sqrt(2 pi) / beta rho^(n+1) E Phi(-beta c + delta + alpha / beta)
//           - exp(alpha c) / alpha sumH(n)
//   negative beta (beta < 0, alpha < 0):
//     I_n = -exp(alpha c) / alpha sumH(n)
//           - sqrt(2 pi) / beta rho^(n+1) E Phi(beta c - delta - alpha / beta)
// Everywhere else (beta > 0 with alpha = 0, beta = 0, beta < 0 with alpha >= 0, NaN) the
// function is +0.0 by definition. InClosedForm holds the order-independent parts that all
// orders of one (c, alpha, beta, delta) share: rho, x0 and the exponential and normal
// factors. Each factor carries a bound on its rounding error (running error analysis), the
// arguments their own error bounds.
class InClosedForm {
public:
    InClosedForm() : kind_(Kind::Zero) {}  // +0.0 at every order, until assigned
    // same, when given, is an InClosedForm of the same alpha, beta and delta (another c):
    // its order-independent factors that do not involve c are taken instead of being formed
    // again (the same operations on the same operands, so the same values).
    // With withC false, the factors that depend on c are left unset (to be given by at()).
    InClosedForm(Bounded c, Bounded alpha, Bounded beta, Bounded delta,
                 const InClosedForm *same = nullptr, bool withC = true);
    InClosedForm(double c, double alpha, double beta, double delta)
        : InClosedForm(Bounded::exact(c), Bounded::exact(alpha), Bounded::exact(beta),
                       Bounded::exact(delta)) {}

    // False outside the two closed-form cases: every order is then +0.0.
    bool evaluated() const { return kind_ != Kind::Zero; }
    Bounded rho() const { return rho_; }
    Bounded x0() const { return x0_; }
    Bounded alpha() const { return alpha_; }
    Bounded expC() const { return expC_; }        // exp(c alpha)
    Bounded expTail() const { return expTail_; }  // exp(alpha^2 / (2 beta^2) + delta alpha / beta)
    Bounded scale() const { return scale_; }      // sqrt(2 pi) / beta
    Bounded cdfTerm() const { return cdfTerm_; }  // the closed form's Phi

    // What depends on c: x0 = beta c - delta, exp(c alpha) and Phi, for one c (T = double)
    // or for the lanes of several (the same operations lane by lane), with the other
    // factors those of this closed form (evaluated() must hold).
    template <typename T>
    struct LevelParts {
        BoundedOf<T> x0, expC, cdf;
    };
    template <typename T>
    KOU_LANE LevelParts<T> level_parts(BoundedOf<T> c) const {
        const BoundedOf<T> betaC = splat<T>(beta_) * c;
        const BoundedOf<T> x0 = betaC - splat<T>(delta_);
        const BoundedOf<T> expC = exp(c * splat<T>(alpha_));
        const BoundedOf<T> root2 = splat<T>(kSqrt2Rounded), alphaOverBeta = splat<T>(alphaOverBeta_);
        if (kind_ == Kind::PositiveBeta) {
            // Phi(-beta c + delta + alpha / beta)
            return {x0, expC, 1.0 - erfc((alphaOverBeta + (splat<T>(delta_) - betaC)) / root2) * 0.5};
        }
        // Phi(beta c - delta - alpha / beta)
        return {x0, expC, 1.0 - erfc((x0 - alphaOverBeta) / root2) * 0.5};
    }
    // The integral of one order from its Hh sum, sumH = sum over i = 0..n of
    // rho^(n - i) Hh(i, x0) added in ascending i, and rhoPow = rho^(n + 1).
    double combine(double sumH, double rhoPow) const {
        return combine(sumH, rhoPow, expC_.v / alpha_.v, cdfTerm_.v);
    }
    // The same from the factors of c, tail = exp(c alpha) / alpha and cdf = the normal
    // factor, for one c (T = double) or for the lanes of several.
    template <typename T>
    KOU_LANE T combine(T sumH, double rhoPow, T tail, T cdf) const {
        switch (kind_) {
            case Kind::PositiveBeta:
                return ((scale_.v * rhoPow) * expTail_.v) * cdf - sumH * tail;
            case Kind::NegativeBeta:
                return (-tail) * sumH - ((scale_.v * rhoPow) * expTail_.v) * cdf;
            case Kind::Zero:
                break;
        }
        return T{};
    }

private:
    enum class Kind { Zero, PositiveBeta, NegativeBeta };
    Kind kind_;
    Bounded rho_{0.0}, x0_{0.0}, expC_{0.0}, alpha_{0.0};
    Bounded scale_{0.0}, expTail_{0.0}, cdfTerm_{0.0};
    Bounded alphaOverBeta_{0.0};  // alpha / beta, for the normal factor
    Bounded beta_{0.0}, delta_{0.0};
};

// I_n(n, c, alpha, beta, delta) by the closed form above. Domain: n >= 0 (NaN for n < 0),
// any doubles otherwise.
double I_n(std::int32_t n, double c, double alpha, double beta, double delta);

// I_n(0, ...), ..., I_n(count - 1, ...) into out[0 .. count - 1], 1 <= count <= kLastFiniteFactorial:
// the same values as I_n(), sharing the Hh values and the powers of rho.
void I_n_orders(std::int32_t count, double c, double alpha, double beta, double delta,
                double *out);

// What the I_n orders of one (alpha, beta, delta) share whatever c: the powers
// rho^0 .. rho^count and the closed form's factors that do not involve c.
struct InOrdersShared {
    const double *rhoPow;
    const InClosedForm *form;
};

// Which Hh(0, x0) starts the recursion: the closed form's (1 - erfc(-x0 / sqrt 2) / 2)
// sqrt(2 pi), or, right of the origin (x0 > 0), the tail erfc(x0 / sqrt 2) / 2 sqrt(2 pi),
// which has no cancellation. The second gives other values, never returned: an error
// bound compares them with the closed form's (prices.cpp).
enum class HhZero { closed_form, tail };

// The orders 0 .. count - 1 of I_n for W levels c[0 .. W - 1] sharing (alpha, beta, delta),
// as I_n_orders forms them, kept with what a bound on their rounding errors needs. The
// arguments carry their own error bounds; "exact" below means the integral at the exact
// arguments. Every level's values and bound are the doubles a single level (W = 1) gives
// for it: the levels are lanes that perform the same operations side by side, so that a
// strip of strikes runs the recursions and sums on vectors and without waiting on one
// latency chain. (Instantiated for W = 1 and W = 4.)
template <int W>
class InOrdersLanes {
public:
    static constexpr int kLanes = W;

    // same, when given, is what another InOrdersLanes of the same count, alpha, beta and
    // delta shares (its shared()): taken instead of formed again (the same calls on the same
    // operands, so the same values).
    InOrdersLanes(std::int32_t count, const Bounded *c, Bounded alpha, Bounded beta, Bounded delta,
                  const InOrdersShared *same = nullptr, HhZero start = HhZero::closed_form);

    // The same for two evaluations at once (each with its own arguments): their Hh
    // recursions, each a chain of divisions, advance side by side instead of one after
    // the other. Every value is the one the constructor gives.
    static void construct_pair(InOrdersLanes *a, const Bounded *ca, Bounded alphaA, Bounded betaA,
                               Bounded deltaA, const InOrdersShared *sameA, InOrdersLanes *b,
                               const Bounded *cb, Bounded alphaB, Bounded betaB, Bounded deltaB,
                               const InOrdersShared *sameB, std::int32_t count,
                               HhZero start = HhZero::closed_form);

    // I_k of level l at [k * W + l].
    const double *values() const { return value_; }
    // sum over i <= k of |rho^(k - i) Hh(i, x0)| of level l at [k * W + l] (what the bound reads).
    const double *magnitudes() const { return magnitudeIsSum_ ? sumH_ : magnitude_; }
    InOrdersShared shared() const { return {rhoPow_, &form_}; }

    // out[l] = bound on |sum_k w[k] (I_k of level l - exact I_k)| for weights w, with
    // wAbs[k] >= |w[k]|. The weighted sum lets the errors of the Hh recursion cancel as
    // they do.
    void weighted_error(const double *w, const double *wAbs, double *out) const;
    // The same for two evaluations of the same count (the upward and downward I_n of one
    // Upsilon): for one level, their sweeps, each a chain of dependent operations, run
    // side by side as the two lanes of a vector. Every value is the one weighted_error gives.
    static void weighted_error_pair(const InOrdersLanes &a, const double *wA, const double *wAbsA,
                                    double *outA, const InOrdersLanes &b, const double *wB,
                                    const double *wAbsB, double *outB);
    // Whether level l's recursion starts from the closed form's Hh(0, x0) right of the origin
    // and weighted_error bounds it (finitely or not): what evaluating from the tail form
    // (HhZero::tail) could change.
    bool right_of_origin(int l) const {
        return form_.evaluated() && powers_bounded() && start_ == HhZero::closed_form && x0_[l] > 0.0;
    }

private:
    InClosedForm form_;  // the closed form's factors (those that depend on c: level 0's)
    // Each level's factors that depend on c (values and error bounds), at [l].
    double x0_[W], x0Error_[W], expC_[W], expCError_[W], cdf_[W], cdfError_[W];
    std::int32_t count_;
    HhZero start_ = HhZero::closed_form;
    struct Deferred {};  // the constructor's first part only: the factors of each level
    InOrdersLanes(Deferred, std::int32_t count, const Bounded *c, Bounded alpha, Bounded beta,
                  Bounded delta, const InOrdersShared *same);
    void finish(const InOrdersShared *same);  // the rest, once the Hh values are formed
    std::int32_t orders_by_eight(bool magnitudes, double *out) const;
    bool powers_bounded() const;  // the bound's linear error of rho's powers holds to rho^count
    template <int S>
    static void weighted_error_sides(const InOrdersLanes *const *side, const double *const *w,
                                     const double *const *wAbs, double *const *out);

    double hh_[(kLastFiniteFactorial + 1) * W];     // Hh(-1, x0) .. Hh(count - 1, x0) at rows 0 .. count
    double rhoPow_[kLastFiniteFactorial + 1];       // rho^0 .. rho^count
    double sumH_[kLastFiniteFactorial * W];         // sum over i <= k of rho^(k - i) Hh(i, x0)
    double magnitude_[kLastFiniteFactorial * W];    // the same sum of magnitudes
    bool magnitudeIsSum_ = false;                   // every term >= 0: magnitude_ is sumH_
    double value_[kLastFiniteFactorial * W];
};

// One level.
using InOrders = InOrdersLanes<1>;

}  // namespace kou

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

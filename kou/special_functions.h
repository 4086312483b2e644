// Kou's special functions: the repeated normal integrals Hh and the integrals I_n.
//
// Source: S. G. Kou, "A jump-diffusion model for option pricing", Management Science 48(8)
// (2002) 1086-1101, Appendix B (the Hh functions as Kou takes them from M. Abramowitz and
// I. A. Stegun, Handbook of Mathematical Functions, 1972, and his closed form of I_n).
#pragma once

#include <cstdint>

#include "bounded.h"
#include "numeric_constants.h"

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
    InClosedForm(Bounded c, Bounded alpha, Bounded beta, Bounded delta);
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

    // The integral of one order from its Hh sum, sumH = sum over i = 0..n of
    // rho^(n - i) Hh(i, x0) added in ascending i, and rhoPow = rho^(n + 1).
    double combine(double sumH, double rhoPow) const;

private:
    enum class Kind { Zero, PositiveBeta, NegativeBeta };
    Kind kind_;
    Bounded rho_{0.0}, x0_{0.0}, expC_{0.0}, alpha_{0.0};
    Bounded scale_{0.0}, expTail_{0.0}, cdfTerm_{0.0};
};

// I_n(n, c, alpha, beta, delta) by the closed form above. Domain: n >= 0 (NaN for n < 0),
// any doubles otherwise.
double I_n(std::int32_t n, double c, double alpha, double beta, double delta);

// I_n(0, ...), ..., I_n(count - 1, ...) into out[0 .. count - 1], 1 <= count <= kLastFiniteFactorial:
// the same values as I_n(), sharing the Hh values and the powers of rho.
void I_n_orders(std::int32_t count, double c, double alpha, double beta, double delta,
                double *out);

// The orders 0 .. count - 1 of I_n for one (c, alpha, beta, delta), as I_n_orders forms
// them, kept with what a bound on their rounding errors needs. The arguments carry their
// own error bounds; "exact" below means the integral at the exact arguments.
class InOrders {
public:
    // sameRho, when given, is an InOrders of the same count, alpha and beta: its powers of
    // rho are taken instead of calling pow again (the same calls, the same values).
    InOrders(std::int32_t count, Bounded c, Bounded alpha, Bounded beta, Bounded delta,
             const InOrders *sameRho = nullptr);

    const double *values() const { return value_; }

    // Bound on |sum_k w[k] (values()[k] - exact I_k)| for weights w, with wAbs[k] >= |w[k]|.
    // The weighted sum lets the errors of the Hh recursion cancel as they do.
    double weighted_error(const double *w, const double *wAbs) const;

private:
    InClosedForm form_;
    std::int32_t count_;
    double hh_[kLastFiniteFactorial + 1];     // Hh(-1, x0) .. Hh(count - 1, x0) at hh_[0 .. count]
    double rhoPow_[kLastFiniteFactorial + 1];  // rho^0 .. rho^count
    double sumH_[kLastFiniteFactorial];        // sum over i <= k of rho^(k - i) Hh(i, x0)
    double magnitude_[kLastFiniteFactorial];   // the same sum of magnitudes
    double value_[kLastFiniteFactorial];
};

}  // namespace kou

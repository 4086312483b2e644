// Kou's special functions: the repeated normal integrals Hh and the integrals I_n.
#pragma once

#include <cstdint>

namespace kou {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt2Pi = 2.5066282746310002;

// Hh(-1, x) = exp(-x^2 / 2); Hh(0, x) = sqrt(2 pi) Phi(-x); for n >= 1 the n-fold
// repeated integral of exp(-t^2 / 2) from x to infinity, through the recursion
// Hh(n, x) = (Hh(n - 2, x) - x Hh(n - 1, x)) / n evaluated upward. NaN for n < -1.
double Hh(std::int32_t n, double x);

// Hh(0, x), ..., Hh(last, x) into out[0 .. last], last >= 0: the same values as Hh().
void Hh_upward(std::int32_t last, double x, double *out);

// The order-independent parts of I_n(n, c, alpha, beta, delta) = integral from c to
// infinity of exp(alpha x) Hh(n, beta x - delta) dx, in Kou's closed form. All orders
// of one (c, alpha, beta, delta) share rho = beta / alpha, x0 = beta c - delta and the
// closed form's exponential and normal factors.
class InClosedForm {
public:
    InClosedForm(double c, double alpha, double beta, double delta);

    // False outside the two closed-form cases (beta > 0 with alpha = 0, beta = 0 or
    // NaN, beta < 0 with alpha >= 0 or NaN): every order is then +0.0.
    bool evaluated() const { return kind_ != Kind::Zero; }
    double rho() const { return rho_; }
    double x0() const { return x0_; }

    // The integral of one order from its Hh sum, sumH = sum over i = 0..n of
    // rho^(n - i) Hh(i, x0) added in ascending i, and rhoPow = rho^(n + 1).
    double combine(double sumH, double rhoPow) const;

private:
    enum class Kind { Zero, A, B };
    Kind kind_;
    double rho_ = 0.0, x0_ = 0.0, expC_ = 0.0, alpha_ = 0.0;
    double scale_ = 0.0, expTail_ = 0.0, cdfTerm_ = 0.0;
};

// I_n(n, c, alpha, beta, delta); NaN for n < 0.
double I_n(std::int32_t n, double c, double alpha, double beta, double delta);

// I_n(0, ...), ..., I_n(count - 1, ...) into out[0 .. count - 1], 1 <= count <= kMaxOrders:
// the same values as I_n(), sharing the Hh values and the powers of rho.
constexpr std::int32_t kMaxOrders = 170;
void I_n_orders(std::int32_t count, double c, double alpha, double beta, double delta,
                double *out);

}  // namespace kou

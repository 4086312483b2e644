#include "special_functions.h"

#include <cmath>
#include <limits>

namespace kou {

namespace {

inline double hh_minus1(double x) { return std::exp((-0.5 * x) * x); }

// sqrt(2 pi) Phi(-x), with Phi written as one minus half of erfc: far in the right
// tail this is exactly 0.0 rather than a tiny positive number.
inline double hh_zero(double x) {
    return (1.0 - std::erfc((-x) / kSqrt2) * 0.5) * kSqrt2Pi;
}

inline double hh_step(double before, double last, double x, std::int32_t k) {
    return (before - x * last) / static_cast<double>(k);
}

}  // namespace

double Hh(std::int32_t n, double x) {
    if (n < -1) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double before = hh_minus1(x);
    if (n == -1) {
        return before;
    }
    double last = hh_zero(x);
    for (std::int32_t k = 0; k < n; ++k) {  // order k + 1; no overflow at n = INT32_MAX
        const double next = hh_step(before, last, x, k + 1);
        before = last;
        last = next;
    }
    return last;
}

void Hh_upward(std::int32_t last, double x, double *out, double *minusOne) {
    double before = hh_minus1(x);
    if (minusOne != nullptr) {
        *minusOne = before;
    }
    out[0] = hh_zero(x);
    for (std::int32_t k = 1; k <= last; ++k) {
        out[k] = hh_step(before, out[k - 1], x, k);
        before = out[k - 1];
    }
}

InClosedForm::InClosedForm(Bounded c, Bounded alpha, Bounded beta, Bounded delta) {
    // Ordered comparisons: NaN falls to the +0.0 case except a NaN alpha with beta > 0.
    if (beta.v > 0.0) {
        kind_ = (alpha.v == 0.0) ? Kind::Zero : Kind::PositiveBeta;
    } else if (beta.v < 0.0 && alpha.v < 0.0) {
        kind_ = Kind::NegativeBeta;
    } else {
        kind_ = Kind::Zero;
    }
    if (kind_ == Kind::Zero) {
        return;
    }
    alpha_ = alpha;
    rho_ = beta / alpha;
    x0_ = (beta * c) - delta;
    expC_ = exp(c * alpha);
    expTail_ = exp((alpha * alpha) / ((beta + beta) * beta) + (delta * alpha) / beta);
    scale_ = kSqrt2PiRounded / beta;
    if (kind_ == Kind::PositiveBeta) {
        // Phi(-beta c + delta + alpha / beta)
        cdfTerm_ = 1.0 - erfc((alpha / beta + (delta - beta * c)) / kSqrt2Rounded) * 0.5;
    } else {
        // Phi(beta c - delta - alpha / beta)
        cdfTerm_ = 1.0 - erfc((x0_ - alpha / beta) / kSqrt2Rounded) * 0.5;
    }
}

double InClosedForm::combine(double sumH, double rhoPow) const {
    switch (kind_) {
        case Kind::PositiveBeta:
            return ((scale_.v * rhoPow) * expTail_.v) * cdfTerm_.v - sumH * (expC_.v / alpha_.v);
        case Kind::NegativeBeta:
            return (-(expC_.v / alpha_.v)) * sumH - ((scale_.v * rhoPow) * expTail_.v) * cdfTerm_.v;
        case Kind::Zero:
            break;
    }
    return 0.0;
}

double I_n(std::int32_t n, double c, double alpha, double beta, double delta) {
    if (n < 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const InClosedForm form(c, alpha, beta, delta);
    if (!form.evaluated()) {
        return 0.0;
    }
    const double rho = form.rho().v;
    const double x0 = form.x0().v;
    // Hh(i, x0) upward alongside the sum, one pow call per power of rho.
    double before = hh_minus1(x0);
    double h = hh_zero(x0);
    double sumH = 0.0;
    for (std::int32_t i = 0;; ++i) {
        sumH = sumH + std::pow(rho, static_cast<double>(n - i)) * h;
        if (i == n) {
            break;
        }
        const double next = hh_step(before, h, x0, i + 1);
        before = h;
        h = next;
    }
    return form.combine(sumH, std::pow(rho, static_cast<double>(n) + 1.0));
}

void I_n_orders(std::int32_t count, double c, double alpha, double beta, double delta,
                double *out) {
    const InOrders orders(count, Bounded::exact(c), Bounded::exact(alpha),
                          Bounded::exact(beta), Bounded::exact(delta));
    for (std::int32_t k = 0; k < count; ++k) {
        out[k] = orders.values()[k];
    }
}

InOrders::InOrders(std::int32_t count, Bounded c, Bounded alpha, Bounded beta, Bounded delta,
                   const InOrders *sameRho)
    : form_(c, alpha, beta, delta), count_(count) {
    if (!form_.evaluated()) {
        for (std::int32_t k = 0; k < count; ++k) {
            value_[k] = 0.0;
        }
        return;
    }
    // Order k uses Hh(0..k, x0) and rho^0 .. rho^(k+1); the highest order is count - 1.
    const double x0 = form_.x0().v;
    Hh_upward(count - 1, x0, hh_ + 1, hh_);
    const double rho = form_.rho().v;
    rhoPow_[0] = 1.0;  // pow(x, 0) is 1 for every x, NaN included (C11 F.10.4.4)
    for (std::int32_t e = 1; e <= count; ++e) {
        rhoPow_[e] = sameRho != nullptr ? sameRho->rhoPow_[e] : std::pow(rho, static_cast<double>(e));
    }
    const double *hh = hh_ + 1;
    // With rho > 0 and every Hh value >= 0 (as the exact ones are) the terms of each sum
    // are non-negative and their magnitudes sum to the sum itself.
    bool oneSign = rho > 0.0;
    for (std::int32_t i = 0; i < count && oneSign; ++i) {
        oneSign = hh[i] >= 0.0;
    }
    for (std::int32_t k = 0; k < count; ++k) {
        double sumH = 0.0;
        for (std::int32_t i = 0; i <= k; ++i) {
            sumH = sumH + rhoPow_[k - i] * hh[i];
        }
        sumH_[k] = sumH;
        if (oneSign) {
            magnitude_[k] = sumH;
        } else {
            double magnitude = 0.0;
            for (std::int32_t i = 0; i <= k; ++i) {
                magnitude = magnitude + std::fabs(rhoPow_[k - i] * hh[i]);
            }
            magnitude_[k] = magnitude;
        }
        value_[k] = form_.combine(sumH, rhoPow_[k + 1]);
    }
}

// The error of sum_k w_k I_k has three parts.
//  1. The Hh values: each step of the recursion h_i = (h_(i-2) - x0 h_(i-1)) / i rounds
//     within eps_i, and x0 itself is off by at most err(x0). Upward at x0 > 0 the
//     recursion amplifies these like the dominant solution (-1)^i Hh(i, -x0), which
//     alternates in sign, and the sums over rho^(k-i) > 0 cancel much of it. The first-
//     order effect of each eps_i on L = sum_k w_k sumH_k is a_i eps_i with the adjoint
//       a_i = D_i - x0 / (i + 1) a_(i+1) + a_(i+2) / (i + 2),  D_i = sum_(k>=i) w_k rho^(k-i),
//     swept downward, and that of err(x0) is S_x err(x0) with S_x = sum_i a_i dh_i/dx0 at
//     each step. L enters I_k through the factor expC / alpha.
//  2. Each sumH_k: its powers of rho (library and the error of rho) and its k + 1
//     roundings, relative to the sum of magnitudes.
//  3. The closed form's factors expC / alpha, scale rho^(k+1) expTail and Phi, each with
//     its own bound, and the roundings of the final products and difference.
namespace {

// 1 / i for i = 0 .. kLastFiniteFactorial + 2 (entry 0 unused), for the bound's arithmetic only.
struct Reciprocals {
    double value[kLastFiniteFactorial + 3];
    constexpr Reciprocals() : value() {
        for (int i = 1; i < kLastFiniteFactorial + 3; ++i) {
            value[i] = 1.0 / i;
        }
    }
};
constexpr Reciprocals kReciprocal;

}  // namespace

double InOrders::weighted_error(const double *w, const double *wAbs) const {
    if (!form_.evaluated()) {
        return 0.0;
    }
    constexpr double u = kUnitRoundoff;
    const std::int32_t n = count_;
    const double x0 = form_.x0().v;
    const double ax = std::fabs(x0);
    const double rho = form_.rho().v;
    const double rhoRelative = form_.rho().relative();
    const double *hh = hh_ + 1;  // hh[-1] .. hh[n - 1]

    // Part 1: adjoint sweep, i = n - 1 .. -1.
    double D = 0.0;
    double aNext = 0.0, aNext2 = 0.0;  // a_(i+1), a_(i+2)
    double fromSteps = 0.0;            // sum |a_i| eps_i
    double slope = 0.0;                // S_x
    for (std::int32_t i = n - 1; i >= 1; --i) {
        const double *inv = kReciprocal.value;
        D = w[i] + rho * D;
        const double a = D - x0 * inv[i + 1] * aNext + aNext2 * inv[i + 2];
        if (a != 0.0) {  // a zero weight carries no error, even an infinite one
            const double eps = u * (std::fabs(x0 * hh[i - 1]) * inv[i] + 2.0 * std::fabs(hh[i]));
            fromSteps += std::fabs(a) * eps;
            slope -= a * hh[i - 1] * inv[i];
        }
        aNext2 = aNext;
        aNext = a;
    }
    D = w[0] + rho * D;
    const double a0 = D - x0 * aNext + aNext2 / 2.0;
    const double aMinus1 = aNext;  // h_1 = (h_-1 - x0 h_0) / 1
    // h_0 = (1 - erfc(-x0 / sqrt 2) / 2) sqrt(2 pi): the library's erfc, the rounding of the
    // argument and of the two operations; h_-1 = exp((-x0 / 2) x0).
    const double eps0 =
        kSqrt2Pi * (0.5 * (kLibraryRelative * 2.0 + 1.13 * 2.0 * u * ax) + u) + 2.0 * u * hh[0];
    const double epsMinus1 = hh[-1] * (kLibraryRelative + u * (2.0 + x0 * x0));
    if (a0 != 0.0) {
        fromSteps += std::fabs(a0) * eps0;
        slope += a0 * (-hh[-1]);
    }
    if (aMinus1 != 0.0) {
        fromSteps += std::fabs(aMinus1) * epsMinus1;
        slope += aMinus1 * (-x0 * hh[-1]);
    }
    const double hhPart = fromSteps == 0.0 ? 0.0 : fromSteps + std::fabs(slope) * form_.x0().e;

    // Parts 2 and 3, order by order.
    const Bounded q = form_.expC() / form_.alpha();
    const Bounded factor = form_.scale() * form_.expTail();  // scale rho^(k+1) expTail / rho^(k+1)
    const Bounded phi = form_.cdfTerm();
    // pow_relative(rhoRelative, e) = 2 e rhoRelative + kLibraryRelative while
    // e rhoRelative <= 1/2, which is checked once for the largest e.
    if (!(static_cast<double>(n) * rhoRelative <= 0.5)) {
        return kInfinity;
    }
    const double absQ = std::fabs(q.v);
    const double Frel = factor.relative() + 2.0 * u + kLibraryRelative;
    double rest = 0.0;
    for (std::int32_t k = 0; k < n; ++k) {
        if (wAbs[k] == 0.0) {
            continue;
        }
        const double powK = 2.0 * k * rhoRelative + kLibraryRelative;
        const double F = std::fabs(factor.v * rhoPow_[k + 1]);
        const double T1 = F * std::fabs(phi.v);
        const double T2 = absQ * std::fabs(sumH_[k]);
        const double err = absQ * (powK + (k + 1.0) * u) * magnitude_[k] +
                           std::fabs(sumH_[k]) * q.e + F * phi.e +
                           T1 * (Frel + 2.0 * (k + 1.0) * rhoRelative) +
                           u * (T1 + T2 + std::fabs(value_[k])) + 3.0 * kUnderflow;
        rest += wAbs[k] * err;
    }
    return (hhPart == 0.0 ? 0.0 : std::fabs(q.v) * (1.0 + q.relative()) * hhPart) + rest;
}

}  // namespace kou

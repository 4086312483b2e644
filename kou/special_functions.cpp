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

void Hh_upward(std::int32_t last, double x, double *out) {
    double before = hh_minus1(x);
    out[0] = hh_zero(x);
    for (std::int32_t k = 1; k <= last; ++k) {
        out[k] = hh_step(before, out[k - 1], x, k);
        before = out[k - 1];
    }
}

InClosedForm::InClosedForm(double c, double alpha, double beta, double delta) {
    // Ordered comparisons: NaN falls to the +0.0 case except a NaN alpha with beta > 0.
    if (beta > 0.0) {
        kind_ = (alpha == 0.0) ? Kind::Zero : Kind::A;
    } else if (beta < 0.0 && alpha < 0.0) {
        kind_ = Kind::B;
    } else {
        kind_ = Kind::Zero;
    }
    if (kind_ == Kind::Zero) {
        return;
    }
    alpha_ = alpha;
    rho_ = beta / alpha;
    x0_ = (beta * c) - delta;
    expC_ = std::exp(c * alpha);
    expTail_ = std::exp((alpha * alpha) / ((beta + beta) * beta) + (delta * alpha) / beta);
    scale_ = kSqrt2Pi / beta;
    if (kind_ == Kind::A) {
        // Phi(-beta c + delta + alpha / beta)
        cdfTerm_ = 1.0 - std::erfc((alpha / beta + (delta - beta * c)) / kSqrt2) * 0.5;
    } else {
        // Phi(beta c - delta - alpha / beta)
        cdfTerm_ = 1.0 - std::erfc((x0_ - alpha / beta) / kSqrt2) * 0.5;
    }
}

double InClosedForm::combine(double sumH, double rhoPow) const {
    switch (kind_) {
        case Kind::A:
            return ((scale_ * rhoPow) * expTail_) * cdfTerm_ - sumH * (expC_ / alpha_);
        case Kind::B:
            return (-(expC_ / alpha_)) * sumH - ((scale_ * rhoPow) * expTail_) * cdfTerm_;
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
    const double rho = form.rho();
    const double x0 = form.x0();
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
    const InClosedForm form(c, alpha, beta, delta);
    if (!form.evaluated()) {
        for (std::int32_t k = 0; k < count; ++k) {
            out[k] = 0.0;
        }
        return;
    }
    // Order k uses Hh(0..k, x0) and rho^0 .. rho^(k+1); the highest order is count - 1.
    double hh[kMaxOrders];
    double rhoPow[kMaxOrders + 1];
    Hh_upward(count - 1, form.x0(), hh);
    for (std::int32_t e = 0; e <= count; ++e) {
        rhoPow[e] = std::pow(form.rho(), static_cast<double>(e));
    }
    for (std::int32_t k = 0; k < count; ++k) {
        double sumH = 0.0;
        for (std::int32_t i = 0; i <= k; ++i) {
            sumH = sumH + rhoPow[k - i] * hh[i];
        }
        out[k] = form.combine(sumH, rhoPow[k + 1]);
    }
}

}  // namespace kou

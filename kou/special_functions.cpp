#include "special_functions.h"

#include "in_orders_lanes.h"
#include "math_entries.h"

#include <cmath>
#include <limits>

// Vectors of four lanes never cross a call in this file (lanes.h): no -Wpsabi note.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kou {

using in_orders::hh_minus1;
using in_orders::hh_step;
using in_orders::hh_zero;

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
    double before;
    in_orders::hh_upward<1>(last, &x, minusOne != nullptr ? minusOne : &before, out);
}

InClosedForm::InClosedForm(Bounded c, Bounded alpha, Bounded beta, Bounded delta,
                           const InClosedForm *same, bool withC) {
    if (same != nullptr) {
        kind_ = same->kind_;
    } else if (beta.v > 0.0) {  // ordered comparisons: NaN falls to the +0.0 case except a NaN alpha with beta > 0
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
    beta_ = beta;
    delta_ = delta;
    if (same != nullptr) {
        rho_ = same->rho_;
        expTail_ = same->expTail_;
        scale_ = same->scale_;
        alphaOverBeta_ = same->alphaOverBeta_;
    } else {
        rho_ = beta / alpha;
        expTail_ = exp((alpha * alpha) / ((beta + beta) * beta) + (delta * alpha) / beta);
        scale_ = kSqrt2PiRounded / beta;
        alphaOverBeta_ = alpha / beta;
    }
    if (!withC) {
        return;
    }
    const LevelParts<double> parts = level_parts(c);
    x0_ = parts.x0;
    expC_ = parts.expC;
    cdfTerm_ = parts.cdf;
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
        sumH = sumH + math_entries::pow(rho, static_cast<double>(n - i)) * h;
        if (i == n) {
            break;
        }
        const double next = hh_step(before, h, x0, i + 1);
        before = h;
        h = next;
    }
    return form.combine(sumH, math_entries::pow(rho, static_cast<double>(n) + 1.0));
}

void I_n_orders(std::int32_t count, double c, double alpha, double beta, double delta,
                double *out) {
    const Bounded level = Bounded::exact(c);
    const InOrders orders(count, &level, Bounded::exact(alpha), Bounded::exact(beta),
                          Bounded::exact(delta));
    for (std::int32_t k = 0; k < count; ++k) {
        out[k] = orders.values()[k];
    }
}


}  // namespace kou

// The normalised Black-Scholes call and its inversion (see black_scholes.h for the notation).
//
// 1. The out-of-the-money call, x <= 0. With u = -x/s >= 0, t = s/2 and the Mills ratio
//    R(z) = Phi(-z)/phi(z) = sqrt(pi/2) erfcx(z/sqrt 2), both terms of b carry the same
//    Gaussian factor, exp(x/2) phi(-u + t) = exp(-x/2) phi(-u - t) = E/sqrt(2 pi) with
//    E = exp(-(u^2 + t^2)/2), so
//        b = E/sqrt(2 pi) [R(u - t) - R(u + t)]                                        (1)
//    and its complement c = exp(x/2) - b (the headroom below the largest price) is
//        c = E/sqrt(2 pi) [R(t - u) + R(t + u)].                                        (2)
//    (2) is a sum of positive terms. (1) is a difference, which cancels where
//    R(u + t)/R(u - t) is near 1, that is where t is small against 1/nu(u),
//    nu(u) = -d ln R/du ~ 2/(u + sqrt(u^2 + 4)). There the Taylor series in t is used:
//    R(u - t) - R(u + t) = 2 sum_{k odd} M_k(u) t^k / k!, with the moments
//        M_k(u) = int_0^inf y^k exp(-u y - y^2/2) dy = (-1)^k R^(k)(u),                 (3)
//    all positive (R is completely monotone), so the series has no cancellation at all.
//    Integration by parts gives u M_k + M_{k+1} = k M_{k-1}, M_0 = R(u). Forward, this
//    loses about log10(1 + u^2) digits at M_1 = 1 - u R and more at each step; backward
//    (Miller's algorithm) it only adds positive terms and converges to the moments, fast
//    for large u. The code runs it forward for u <= 2.5 and backward above, started from
//    the ratio M_{N+1}/M_N ~ (sqrt(u^2 + 4(N + 1)) - u)/2 (the fixed point of the ratio
//    recurrence), which cuts the number of backward steps for full precision about in half.
//    The number of steps N for each range of u is the fewest that bring the series to
//    2^-53 of itself against 40-digit quadrature of (3) (tests/support/moment_steps.py
//    derives them); tests/test_calibration.py checks b against 40 digits in each form.
//    Where (1) cancels by less than a factor of 4 it is used as it stands, and where t > u
//    (beyond the inflection point s = sqrt(2|x|)) the first term is taken as
//    exp(x/2) Phi(t - u), which no longer carries a large exponent.
//    The exponent -(u^2 + t^2)/2 reaches -700 before b underflows; its rounding alone would
//    cost a relative error of |u^2| 2^-53 (1e-13 at u = 30), so for a price it is formed
//    in two parts (u = -x/s with its remainder, the squares by Dekker's exact products).
//
// 2. The inversion. b increases in s, is convex below the inflection point s_c = sqrt(2|x|)
//    and concave above, where b_c = b(x, s_c) = exp(x/2)(1 - erfcx(sqrt|x|))/2 and the slope
//    is exp(x/2)/sqrt(2 pi). Two objectives, each close to linear on its side:
//      below, ln b(s) - ln beta: ln b ~ -x^2/(2 s^2) + ln s + ..., well scaled however small
//        the price (computed from (1) without forming E, so it never underflows);
//      above, and where the headroom gamma = exp(x/2) - beta is below the price,
//        ln c(s) - ln gamma from (2), which resolves prices to their last bit below the
//        upper bound (taking exp(x/2) - b would cancel there).
//    Their derivatives follow from b' = exp(-(u^2 + t^2)/2)/sqrt(2 pi) = v and
//    v'/v = a = x^2/s^3 - s/4: (ln b)' = q = v/b, (ln b)'' = q (a - q), and likewise for c.
//    Starting points:
//      below s_c: the model ln b ~ ln(s/sqrt(2 pi)) - (u^2 + t^2)/2 + ln M_1(u), with the
//        approximation M_1(u) ~ 8/((r + u)(3u + r)), r = sqrt(u^2 + 8), (exact at u = 0
//        and as u -> inf; from the Mills-ratio approximation R(u) ~ 4/(3u + sqrt(u^2 + 8))),
//        solved by four Newton steps in ln u (cheap: no error functions), or the tangent
//        at the inflection point where that is smaller: it lies below the convex b, so it
//        meets beta right of the root, and it is the better start near s_c, where the
//        model's leading moment no longer holds;
//      above s_c: the model of the headroom c = exp(x/2) Phi(-w)(1 + R(w + 2u)/R(w)),
//        w = t - u (exact; see upper_start), solved in a few rounds of the normal quantile,
//        or the tangent (now above the concave b, so left of the root) where that is larger.
//    Halley's method on the objective F then converges cubically: the error after a step
//    is C e^3 + O(e^4) with C = F''^2/(4 F'^2) - F'''/(6 F'), and e is the step to within
//    the same order, so the iteration stops when |C| step^3 is below half a unit in the
//    last place of s, or the step itself is at the rounding of s. One or two steps follow
//    the starting point on 98 % of inputs, at most six in the 237,000 solves of a sweep (forwards
//    1e-100 to 1e100, |x| to 700, s from 1e-8 to 100).
//
// erfcx and the normal quantile are built on the C library's erfc (a few units in the
// last place in relative terms over its whole range), see erfcx and lower_normal_quantile.
#include "black_scholes.h"

#include <cmath>
#include <limits>

namespace black_scholes {
namespace {

constexpr double kInvSqrt2 = 0.70710678118654752440;
constexpr double kInvSqrt2Pi = 0.39894228040143267794;
constexpr double kSqrt2Pi = 2.5066282746310005024;
constexpr double kLnSqrt2Pi = 0.91893853320467274178;
constexpr double kSqrtPiOver2 = 1.2533141373155002512;
constexpr double kInvSqrtPi = 0.56418958354775628695;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// a * b = p + e exactly (Dekker's product by Veltkamp's split; no fused multiply-add, whose
// speed depends on the processor).
struct Exact {
    double p, e;
};
inline Exact exact_product(double a, double b) {
    const double p = a * b;
    const double ca = 134217729.0 * a, ah = ca - (ca - a), al = a - ah;
    const double cb = 134217729.0 * b, bh = cb - (cb - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

// The Mills ratio R(z) = sqrt(pi/2) erfcx(z/sqrt 2), z >= 0.
double mills_ratio(double z) { return kSqrtPiOver2 * erfcx(z * kInvSqrt2); }

// Abramowitz and Stegun 26.2.23 (Hastings): Phi^-1(p) for 0 < p <= 1/2 to 4.5e-4 absolute.
double rough_normal_quantile(double log_p) {
    const double r = std::sqrt(-2.0 * log_p);
    return -(r - (2.515517 + r * (0.802853 + r * 0.010328)) /
                     (1.0 + r * (1.432788 + r * (0.189269 + r * 0.001308))));
}

// Phi^-1(p), 0 < p <= 1/2, after `steps` refinements (two reach the rounding; one, 1e-10,
// is plenty for a starting point).
double refined_normal_quantile(double p, int steps) {
    if (!(p > 0.0 && p <= 0.5)) return std::numeric_limits<double>::quiet_NaN();
    const double log_p = std::log(p);
    double z = rough_normal_quantile(log_p);  // to 4.5e-4 ...
    // ... then Halley's method on Phi(z) = p: 4.5e-4 -> 1e-10 -> below rounding in two steps.
    // With Phi(z) = phi(z) R(-z) for z <= 0, (Phi(z) - p)/phi(z) = R(-z)(1 - p/Phi(z)) and
    // p/Phi(z) = exp(ln p + z^2/2 + ln sqrt(2 pi) - ln R(-z)): no underflow however small p.
    // (Near the centre, z > -1, the plain difference is as accurate.)
    for (int step = 0; step < steps; ++step) {
        double ratio;
        if (z > -1.0) {
            ratio = (0.5 * std::erfc(-z * kInvSqrt2) - p) * kSqrt2Pi * std::exp(0.5 * z * z);
        } else {
            const double mills = mills_ratio(-z);
            ratio = -mills * std::expm1(log_p + 0.5 * z * z + kLnSqrt2Pi - std::log(mills));
        }
        z -= ratio / (1.0 + 0.5 * z * ratio);
    }
    return z;
}

// 1/k for k = 1 .. 57 (entry 0 unused), rounded once: the backward recurrence's divisors.
struct InverseTable {
    double value[58];
    constexpr InverseTable() : value() {
        for (int k = 1; k < 58; ++k) value[k] = 1.0 / k;
    }
};
constexpr InverseTable kInverseTable;
constexpr const double *kInverse = kInverseTable.value;

// sum_{k odd} M_k(u) t^k / k! = (R(u - t) - R(u + t))/2, the series of (1), u >= 0, t > 0,
// used where 16 t < sqrt(u^2 + 4) + u (so t/u < 1/8 for large u and t < 1/8 at u = 0).
double moment_series(double u, double t) {
    const double tt = t * t;
    if (u > 1e8) {
        // M_k = k!/u^(k+1) (1 + O(k^2/u^2)): the geometric sum in (t/u)^2, exact to rounding.
        return t / ((u - t) * (u + t));
    }
    const double r0 = mills_ratio(u);
    if (u <= 2.5) {
        // Forward: M_1 = 1 - u R loses at most log2(1 + u^2) < 3 bits here, and the later
        // moments' growing errors meet terms that fall by (t/u)^2 or t^2/(k + 2) per step.
        double previous = r0, current = 1.0 - u * r0;  // M_0, M_1
        double weight = t, sum = current * t;
        for (int k = 1; k < 60; k += 2) {
            const double next = k * previous - u * current;   // M_{k+1}
            const double after = (k + 1) * current - u * next;  // M_{k+2}
            weight *= tt / ((k + 1) * (k + 2));
            previous = next;
            current = after;
            const double term = current * weight;
            sum += term;
            if (term <= 1e-17 * sum) break;
        }
        return sum;
    }
    // Backward from N, with M_N = 1 and M_{N+1} at the ratio's fixed point; the odd terms
    // gathered by Horner's rule on the way down, the whole rescaled by M_0 = R(u) at the end.
    // Steps for the lower end of each range of u (tests/support/moment_steps.py).
    const int n = u <= 3.0 ? 56 : u <= 4.0 ? 44 : u <= 6.0 ? 32 : 20;
    double above = 0.5 * (std::sqrt(u * u + 4.0 * (n + 1)) - u), current = 1.0;
    double horner = 0.0;  // n is even: the first odd moment is M_{n-1}
    for (int k = n; k > 0; k -= 2) {
        // Two steps, M_{k-1} (odd) then M_{k-2}, multiplying by 1/k (a division would
        // lengthen each step of this serial chain about twofold).
        const double odd = (u * current + above) * kInverse[k];
        horner = odd + horner * tt * kInverse[k] * kInverse[k + 1];
        const double even = (u * odd + current) * kInverse[k - 1];
        above = odd;
        current = even;
    }
    return t * horner * (r0 / current);
}

enum class Form { series, difference, direct };

Form form_of(double u, double t) {
    if (16.0 * t < std::sqrt(u * u + 4.0) + u) return Form::series;
    return t < u ? Form::difference : Form::direct;
}

// A logarithm and the derivative of what it is the logarithm of, relative to its value.
struct LogValue {
    double log, ratio;
};

// The out-of-the-money call, x <= 0, s > 0, in the form form_of chooses: for the series and
// the difference b / E (E = exp(-(u^2 + t^2)/2) left to the caller), for the direct form b
// itself beside E.
struct OutOfTheMoney {
    Form form;
    double value, e;
};

OutOfTheMoney out_of_the_money_call(double x, double u, double t) {
    switch (form_of(u, t)) {
        case Form::series:
            return {Form::series, 2.0 * kInvSqrt2Pi * moment_series(u, t), 0.0};
        case Form::difference:
            return {Form::difference, 0.5 * (erfcx((u - t) * kInvSqrt2) - erfcx((u + t) * kInvSqrt2)), 0.0};
        case Form::direct:
        default: {
            const double e = std::exp(-0.5 * (u * u + t * t));
            return {Form::direct,
                    0.5 * (std::exp(0.5 * x) * std::erfc((u - t) * kInvSqrt2) - e * erfcx((u + t) * kInvSqrt2)), e};
        }
    }
}

// ln b and q = b'/b for the out-of-the-money call, x <= 0, s > 0.
LogValue log_call(double x, double s) {
    const double u = -x / s, t = 0.5 * s;
    const OutOfTheMoney b = out_of_the_money_call(x, u, t);
    if (b.form == Form::direct) {
        return {std::log(b.value), kInvSqrt2Pi * b.e / b.value};
    }
    return {-0.5 * (u * u + t * t) + std::log(b.value), kInvSqrt2Pi / b.value};
}

// ln c and w = -c'/c for the headroom c = exp(x/2) - b, x <= 0, s > 0, from (2).
LogValue log_headroom(double x, double s) {
    const double u = -x / s, t = 0.5 * s;
    const double exponent = -0.5 * (u * u + t * t);
    if (t >= u) {
        const double scaled = 0.5 * (erfcx((t - u) * kInvSqrt2) + erfcx((t + u) * kInvSqrt2));
        return {exponent + std::log(scaled), kInvSqrt2Pi / scaled};
    }
    const double e = std::exp(exponent);
    const double c = 0.5 * (std::exp(0.5 * x) * std::erfc((t - u) * kInvSqrt2) +
                            e * erfcx((t + u) * kInvSqrt2));
    return {std::log(c), kInvSqrt2Pi * e / c};
}

// root b(x, s) for x <= 0, s > 0, in relative accuracy, with root = sqrt(F K) = exp(log_root):
// the exponent of E formed in two parts, and added to log_root only where E or the product
// would leave the range of doubles.
double scaled_out_of_the_money_call(double x, double s, double root, double log_root) {
    const double u = -x / s, t = 0.5 * s;
    const OutOfTheMoney b = out_of_the_money_call(x, u, t);
    if (b.form == Form::direct) {
        return root * b.value;
    }
    const double scaled = b.value;
    // u^2 + t^2 = hi + lo: u's remainder (-x - u s)/s, then the exact squares.
    const Exact us = exact_product(u, s);
    const double u_rest = ((-x - us.p) - us.e) / s;
    const Exact uu = exact_product(u, u), tt = exact_product(t, t);
    const double hi = uu.p + tt.p;
    const double lo = (uu.p - hi) + tt.p + uu.e + tt.e + 2.0 * u * u_rest;
    const double exponent = -0.5 * hi, correction = 1.0 - 0.5 * lo;
    if (exponent > -700.0 && root > 1e-300 && root < 1e300) {
        return root * (std::exp(exponent) * correction * scaled);
    }
    return std::exp(exponent + log_root) * correction * scaled;
}

// ln x or, where x underflows or overflows, ln F - ln K.
double log_moneyness(double F, double K) {
    const double ratio = F / K;
    if (ratio > std::numeric_limits<double>::min() && ratio < std::numeric_limits<double>::max()) {
        return std::log(ratio);
    }
    return std::log(F) - std::log(K);
}

// Starting point below the inflection point: Newton in ln u on the model of ln b described
// at the top, from u = -x/s_start (a point left of the root in s).
double lower_start(double x, double log_beta, double s_start) {
    const double ax = -x;
    double u = ax / s_start;
    for (int step = 0; step < 4; ++step) {
        const double r = std::sqrt(u * u + 8.0);
        const double m1 = 8.0 / ((r + u) * (3.0 * u + r));
        const double t = 0.5 * ax / u;
        const double g = std::log(ax * m1 / u) - kLnSqrt2Pi - 0.5 * (u * u + t * t) - log_beta;
        const double dg = -1.0 - u * u + t * t - u * (1.0 / r + (3.0 + u / r) / (3.0 * u + r));
        double dv = -g / dg;
        // ln b is concave in ln u here: the first step may overshoot far; one unit of ln u
        // per step keeps it from leaving the range where the model holds.
        if (dv > 1.0) dv = 1.0;
        if (dv < -1.0) dv = -1.0;
        u *= std::exp(dv);
    }
    return ax / u;
}

// Starting point above the inflection point, from the headroom as a fraction of the bound,
// g = gamma exp(-x/2). With w = t - u >= 0 the headroom is exactly
//     c = exp(x/2) Phi(-w) (1 + R(w + 2u)/R(w))
// (the two terms of (2) differ by the factor R(w + 2u)/R(w), 1 at the money, falling to 0
// far from it). Three rounds of w = -Phi^-1(g/(1 + rho)) with the rough quantile and rho
// from the Mills-ratio approximation R(z) ~ 4/(3z + sqrt(z^2 + 8)), each solving
// t - u = w, t u = |x|/2 for t, then w once more with a refined quantile; s = 2t.
double upper_start(double x, double fraction) {
    const double ax = -x;
    double rho = 1.0, w = 0.0;
    for (int round = 0; round < 3; ++round) {
        const double p = std::fmin(fraction / (1.0 + rho), 0.5);
        w = std::fmax(-rough_normal_quantile(std::log(p)), 0.0);
        const double t = 0.5 * (w + std::sqrt(w * w + 2.0 * ax)), z = w + 2.0 * (t - w);
        rho = (3.0 * w + std::sqrt(w * w + 8.0)) / (3.0 * z + std::sqrt(z * z + 8.0));
    }
    w = std::fmax(-refined_normal_quantile(std::fmin(fraction / (1.0 + rho), 0.5), 1), 0.0);
    return w + std::sqrt(w * w + 2.0 * ax);
}

// A normalised price, with its logarithm taken from the unnormalised price where the
// quotient underflows (a price far out of the money on a large notional).
struct Normalised {
    double value, amount, root_f, root_k;
    double log() const {
        return value > 1e-300 ? std::log(value) : std::log(amount) - std::log(root_f) - std::log(root_k);
    }
};
Normalised normalised(double amount, double root_f, double root_k) {
    // One division by sqrt(F) sqrt(K) (within the range of doubles for any F, K): dividing
    // by each in turn could pass through the subnormals and lose bits on the way.
    return {amount / (root_f * root_k), amount, root_f, root_k};
}

// The total volatility s of the out-of-the-money call x <= 0 with normalised price beta and
// headroom gamma = exp(x/2) - beta, both positive.
double total_volatility(double x, Normalised price, Normalised headroom) {
    const double beta = price.value, gamma = headroom.value;
    bool upper;
    double s;
    if (x == 0.0) {
        upper = gamma < beta;
        // At the money b = erf(s/(2 sqrt 2)) = s/sqrt(2 pi) (1 - s^2/24 + ...): below 1e-100
        // the first term is the volatility to rounding (and stays clear of s = 0).
        if (!upper && beta < 1e-100) return kSqrt2Pi * beta;
        s = upper ? -2.0 * refined_normal_quantile(0.5 * gamma, 1) : kSqrt2Pi * beta;
    } else {
        const double sc = std::sqrt(-2.0 * x);
        const double half = std::exp(0.5 * x);
        const double bc = 0.5 * half * (1.0 - erfcx(std::sqrt(-x)));
        const double tangent = sc + (beta - bc) * kSqrt2Pi / half;
        if (beta > 1e-300 ? beta < bc : price.log() < std::log(bc)) {
            upper = false;
            // The tangent lies below the convex b, so it meets beta right of the root: an
            // upper bound, and the better start near the inflection point, where the
            // model's leading-term moment no longer holds.
            s = lower_start(x, price.log(), tangent > 0.0 ? tangent : sc);
            if (tangent > 0.0 && tangent < s) s = tangent;
        } else {
            upper = gamma < beta;
            s = std::fmax(tangent, upper_start(x, gamma / half));
        }
    }
    const double target = upper ? headroom.log() : price.log();
    const double xx = x * x;
    for (int iteration = 0; iteration < 12; ++iteration) {
        const double a = xx / (s * s * s) - 0.25 * s;
        const double da = -3.0 * xx / (s * s * s * s) - 0.25;
        double f, d1, d2, d3;
        if (upper) {
            const LogValue c = log_headroom(x, s);
            const double w = c.ratio, aw = a + w;
            f = c.log - target;
            d1 = -w;
            d2 = -w * aw;
            d3 = -(w * aw * (a + 2.0 * w) + w * da);
        } else {
            const LogValue b = log_call(x, s);
            const double q = b.ratio;
            f = b.log - target;
            d1 = q;
            d2 = q * (a - q);
            d3 = d2 * (a - 2.0 * q) + q * da;
        }
        const double newton = -f / d1;
        const double denominator = 1.0 + 0.5 * newton * d2 / d1;
        // Halley's step; Newton's where the curvature term would more than halve or
        // double it (far from the root, where neither is the cubic model's).
        const double step = (denominator > 0.5 && denominator < 2.0) ? newton / denominator : newton;
        const double next = s + step > 0.0 ? s + step : 0.5 * s;
        const double constant = std::fabs(d2 * d2 / (4.0 * d1 * d1) - d3 / (6.0 * d1));
        const double size = std::fabs(next - s);
        s = next;
        if (!(size > 2.0 * kEpsilon * s) || constant * size * size * size <= 0.5 * kEpsilon * s) break;
    }
    return s;
}

}  // namespace

double erfcx(double z) {
    if (std::isnan(z)) return z;
    if (z < 26.0) {
        // erfc(z) exp(z^2) with z^2 = hi + lo exactly: exp(hi)(1 + lo), so that the rounding
        // of z^2 (up to 676 times 2^-53) does not reach the result.
        const Exact zz = exact_product(z, z);
        if (zz.p > 709.0) return std::numeric_limits<double>::infinity();  // z < -26.6
        return std::erfc(z) * (std::exp(zz.p) * (1.0 + zz.e));
    }
    // The asymptotic series 1/(z sqrt pi) sum_k (-1)^k (2k - 1)!!/(2 z^2)^k: at z >= 26 its
    // terms fall by at least 15/1352 per step, the eighth below 2^-62.
    const double w = 0.5 / (z * z);
    double term = 1.0, sum = 1.0;
    for (int k = 1; k <= 8; ++k) {
        term *= -(2 * k - 1) * w;
        sum += term;
    }
    return kInvSqrtPi / z * sum;
}

double lower_normal_quantile(double p) { return refined_normal_quantile(p, 2); }

double normalised_vega(double x, double s) {
    const double u = x / s;
    return kInvSqrt2Pi * std::exp(-0.5 * (u * u + 0.25 * s * s));
}

double normalised_call(double x, double s) {
    if (std::isnan(x) || std::isnan(s)) return std::numeric_limits<double>::quiet_NaN();
    const double intrinsic = x > 0.0 ? 2.0 * std::sinh(0.5 * x) : 0.0;  // exp(x/2) - exp(-x/2)
    if (!(s > 0.0)) return intrinsic;
    if (std::isinf(s)) return std::exp(0.5 * x);
    return intrinsic + scaled_out_of_the_money_call(-std::fabs(x), s, 1.0, 0.0);
}

double price(double F, double K, double sigma, double T, bool call) {
    const double intrinsic = std::fmax(call ? F - K : K - F, 0.0);
    const double s = sigma * std::sqrt(T);
    if (std::isnan(s) || std::isnan(F) || std::isnan(K)) return std::numeric_limits<double>::quiet_NaN();
    if (!(s > 0.0)) return intrinsic;
    if (std::isinf(s)) return call ? F : K;
    const double x = log_moneyness(F, K);
    const double root = std::sqrt(F) * std::sqrt(K);
    const double log_root = 0.5 * (std::log(F) + std::log(K));
    return intrinsic + scaled_out_of_the_money_call(-std::fabs(x), s, root, log_root);
}

double implied_volatility(double price, double F, double K, double T, bool call, double headroom) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (std::isnan(price) || std::isnan(F) || std::isnan(K) || std::isnan(T) || std::isnan(headroom)) {
        return kNaN;
    }
    if (!(headroom > 0.0)) return kNaN;  // at or above the largest price
    const double intrinsic = call ? F - K : K - F;
    double beta;  // the out-of-the-money part, price less intrinsic value
    if (intrinsic > 0.0) {
        beta = price - intrinsic;
        // F - K is rounded: a price below it by at most 4 units in the last place of
        // max(F, K) is the intrinsic value, volatility zero; any price above it is taken at
        // its word.
        if (beta < -4.0 * kEpsilon * std::fmax(F, K)) return kNaN;
        if (beta <= 0.0) return 0.0;
    } else {
        beta = price;
        if (beta < 0.0) return kNaN;
        if (beta == 0.0) return 0.0;
    }
    const double root_f = std::sqrt(F), root_k = std::sqrt(K);
    const double x = -std::fabs(log_moneyness(F, K));
    const double s = total_volatility(x, normalised(beta, root_f, root_k), normalised(headroom, root_f, root_k));
    return s / std::sqrt(T);
}

double implied_volatility(double price, double F, double K, double T, bool call) {
    return implied_volatility(price, F, K, T, call, (call ? F : K) - price);
}

}  // namespace black_scholes

// Black-Scholes implied volatility by Jäckel's "Let's be rational" (see lets_be_rational.h).
//
// The branches, expansions and iteration follow the paper and its reference implementation
// (www.jaeckel.org/LetsBeRational.7z), which carries this notice:
//
//   Copyright (c) 2013-2014 Peter Jäckel.
//   Permission to use, copy, modify, and distribute this software is freely granted,
//   provided that this notice is preserved.
//   WARRANTY DISCLAIMER
//   The Software is provided "as is" without warranty of any kind, either express or
//   implied, including without limitation any implied warranties of condition,
//   uninterrupted use, merchantability, fitness for a particular purpose, or
//   non-infringement.
//
// The rational cubic interpolation is Delbourgo and Gregory's ("Shape preserving piecewise
// rational interpolation", SIAM J. Sci. Stat. Comput. 6 (1985) 967-976), as the paper uses it.
#include "lets_be_rational.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace lets_be_rational {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFourthRootEpsilon = 0.0001220703125;           // DBL_EPSILON^(1/4)
constexpr double kSixteenthRootEpsilon = 0.10511205190671433;    // DBL_EPSILON^(1/16)
constexpr double kSqrtDblMin = 1.4916681462400413e-154;          // sqrt(DBL_MIN)
constexpr double kSqrtDblMax = 1.3407807929942596e+154;          // sqrt(DBL_MAX)
constexpr double kOneOverSqrtTwo = 0.7071067811865475244008443621048490392848359376887;
constexpr double kOneOverSqrtTwoPi = 0.3989422804014326779399460599343818684758586311649;
constexpr double kSqrtTwoPi = 2.506628274631000502415765284811045253006986740610;
constexpr double kTwoPi = 6.283185307179586476925286766559005768394338798750;
constexpr double kSqrtPiOverTwo = 1.253314137315500251207882642405522626503493370305;
constexpr double kSqrtThree = 1.732050807568877293527446341505872366942805253810;
constexpr double kSqrtOneOverThree = 0.577350269189625764509148780501957455647601751270;
constexpr double kTwoPiOverSqrtTwentySeven = 1.209199576156145233729385505094770488189377498728;
constexpr double kPiOverSix = 0.523598775598298873077107230546583814032861566563;

// Region boundaries of the normalised call: h = x/s below eta uses the asymptotic
// expansion, t = s/2 below tau the small-t expansion (tau = 2 eps^(1/16) makes its twelfth
// order term negligible).
constexpr double kAsymptoticThreshold = -10.0;
constexpr double kSmallTThreshold = 2.0 * kSixteenthRootEpsilon;

// Two Householder(3) steps after the rational guess reach the attainable accuracy.
constexpr int kIterations = 2;

double square(double x) { return x * x; }

double norm_cdf(double z) { return 0.5 * std::erfc(-z * kOneOverSqrtTwo); }

double norm_pdf(double z) { return kOneOverSqrtTwoPi * std::exp(-0.5 * z * z); }

// ---------------------------------------------------------------------------------------
// Delbourgo-Gregory rational cubic interpolation on [x_l, x_r] with values y and slopes d
// at the ends and control parameter r (r = 3: the cubic Hermite interpolant; r -> infinity:
// linear).
constexpr double kMinimumControl = -(1.0 - 1.4901161193847656e-08);   // -(1 - sqrt(eps))
constexpr double kMaximumControl = 2.0 / (DBL_EPSILON * DBL_EPSILON);

bool is_zero(double x) { return std::fabs(x) < DBL_MIN; }

double rational_cubic_interpolation(double x, double x_l, double x_r, double y_l, double y_r,
                                    double d_l, double d_r, double r) {
    const double h = x_r - x_l;
    if (std::fabs(h) <= 0.0) {
        return 0.5 * (y_l + y_r);
    }
    const double t = (x - x_l) / h;
    if (!(r >= kMaximumControl)) {   // NaN propagates through this branch
        const double omt = 1.0 - t, t2 = t * t, omt2 = omt * omt;
        return (y_r * t2 * t + (r * y_r - h * d_r) * t2 * omt + (r * y_l + h * d_l) * t * omt2 +
                y_l * omt2 * omt) /
               (1.0 + (r - 3.0) * t * omt);
    }
    return y_r * t + y_l * (1.0 - t);   // linear, without overflow
}

// The smallest control parameter that keeps the interpolant monotone and convex (or
// concave) where the data are (Delbourgo and Gregory, (3.8) and (3.18)).
double minimum_rational_cubic_control_parameter(double d_l, double d_r, double s,
                                                bool preferShapePreservation) {
    const bool monotonic = d_l * s >= 0.0 && d_r * s >= 0.0;
    const bool convex = d_l <= s && s <= d_r;
    const bool concave = d_l >= s && s >= d_r;
    if (!monotonic && !convex && !concave) {
        return kMinimumControl;
    }
    const double d_r_m_d_l = d_r - d_l, d_r_m_s = d_r - s, s_m_d_l = s - d_l;
    double r1 = -DBL_MAX, r2 = -DBL_MAX;
    if (monotonic) {
        if (!is_zero(s)) {
            r1 = (d_r + d_l) / s;
        } else if (preferShapePreservation) {
            r1 = kMaximumControl;
        }
    }
    if (convex || concave) {
        if (!(is_zero(s_m_d_l) || is_zero(d_r_m_s))) {
            r2 = std::fmax(std::fabs(d_r_m_d_l / d_r_m_s), std::fabs(d_r_m_d_l / s_m_d_l));
        } else if (preferShapePreservation) {
            r2 = kMaximumControl;
        }
    } else if (monotonic && preferShapePreservation) {
        r2 = kMaximumControl;
    }
    return std::fmax(kMinimumControl, std::fmax(r1, r2));
}

// The rational cubic through (x_l, y_l, d_l) and (x_r, y_r, d_r) at x, with the control
// parameter that matches a given second derivative at the left or right end, raised to
// the shape-preserving minimum.
enum class End { Left, Right };
double convex_interpolation(End end, double x, double x_l, double x_r, double y_l, double y_r,
                            double d_l, double d_r, double second, bool preferShapePreservation) {
    const double h = x_r - x_l;
    const double numerator = 0.5 * h * second + (d_r - d_l);
    double r;
    if (is_zero(numerator)) {
        r = 0.0;
    } else {
        const double denominator =
            end == End::Left ? (y_r - y_l) / h - d_l : d_r - (y_r - y_l) / h;
        r = is_zero(denominator) ? (numerator > 0.0 ? kMaximumControl : kMinimumControl)
                                 : numerator / denominator;
    }
    r = std::fmax(r, minimum_rational_cubic_control_parameter(d_l, d_r, (y_r - y_l) / h,
                                                              preferShapePreservation));
    return rational_cubic_interpolation(x, x_l, x_r, y_l, y_r, d_l, d_r, r);
}

// ---------------------------------------------------------------------------------------
// The normalised call's four regions, with h = x/s and t = s/2:
//   b = exp(-(h^2 + t^2)/2) / sqrt(2 pi) [Y(h + t) - Y(h - t)],  Y(z) = Phi(z) / phi(z).

// Region 1, h < -10 and t small beside |h|: Abramowitz and Stegun 26.2.12 for Y, an
// expansion of A = r/t [Y(h + t) - Y(h - t)] in q = (h/r)^2 with e = (t/h)^2, r = (h+t)(h-t),
// to 17th order (relative accuracy 1.64e-16 for h <= -10).
double asymptotic_expansion_of_normalised_black_call(double h, double t) {
    const double e = (t / h) * (t / h);
    const double r = (h + t) * (h - t);
    const double q = (h / r) * (h / r);
    // clang-format off
    const double sum = (2.0+q*(-6.0E0-2.0*e+3.0*q*(1.0E1+e*(2.0E1+2.0*e)+5.0*q*(-1.4E1+e*(-7.0E1+e*(-4.2E1-2.0*e))+7.0*q*(1.8E1+e*(1.68E2+e*(2.52E2+e*(7.2E1+2.0*e)))+9.0*q*(-2.2E1+e*(-3.3E2+e*(-9.24E2+e*(-6.6E2+e*(-1.1E2-2.0*e))))+1.1E1*q*(2.6E1+e*(5.72E2+e*(2.574E3+e*(3.432E3+e*(1.43E3+e*(1.56E2+2.0*e)))))+1.3E1*q*(-3.0E1+e*(-9.1E2+e*(-6.006E3+e*(-1.287E4+e*(-1.001E4+e*(-2.73E3+e*(-2.1E2-2.0*e))))))+1.5E1*q*(3.4E1+e*(1.36E3+e*(1.2376E4+e*(3.8896E4+e*(4.862E4+e*(2.4752E4+e*(4.76E3+e*(2.72E2+2.0*e)))))))+1.7E1*q*(-3.8E1+e*(-1.938E3+e*(-2.3256E4+e*(-1.00776E5+e*(-1.84756E5+e*(-1.51164E5+e*(-5.4264E4+e*(-7.752E3+e*(-3.42E2-2.0*e))))))))+1.9E1*q*(4.2E1+e*(2.66E3+e*(4.0698E4+e*(2.3256E5+e*(5.8786E5+e*(7.05432E5+e*(4.0698E5+e*(1.08528E5+e*(1.197E4+e*(4.2E2+2.0*e)))))))))+2.1E1*q*(-4.6E1+e*(-3.542E3+e*(-6.7298E4+e*(-4.90314E5+e*(-1.63438E6+e*(-2.704156E6+e*(-2.288132E6+e*(-9.80628E5+e*(-2.01894E5+e*(-1.771E4+e*(-5.06E2-2.0*e))))))))))+2.3E1*q*(5.0E1+e*(4.6E3+e*(1.0626E5+e*(9.614E5+e*(4.08595E6+e*(8.9148E6+e*(1.04006E7+e*(6.53752E6+e*(2.16315E6+e*(3.542E5+e*(2.53E4+e*(6.0E2+2.0*e)))))))))))+2.5E1*q*(-5.4E1+e*(-5.85E3+e*(-1.6146E5+e*(-1.77606E6+e*(-9.37365E6+e*(-2.607579E7+e*(-4.01166E7+e*(-3.476772E7+e*(-1.687257E7+e*(-4.44015E6+e*(-5.9202E5+e*(-3.51E4+e*(-7.02E2-2.0*e))))))))))))+2.7E1*q*(5.8E1+e*(7.308E3+e*(2.3751E5+e*(3.12156E6+e*(2.003001E7+e*(6.919458E7+e*(1.3572783E8+e*(1.5511752E8+e*(1.0379187E8+e*(4.006002E7+e*(8.58429E6+e*(9.5004E5+e*(4.7502E4+e*(8.12E2+2.0*e)))))))))))))+2.9E1*q*(-6.2E1+e*(-8.99E3+e*(-3.39822E5+e*(-5.25915E6+e*(-4.032015E7+e*(-1.6934463E8+e*(-4.1250615E8+e*(-6.0108039E8+e*(-5.3036505E8+e*(-2.8224105E8+e*(-8.870433E7+e*(-1.577745E7+e*(-1.472562E6+e*(-6.293E4+e*(-9.3E2-2.0*e))))))))))))))+3.1E1*q*(6.6E1+e*(1.0912E4+e*(4.74672E5+e*(8.544096E6+e*(7.71342E7+e*(3.8707344E8+e*(1.14633288E9+e*(2.07431664E9+e*(2.33360622E9+e*(1.6376184E9+e*(7.0963464E8+e*(1.8512208E8+e*(2.7768312E7+e*(2.215136E6+e*(8.184E4+e*(1.056E3+2.0*e)))))))))))))))+3.3E1*(-7.0E1+e*(-1.309E4+e*(-6.49264E5+e*(-1.344904E7+e*(-1.4121492E8+e*(-8.344518E8+e*(-2.9526756E9+e*(-6.49588632E9+e*(-9.0751353E9+e*(-8.1198579E9+e*(-4.6399188E9+e*(-1.6689036E9+e*(-3.67158792E8+e*(-4.707164E7+e*(-3.24632E6+e*(-1.0472E5+e*(-1.19E3-2.0*e)))))))))))))))))*q)))))))))))))))));
    // clang-format on
    const double b = kOneOverSqrtTwoPi * std::exp(-0.5 * (h * h + t * t)) * (t / r) * sum;
    return std::fabs(std::fmax(b, 0.0));
}

// Region 2, t < tau: Y(h + t) - Y(h - t) to twelfth order in t, in terms of
// a = 1 + h Y(h) = 1 + h sqrt(pi/2) erfcx(-h/sqrt 2).
double small_t_expansion_of_normalised_black_call(double h, double t) {
    const double a = 1.0 + h * (0.5 * kSqrtTwoPi) * erfcx(-kOneOverSqrtTwo * h);
    const double w = t * t, h2 = h * h;
    // clang-format off
    const double expansion = 2.0*t*(a+w*((-1.0+3.0*a+a*h2)/6.0+w*((-7.0+15.0*a+h2*(-1.0+10.0*a+a*h2))/120.0+w*((-57.0+105.0*a+h2*(-18.0+105.0*a+h2*(-1.0+21.0*a+a*h2)))/5040.0+w*((-561.0+945.0*a+h2*(-285.0+1260.0*a+h2*(-33.0+378.0*a+h2*(-1.0+36.0*a+a*h2))))/362880.0+w*((-6555.0+10395.0*a+h2*(-4680.0+17325.0*a+h2*(-840.0+6930.0*a+h2*(-52.0+990.0*a+h2*(-1.0+55.0*a+a*h2)))))/39916800.0+((-89055.0+135135.0*a+h2*(-82845.0+270270.0*a+h2*(-20370.0+135135.0*a+h2*(-1926.0+25740.0*a+h2*(-75.0+2145.0*a+h2*(-1.0+78.0*a+a*h2))))))*w)/6227020800.0))))));
    // clang-format on
    const double b = kOneOverSqrtTwoPi * std::exp(-0.5 * (h * h + t * t)) * expansion;
    return std::fabs(std::fmax(b, 0.0));
}

// Region 3, h + t > 0.85: the first term dominates; the cumulative normals do not cancel.
double normalised_black_call_using_norm_cdf(double x, double s) {
    const double h = x / s, t = 0.5 * s;
    const double bMax = std::exp(0.5 * x);
    const double b = norm_cdf(h + t) * bMax - norm_cdf(h - t) / bMax;
    return std::fabs(std::fmax(b, 0.0));
}

// Region 4: b = exp(-(h^2 + t^2)/2) / 2 [erfcx(-(h + t)/sqrt 2) - erfcx(-(h - t)/sqrt 2)],
// one exponential and two rational functions instead of four transcendental factors.
double normalised_black_call_using_erfcx(double h, double t) {
    const double b = 0.5 * std::exp(-0.5 * (h * h + t * t)) *
                     (erfcx(-kOneOverSqrtTwo * (h + t)) - erfcx(-kOneOverSqrtTwo * (h - t)));
    return std::fabs(std::fmax(b, 0.0));
}

// The normalised intrinsic value max(theta (exp(x/2) - exp(-x/2)), 0), by its series for
// small x (the factor 98 = (92897280)^(1/4) from the last coefficient).
double normalised_intrinsic(double x, double theta) {
    if (theta * x <= 0.0) {
        return 0.0;
    }
    const double x2 = x * x;
    const double sign = theta < 0.0 ? -1.0 : 1.0;
    if (x2 < 98.0 * kFourthRootEpsilon) {
        return std::fabs(std::fmax(
            sign * x *
                (1.0 + x2 * ((1.0 / 24.0) +
                             x2 * ((1.0 / 1920.0) + x2 * ((1.0 / 322560.0) + (1.0 / 92897280.0) * x2)))),
            0.0));
    }
    const double bMax = std::exp(0.5 * x);
    return std::fabs(std::fmax(sign * (bMax - 1.0 / bMax), 0.0));
}

// The lower branch's transformation f(b) = 2 pi |x| / sqrt(27) Phi(-z)^3, z = |x| / (sqrt(3) s)
// (exact as b -> 0), and its first two derivatives in b, at s.
void lower_map_and_derivatives(double x, double s, double &f, double &fp, double &fpp) {
    const double ax = std::fabs(x);
    const double z = kSqrtOneOverThree * ax / s;
    const double y = z * z;
    const double s2 = s * s;
    const double Phi = norm_cdf(-z);
    const double phi = norm_pdf(z);
    fpp = kPiOverSix * y / (s2 * s) * Phi *
          (8.0 * kSqrtThree * s * ax + (3.0 * s2 * (s2 - 8.0) - 8.0 * x * x) * Phi / phi) *
          std::exp(2.0 * y + 0.25 * s2);
    const double Phi2 = Phi * Phi;
    fp = kTwoPi * y * Phi2 * std::exp(y + 0.125 * s * s);
    f = kTwoPiOverSqrtTwentySeven * ax * (Phi2 * Phi);
}

double inverse_lower_map(double x, double f) {
    return std::fabs(x / (kSqrtThree * inverse_norm_cdf(std::pow(
                                           f / (kTwoPiOverSqrtTwentySeven * std::fabs(x)), 1.0 / 3.0))));
}

// The upper branch's transformation f(b) = Phi(-s/2) (exact as b -> b_max) and its
// derivatives in b, at s.
void upper_map_and_derivatives(double x, double s, double &f, double &fp, double &fpp) {
    f = norm_cdf(-0.5 * s);
    const double w = square(x / s);
    fp = -0.5 * std::exp(0.5 * w);
    fpp = kSqrtPiOverTwo * std::exp(w + 0.125 * s * s) * w / s;
}

double inverse_upper_map(double f) { return -2.0 * inverse_norm_cdf(f); }

double householder_factor(double newton, double halley, double hh3) {
    return (1.0 + 0.5 * halley * newton) / (1.0 + newton * (halley + hh3 * newton / 6.0));
}

// One Householder(3) loop, shared by the three objectives: `step(s, b, b')` returns the
// step for the current s, or NaN to ask for bisection of the bracket.
template <typename Step>
double householder(double s, double beta, double x, double s_left, double s_right, const Step &step) {
    double ds = -DBL_MAX, ds_previous = 0.0;
    int reversals = 0;
    for (int iteration = 0; iteration < kIterations && std::fabs(ds) > DBL_EPSILON * s; ++iteration) {
        if (ds * ds_previous < 0.0) {
            ++reversals;
        }
        if (iteration > 0 && (reversals == 3 || !(s > s_left && s < s_right))) {
            // Looping, or the step left the bracket: bisect (only for extreme |x|, > 500).
            s = 0.5 * (s_left + s_right);
            if (s_right - s_left <= DBL_EPSILON * s) {
                break;
            }
            reversals = 0;
            ds = 0.0;
        }
        ds_previous = ds;
        const double b = normalised_black_call(x, s);
        const double bp = normalised_vega(x, s);
        if (b > beta && s < s_right) {
            s_right = s;
        } else if (b < beta && s > s_left) {
            s_left = s;
        }
        ds = step(s, b, bp);
        if (std::isnan(ds)) {
            ds = 0.5 * (s_left + s_right) - s;
        }
        ds = std::fmax(-0.5 * s, ds);
        s += ds;
    }
    return s;
}

// The normalised volatility s for an out-of-the-money normalised price: beta of a call
// with x <= 0 (the caller maps puts and in-the-money options here); 0 < beta < exp(x/2).
double normalised_volatility_of_out_of_the_money_call(double beta, double x) {
    const double bMax = std::exp(0.5 * x);
    double s_left = DBL_MIN, s_right = DBL_MAX;
    double s;
    // The branch points: s_c = sqrt(2|x|) (the inflexion of b in s), and the two tangents at
    // it, to b = 0 (s_l) and to b = b_max (s_h).
    const double s_c = std::sqrt(std::fabs(2.0 * x));
    const double b_c = normalised_black_call(x, s_c);
    const double v_c = normalised_vega(x, s_c);
    if (beta < b_c) {
        const double s_l = s_c - b_c / v_c;
        const double b_l = normalised_black_call(x, s_l);
        if (beta < b_l) {
            // Lowest branch: interpolate f(beta), invert the map, then iterate on
            // g(s) = 1/ln(b(s)) - 1/ln(beta).
            double f_l, fp_l, fpp_l;
            lower_map_and_derivatives(x, s_l, f_l, fp_l, fpp_l);
            double f =
                convex_interpolation(End::Right, beta, 0.0, b_l, 0.0, f_l, 1.0, fp_l, fpp_l, true);
            if (!(f > 0.0)) {   // roundoff for extreme |x|: quadratic through f(0) = 0, f'(0) = 1
                const double t = beta / b_l;
                f = (f_l * t + b_l * (1.0 - t)) * t;
            }
            s = inverse_lower_map(x, f);
            const double lnBeta = std::log(beta);
            return householder(s, beta, x, s_left, s_l, [&](double s, double b, double bp) {
                if (b <= 0.0 || bp <= 0.0) {
                    return kNaN;
                }
                const double lnB = std::log(b);
                const double bpob = bp / b;
                const double h = x / s;
                const double bHalley = h * h / s - s / 4.0;
                const double newton = (lnBeta - lnB) * lnB / lnBeta / bpob;
                const double halley = bHalley - bpob * (1.0 + 2.0 / lnB);
                const double bHh3 = bHalley * bHalley - 3.0 * square(h / s) - 0.25;
                const double hh3 = bHh3 + 2.0 * square(bpob) * (1.0 + 3.0 / lnB * (1.0 + 1.0 / lnB)) -
                                   3.0 * bHalley * bpob * (1.0 + 2.0 / lnB);
                return newton * householder_factor(newton, halley, hh3);
            });
        }
        const double v_l = normalised_vega(x, s_l);
        s = convex_interpolation(End::Right, beta, b_l, b_c, s_l, s_c, 1.0 / v_l, 1.0 / v_c, 0.0,
                                 false);
        s_left = s_l;
        s_right = s_c;
    } else {
        const double s_h = v_c > DBL_MIN ? s_c + (bMax - b_c) / v_c : s_c;
        const double b_h = normalised_black_call(x, s_h);
        if (beta <= b_h) {
            const double v_h = normalised_vega(x, s_h);
            s = convex_interpolation(End::Left, beta, b_c, b_h, s_c, s_h, 1.0 / v_c, 1.0 / v_h, 0.0,
                                     false);
            s_left = s_c;
            s_right = s_h;
        } else {
            // Highest branch: interpolate f(beta), invert the map.
            double f_h, fp_h, fpp_h;
            upper_map_and_derivatives(x, s_h, f_h, fp_h, fpp_h);
            double f = -DBL_MAX;
            if (fpp_h > -kSqrtDblMax && fpp_h < kSqrtDblMax) {
                f = convex_interpolation(End::Left, beta, b_h, bMax, f_h, 0.0, fp_h, -0.5, fpp_h,
                                         true);
            }
            if (f <= 0.0) {   // quadratic through f(b_h), f(b_max) = 0, f'(b_max) = -1/2
                const double h = bMax - b_h;
                const double t = (beta - b_h) / h;
                f = (f_h * (1.0 - t) + 0.5 * h * t) * (1.0 - t);
            }
            s = inverse_upper_map(f);
            s_left = s_h;
            if (beta > 0.5 * bMax) {
                // Iterate on g(s) = ln((b_max - beta) / (b_max - b(s))).
                return householder(s, beta, x, s_left, s_right, [&](double s, double b, double bp) {
                    if (b >= bMax || bp <= DBL_MIN) {
                        return kNaN;
                    }
                    const double bMaxMinusB = bMax - b;
                    const double g = std::log((bMax - beta) / bMaxMinusB);
                    const double gp = bp / bMaxMinusB;
                    const double bHalley = square(x / s) / s - s / 4.0;
                    const double bHh3 = bHalley * bHalley - 3.0 * square(x / (s * s)) - 0.25;
                    const double newton = -g / gp;
                    const double halley = bHalley + gp;
                    const double hh3 = bHh3 + gp * (2.0 * gp + 3.0 * bHalley);
                    return newton * householder_factor(newton, halley, hh3);
                });
            }
        }
    }
    // The two middle branches (and the upper one below b_max / 2): g(s) = b(s) - beta.
    return householder(s, beta, x, s_left, s_right, [&](double s, double b, double bp) {
        const double newton = (beta - b) / bp;
        const double halley = square(x / s) / s - s / 4.0;
        const double hh3 = halley * halley - 3.0 * square(x / (s * s)) - 0.25;
        return newton * householder_factor(newton, halley, hh3);
    });
}

}  // namespace

double normalised_vega(double x, double s) {
    const double ax = std::fabs(x);
    if (ax <= 0.0) {
        return kOneOverSqrtTwoPi * std::exp(-0.125 * s * s);
    }
    return s <= 0.0 || s <= ax * kSqrtDblMin
               ? 0.0
               : kOneOverSqrtTwoPi * std::exp(-0.5 * (square(x / s) + square(0.5 * s)));
}

double normalised_black_call(double x, double s) {
    if (x > 0.0) {   // in the money: intrinsic plus the out-of-the-money put's value
        return normalised_intrinsic(x, 1.0) + normalised_black_call(-x, s);
    }
    if (s <= 0.0) {
        return normalised_intrinsic(x, 1.0);
    }
    // |h| > |eta| and t < tau + |h| - |eta|, written without dividing by s.
    if (x < s * kAsymptoticThreshold &&
        0.5 * s * s + x < s * (kSmallTThreshold + kAsymptoticThreshold)) {
        return asymptotic_expansion_of_normalised_black_call(x / s, 0.5 * s);
    }
    if (0.5 * s < kSmallTThreshold) {
        return small_t_expansion_of_normalised_black_call(x / s, 0.5 * s);
    }
    if (x + 0.5 * s * s > s * 0.85) {   // h + t > 0.85
        return normalised_black_call_using_norm_cdf(x, s);
    }
    return normalised_black_call_using_erfcx(x / s, 0.5 * s);
}

double black(double F, double K, double sigma, double T, double theta) {
    const double intrinsic = std::fabs(std::fmax(theta < 0.0 ? K - F : F - K, 0.0));
    if (theta * (F - K) > 0.0) {   // in the money: the out-of-the-money twin plus intrinsic
        theta = -theta;
    }
    const double x = std::log(F / K);
    const double b = normalised_black_call(theta < 0.0 ? -x : x, sigma * std::sqrt(T));
    return intrinsic + std::fmax(0.0, std::sqrt(F) * std::sqrt(K) * b);
}

double implied_volatility(double price, double F, double K, double T, double theta) {
    if (!(price >= 0.0) || !(F > 0.0) || !(K > 0.0) || !(T > 0.0) || !std::isfinite(price) ||
        !std::isfinite(F) || !std::isfinite(K) || !std::isfinite(T)) {
        return kNaN;
    }
    const double intrinsic = std::fabs(std::fmax(theta < 0.0 ? K - F : F - K, 0.0));
    if (price < intrinsic) {
        // Below the intrinsic value no volatility gives the price, unless it is below only by
        // the rounding of the forward and the discount factor (F - K cancels to an absolute
        // error of a few ulp of max(F, K)): that is the intrinsic value, volatility zero.
        if (intrinsic - price > 4.0 * DBL_EPSILON * std::fmax(F, K)) {
            return kNaN;
        }
        price = intrinsic;
    }
    const double largest = theta < 0.0 ? K : F;   // the price at infinite volatility
    if (price >= largest - 4.0 * DBL_EPSILON * largest) {
        return kNaN;   // at it (to within the rounding of F and the discount factor) or above
    }
    double x = std::log(F / K);
    if (theta * x > 0.0) {   // in the money: the time value is an out-of-the-money twin's price
        price = std::fabs(std::fmax(price - intrinsic, 0.0));
        theta = -theta;
    }
    const double beta = price / (std::sqrt(F) * std::sqrt(K));
    if (theta < 0.0) {   // a put at x is a call at -x
        x = -x;
    }
    if (beta <= 0.0) {
        return 0.0;   // no time value: volatility zero
    }
    if (beta >= std::exp(0.5 * x)) {
        return kNaN;
    }
    return normalised_volatility_of_out_of_the_money_call(beta, x) / std::sqrt(T);
}

// ---------------------------------------------------------------------------------------
// Cody's CALERF for exp(x^2) erfc(x) (the branch with JINT = 2); coefficients as published.
double erfcx(double x) {
    static constexpr double a[5] = {3.1611237438705656, 113.864154151050156, 377.485237685302021,
                                    3209.37758913846947, .185777706184603153};
    static constexpr double b[4] = {23.6012909523441209, 244.024637934444173, 1282.61652607737228,
                                    2844.23683343917062};
    static constexpr double c[9] = {.564188496988670089, 8.88314979438837594, 66.1191906371416295,
                                    298.635138197400131, 881.95222124176909,  1712.04761263407058,
                                    2051.07837782607147, 1230.33935479799725, 2.15311535474403846e-8};
    static constexpr double d[8] = {15.7449261107098347, 117.693950891312499, 537.181101862009858,
                                    1621.38957456669019, 3290.79923573345963, 4362.61909014324716,
                                    3439.36767414372164, 1230.33935480374942};
    static constexpr double p[6] = {.305326634961232344, .360344899949804439, .125781726111229246,
                                    .0160837851487422766, 6.58749161529837803e-4, .0163153871373020978};
    static constexpr double q[5] = {2.56852019228982242, 1.87295284992346047, .527905102951428412,
                                    .0605183413124413191, .00233520497626869185};
    constexpr double kOneOverSqrtPi = 0.56418958354775628695;
    constexpr double kSmall = 1.11e-16, kBig = 26.543, kHuge = 6.71e7, kMax = 2.53e307;
    constexpr double kNegative = -26.628;   // below it exp(x^2) erfc(x) overflows
    if (std::isnan(x)) {
        return x;
    }
    const double y = std::fabs(x);
    double result;
    if (y <= 0.46875) {
        const double ysq = y > kSmall ? y * y : 0.0;
        double xnum = a[4] * ysq, xden = ysq;
        for (int i = 0; i < 3; ++i) {
            xnum = (xnum + a[i]) * ysq;
            xden = (xden + b[i]) * ysq;
        }
        return std::exp(ysq) * (1.0 - x * (xnum + a[3]) / (xden + b[3]));
    } else if (y <= 4.0) {
        double xnum = c[8] * y, xden = y;
        for (int i = 0; i < 7; ++i) {
            xnum = (xnum + c[i]) * y;
            xden = (xden + d[i]) * y;
        }
        result = (xnum + c[7]) / (xden + d[7]);
    } else {
        if (y >= kBig && y >= kMax) {
            result = 0.0;
        } else if (y >= kBig && y >= kHuge) {
            result = kOneOverSqrtPi / y;
        } else {
            const double ysq = 1.0 / (y * y);
            double xnum = p[5] * ysq, xden = ysq;
            for (int i = 0; i < 4; ++i) {
                xnum = (xnum + p[i]) * ysq;
                xden = (xden + q[i]) * ysq;
            }
            result = ysq * (xnum + p[4]) / (xden + q[4]);
            result = (kOneOverSqrtPi - result) / y;
        }
    }
    if (x < 0.0) {   // erfcx(-y) = 2 exp(y^2) - erfcx(y), exp(y^2) split for accuracy
        if (x < kNegative) {
            return std::numeric_limits<double>::infinity();
        }
        const double ysq = std::trunc(x * 16.0) / 16.0;
        const double del = (x - ysq) * (x + ysq);
        const double e = std::exp(ysq * ysq) * std::exp(del);
        result = e + e - result;
    }
    return result;
}

// Wichura's AS 241 (PPND16).
double inverse_norm_cdf(double u) {
    if (u <= 0.0) {
        return std::log(u);
    }
    if (u >= 1.0) {
        return std::log(1.0 - u);
    }
    const double q = u - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q *
               (((((((2.5090809287301226727E+3 * r + 3.3430575583588128105E+4) * r +
                     6.7265770927008700853E+4) * r + 4.5921953931549871457E+4) * r +
                   1.3731693765509461125E+4) * r + 1.9715909503065514427E+3) * r +
                 1.3314166789178437745E+2) * r + 3.3871328727963666080E0) /
               (((((((5.2264952788528545610E+3 * r + 2.8729085735721942674E+4) * r +
                     3.9307895800092710610E+4) * r + 2.1213794301586595867E+4) * r +
                   5.3941960214247511077E+3) * r + 6.8718700749205790830E+2) * r +
                 4.2313330701600911252E+1) * r + 1.0);
    }
    double r = std::sqrt(-std::log(q < 0.0 ? u : 1.0 - u));
    double value;
    if (r < 5.0) {
        r -= 1.6;
        value = (((((((7.74545014278341407640E-4 * r + 2.27238449892691845833E-2) * r +
                      2.41780725177450611770E-1) * r + 1.27045825245236838258E0) * r +
                    3.64784832476320460504E0) * r + 5.76949722146069140550E0) * r +
                  4.63033784615654529590E0) * r + 1.42343711074968357734E0) /
                (((((((1.05075007164441684324E-9 * r + 5.47593808499534494600E-4) * r +
                      1.51986665636164571966E-2) * r + 1.48103976427480074590E-1) * r +
                    6.89767334985100004550E-1) * r + 1.67638483018380384940E0) * r +
                  2.05319162663775882187E0) * r + 1.0);
    } else {
        r -= 5.0;
        value = (((((((2.01033439929228813265E-7 * r + 2.71155556874348757815E-5) * r +
                      1.24266094738807843860E-3) * r + 2.65321895265761230930E-2) * r +
                    2.96560571828504891230E-1) * r + 1.78482653991729133580E0) * r +
                  5.46378491116411436990E0) * r + 6.65790464350110377720E0) /
                (((((((2.04426310338993978564E-15 * r + 1.42151175831644588870E-7) * r +
                      1.84631831751005468180E-5) * r + 7.86869131145613259100E-4) * r +
                    1.48753612908506148525E-2) * r + 1.36929880922735805310E-1) * r +
                  5.99832206555887937690E-1) * r + 1.0);
    }
    return q < 0.0 ? -value : value;
}

}  // namespace lets_be_rational

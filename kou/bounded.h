// Running error analysis: a double together with a bound on its absolute error.
//
// Each operation forms its value exactly as plain double arithmetic would (same
// operation, same operands, so the same bits) and a bound on |value - exact|, where
// "exact" is the result of exact arithmetic on the exact values of the operands. The
// bounds are first order plus the products of operand errors; whatever is left out
// (products of a rounding with an error, the rounding of the bound's own arithmetic) is
// relatively of order 1e-16 and is covered by the factor kBoundSafety that callers apply
// to a final bound.
#pragma once

#include <cmath>
#include <limits>

namespace kou {

// Unit roundoff of IEEE double: |fl(x op y) - x op y| <= kUnitRoundoff |fl(x op y)|.
constexpr double kUnitRoundoff = 0x1p-53;

// Accuracy assumed of the C math library's exp, log, pow, erfc and tgamma: within 16 ulp,
// i.e. a relative error of at most 16 * 2^-52. glibc's table of known maximal errors
// (x86_64 and i386 alike) gives at most 1 ulp for exp, log and pow, 5 ulp for erfc and 9
// ulp for tgamma; musl takes exp, log, pow and erfc from FreeBSD's msun (below 1 ulp) and
// computes tgamma by a Lanczos sum documented within a few ulp. 16 leaves a margin of
// almost two over the worst of them. sqrt is correctly rounded (IEEE 754).
constexpr double kLibraryUlps = 16.0;
constexpr double kLibraryRelative = kLibraryUlps * 0x1p-52;

// Absolute error of one rounding in the subnormal range.
constexpr double kUnderflow = 0x1p-1074;

// Applied once to every final bound: covers the second-order terms left out below.
constexpr double kBoundSafety = 2.0;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Bounded {
    double v;        // the computed value
    double e = 0.0;  // bound on |v - exact value|

    static Bounded exact(double x) { return {x, 0.0}; }

    // Bound on the relative error; +inf when the value is zero with a non-zero error.
    double relative() const { return e == 0.0 ? 0.0 : e / std::fabs(v); }
};

inline double rounding(double v) { return kUnitRoundoff * std::fabs(v) + kUnderflow; }

inline Bounded operator+(Bounded a, Bounded b) {
    const double v = a.v + b.v;
    return {v, a.e + b.e + kUnitRoundoff * std::fabs(v)};
}

inline Bounded operator-(Bounded a, Bounded b) {
    const double v = a.v - b.v;
    return {v, a.e + b.e + kUnitRoundoff * std::fabs(v)};
}

inline Bounded operator-(Bounded a) { return {-a.v, a.e}; }

// A product with an exact zero factor is exact.
inline Bounded operator*(Bounded a, Bounded b) {
    const double v = a.v * b.v;
    const double carried = std::fabs(a.v) * b.e + std::fabs(b.v) * a.e + a.e * b.e;
    return {v, carried + ((a.v == 0.0 || b.v == 0.0) ? 0.0 : rounding(v))};
}

// |A/B - a/b| <= (ea + |a/b| eb) / (|b| - eb) for |A - a| <= ea, |B - b| <= eb < |b|.
inline Bounded operator/(Bounded a, Bounded b) {
    const double v = a.v / b.v;
    const double margin = std::fabs(b.v) - b.e;
    if (!(margin > 0.0)) {
        return {v, kInfinity};
    }
    return {v, (a.e + std::fabs(v) * b.e) / margin * (1.0 + kUnitRoundoff) + rounding(v)};
}

// Operations with an exact double on one side.
inline Bounded operator+(Bounded a, double b) { return a + Bounded::exact(b); }
inline Bounded operator+(double a, Bounded b) { return Bounded::exact(a) + b; }
inline Bounded operator-(Bounded a, double b) { return a - Bounded::exact(b); }
inline Bounded operator-(double a, Bounded b) { return Bounded::exact(a) - b; }
inline Bounded operator*(Bounded a, double b) { return a * Bounded::exact(b); }
inline Bounded operator*(double a, Bounded b) { return Bounded::exact(a) * b; }
inline Bounded operator/(Bounded a, double b) { return a / Bounded::exact(b); }
inline Bounded operator/(double a, Bounded b) { return Bounded::exact(a) / b; }

// exp(A) = exp(a) exp(A - a); e^x - 1 <= x + x^2 for 0 <= x <= 1/2.
inline Bounded exp(Bounded a) {
    const double v = std::exp(a.v);
    if (!(a.e <= 0.5)) {
        return {v, kInfinity};
    }
    const double grow = a.e + a.e * a.e;
    return {v, std::fabs(v) * (grow + kLibraryRelative) * (1.0 + 2.0 * kLibraryRelative) +
                   kUnderflow};
}

// |sqrt(A) - sqrt(a)| <= |A - a| / sqrt(a); sqrt is correctly rounded.
inline Bounded sqrt(Bounded a) {
    const double v = std::sqrt(a.v);
    if (a.e == 0.0) {
        return {v, kUnitRoundoff * v};
    }
    return {v, (v > 0.0 ? a.e / v : kInfinity) + kUnitRoundoff * v};
}

// |log(A) - log(a)| <= |A - a| / (a - |A - a|).
inline Bounded log(Bounded a) {
    const double v = std::log(a.v);
    const double margin = a.v - a.e;
    if (!(margin > 0.0)) {
        return {v, kInfinity};
    }
    return {v, a.e / margin + kLibraryRelative * std::fabs(v) + kUnderflow};
}

// erfc has slope at most 2 / sqrt(pi) < 1.1284.
inline Bounded erfc(Bounded a) {
    const double v = std::erfc(a.v);
    return {v, 1.1284 * a.e + kLibraryRelative * std::fabs(v) + kUnderflow};
}

// Bound on the relative error of pow(x, k) for an integer exponent k >= 0, when x carries
// the relative error bound `rel`: (1 + rel)^k - 1 <= 2 k rel while k rel <= 1/2, plus the
// library's own error.
inline double pow_relative(double rel, double k) {
    const double spread = k * rel;
    if (!(spread <= 0.5)) {
        return kInfinity;
    }
    return 2.0 * spread + kLibraryRelative;
}

}  // namespace kou

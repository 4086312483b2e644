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

#include "lanes.h"

// (Vectors of four never cross a call here: the operations are always inlined, lanes.h.)
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

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

// T is double, or lanes::Lanes<4> for four independent values side by side (lanes.h): each
// lane then holds exactly what the double operations give for it (conditions become
// per-lane selections of the same values).
template <typename T>
struct BoundedOf {
    T v;        // the computed value
    T e = T{};  // bound on |v - exact value|

    KOU_LANE static BoundedOf exact(T x) { return {x, T{}}; }

    // Bound on the relative error; +inf when the value is zero with a non-zero error.
    KOU_LANE T relative() const { return lanes::select(e == 0.0, T{}, e / lanes::abs(v)); }
};
using Bounded = BoundedOf<double>;

// The same bound in every lane.
template <typename T>
KOU_LANE BoundedOf<T> splat(Bounded a) {
    return {lanes::splat<T>(a.v), lanes::splat<T>(a.e)};
}

template <typename T>
KOU_LANE T rounding(T v) {
    return kUnitRoundoff * lanes::abs(v) + kUnderflow;
}

template <typename T>
KOU_LANE BoundedOf<T> operator+(BoundedOf<T> a, BoundedOf<T> b) {
    const T v = a.v + b.v;
    return {v, a.e + b.e + kUnitRoundoff * lanes::abs(v)};
}

template <typename T>
KOU_LANE BoundedOf<T> operator-(BoundedOf<T> a, BoundedOf<T> b) {
    const T v = a.v - b.v;
    return {v, a.e + b.e + kUnitRoundoff * lanes::abs(v)};
}

template <typename T>
KOU_LANE BoundedOf<T> operator-(BoundedOf<T> a) {
    return {-a.v, a.e};
}

// A product with an exact zero factor is exact.
template <typename T>
KOU_LANE BoundedOf<T> operator*(BoundedOf<T> a, BoundedOf<T> b) {
    const T v = a.v * b.v;
    const T carried = lanes::abs(a.v) * b.e + lanes::abs(b.v) * a.e + a.e * b.e;
    return {v, carried + lanes::select(lanes::either(a.v == 0.0, b.v == 0.0), T{}, rounding(v))};
}

// |A/B - a/b| <= (ea + |a/b| eb) / (|b| - eb) for |A - a| <= ea, |B - b| <= eb < |b|.
template <typename T>
KOU_LANE BoundedOf<T> operator/(BoundedOf<T> a, BoundedOf<T> b) {
    const T v = a.v / b.v;
    const T margin = lanes::abs(b.v) - b.e;
    const T e = (a.e + lanes::abs(v) * b.e) / margin * (1.0 + kUnitRoundoff) + rounding(v);
    return {v, lanes::select(margin > 0.0, e, lanes::splat<T>(kInfinity))};
}

// Operations with an exact double on one side.
template <typename T>
KOU_LANE BoundedOf<T> operator+(BoundedOf<T> a, double b) {
    return a + BoundedOf<T>::exact(lanes::splat<T>(b));
}
template <typename T>
KOU_LANE BoundedOf<T> operator+(double a, BoundedOf<T> b) {
    return BoundedOf<T>::exact(lanes::splat<T>(a)) + b;
}
template <typename T>
KOU_LANE BoundedOf<T> operator-(BoundedOf<T> a, double b) {
    return a - BoundedOf<T>::exact(lanes::splat<T>(b));
}
template <typename T>
KOU_LANE BoundedOf<T> operator-(double a, BoundedOf<T> b) {
    return BoundedOf<T>::exact(lanes::splat<T>(a)) - b;
}
template <typename T>
KOU_LANE BoundedOf<T> operator*(BoundedOf<T> a, double b) {
    return a * BoundedOf<T>::exact(lanes::splat<T>(b));
}
template <typename T>
KOU_LANE BoundedOf<T> operator*(double a, BoundedOf<T> b) {
    return BoundedOf<T>::exact(lanes::splat<T>(a)) * b;
}
template <typename T>
KOU_LANE BoundedOf<T> operator/(BoundedOf<T> a, double b) {
    return a / BoundedOf<T>::exact(lanes::splat<T>(b));
}
template <typename T>
KOU_LANE BoundedOf<T> operator/(double a, BoundedOf<T> b) {
    return BoundedOf<T>::exact(lanes::splat<T>(a)) / b;
}

// exp(A) = exp(a) exp(A - a); e^x - 1 <= x + x^2 for 0 <= x <= 1/2.
template <typename T>
KOU_LANE BoundedOf<T> exp(BoundedOf<T> a) {
    const T v = lanes::each(a.v, [](double x) { return std::exp(x); });
    const T grow = a.e + a.e * a.e;
    const T e = lanes::abs(v) * (grow + kLibraryRelative) * (1.0 + 2.0 * kLibraryRelative) + kUnderflow;
    return {v, lanes::select(a.e <= 0.5, e, lanes::splat<T>(kInfinity))};
}

// |sqrt(A) - sqrt(a)| <= |A - a| / sqrt(a); sqrt is correctly rounded.
template <typename T>
KOU_LANE BoundedOf<T> sqrt(BoundedOf<T> a) {
    const T v = lanes::each(a.v, [](double x) { return std::sqrt(x); });
    const T carried = lanes::select(v > 0.0, a.e / v, lanes::splat<T>(kInfinity));
    return {v, lanes::select(a.e == 0.0, kUnitRoundoff * v, carried + kUnitRoundoff * v)};
}

// |log(A) - log(a)| <= |A - a| / (a - |A - a|).
template <typename T>
KOU_LANE BoundedOf<T> log(BoundedOf<T> a) {
    const T v = lanes::each(a.v, [](double x) { return std::log(x); });
    const T margin = a.v - a.e;
    const T e = a.e / margin + kLibraryRelative * lanes::abs(v) + kUnderflow;
    return {v, lanes::select(margin > 0.0, e, lanes::splat<T>(kInfinity))};
}

// erfc has slope at most 2 / sqrt(pi) < 1.1284.
template <typename T>
KOU_LANE BoundedOf<T> erfc(BoundedOf<T> a) {
    const T v = lanes::each(a.v, [](double x) { return std::erfc(x); });
    return {v, 1.1284 * a.e + kLibraryRelative * lanes::abs(v) + kUnderflow};
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

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

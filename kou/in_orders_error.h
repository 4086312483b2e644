// Internal: the error bounds of InOrdersLanes' weighted sums (special_functions.h), the
// second part of in_orders_lanes.h, which includes it at its end (inside its quieting of
// the -Wpsabi note), so that they too are compiled into each evaluation that uses them.
#pragma once

namespace kou {

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
namespace in_orders {

// A bound on |t - Hh(0, x0)| for the tail t = hh_zero_tail(x0), x0 > 0, where
//  - x0 / sqrt 2 is within 2u of itself in relative terms (the division, and the double
//    sqrt 2), which moves ln erfc by at most |d ln erfc / dz| 2u z <= (2z + 1.5) 2u z
//    (|erfc'/erfc| = 2 / (sqrt(pi) erfcx(z)) <= z + sqrt(z^2 + 2), Abramowitz and Stegun
//    7.1.13), taken with a margin of 1 % for the exponential of that change;
//  - erfc itself is within kLibraryRelative, or kLibraryUlps units of the subnormal
//    spacing where it underflows; the products by 0.5 (exact) and by the double
//    sqrt(2 pi) (itself within u) round within u.
inline double hh_zero_tail_error(double x0, double tail) {
    constexpr double u = kUnitRoundoff;
    const double z = x0 / kSqrt2;
    const double relative = 1.01 * (2.0 * z + 1.5) * 2.0 * u * z + kLibraryRelative + 2.0 * u;
    return tail * relative + kLibraryUlps * kUnderflow * kSqrt2Pi;
}

// A bound on |h0 - Hh(0, x0)| for x0 > 0, h0 = (1 - erfc(-x0 / sqrt 2) / 2) sqrt(2 pi) as the
// recursion forms it, a posteriori from the tail t: |h0 - Hh(0)| <= |h0 - t| + |t - Hh(0)|,
// the difference h0 - t rounded within u relative (exactly in the subnormal range).
inline double hh_zero_error_in_tail(double x0, double h0) {
    const double tail = hh_zero_tail(x0);
    return std::fabs(h0 - tail) * (1.0 + kUnitRoundoff) + hh_zero_tail_error(x0, tail) + kUnderflow;
}

// The sharper terms right of the origin are formed only beyond this x0: short of it the
// recursion's values are close to the exact ones and the a-priori terms are as small
// (no set of the measured sweeps lost its certification with x0 below 5).
constexpr double kTailFrom = 4.0;

// sum_k w_k q E_k with E_k = exp(-x^2/2) sum_(i<=k) rho^(k-i) / x^(i+1), for x > 0: a bound
// on sum_k w_k |q sumH_k| at the exact values, since for x > 0
//     Hh(i, x) = exp(-x^2/2) / i! int_0^inf y^i exp(-x y - y^2/2) dy <= exp(-x^2/2) / x^(i+1),
// and sumH_k = sum_(i<=k) rho^(k-i) Hh(i, x) (q >= |exact expC/alpha|, rho = |beta/alpha|).
// In two parts, the first shared by every q: tail_sum, sum_k w_k G_k with
// G_k = sum_(i<=k) rho^(k-i) / x^(i+1) by G_k = rho G_(k-1) + x^-(k+1), in double, each
// rounded up by a relative (k + 4) u and an absolute kUnderflow; then tail_bound, the
// Gaussian factor and q joined to that sum through logarithms (q may be near the largest
// double where exp(-x^2/2) underflows). An overflow gives +inf, a bound that helps nothing.
inline double tail_sum(std::int32_t n, double x, double rho, const double *w) {
    constexpr double u = kUnitRoundoff;
    const double inverse = 1.0 / x;
    double power = inverse, G = 0.0, sum = 0.0;
    for (std::int32_t k = 0; k < n; ++k) {
        G = (rho * G + power) * (1.0 + 3.0 * u) + kUnderflow;
        power = power * inverse * (1.0 + u);
        if (w[k] != 0.0) {
            sum = sum + w[k] * G * (1.0 + (k + 4.0) * u) + kUnderflow;
        }
    }
    return sum;
}

inline double tail_bound(double sum, double x, double q) {
    constexpr double u = kUnitRoundoff;
    if (sum == 0.0) return 0.0;
    if (!(q > 0.0)) return q == 0.0 ? 0.0 : kInfinity;
    // The Gaussian exponent x^2/2 lowered by 4u against its two roundings; the logarithms
    // within kLibraryRelative of themselves and the two additions within u of theirs move
    // the exponent by at most `drift`, and exp(drift) - 1 <= 1.01 drift for drift < 0.01.
    const double logSum = std::log(sum), logQ = std::log(q);
    const double exponent = (logSum + logQ) - 0.5 * x * x * (1.0 - 4.0 * u);
    const double drift = (std::fabs(logSum) + std::fabs(logQ)) * (kLibraryRelative + u) + u * std::fabs(exponent);
    if (!(drift < 0.01)) return kInfinity;
    return std::exp(exponent) * (1.0 + 1.01 * drift + 1.01 * kLibraryRelative) + kUnderflow;
}

// 1 / i for i = 0 .. kLastFiniteFactorial + 2 (entry 0 unused), for the bound's arithmetic only.
struct Reciprocals {
    double value[kLastFiniteFactorial + 3];
    constexpr Reciprocals() : value() {
        for (int i = 1; i < kLastFiniteFactorial + 3; ++i) {
            value[i] = 1.0 / i;
        }
    }
};
inline constexpr Reciprocals kReciprocal;

// The W lanes of each of S sides (independent evaluations of the same count) as one
// vector of S * W lanes, side s in lanes s * W .. s * W + W - 1: one side of W lanes, or
// two sides of one lane (built element by element, not through memory, whose two stores
// and one wide load would stall the loads).
template <int S, int W>
struct SideLanes {
    static_assert(S == 1 || (S == 2 && W == 1), "one side, or two sides of one lane");
    using V = lanes::Lanes<S * W>;
    // The W values at p[s] + offset of each side.
    static KOU_LANE V load(const double *const *p, std::ptrdiff_t offset) {
        if constexpr (S == 1) {
            return lanes::load<W>(p[0] + offset);
        } else {
            return V{p[0][offset], p[1][offset]};
        }
    }
    // x[s] in every lane of side s.
    static KOU_LANE V splat(const double *x) {
        if constexpr (S == 1) {
            return lanes::splat<V>(x[0]);
        } else {
            return V{x[0], x[1]};
        }
    }
    // p[s][k] in every lane of side s.
    static KOU_LANE V splat_at(const double *const *p, std::int32_t k) {
        if constexpr (S == 1) {
            return lanes::splat<V>(p[0][k]);
        } else {
            return V{p[0][k], p[1][k]};
        }
    }
};

}  // namespace in_orders

// pow_relative(rhoRelative, e) = 2 e rhoRelative + kLibraryRelative while
// e rhoRelative <= 1/2, which is checked once for the largest e (NaN fails it).
template <int W>
KOU_LANES_INLINE bool InOrdersLanes<W>::powers_bounded() const {
    return static_cast<double>(count_) * form_.rho().relative() <= 0.5;
}

template <int W>
KOU_LANES_INLINE void InOrdersLanes<W>::weighted_error(const double *w, const double *wAbs, double *out) const {
    if (!form_.evaluated()) {
        for (int l = 0; l < W; ++l) {
            out[l] = 0.0;
        }
        return;
    }
    if (!powers_bounded()) {
        for (int l = 0; l < W; ++l) {
            out[l] = kInfinity;
        }
        return;
    }
    const InOrdersLanes *side = this;
    weighted_error_sides<1>(&side, &w, &wAbs, &out);
}

template <int W>
KOU_LANES_INLINE void InOrdersLanes<W>::weighted_error_pair(const InOrdersLanes &a, const double *wA,
                                                            const double *wAbsA, double *outA,
                                                            const InOrdersLanes &b, const double *wB,
                                                            const double *wAbsB, double *outB) {
    auto regular = [](const InOrdersLanes &e) { return e.form_.evaluated() && e.powers_bounded(); };
    if constexpr (W == 1) {
        if (a.count_ == b.count_ && regular(a) && regular(b)) {
            const InOrdersLanes *side[] = {&a, &b};
            const double *w[] = {wA, wB}, *wAbs[] = {wAbsA, wAbsB};
            double *out[] = {outA, outB};
            weighted_error_sides<2>(side, w, wAbs, out);
            return;
        }
    }
    a.weighted_error(wA, wAbsA, outA);
    b.weighted_error(wB, wAbsB, outB);
}

// The bound for S sides at once, each side's lanes doing the operations of weighted_error
// on its own values (every side evaluated, with count * rho's relative error <= 1/2).
template <int W>
template <int S>
KOU_LANES_INLINE void InOrdersLanes<W>::weighted_error_sides(const InOrdersLanes *const *side,
                                                             const double *const *w,
                                                             const double *const *wAbs,
                                                             double *const *out) {
    using Side = in_orders::SideLanes<S, W>;
    using V = typename Side::V;
    constexpr int L = S * W;
    constexpr double u = kUnitRoundoff;
    const std::int32_t n = side[0]->count_;
    double rhoS[S], rhoRelativeS[S], alphaV[S], alphaE[S], factorV[S], FrelS[S];
    const double *hh[S], *x0s[S], *rhoPow[S], *sumH[S], *magnitudes[S], *values[S];
    const double *expC[S], *expCError[S], *cdf[S], *cdfError[S];
    for (int s = 0; s < S; ++s) {
        const InOrdersLanes &e = *side[s];
        rhoS[s] = e.form_.rho().v;
        rhoRelativeS[s] = e.form_.rho().relative();
        alphaV[s] = e.form_.alpha().v;
        alphaE[s] = e.form_.alpha().e;
        const Bounded factor = e.form_.scale() * e.form_.expTail();  // scale rho^(k+1) expTail / rho^(k+1)
        factorV[s] = factor.v;
        FrelS[s] = factor.relative() + 2.0 * u + kLibraryRelative;
        hh[s] = e.hh_ + W;  // Hh(i, x0) of level l at hh[i * W + l], i >= -1
        x0s[s] = e.x0_;
        rhoPow[s] = e.rhoPow_;
        sumH[s] = e.sumH_;
        magnitudes[s] = e.magnitudes();
        values[s] = e.value_;
        expC[s] = e.expC_;
        expCError[s] = e.expCError_;
        cdf[s] = e.cdf_;
        cdfError[s] = e.cdfError_;
    }
    const double *inv = in_orders::kReciprocal.value;
    const V x0 = Side::load(x0s, 0);
    const V rho = Side::splat(rhoS);
    const V rhoRelative = Side::splat(rhoRelativeS);

    // Part 1: adjoint sweep, i = n - 1 .. -1. D depends on the weights and rho only.
    // (A zero adjoint carries no error, even an infinite one: its terms are left out.)
    V D = V{};
    V aNext = V{}, aNext2 = V{};  // a_(i+1), a_(i+2)
    V fromSteps = V{};            // sum |a_i| eps_i, the relative parts of eps_i
    V adjointSum = V{};           // sum |a_i|, for the floors of eps_i
    V slope = V{};                // S_x
    for (std::int32_t i = n - 1; i >= 1; --i) {
        D = Side::splat_at(w, i) + rho * D;
        const V before = Side::load(hh, (i - 1) * W);
        const V a = D - x0 * inv[i + 1] * aNext + aNext2 * inv[i + 2];
        // The product, the difference and the quotient each round within u relative, or
        // within kUnderflow / 2 absolute in the subnormal range: eps_i = relative + 2
        // kUnderflow (the floor: where every value underflows, the relative bound alone
        // would claim no error at all). The floors' sum is kept apart and scaled up before
        // it meets kUnderflow (below), so that it does not underflow itself.
        const V relative = u * (lanes::abs(x0 * before) * inv[i] + 2.0 * lanes::abs(Side::load(hh, i * W)));
        fromSteps = fromSteps + lanes::select(lanes::both(a != 0.0, relative != 0.0), lanes::abs(a) * relative, V{});
        adjointSum = adjointSum + lanes::select(a != 0.0, lanes::abs(a), V{});
        slope = slope - lanes::select(a != 0.0, a * before * inv[i], V{});
        aNext2 = aNext;
        aNext = a;
    }
    D = Side::splat_at(w, 0) + rho * D;
    // Per lane: sum |a_i| eps_i in parts (relative; sum |a_i| for the floors; |a_0|, eps_0;
    // |a_-1|, eps_-1), each multiplied by the factor q before the small eps (a tiny eps
    // times a small adjoint would underflow to 0 where q makes the product matter), and
    // |S_x| err(x0).
    double hhRelative[L], hhAdjoints[L], hhA0[L], hhEps0[L], hhAM1[L], hhEpsM1[L], hhSlope[L];
    bool hhAny[L];
    for (int l = 0; l < L; ++l) {
        const int s = l / W, m = l % W;
        const double x0l = x0s[s][m];
        const double a0 = lanes::lane(D, l) - x0l * lanes::lane(aNext, l) + lanes::lane(aNext2, l) / 2.0;
        const double aMinus1 = lanes::lane(aNext, l);  // h_1 = (h_-1 - x0 h_0) / 1
        // h_0 = (1 - erfc(-x0 / sqrt 2) / 2) sqrt(2 pi): the library's erfc, the rounding
        // of the argument and of the two operations; h_-1 = exp((-x0 / 2) x0).
        const double ax = std::fabs(x0l);
        const double h0 = hh[s][m], hMinus1 = hh[s][m - W];
        double eps0 =
            kSqrt2Pi * (0.5 * (kLibraryRelative * 2.0 + 1.13 * 2.0 * u * ax) + u) + 2.0 * u * h0;
        if (x0l > 0.0 && side[s]->start_ == HhZero::tail) {
            eps0 = in_orders::hh_zero_tail_error(x0l, h0);  // h0 is the tail itself
        } else if (x0l > in_orders::kTailFrom) {
            // In the right tail h_0 is a small difference of numbers near 1 (exactly 0 from
            // x0 = 8.3), and the a-priori bound above (errors of order 1 times 2^-53) is
            // far above its actual error: take that error a posteriori instead.
            eps0 = std::fmin(eps0, in_orders::hh_zero_error_in_tail(x0l, h0));
        }
        // exp's relative accuracy, and its absolute floor where it underflows (x0 > 38.6).
        const double epsMinus1 = hMinus1 * (kLibraryRelative + u * (2.0 + x0l * x0l)) + kLibraryUlps * kUnderflow;
        double sx = lanes::lane(slope, l);
        hhRelative[l] = lanes::lane(fromSteps, l);
        hhAdjoints[l] = lanes::lane(adjointSum, l);
        hhA0[l] = std::fabs(a0);
        hhEps0[l] = eps0;
        hhAM1[l] = std::fabs(aMinus1);
        hhEpsM1[l] = epsMinus1;
        if (a0 != 0.0) {
            sx += a0 * (-hMinus1);
        }
        if (aMinus1 != 0.0) {
            sx += aMinus1 * (-x0l * hMinus1);
        }
        hhAny[l] = hhAdjoints[l] != 0.0 || a0 != 0.0 || aMinus1 != 0.0;
        hhSlope[l] = hhAny[l] ? std::fabs(sx) * side[s]->x0Error_[m] : 0.0;
    }

    // Parts 2 and 3, order by order; pow_relative(rhoRelative, e) = 2 e rhoRelative +
    // kLibraryRelative (the caller checked e rhoRelative <= 1/2).
    const V factor = Side::splat(factorV);
    const V Frel = Side::splat(FrelS);
    const BoundedOf<V> q =
        BoundedOf<V>{Side::load(expC, 0), Side::load(expCError, 0)} / BoundedOf<V>{Side::splat(alphaV), Side::splat(alphaE)};
    const V absQ = lanes::abs(q.v), qError = q.e, qFactor = absQ * (1.0 + q.relative());
    const V phi = lanes::abs(Side::load(cdf, 0)), phiError = Side::load(cdfError, 0);
    V rest = V{};
    V restMagnitude = V{};  // the same orders' bound with the sum terms bounded by magnitude
    for (std::int32_t k = 0; k < n; ++k) {
        bool any = false;
        for (int s = 0; s < S; ++s) {
            any = any || wAbs[s][k] != 0.0;
        }
        if (!any) {
            continue;
        }
        const V weight = Side::splat_at(wAbs, k);
        const V powK = 2.0 * k * rhoRelative + kLibraryRelative;
        const V F = lanes::abs(factor * Side::splat_at(rhoPow, k + 1));
        const V sumHk = lanes::abs(Side::load(sumH, k * W));
        const V T1 = F * phi;
        const V T2 = absQ * sumHk;
        const V magnitude = Side::load(magnitudes, k * W);
        const V common = F * phiError + T1 * (Frel + 2.0 * (k + 1.0) * rhoRelative) +
                         u * (T1 + T2 + lanes::abs(Side::load(values, k * W))) + 3.0 * kUnderflow;
        const V err = absQ * (powK + (k + 1.0) * u) * magnitude + sumHk * qError + common;
        // |q sumH - exact| <= |q| |sumH| + |exact q| |exact sumH|: the computed part here,
        // the exact one after the loop (tail_bound).
        const V errMagnitude = absQ * magnitude * (1.0 + (k + 3.0) * u) + common;
        if constexpr (S == 1) {
            rest = rest + weight * err;
            restMagnitude = restMagnitude + weight * errMagnitude;
        } else {  // a side whose weight is zero takes no term (+0.0 leaves its sum as it is)
            rest = rest + lanes::select(weight != 0.0, weight * err, V{});
            restMagnitude = restMagnitude + lanes::select(weight != 0.0, weight * errMagnitude, V{});
        }
    }
    for (int l = 0; l < L; ++l) {
        const int s = l / W, m = l % W;
        const double qf = lanes::lane(qFactor, l), x0Err = side[s]->x0Error_[m];
        const double x0l = x0s[s][m], x0Low = x0l - x0Err;
        // |rho| raised by its relative error: the exact powers are then below the ones formed.
        const double rhoHigh = std::fabs(rhoS[s]) * (1.0 + rhoRelativeS[s]) * (1.0 + u);
        const bool far = x0Low > in_orders::kTailFrom;
        const double tailSum = far ? in_orders::tail_sum(n, x0Low, rhoHigh, wAbs[s]) : 0.0;
        double slope = hhSlope[l] == 0.0 ? 0.0 : qf * hhSlope[l];
        if (far && hhAny[l]) {
            // err(x0) moves the exact sum by at most err(x0) max |dL/dx0| over the interval,
            // and dHh(i, x)/dx = -Hh(i - 1, x) <= exp(-x^2/2)/x^i there. The S_x of the
            // sweep is formed from the computed values, which far right of the origin are
            // the recursion's noise rather than the exact ones (all 0, where they underflow),
            // so this bound replaces it there.
            slope = in_orders::tail_bound(tailSum, x0Low, qf * x0Err * x0Low);
        }
        double steps = 0.0;
        if (hhAny[l]) {
            steps = qf * hhRelative[l];
            if (hhAdjoints[l] != 0.0) steps += (qf * hhAdjoints[l]) * (2.0 * kUnderflow);
            if (hhA0[l] != 0.0) steps += (qf * hhA0[l]) * hhEps0[l];
            if (hhAM1[l] != 0.0) steps += (qf * hhAM1[l]) * hhEpsM1[l];
            steps += slope;
        }
        const double standard = steps + lanes::lane(rest, l);
        double bound = standard;
        if (far) {
            // Right of the origin every exact Hh value is below exp(-x0^2/2)/x0^(i+1), and
            // the sums' own size may bound their error far better than the adjoint sweep
            // (which takes h_-1 and h_0 as independent, where their exact values lie on the
            // recursion's decaying solution that it does not amplify).
            const double q = lanes::lane(absQ, l) + lanes::lane(qError, l);
            const double exact = in_orders::tail_bound(tailSum, x0Low, q);
            bound = std::fmin(standard, lanes::lane(restMagnitude, l) + exact);
        }
        out[s][m] = bound;
    }
}

}  // namespace kou

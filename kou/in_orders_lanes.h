// Internal: the definitions of InOrdersLanes (special_functions.h), in a header so that
// they are compiled into each evaluation that uses them, for the instruction set that
// evaluation is compiled for (upsilon.cpp builds its strip loops twice on x86: for the
// baseline and for AVX2; the lanes' operations are the same IEEE operations either way).
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <new>

#include "lanes.h"
#include "math_entries.h"
#include "special_functions.h"

#if defined(__GNUC__)
#define KOU_LANES_INLINE inline __attribute__((always_inline))
#else
#define KOU_LANES_INLINE inline
#endif

// (Vectors of four never cross a call here: everything is inlined, see lanes.h.)
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kou {

namespace in_orders {

inline double hh_minus1(double x) { return std::exp((-0.5 * x) * x); }

// sqrt(2 pi) Phi(-x), with Phi written as one minus half of erfc: far in the right
// tail this is exactly 0.0 rather than a tiny positive number.
inline double hh_zero(double x) {
    return (1.0 - std::erfc((-x) / kSqrt2) * 0.5) * kSqrt2Pi;
}

// sqrt(2 pi) Phi(-x) as the tail erfc(x / sqrt 2) / 2, for x > 0: no cancellation.
inline double hh_zero_tail(double x) { return std::erfc(x / kSqrt2) * 0.5 * kSqrt2Pi; }

inline double hh_step(double before, double last, double x, std::int32_t k) {
    return (before - x * last) / static_cast<double>(k);
}

// Hh(-1, x) into minusOne[t][l] and Hh(0 .. last, x) into out[t][k * W + l] for the W
// values x[t][0 .. W - 1] of each of N sets t (last >= 0): the upward recursion, each lane
// the operations of one value; the sets' recursions, each a chain of divisions, advance
// side by side instead of one after the other.
template <int W, int N>
KOU_LANES_INLINE void hh_upward_sets(std::int32_t last, const double *const *x,
                                     double *const *minusOne, double *const *out,
                                     HhZero start = HhZero::closed_form) {
    using V = lanes::Lanes<W>;
    V x0[N], before[N], previous[N];
    for (int t = 0; t < N; ++t) {
        for (int l = 0; l < W; ++l) {
            minusOne[t][l] = hh_minus1(x[t][l]);
            const bool tail = start == HhZero::tail && x[t][l] > 0.0;
            out[t][l] = tail ? hh_zero_tail(x[t][l]) : hh_zero(x[t][l]);
        }
        x0[t] = lanes::load<W>(x[t]);
        before[t] = lanes::load<W>(minusOne[t]);
        previous[t] = lanes::load<W>(out[t]);
    }
    for (std::int32_t k = 1; k <= last; ++k) {
        for (int t = 0; t < N; ++t) {
            const V next = (before[t] - x0[t] * previous[t]) / static_cast<double>(k);
            lanes::store<W>(out[t] + k * W, next);
            before[t] = previous[t];
            previous[t] = next;
        }
    }
}

// One set of W values.
template <int W>
KOU_LANES_INLINE void hh_upward(std::int32_t last, const double *x, double *minusOne, double *out,
                               HhZero start = HhZero::closed_form) {
    hh_upward_sets<W, 1>(last, &x, &minusOne, &out, start);
}

}  // namespace in_orders

// For one level (W = 1): out[k] = sum over i <= k of rho^(k - i) Hh(i, x0) (or of the
// magnitudes |rho^(k - i) Hh(i, x0)|), each in ascending i from 0.0, for the orders in
// whole blocks of eight; returns the first order not formed. Lane m of a vector holds
// order k + m, whose powers rho^(k + m - i) are contiguous in m. The terms i <= k are
// common to the block's orders; each of the next seven (i = k + t) reaches the lanes
// m >= t only, the others adding +0.0, which leaves a sum begun at +0.0 as it is.
template <int W>
KOU_LANES_INLINE std::int32_t InOrdersLanes<W>::orders_by_eight(bool magnitudes, double *out) const {
    const std::int32_t count = count_;
    using V = lanes::Lanes<4>;
    using lanes::load;
    const double *hh = hh_ + 1;  // Hh(i, x0) at hh[i]
    double low[16] = {};         // rho^(m - t) at [8 + m - t] for 0 <= m - t < 8
    for (int e = 0; e < 8 && e <= count; ++e) {
        low[8 + e] = rhoPow_[e];
    }
    const V lane = {0.0, 1.0, 2.0, 3.0};
    auto add = [magnitudes](V sum, V term) KOU_LANE_LAMBDA {
        return sum + (magnitudes ? lanes::abs(term) : term);
    };
    std::int32_t k = 0;
    for (; k + 7 < count; k += 8) {
        V a = V{}, b = V{};
        for (std::int32_t i = 0; i <= k; ++i) {
            const V h = lanes::splat<V>(hh[i]);
            a = add(a, load<4>(rhoPow_ + (k - i)) * h);
            b = add(b, load<4>(rhoPow_ + (k + 4 - i)) * h);
        }
        for (std::int32_t t = 1; t < 8; ++t) {
            const V h = lanes::splat<V>(hh[k + t]);
            const double from = static_cast<double>(t);
            a = add(a, lanes::select(lane >= from, load<4>(low + 8 - t) * h, V{}));
            b = add(b, lanes::select(lane + 4.0 >= from, load<4>(low + 12 - t) * h, V{}));
        }
        lanes::store<4>(out + k, a);
        lanes::store<4>(out + k + 4, b);
    }
    return k;
}

// Every level is a lane (lanes.h): the recursions and sums of different levels are
// independent, so they run on vectors, each lane doing what a single level does in the
// same order, and no level waits on another's latency chain.
template <int W>
KOU_LANES_INLINE InOrdersLanes<W>::InOrdersLanes(std::int32_t count, const Bounded *c, Bounded alpha,
                                Bounded beta, Bounded delta, const InOrdersShared *same,
                                HhZero start)
    : InOrdersLanes(Deferred{}, count, c, alpha, beta, delta, same) {
    start_ = start;
    if (form_.evaluated()) {
        // Order k uses Hh(0..k, x0); the highest order is count - 1. Row j + 1 holds Hh(j, x0).
        in_orders::hh_upward<W>(count - 1, x0_, hh_, hh_ + W, start);
        finish(same);
    }
}

template <int W>
KOU_LANES_INLINE void InOrdersLanes<W>::construct_pair(
    InOrdersLanes *a, const Bounded *ca, Bounded alphaA, Bounded betaA, Bounded deltaA,
    const InOrdersShared *sameA, InOrdersLanes *b, const Bounded *cb, Bounded alphaB, Bounded betaB,
    Bounded deltaB, const InOrdersShared *sameB, std::int32_t count, HhZero start) {
    new (a) InOrdersLanes(Deferred{}, count, ca, alphaA, betaA, deltaA, sameA);
    new (b) InOrdersLanes(Deferred{}, count, cb, alphaB, betaB, deltaB, sameB);
    a->start_ = b->start_ = start;
    const bool both = a->form_.evaluated() && b->form_.evaluated();
    if (both) {
        const double *x[] = {a->x0_, b->x0_};
        double *minusOne[] = {a->hh_, b->hh_};
        double *out[] = {a->hh_ + W, b->hh_ + W};
        in_orders::hh_upward_sets<W, 2>(count - 1, x, minusOne, out, start);
    }
    for (InOrdersLanes *e : {a, b}) {
        if (e->form_.evaluated()) {
            if (!both) {
                in_orders::hh_upward<W>(count - 1, e->x0_, e->hh_, e->hh_ + W, start);
            }
            e->finish(e == a ? sameA : sameB);
        }
    }
}

template <int W>
KOU_LANES_INLINE InOrdersLanes<W>::InOrdersLanes(Deferred, std::int32_t count, const Bounded *c,
                                                 Bounded alpha, Bounded beta, Bounded delta,
                                                 const InOrdersShared *same)
    : count_(count) {
    using V = lanes::Lanes<W>;
    using lanes::load;
    using lanes::store;
    form_ = InClosedForm(c[0], alpha, beta, delta, same != nullptr ? same->form : nullptr, W == 1);
    if (!form_.evaluated()) {  // the case depends on alpha and beta only
        for (std::int32_t k = 0; k < count * W; ++k) {
            value_[k] = 0.0;
        }
        return;
    }
    // Every level's factors that depend on c, the lanes side by side (one level: those the
    // closed form formed).
    InClosedForm::LevelParts<V> parts;
    if constexpr (W == 1) {
        parts = {form_.x0(), form_.expC(), form_.cdfTerm()};
    } else {
        double cv[W], ce[W];
        for (int l = 0; l < W; ++l) {
            cv[l] = c[l].v;
            ce[l] = c[l].e;
        }
        parts = form_.level_parts(BoundedOf<V>{load<W>(cv), load<W>(ce)});
    }
    store<W>(x0_, parts.x0.v);
    store<W>(x0Error_, parts.x0.e);
    store<W>(expC_, parts.expC.v);
    store<W>(expCError_, parts.expC.e);
    store<W>(cdf_, parts.cdf.v);
    store<W>(cdfError_, parts.cdf.e);
}

template <int W>
KOU_LANES_INLINE void InOrdersLanes<W>::finish(const InOrdersShared *same) {
    using V = lanes::Lanes<W>;
    using lanes::load;
    using lanes::store;
    const std::int32_t count = count_;
    // Order k uses rho^0 .. rho^(k+1); the highest order is count - 1.
    const double rho = form_.rho().v;  // beta / alpha: the same for every level
    rhoPow_[0] = 1.0;  // pow(x, 0) is 1 for every x, NaN included (C11 F.10.4.4)
    for (std::int32_t e = 1; e <= count; ++e) {
        rhoPow_[e] = same != nullptr ? same->rhoPow[e] : math_entries::pow(rho, static_cast<double>(e));
    }
    const double *hh = hh_ + W;  // Hh(i, x0) of level l at hh[i * W + l]
    // With rho > 0 and every Hh value >= 0 (as the exact ones are) the terms of each sum
    // are non-negative and their magnitudes sum to the sum itself.
    bool oneSign[W];
    bool allOneSign = rho > 0.0;
    {
        auto nonNegative = load<W>(hh) >= 0.0;  // a NaN is not
        for (std::int32_t i = 1; i < count; ++i) {
            nonNegative = lanes::both(nonNegative, load<W>(hh + i * W) >= 0.0);
        }
        for (int l = 0; l < W; ++l) {
            oneSign[l] = rho > 0.0 && lanes::holds(nonNegative, l);
            allOneSign = allOneSign && oneSign[l];
        }
    }
    // sumH_k = sum over i <= k of rho^(k - i) Hh(i, x0), ascending i; several orders at a
    // time, so that no addition waits on the one before.
    std::int32_t k = 0;
    if constexpr (W == 1) {
        // One level: eight orders k .. k + 7 as two vectors of four, whose powers
        // rho^(k + m - i) are contiguous in m.
        k = orders_by_eight(false, sumH_);
    }
    for (; k + 3 < count; k += 4) {
        V s0 = V{}, s1 = V{}, s2 = V{}, s3 = V{};
        for (std::int32_t i = 0; i <= k; ++i) {
            const V h = load<W>(hh + i * W);
            s0 = s0 + rhoPow_[k - i] * h;
            s1 = s1 + rhoPow_[k + 1 - i] * h;
            s2 = s2 + rhoPow_[k + 2 - i] * h;
            s3 = s3 + rhoPow_[k + 3 - i] * h;
        }
        const V h1 = load<W>(hh + (k + 1) * W), h2 = load<W>(hh + (k + 2) * W);
        s1 = s1 + rhoPow_[0] * h1;
        s2 = s2 + rhoPow_[1] * h1;
        s2 = s2 + rhoPow_[0] * h2;
        s3 = s3 + rhoPow_[2] * h1;
        s3 = s3 + rhoPow_[1] * h2;
        s3 = s3 + rhoPow_[0] * load<W>(hh + (k + 3) * W);
        store<W>(sumH_ + k * W, s0);
        store<W>(sumH_ + (k + 1) * W, s1);
        store<W>(sumH_ + (k + 2) * W, s2);
        store<W>(sumH_ + (k + 3) * W, s3);
    }
    for (; k < count; ++k) {
        V a = V{};
        for (std::int32_t i = 0; i <= k; ++i) {
            a = a + rhoPow_[k - i] * load<W>(hh + i * W);
        }
        store<W>(sumH_ + k * W, a);
    }
    magnitudeIsSum_ = allOneSign;  // then magnitude_ is not formed: weighted_error reads sumH_
    k = 0;
    if constexpr (W == 1) {
        if (!allOneSign) {
            k = orders_by_eight(true, magnitude_);
        }
    }
    for (; k < count && !allOneSign; ++k) {
        V m = V{};
        for (std::int32_t i = 0; i <= k; ++i) {
            m = m + lanes::abs(rhoPow_[k - i] * load<W>(hh + i * W));
        }
        for (int l = 0; l < W; ++l) {
            magnitude_[k * W + l] = oneSign[l] ? sumH_[k * W + l] : lanes::lane(m, l);
        }
    }
    // The closed form of each order (InClosedForm::combine, lane by lane).
    const V tail = load<W>(expC_) / form_.alpha().v, cdf = load<W>(cdf_);
    for (k = 0; k < count; ++k) {
        store<W>(value_ + k * W, form_.combine(load<W>(sumH_ + k * W), rhoPow_[k + 1], tail, cdf));
    }
}

}  // namespace kou

// The error bounds of the sums (weighted_error and its parts).
#include "in_orders_error.h"

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

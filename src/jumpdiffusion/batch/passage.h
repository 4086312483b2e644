// The element loop of Kou's first-passage products (passage/kou_passage.h): elements of one
// law, maturity and direction are evaluated together, the Laplace inversion's nodes and
// roots formed once for all of their levels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grouping.h"

namespace batch {

// up: 1.0 for a level above the spot (H >= S), -1.0 below (H <= S).
struct PassageInputs {
    Column<double> up, S, H, T, r, q, sigma, lam, p, eta1, eta2;
};

// What a value is vouched for: its bound at most this (times 1 for probabilities and touch
// values, S for lookbacks, S + K for barriers); where the coarse Euler rule's bound is wider,
// the loops try the fine rules (passage/kou_passage.h) and keep the narrower.
constexpr double kVouched = 1e-9;

enum class PassageValue {
    Probability,  // P(the spot reaches H by T)
    TouchAtHit,   // E[exp(-r tau); tau <= T]: 1 paid when H is reached
    TouchAtExpiry // exp(-rT) P(tau <= T): 1 paid at T if H was reached
};

// out[e] (the inversion at A = 18 less its aliasing, kept within the value's range), and
// out[size + e] its error bound (twice the sum of the estimates at A = 22 and by the shorter
// rule, and the round-off; passage/kou_passage.h); NaN where the inversion's roots were not
// found or its transform was not finite. Every argument in the toolkit's supported domain and on its side of the spot.
void kou_passages(std::size_t size, const PassageInputs &in, PassageValue what, double *out);

// Lookbacks (passage/kou_passage.h's moments), the running extremes starting at S: kind 1 a
// call, 0 a put; K NaN for a floating strike (the call pays S_T - min, the put max - S_T),
// else a fixed strike (the call pays (max - K)+, the put (K - min)+). out[e] the price,
// out[size + e] its error bound (as for kou_passages); NaN where the roots were
// not found.
struct LookbackInputs {
    Column<std::int8_t> kind;
    Column<double> S, K, T, r, q, sigma, lam, p, eta1, eta2;
};
void kou_lookbacks(std::size_t size, const LookbackInputs &in, double *out);

// Knock-in calls and puts (passage/kou_barrier.h): kind 1 a call, 0 a put; up 1.0 for a
// barrier H >= S, -1.0 for H <= S. out[e] the discounted knock-in price, out[size + e] its
// error bound (as for kou_passages, in units of S + K); NaN where the roots were
// not found.
struct KnockInInputs {
    Column<std::int8_t> kind;
    Column<double> up, S, K, H, T, r, q, sigma, lam, p, eta1, eta2;
};
void kou_knock_ins(std::size_t size, const KnockInInputs &in, double *out);

}  // namespace batch

// The element loop of Kou's first-passage products (passage/kou_passage.h): elements of one
// law, maturity and direction are evaluated together, the Laplace inversion's nodes and
// roots formed once for all of their levels.
#pragma once

#include <cstddef>

#include "grouping.h"

namespace batch {

// up: 1.0 for a level above the spot (H >= S), -1.0 below (H <= S).
struct PassageInputs {
    Column<double> up, S, H, T, r, q, sigma, lam, p, eta1, eta2;
};

enum class PassageValue {
    Probability,  // P(the spot reaches H by T)
    TouchAtHit,   // E[exp(-r tau); tau <= T]: 1 paid when H is reached
    TouchAtExpiry // exp(-rT) P(tau <= T): 1 paid at T if H was reached
};

// out[e] (from the inversion at A = 25, kept within the value's range), and out[size + e]
// its error bound: the difference from the inversion at A = 22, with exp(-22); NaN where
// the inversion's roots were not found. Every argument in the toolkit's supported domain and on its side of the spot.
void kou_passages(std::size_t size, const PassageInputs &in, PassageValue what, double *out);

}  // namespace batch

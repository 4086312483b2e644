// Kou Greeks of the toolkit's price: delta, gamma, vega, theta and rho.
//
// Where the price is the certified closed form, they come from one strip evaluation and
// the share probabilities at two bumped spots, through identities of the truncated series
// (exact for it, term by term). With S' = S exp(-qT), K' = K exp(-rT), U1 and U2 the
// share-measure and risk-neutral exercise probabilities (C = S' U1 - K' U2):
//  - delta: dC/dS' = U1 (homogeneity in (S, K), and S' f1 = K' f2 jump count by jump count);
//  - gamma: the central difference of U1 in S' (step 2^-17 S' min(1, sigma sqrt T));
//  - vega: conditional on the jumps the price is Black-Scholes in sigma, whose vega is
//    gamma S'^2 sigma T; so is their mixture: dC/dsigma = gamma S'^2 sigma T;
//  - rho: C = exp(-rT) g(S' exp(rT)) for a g that does not depend on r, so
//    dC/dr = T (S' U1 - C) = T K' U2;
//  - theta: C depends on T only through rT, sigma^2 T and lam T (and S' through q T), so
//      dC/dT (S' fixed) = -r C + (r - lam zeta) S' U1 + sigma vega / (2T) + lam (C+ - C),
//    where C+ - C is the derivative in lam T at a fixed drift: C+ = S' (1 + zeta) U1+ - K' U2+
//    with U1+, U2+ the series after one more jump (kou::kou_call_evaluations' shifted),
//    zeta = E[e^Y] - 1 the mean relative jump; theta = -dC/dT + q S' dC/dS'.
// The put's follow by parity, P = C - S' + K'. Elsewhere (a price that is not the
// certified closed form, a truncation beyond 170, bumped probabilities whose bound is too
// wide) the element's Greeks are central differences of the price with the relative step
// 2^-17 (rho: absolute 2^-17), the truncation held fixed, and gamma the central difference
// of the completed price's delta.
#pragma once

#include <cstddef>

#include "european.h"

namespace batch {

// The rows of kou_greeks: delta, gamma, vega, theta, rho.
constexpr std::size_t kGreekRows = 5;

// out[row * size + e]; every row NaN for an element no method prices.
void kou_greeks(std::size_t size, const KouInputs &in, double *out);

}  // namespace batch

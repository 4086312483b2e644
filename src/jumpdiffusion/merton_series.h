// Merton's jump-diffusion price and Greeks summed around the Poisson mode, for any
// expected number of jumps: no power, factorial or discount factor of a single term is
// formed, so nothing over- or underflows however large lam T or i |log(1 + k)| is.
//
// With k = exp(m + s^2/2) - 1, V_i = sigma^2 T + i s^2 and the forward-adjusted spot
// S' = S exp(-qT), the discounted strike K' = K exp(-rT) (R. C. Merton, "Option pricing
// when underlying stock returns are discontinuous", J. Financial Economics 3 (1976)):
//   C = S' sum_i pi_i(L) N(d1_i) - K' sum_i pi_i(lam T) N(d2_i),
//   d1_i = (log(S'/K') - lam k T + i (m + s^2/2) + V_i / 2) / sqrt(V_i), d2_i = d1_i - sqrt(V_i),
// where pi_i(mu) = exp(-mu) mu^i / i! and L = lam (1 + k) T. The second sum's weights are
// the first's times exp(-R_i) exp(rT), R_i the i-jump term's rate times T, so this is the
// Poisson-weighted series of Black-Scholes calls term for term, with each exponential
// folded into the weight it multiplies.
#pragma once

#include <cstdint>

namespace jumpdiffusion {

// The jump counts [first, last] outside of which the Poisson(mu) weights add up to at
// most 2^-64 on each side (Bernstein's inequality: P(N >= mu + t) <= exp(-t^2 / (2 (mu +
// t / 3))), P(N <= mu - t) <= exp(-t^2 / (2 mu))). O(1); mu >= 0 finite.
struct JumpRange {
    double first, last;
};
JumpRange poisson_range(double mu);

struct MertonSeries {
    double call, put;                  // prices (each floored at 0)
    double callDelta;                  // dC/dS' (the put's is callDelta - 1)
    double gamma;                      // d2C/dS'2
    double vega;                       // dC/dsigma
    double dCdT;                       // dC/dT with S' held fixed
    double callRho;                    // dC/dr (the put's is callRho - T K')
    double dCdlam, dCdm, dCds;         // in the jump law (the put's are the same)
};

// The jump law's derivatives, term by term: with G_i = S' pi_i(L) phi(d1_i) = K' pi_i(lam T)
// phi(d2_i), the terms in dd_i cancel to G_i d sqrt(V_i), and d pi_i(mu) / d mu = pi_(i-1)(mu)
// - pi_i(mu), so with D1 = sum (pi_(i-1)(L) - pi_i(L)) N(d1_i), D2 likewise in lam T and d2:
//   dC/dlam = S' (1 + k) T D1 - K' T D2,  dC/dm = S' lam T (1 + k) D1,
//   dC/ds = S' lam T (1 + k) s D1 + sum G_i i s / sqrt(V_i)
// (L = lam T exp(m + s^2/2); d1_i, d2_i and pi_i(lam T) do not depend on m or s otherwise).
//
// The series summed over the jump counts of poisson_range for both means, cut after
// jump count `last` (the truncation; any value >= 0, +inf for none). Arguments in the
// toolkit's supported domain. No allocation, a few hundred bytes of stack.
MertonSeries merton_series(double spot, double K, double T, double r, double sigma, double lam,
                           double m, double s, double last);

}  // namespace jumpdiffusion

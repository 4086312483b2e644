// Kou's Upsilon evaluated stably: the same truncated series as a sum of positive terms.
#pragma once

#include <cstdint>

namespace kou {

// The same quantity as Upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n), the probability
// that X(T) >= a keeping the jump counts 0..n, with an absolute error of a few hundred
// ulp of 1 whatever the conditioning of the closed form. For arguments in the model's
// domain (sigma, T > 0, lam >= 0, 0 <= p <= 1, eta1, eta2 > 0, all finite, 0 <= n <= 170)
// with (eta1 sigma)^2 T / 2 and (eta2 sigma)^2 T / 2 below 709.78, where the closed
// form's A1 and A2 are finite. No allocation; about 16 KiB of stack at n = 170.
double upsilon_stable(double mu, double sigma, double lam, double p, double eta1, double eta2,
                      double a, double T, std::int32_t n);

// The jump parts of the conditional probabilities, for k = 1 .. count (out[k - 1]):
//   E_k = exp(b^2 / 2 - b y) / sqrt(2 pi) * sum over j < k of b^j Hh(j, b - y),
// so that P(y + Z <= G_k / s) = Phi(-y) + E_k for Z standard normal and G_k an
// Erlang(k, eta) jump total, b = eta s > 0. Exposed for the tests.
void erlang_tails(std::int32_t count, double b, double y, double *out);

}  // namespace kou

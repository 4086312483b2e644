// European call under the Merton jump-diffusion model: log-normal jump sizes,
// priced as a Poisson-weighted series of Black-Scholes call prices (R. C. Merton,
// "Option pricing when underlying stock returns are discontinuous", Journal of Financial
// Economics 3 (1976) 125-144): with k = exp(m + s^2/2) - 1 and L = lam (1 + k) T,
//   C = sum over i >= 0 of exp(-L) L^i / i! BS(S, K, T, sigma_i, r_i),
//   sigma_i^2 = sigma^2 + i s^2 / T,  r_i = r - lam k + i log(1 + k) / T,
// truncated after i = floor(n).
#pragma once

class MertonEuropeanCall {
public:
    // Strike first, maturity second (the reverse of the storage order).
    MertonEuropeanCall(double K, double T) : T_(T), K_(K) {}

    // Call price truncated after the terms i = 0, 1, ..., floor(n) of the
    // jump-count series. Domain: every double; n negative or NaN gives 0.0, T <= 0 NaN.
    // The term index is a 32-bit integer, so the last term evaluated is at most 2^31 - 1;
    // terms beyond i = 170 (where i! overflows) are +-0.0 or NaN.
    //   S     spot price
    //   sigma diffusion volatility (annualised)
    //   r     risk-free rate (continuously compounded)
    //   lam   jump intensity (jumps per year)
    //   m, s  mean and standard deviation of the log jump size
    double JDAnalyticalPrice(double S, double sigma, double r, double lam, double m, double s,
                             double n) const;

private:
    double T_;  // maturity in years
    double K_;  // strike
};

#include <cstddef>

namespace merton {

// JDAnalyticalPrice of MertonEuropeanCall(K[j], T) at the spots S[j], j < count, the same
// model and truncation for all: price[j] receives exactly that double. logSK is scratch of
// count doubles. Allocates nothing.
void call_strip(const double *K, double T, const double *S, std::size_t count, double sigma,
                double r, double lam, double m, double s, double n, double *price,
                double *logSK);

}  // namespace merton

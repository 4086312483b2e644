// European call under the Merton jump-diffusion model: log-normal jump sizes,
// priced as a Poisson-weighted series of Black-Scholes call prices.
#pragma once

class MertonEuropeanCall {
public:
    // Strike first, maturity second (the reverse of the storage order).
    MertonEuropeanCall(double K, double T) : T_(T), K_(K) {}

    // Call price truncated after the terms i = 0, 1, ..., floor(n) of the
    // jump-count series. n negative or NaN gives 0.0. The term index is a
    // 32-bit integer, so the last term evaluated is at most 2^31 - 1.
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

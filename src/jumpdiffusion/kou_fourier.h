// Kou's European call without truncation, by Fourier inversion of the model's exact
// characteristic function: the price where the jump-count series needs more terms than
// a double's factorials allow (lam T beyond about 100), or where the closed form and its
// positive-term evaluation overflow.
//
// Lewis's formula (A. Lewis, "A simple option formula for general jump-diffusion and other
// exponential Levy processes", 2001): with S' = S exp(-qT), K' = K exp(-rT),
// x = log(S'/K') and phi the characteristic function of log(S_T / F),
//   C = S' - sqrt(S' K') / pi * integral_0^inf Re[exp(i u x) phi(u - i/2)] / (u^2 + 1/4) du.
// For Kou's jumps (S. G. Kou, Management Science 48 (2002)) the exponent at u - i/2
// separates into terms of one sign: with c = u^2 + 1/4, a1 = eta1 - 1/2, a2 = eta2 + 1/2,
// alpha = p / ((eta1 - 1)(a1^2 + u^2)), beta = (1 - p) / ((eta2 + 1)(a2^2 + u^2)),
//   T psi(u - i/2) = -T c (sigma^2 / 2 + lam (a1 alpha + a2 beta)) + i T c u lam (beta - alpha),
// so the integrand is the real function
//   exp(-T c g(u)) cos(u x + T c u lam (beta - alpha)) / c,  g = sigma^2/2 + lam (a1 alpha + a2 beta),
// with a modulus that decreases in u and no cancellation in its exponent.
#pragma once

namespace jumpdiffusion {

struct FourierCall {
    double call;   // the call price (floored at 0); NaN where the bound cannot be met
    double delta;  // dC/dS', the share-measure exercise probability
    double bound;  // bound on |call - exact| from the quadrature and the cut-off
};

// Arguments in the toolkit's supported domain, spot the forward-adjusted S'. The bound
// is at most 1e-13 (S' + K') where a price is returned: the integral is cut where its
// tail is below that, and split into Gauss-Legendre panels narrow enough for the
// integrand's analyticity in the strip |Im u| < 1/2 (see the .cpp). Where that would
// take more than kMaxPanels panels the call is NaN (the caller refuses the input).
constexpr long kMaxPanels = 2000000;
FourierCall kou_call_fourier(double spot, double K, double T, double r, double sigma, double lam,
                             double p, double eta1, double eta2);

}  // namespace jumpdiffusion

// Black-Scholes implied volatility by Peter Jäckel's "Let's be rational" (Wilmott, January
// 2015, pp. 40-53): a rational cubic initial guess in one of four branches of the normalised
// price, then at most two third-order Householder steps on a transformed objective, which
// reach the attainable accuracy of double precision on every input.
//
// Normalised quantities (Jäckel's notation): x = ln(F / K), s = sigma sqrt(T), theta = +1
// for a call and -1 for a put, and the normalised (undiscounted) price
//     b(x, s, theta) = theta [exp(x/2) Phi(theta (x/s + s/2)) - exp(-x/2) Phi(theta (x/s - s/2))]
// = price / (D sqrt(F K)) with D the discount factor.
//
// No allocation, no exceptions, no global state: safe on any thread.
#pragma once

namespace lets_be_rational {

// The normalised call b(x, s, +1), accurate to a few ulp in relative terms for every x and
// s >= 0 (four regions: an asymptotic expansion for large negative x/s, a small-s
// expansion, the scaled complementary error function, and the plain cumulative normals
// where they do not cancel).
double normalised_black_call(double x, double s);

// db/ds = exp(-(x/s)^2/2 - s^2/8) / sqrt(2 pi), the normalised vega, for s >= 0.
double normalised_vega(double x, double s);

// The undiscounted Black price of a call (theta = +1) or put (theta = -1) with forward
// F > 0, strike K > 0, volatility sigma >= 0 and time T > 0.
double black(double F, double K, double sigma, double T, double theta);

// The volatility whose undiscounted Black price is `price`; F, K, T > 0, theta = +1 / -1.
// Returns 0 when the price equals the intrinsic value (to within 4 ulp of max(F, K), the
// rounding of F - K), NaN when the price is below that or at or above the largest price a
// volatility can give (F for a call, K for a put; to within 4 ulp, which only volatilities
// with sigma sqrt(T) > 16 approach closer), and NaN for NaN inputs.
double implied_volatility(double price, double F, double K, double T, double theta);

// The scaled complementary error function exp(x^2) erfc(x), by W. J. Cody's rational
// Chebyshev approximations ("Rational Chebyshev approximations for the error function",
// Math. Comp. 23 (1969) 631-638; routine CALERF); relative accuracy about 1e-16.
double erfcx(double x);

// The standard normal quantile by Wichura's algorithm AS 241 (PPND16, Appl. Statist. 37
// (1988) 477-484), relative accuracy about 1e-16 for 0 < u < 1.
double inverse_norm_cdf(double u);

}  // namespace lets_be_rational

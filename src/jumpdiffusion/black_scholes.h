// The Black-Scholes price of a European option, accurate in relative terms however deep in
// or out of the money, and its inverse, the implied volatility.
//
// Everything is expressed through normalised quantities: the log-moneyness x = ln(F / K) of
// the forward F against the strike K, the total volatility s = sigma sqrt(T), and the
// normalised (undiscounted) call price
//     b(x, s) = price / sqrt(F K) = exp(x/2) Phi(x/s + s/2) - exp(-x/2) Phi(x/s - s/2).
// A put is the call at -x (b_put(x, s) = b(-x, s)), and an in-the-money option is its
// out-of-the-money counterpart plus the intrinsic value, so every evaluation reduces to the
// out-of-the-money call, x <= 0, where b rises from 0 at s = 0 to exp(x/2) as s grows.
// black_scholes.cpp derives the evaluation and the inversion step by step.
//
// No allocation, no exceptions, no global state: safe on any thread.
#pragma once

namespace black_scholes {

// The normalised call b(x, s) for any x and s >= 0 (0 for s = 0 and x <= 0), to within a few
// units in the last place in relative terms of the out-of-the-money part.
double normalised_call(double x, double s);

// db/ds = exp(-(x/s)^2/2 - s^2/8) / sqrt(2 pi), the normalised vega, for s > 0.
double normalised_vega(double x, double s);

// The undiscounted price of a call (call = true) or put with forward F > 0, strike K > 0,
// volatility sigma >= 0 and time T > 0: the intrinsic value max(+-(F - K), 0) plus
// sqrt(F K) times the out-of-the-money normalised call, the latter kept in relative
// accuracy even where it is far below the intrinsic value or below the smallest double.
double price(double F, double K, double sigma, double T, bool call);

// The volatility whose undiscounted price is `price`; F, K, T > 0. `headroom` is the
// distance of the price below the largest price a volatility can give (F for a call, K for
// a put), formed by the caller where it has it more precisely than F - price or K - price
// (the overload without it forms those). Returns
//   NaN  for a NaN argument, a price below the intrinsic value by more than the rounding of
//        F - K (4 units in the last place of max(F, K)), or headroom <= 0;
//   0    for a price at the intrinsic value or below it by no more than that rounding;
//   otherwise the volatility, to the accuracy the price's last bit determines it.
double implied_volatility(double price, double F, double K, double T, bool call, double headroom);
double implied_volatility(double price, double F, double K, double T, bool call);

// The scaled complementary error function exp(z^2) erfc(z), for every z (+inf where it
// overflows, z < -26.6), relative accuracy a few units in the last place.
double erfcx(double z);

// The standard normal quantile Phi^-1(p) for 0 < p <= 1/2, to a few units in the last place
// (the lower tail only: the inversion needs nothing else, and 1 - p loses the upper tail).
double lower_normal_quantile(double p);

}  // namespace black_scholes

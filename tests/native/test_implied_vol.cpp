// Black-Scholes price and implied volatility in the 64-bit, sanitizer and 32-bit builds: the
// normalised round trip over moneyness and total volatility, the bounds and the prices just
// below the upper bound, and erfcx and the normal quantile against values that do not
// depend on them. The normalised call is checked against 40 digits in each of its forms in
// tests/test_calibration.py.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "black_scholes.h"

namespace bs = black_scholes;

TEST(ImpliedVolatility, RoundTripOverMoneynessAndTotalVolatility) {
    int checked = 0;
    for (double x = -6.0; x <= 6.0; x += 0.37) {
        for (double s = 1e-3; s < 8.0; s *= 1.37) {
            for (bool call : {true, false}) {
                const double F = 100.0 * std::exp(x), K = 100.0;
                const double price = bs::price(F, K, s, 1.0, call);
                const double found = bs::implied_volatility(price, F, K, 1.0, call);
                // Where a 1e-12 change of s moves the price beyond its last four bits.
                const double vega = std::sqrt(F * K) * bs::normalised_vega(x, s);
                if (price > 1e-300 && vega * 1e-12 > 4.0 * std::nextafter(price, INFINITY) - 4.0 * price) {
                    EXPECT_NEAR(found, s, 1e-12 * std::fmax(1.0, s)) << x << " " << s << " " << call;
                    ++checked;
                } else {
                    EXPECT_TRUE(found >= 0.0) << x << " " << s << " " << call;
                }
            }
        }
    }
    EXPECT_GT(checked, 600);
}

TEST(ImpliedVolatility, AnyScaleAndMoneyness) {
    // Forwards from 1e-100 to 1e100, |ln F/K| to 300, s from 1e-7 to 10: wherever a relative
    // change of 1e-12 in volatility moves the price beyond four ulps, the volatility is found
    // to 1e-11; everywhere else it is finite and non-negative.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int informative = 0;
    for (int i = 0; i < 2000; ++i) {
        const double F = std::pow(10.0, -100.0 + 200.0 * unit(random));
        const double x = (unit(random) < 0.5 ? -1.0 : 1.0) * std::pow(10.0, -8.0 + 10.5 * unit(random));
        const double K = F * std::exp(-x), s = std::pow(10.0, -7.0 + 8.0 * unit(random));
        const bool call = unit(random) < 0.5;
        const double price = bs::price(F, K, s, 1.0, call);
        if (!(price < (call ? F : K))) continue;
        const double found = bs::implied_volatility(price, F, K, 1.0, call);
        ASSERT_TRUE(found >= 0.0 && std::isfinite(found)) << F << " " << K << " " << s << " " << call;
        const double vega = std::sqrt(F) * std::sqrt(K) * bs::normalised_vega(std::log(F / K), s);
        if (price > 1e-290 && vega * s * 1e-12 > 4.0 * (std::nextafter(price, INFINITY) - price)) {
            EXPECT_NEAR(found, s, 1e-11 * s) << F << " " << K << " " << s << " " << call;
            ++informative;
        }
    }
    EXPECT_GT(informative, 500);
}

TEST(ImpliedVolatility, OutsideTheBoundsIsNaNAndJustInsideIsFinite) {
    const double F = 110.0, K = 100.0;
    EXPECT_TRUE(std::isnan(bs::implied_volatility(9.0, F, K, 1.0, true)));     // below intrinsic
    EXPECT_TRUE(std::isnan(bs::implied_volatility(110.0, F, K, 1.0, true)));   // at F
    EXPECT_TRUE(std::isnan(bs::implied_volatility(-1.0, F, K, 1.0, false)));
    EXPECT_TRUE(std::isnan(bs::implied_volatility(NAN, F, K, 1.0, false)));
    EXPECT_EQ(bs::implied_volatility(10.0, F, K, 1.0, true), 0.0);             // at intrinsic
    EXPECT_EQ(bs::implied_volatility(0.0, F, K, 1.0, false), 0.0);
    // One to five units in the last place below the bound, for calls (bound F) and puts
    // (bound K), in and out of the money: a finite volatility that reprices to the bits.
    for (double k : {50.0, 100.0, 110.0, 400.0}) {
        for (bool call : {true, false}) {
            double price = call ? F : k;
            for (int ulp = 1; ulp <= 5; ++ulp) {
                price = std::nextafter(price, 0.0);
                const double sigma = bs::implied_volatility(price, F, k, 1.0, call);
                ASSERT_TRUE(std::isfinite(sigma) && sigma > 5.0) << k << " " << call << " " << ulp;
                EXPECT_NEAR(bs::price(F, k, sigma, 1.0, call), price, 4.0 * (call ? F : k) * 2.2e-16);
            }
        }
    }
}

TEST(ImpliedVolatility, ScaledComplementaryErrorFunctionAndNormalQuantile) {
    // Where erfc does not underflow, exp(x^2) erfc(x) is the definition; beyond, the
    // asymptotic series' leading term 1/(x sqrt(pi)).
    for (double x = -5.0; x <= 25.0; x += 0.125) {
        const double direct = std::exp(x * x) * std::erfc(x);
        EXPECT_NEAR(bs::erfcx(x), direct, 1e-15 * direct * (1.0 + x * x)) << x;
    }
    EXPECT_NEAR(bs::erfcx(1e9), 0.5641895835477563e-9, 1e-25);
    EXPECT_NEAR(bs::erfcx(30.0), 0.018795888861416751, 1e-17);
    // Quantiles of published tail probabilities and their round trip through erfc.
    EXPECT_NEAR(bs::lower_normal_quantile(0.025), -1.959963984540054, 1e-15);
    EXPECT_NEAR(bs::lower_normal_quantile(1e-10), -6.361340902404056, 1e-14);
    for (double p = 0.5; p > 1e-300; p *= 0.0173) {
        const double z = bs::lower_normal_quantile(p);
        EXPECT_NEAR(0.5 * std::erfc(-z / std::sqrt(2.0)) / p, 1.0, 1e-14 * (1.0 + z * z)) << p;
    }
}

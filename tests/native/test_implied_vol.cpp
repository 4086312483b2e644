// Implied volatility in the 64-bit, sanitizer and 32-bit builds: the normalised round trip
// over moneyness and total volatility, the bounds, and the scaled complementary error
// function against its defining formula where that is accurate.
#include <gtest/gtest.h>

#include <cmath>

#include "lets_be_rational.h"

namespace lbr = lets_be_rational;

TEST(ImpliedVolatility, RoundTripOverMoneynessAndTotalVolatility) {
    int checked = 0;
    for (double x = -6.0; x <= 6.0; x += 0.37) {
        for (double s = 1e-3; s < 8.0; s *= 1.37) {
            for (double theta : {1.0, -1.0}) {
                const double F = 100.0 * std::exp(x), K = 100.0;
                const double price = lbr::black(F, K, s, 1.0, theta);
                const double found = lbr::implied_volatility(price, F, K, 1.0, theta);
                // Where a 1e-12 change of s moves the price beyond its last four bits.
                const double vega = std::sqrt(F * K) * lbr::normalised_vega(x, s);
                if (price > 1e-300 && vega * 1e-12 > 4.0 * std::nextafter(price, INFINITY) - 4.0 * price) {
                    EXPECT_NEAR(found, s, 1e-12 * std::fmax(1.0, s)) << x << " " << s << " " << theta;
                    ++checked;
                } else {
                    EXPECT_TRUE(found >= 0.0) << x << " " << s << " " << theta;
                }
            }
        }
    }
    EXPECT_GT(checked, 600);
}

TEST(ImpliedVolatility, OutsideTheBoundsIsNaN) {
    const double F = 110.0, K = 100.0;
    EXPECT_TRUE(std::isnan(lbr::implied_volatility(9.0, F, K, 1.0, 1.0)));     // below intrinsic
    EXPECT_TRUE(std::isnan(lbr::implied_volatility(110.0, F, K, 1.0, 1.0)));   // at F
    EXPECT_TRUE(std::isnan(lbr::implied_volatility(-1.0, F, K, 1.0, -1.0)));
    EXPECT_TRUE(std::isnan(lbr::implied_volatility(NAN, F, K, 1.0, -1.0)));
    EXPECT_EQ(lbr::implied_volatility(10.0, F, K, 1.0, 1.0), 0.0);             // at intrinsic
    EXPECT_EQ(lbr::implied_volatility(0.0, F, K, 1.0, -1.0), 0.0);
}

TEST(ImpliedVolatility, ScaledComplementaryErrorFunction) {
    for (double x = -5.0; x <= 5.0; x += 0.125) {
        const double direct = std::exp(x * x) * std::erfc(x);
        EXPECT_NEAR(lbr::erfcx(x), direct, 1e-14 * direct * (1.0 + x * x)) << x;
    }
    EXPECT_NEAR(lbr::erfcx(1e9), 0.5641895835477563e-9, 1e-25);
    EXPECT_NEAR(lbr::inverse_norm_cdf(0.975), 1.959963984540054, 1e-15);
    EXPECT_NEAR(lbr::inverse_norm_cdf(1e-10), -6.361340902404056, 1e-14);
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "merton_call.h"

TEST(MertonCore, TruncationRules) {
    const MertonEuropeanCall call(100.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 1.0, -0.1, 0.15, -1.0), 0.0);
    EXPECT_EQ(call.JDAnalyticalPrice(nan, nan, nan, nan, nan, nan, nan), 0.0);
    EXPECT_EQ(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 2.7),
              call.JDAnalyticalPrice(100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 2.0));
    EXPECT_EQ(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 1.0, -0.1, 0.15, -0.0),
              call.JDAnalyticalPrice(100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 0.5));
    EXPECT_TRUE(std::isnan(MertonEuropeanCall(100.0, 0.0).JDAnalyticalPrice(
        100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 3.0)));
}

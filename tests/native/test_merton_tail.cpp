// The Merton series beyond i = 170, where i! is infinite and every term is +-0.0 or NaN:
// the price decided without visiting the terms, against the term-by-term loop.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "merton_call.h"

extern "C" double sf_merton_call(double K, double T, double S, double sigma, double r,
                                 double lam, double m, double s, double n);

namespace {

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// r making r_i = g i + r0 exactly zero at `index` (sigma = s = 0, lam = 0, T = 1).
double zero_crossing_rate(double index, double m) {
    const double g = std::log(1.0 + (std::exp(0.5 * (0.0 * 0.0) + m) - 1.0)) / 1.0;
    return -(g * index);
}

struct Scenario {
    const char *name;
    double K, T, S, sigma, r, lam, m, s;
    double nanFrom;  // the first NaN term, or 0 when the tail stays zero
};

const Scenario kScenarios[] = {
    // lam = 0, m = -1: the discount factor exp(-T r_i) overflows from about i = 710
    {"discount overflow", 100.0, 1.0, 100.0, 0.2, 0.05, 0.0, -1.0, 0.0, 600},
    // L = lam' T > 1: pow(L, i) overflows near i = 440 while i! is already infinite
    {"power overflow", 100.0, 1.0, 100.0, 0.2, 0.05, 5.0, 0.0, 0.1, 400},
    // a typical equity jump law: r_i falls slowly, the discount overflows near i = 8000
    {"late overflow", 100.0, 1.0, 100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 7000},
    // upward mean jump (r_i grows) and L < 1: the tail stays zero
    {"finite", 100.0, 1.0, 100.0, 0.2, 0.05, 0.5, 0.05, 0.1, 0},
    // no diffusion: d1 = 0 / 0 at the single index where r_i = 0, i = 500
    {"zero diffusion, one NaN index", 100.0, 1.0, 100.0, 0.0, zero_crossing_rate(500, 0.5),
     0.0, 0.5, 0.0, 500},
    // negative spot and strike: log(S / K) is finite and the terms are numbers
    {"negative spot and strike", -100.0, 1.0, -100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 7000},
    // no diffusion, S / K underflows to 0: d1 = -inf / 0 throughout
    {"zero diffusion, spot far below strike", 1e300, 1.0, 1e-300, 0.0, 0.05, 0.5, 0.05, 0.0, 0},
    // no diffusion, r_i never exactly zero
    {"zero diffusion, no NaN", 100.0, 1.0, 100.0, 0.0, zero_crossing_rate(500, 0.5) + 1e-9, 0.0,
     0.5, 0.0, 0},
};

}  // namespace

TEST(MertonTail, AgainstTheTermByTermLoop) {
    for (const Scenario &c : kScenarios) {
        const MertonEuropeanCall call(c.K, c.T);
        for (double n : {170.0, 171.0, 300.0, 439.0, 440.0, 499.0, 500.0, 709.0, 710.0, 711.0,
                         2000.0, 7999.0, 8000.0, 8001.0, 1e5, 1e6}) {
            EXPECT_TRUE(same(call.JDAnalyticalPrice(c.S, c.sigma, c.r, c.lam, c.m, c.s, n),
                             sf_merton_call(c.K, c.T, c.S, c.sigma, c.r, c.lam, c.m, c.s, n)))
                << c.name << " n=" << n;
        }
    }
}

// Truncations that no loop visits: 2^31 - 1 (the cap) and beyond give the cap's price,
// which is NaN when some term from 171 on is, and the 170-term price otherwise.
TEST(MertonTail, HugeTruncations) {
    for (const Scenario &c : kScenarios) {
        const MertonEuropeanCall call(c.K, c.T);
        const double atCap = call.JDAnalyticalPrice(c.S, c.sigma, c.r, c.lam, c.m, c.s, 2147483647.0);
        for (double n : {2147483648.0, 1e12, 1e300, std::numeric_limits<double>::infinity()}) {
            EXPECT_TRUE(same(call.JDAnalyticalPrice(c.S, c.sigma, c.r, c.lam, c.m, c.s, n), atCap))
                << c.name;
        }
        if (c.nanFrom == 0) {
            EXPECT_TRUE(same(atCap, sf_merton_call(c.K, c.T, c.S, c.sigma, c.r, c.lam, c.m, c.s, 170.0)))
                << c.name;
            EXPECT_TRUE(std::isfinite(atCap)) << c.name;
        } else {
            EXPECT_TRUE(std::isnan(atCap)) << c.name;
            EXPECT_TRUE(std::isfinite(
                sf_merton_call(c.K, c.T, c.S, c.sigma, c.r, c.lam, c.m, c.s, c.nanFrom - 1)))
                << c.name;
        }
    }
}

// Inputs whose scaled drift (sigma_i^2 / 2 + r_i) T nearly cancels between the jump terms
// (m = -s^2) with the rate near the largest double and S / K = 0: the search of the scaled
// drift used to give up and visit all 2^31 terms (two to four minutes each). The expected
// prices come from that scan: 0.0, or NaN where the drift overflows at some index. The
// time is recorded, and only a second or more fails.
TEST(MertonTail, NearlyCancellingDriftsAnswerAtOnce) {
    struct Case {
        double K, T, S, sigma, r, lam, m, s, price;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {1.0, 1e-298, 0.0, 0.0, 1.7976e308, 0.0, -1.0, 1.0, 0.0},
        {1e10, 9.307936598103273e-297, 1e-320, 0.9198902886852434, 1.797693e308, 0.0,
         -43.25976246523794, 6.458620991323484, 0.0},
        {1.0, 3e-299, 0.0, 0.0, 1.79e308, 0.0, -4.0, 2.0, nan},
        {191497988.03518003, 3.846701174578006e-299, 4.9406564584124654e-324, 0.0,
         1.7963985944602088e+308, 0.0, -3.1150671346522127, 1.7649552783717248, 0.0},
        // The rate one ulp below the largest double: the sum stays two ulp short of
        // overflowing, which the linear bound in extended precision settles.
        {1.0, 1e-298, 0.0, 0.0, 1.7976931348623155e308, 0.0, -1.0, 1.0, 0.0},
        // At the largest double: a few percent of the indices overflow, scattered by
        // rounding; the search leaves it undecided and the price is NaN, as the scan says.
        {1.0, 1e-298, 0.0, 0.0, 1.7976931348623157e308, 0.0, -1.0, 1.0, nan},
    };
    for (const Case &c : cases) {
        const MertonEuropeanCall call(c.K, c.T);
        const auto start = std::chrono::steady_clock::now();
        const double price = call.JDAnalyticalPrice(c.S, c.sigma, c.r, c.lam, c.m, c.s,
                                                    std::numeric_limits<double>::infinity());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        RecordProperty("seconds", std::to_string(seconds));
        EXPECT_TRUE(same(price, c.price)) << c.K << " " << c.T;
        EXPECT_LT(seconds, 1.0);
    }
}

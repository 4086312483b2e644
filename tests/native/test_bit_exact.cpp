// The cores against the straightforward evaluations, bit for bit, in whatever
// build this is (64-bit, 32-bit x86, sanitizers).
#include <gtest/gtest.h>

#include "random_kou.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "math_entries.h"
#include "merton_call.h"
#include "options.h"
#include "prices.h"

extern "C" {
double sf_kou_call(double T, double K, double S, double r, double sigma, double lam, double p,
                   double eta1, double eta2, std::int32_t n);
double sf_kou_put(double T, double K, double S, double r, double sigma, double lam, double p,
                  double eta1, double eta2, std::int32_t n);
double sf_merton_call(double K, double T, double S, double sigma, double r, double lam,
                      double m, double s, double n);
}

namespace {

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

// Where the closed form is certified the price is its bits; elsewhere the stable price
// and the closed form are each within their bounds of the exact series, so they differ by
// at most the closed form's bound plus the stable evaluation's 1e-11 of S + K exp(-rT).
TEST(BitExact, Kou) {
    std::mt19937_64 rng(11);
    const KouRanges ranges{{60.0, 140.0}, {-0.85, 0.85}, {0.05, 3.05}, {0.0, 0.1},
                           {0.05, 0.55}, {0.0, 5.0},     {1.5, 31.5},  {0.5, 20.5}};
    int stable = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const auto [S, K, T, r, sigma, lam, p, eta1, eta2] = draw_kou_set(rng, ranges);
        const std::int32_t n = static_cast<std::int32_t>(rng() % 30) - 2;
        const kou::EuropeanCall call(T, K);
        const kou::EuropeanPut put(T, K);
        const double plain = sf_kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n);
        const kou::KouCallEvaluation e =
            kou::kou_call_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, n);
        const double price = call.priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n);
        EXPECT_TRUE(same(price, e.price)) << trial;
        EXPECT_TRUE(same(e.closedForm, plain)) << trial;
        if (e.certified) {
            EXPECT_TRUE(same(price, plain)) << trial;
            EXPECT_TRUE(same(put.priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n),
                             sf_kou_put(T, K, S, r, sigma, lam, p, eta1, eta2, n)))
                << trial;
        } else {
            ++stable;
            EXPECT_LE(std::fabs(price - plain), e.bound + 1e-11 * (S + K * std::exp(-r * T)))
                << trial;
        }
    }
    EXPECT_GT(stable, 0);
    EXPECT_LT(stable, 300);
}

TEST(BitExact, MertonIncludingTails) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 400; ++trial) {
        const double K = 50.0 + 100.0 * u(rng), T = 0.05 + 5.0 * u(rng), S = 50.0 + 100.0 * u(rng);
        const double sigma = 0.6 * u(rng), r = 0.1 * u(rng), lam = 8.0 * u(rng);
        const double m = -1.0 + 1.3 * u(rng), s = 0.5 * u(rng);
        const double n = trial % 4 == 0 ? std::floor(std::pow(10.0, 2.0 + 2.5 * u(rng)))
                                        : std::floor(250.0 * u(rng)) - 1.0;
        const MertonEuropeanCall call(K, T);
        EXPECT_TRUE(same(call.JDAnalyticalPrice(S, sigma, r, lam, m, s, n),
                         sf_merton_call(K, T, S, sigma, r, lam, m, s, n)))
            << trial << " n=" << n;
    }
}

TEST(BitExact, MertonHugeTruncations) {
    // Tails that turn NaN (discount overflow near i = 710, power overflow near
    // i = 440) and one that stays finite, at the cap of 2^31 - 1 terms and beyond.
    const MertonEuropeanCall call(100.0, 1.0);
    for (double n : {2147483647.0, 1e12, static_cast<double>(INFINITY)}) {
        EXPECT_TRUE(std::isnan(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 0.0, -1.0, 0.0, n)));
        EXPECT_TRUE(std::isnan(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 5.0, 0.0, 0.1, n)));
        EXPECT_TRUE(same(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 0.5, 0.05, 0.1, n),
                         sf_merton_call(100.0, 1.0, 100.0, 0.2, 0.05, 0.5, 0.05, 0.1, 170.0)));
    }
    EXPECT_TRUE(same(call.JDAnalyticalPrice(100.0, 0.2, 0.05, 0.0, -1.0, 0.0, 705.0),
                     sf_merton_call(100.0, 1.0, 100.0, 0.2, 0.05, 0.0, -1.0, 0.0, 705.0)));
}

// The pow entry the cores call (the library's routine without its wrapper where the
// library exports it) against the library's pow: the same bits and the same errno, over
// integer and fractional exponents and the results the wrapper reports (overflow,
// underflow, a negative base to a fractional power, zero, infinities, NaN).
TEST(BitExact, PowEntry) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> logBase(-40.0, 40.0), exponent(-200.0, 200.0);
    std::vector<std::pair<double, double>> cases;
    for (int i = 0; i < 300; ++i) {
        const double x = std::exp(logBase(rng)) * (i % 5 == 0 ? -1.0 : 1.0);
        const double y = exponent(rng);
        cases.push_back({x, i % 2 == 0 ? std::floor(y) : y});
    }
    const double inf = INFINITY, nan = NAN;
    for (double x : {0.0, -0.0, 1.0, -1.0, 0.5, -2.0, 1e-300, 1e300, inf, -inf, nan}) {
        for (double y : {0.0, 1.0, 2.0, 3.0, -1.0, -3.0, 0.5, 1e10, -1e10, 1e300, inf, -inf, nan}) {
            cases.push_back({x, y});
        }
    }
    // Results at the edges of the finite non-zero doubles, of either sign: the largest
    // power of two, the smallest subnormal, and one step beyond each.
    for (double x : {2.0, -2.0}) {
        for (double y : {1023.0, 1024.0, -1073.0, -1074.0, -1075.0}) {
            cases.push_back({x, y});
        }
    }
    for (const auto &[x, y] : cases) {
        errno = 0;
        const double expected = std::pow(x, y);
        const int expectedErrno = errno;
        errno = 0;
        const double got = math_entries::pow(x, y);
        EXPECT_TRUE(same(got, expected)) << "pow(" << x << ", " << y << ")";
        EXPECT_EQ(errno, expectedErrno) << "pow(" << x << ", " << y << ")";
    }
}

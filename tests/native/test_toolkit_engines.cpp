// The toolkit's engines over the supported domain: the Kou call by Fourier inversion
// against corvane's certified closed form and Black-Scholes, the Merton series around its
// mode against halvorn (untruncated and truncated), and the Poisson ranges' tails. The
// Greeks and the sweeps over the whole domain are tested through the toolkit.
#include <gtest/gtest.h>

#include "random_kou.h"

#include <cmath>
#include <random>

#include "kou_call.h"
#include "kou_fourier.h"
#include "merton_call.h"
#include "merton_series.h"
#include "prices.h"
#include "truncation.h"

namespace jd = jumpdiffusion;

namespace {

double black_scholes_call(double S, double K, double T, double r, double sigma) {
    const double root = sigma * std::sqrt(T);
    const double d1 = (std::log(S / K) + r * T) / root + 0.5 * root;
    return S * 0.5 * std::erfc(-d1 / std::sqrt(2.0)) -
           K * std::exp(-r * T) * 0.5 * std::erfc(-(d1 - root) / std::sqrt(2.0));
}

}  // namespace

TEST(KouFourier, AgreesWithTheCertifiedClosedFormWithinItsBound) {
    std::mt19937_64 rng(24);
    const KouRanges ranges{{100.0, 100.0}, {-0.75, 0.75}, {0.05, 3.05}, {-0.02, 0.08},
                           {0.05, 0.55},   {0.0, 4.0},    {2.0, 42.0},  {0.5, 30.5}};
    int compared = 0;
    for (int c = 0; c < 200; ++c) {
        const auto [S, K, T, r, sigma, lam, p, eta1, eta2] = draw_kou_set(rng, ranges);
        const kou::KouCallEvaluation v = kou::kou_call_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, 60);
        const jd::FourierCall f = jd::kou_call_fourier(S, K, T, r, sigma, lam, p, eta1, eta2);
        const double scale = S + K * std::exp(-r * T);
        ASSERT_LE(f.bound, 1e-13 * scale);
        if (v.certified && v.bound <= 1e-12 * scale) {  // the closed form, within its bound
            EXPECT_NEAR(f.call, v.price, f.bound + v.bound + 1e-14 * scale) << c;
            EXPECT_NEAR(f.delta, v.shareProbability, 1e-12 * (1.0 + K / S) + v.shareBound) << c;
            ++compared;
        }
    }
    EXPECT_GT(compared, 40);
}

TEST(KouFourier, BlackScholesWithoutJumpsAndDeltaByDifferences) {
    for (double K : {40.0, 90.0, 100.0, 130.0, 400.0}) {
        for (double T : {0.01, 1.0, 20.0}) {
            const jd::FourierCall f = jd::kou_call_fourier(100.0, K, T, 0.03, 0.25, 0.0, 0.4, 10.0, 5.0);
            EXPECT_NEAR(f.call, black_scholes_call(100.0, K, T, 0.03, 0.25), 1e-12 * (100.0 + K)) << K << " " << T;
            const double h = 1e-4;
            const double up = jd::kou_call_fourier(100.0 + h, K, T, 0.03, 0.25, 300.0 / T, 0.4, 10.0, 5.0).call;
            const double down = jd::kou_call_fourier(100.0 - h, K, T, 0.03, 0.25, 300.0 / T, 0.4, 10.0, 5.0).call;
            const double delta = jd::kou_call_fourier(100.0, K, T, 0.03, 0.25, 300.0 / T, 0.4, 10.0, 5.0).delta;
            EXPECT_NEAR(delta, (up - down) / (2.0 * h), 2e-8) << K << " " << T;
        }
    }
}

TEST(KouCall, DefaultTruncationHandsLargeMeansToFourier) {
    EXPECT_EQ(jd::kou_default_terms(1.0, 1.0, 0.4, 10.0, 5.0), 20);
    EXPECT_EQ(jd::kou_default_terms(1.0, 75.0, 0.4, 10.0, 5.0), 166);
    EXPECT_EQ(jd::kou_default_terms(1.0, 120.0, 0.4, 10.0, 5.0), -1);
    EXPECT_EQ(jd::kou_default_terms(1.0, 0.0, 0.4, 10.0, 5.0), 0);
    EXPECT_TRUE(std::isinf(jd::merton_default_terms(1.0, 400.0, -0.1, 0.15)));
    // Where the closed form overflows (A1 = exp((eta1 sigma)^2 T / 2)), the completed call is
    // the untruncated price.
    const kou::KouCallEvaluation v = kou::kou_call_evaluation(2.0, 100.0, 100.0, 0.03, 0.2, 1.0, 0.4, 200.0, 5.0, 30);
    ASSERT_FALSE(std::isfinite(v.price));
    const jd::KouCall c = jd::kou_call_completed(v, 100.0, 100.0, 2.0, 0.03, 0.2, 1.0, 0.4, 200.0, 5.0, 30, 30, std::exp(-0.06));
    EXPECT_TRUE(c.priced && !c.certified);
    EXPECT_NEAR(c.call, 17.9087024900, 1e-9);
}

TEST(MertonSeries, AgreesWithHalvornAndKeepsItsTruncation) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int c = 0; c < 200; ++c) {
        const double K = 100.0 * std::exp(1.5 * (u(rng) - 0.5)), T = 0.05 + 3.0 * u(rng);
        const double r = 0.1 * u(rng) - 0.02, sigma = 0.05 + 0.5 * u(rng), lam = 5.0 * u(rng);
        const double m = u(rng) - 0.7, s = 0.5 * u(rng);
        const MertonEuropeanCall call(K, T);
        const double scale = 100.0 + K * std::exp(-r * T);
        const jd::MertonSeries full = jd::merton_series(100.0, K, T, r, sigma, lam, m, s, HUGE_VAL);
        EXPECT_NEAR(full.call, call.JDAnalyticalPrice(100.0, sigma, r, lam, m, s, 170.0), 1e-14 * scale) << c;
        EXPECT_NEAR(full.put, (K * std::exp(-r * T) + full.call) - 100.0, 1e-14 * scale) << c;
        const double n = std::floor(4.0 * u(rng));
        EXPECT_NEAR(jd::merton_series(100.0, K, T, r, sigma, lam, m, s, n).call,
                    call.JDAnalyticalPrice(100.0, sigma, r, lam, m, s, n), 1e-14 * scale) << c;
    }
}

TEST(PoissonRange, TailsOutsideAreBelowTwoToTheMinus64) {
    for (double mu : {0.3, 5.0, 80.0, 700.0, 5000.0}) {
        const jd::JumpRange range = jd::poisson_range(mu);
        long double below = 0.0L, above = 0.0L;
        for (double i = 0.0; i < range.first; i += 1.0) {
            below += std::exp(static_cast<long double>(i) * std::log(static_cast<long double>(mu)) - mu -
                              std::lgamma(static_cast<long double>(i) + 1.0L));
        }
        for (double i = range.last + 1.0; i < range.last + 2000.0; i += 1.0) {
            above += std::exp(static_cast<long double>(i) * std::log(static_cast<long double>(mu)) - mu -
                              std::lgamma(static_cast<long double>(i) + 1.0L));
        }
        EXPECT_LE(static_cast<double>(below), std::ldexp(1.0, -64)) << mu;
        EXPECT_LE(static_cast<double>(above), std::ldexp(1.0, -64)) << mu;
        EXPECT_LE(range.last - range.first, 20.0 * std::sqrt(mu) + 40.0) << mu;
    }
}

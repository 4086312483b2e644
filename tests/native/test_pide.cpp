// The PIDE engine on its own: the real FFT against the direct transform, the European
// through the engine against the closed forms, the published Merton American, the grid's
// margins, knock-outs, and the refusal of a grid beyond the limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "european.h"
#include "fft.h"
#include "pide_engine.h"

namespace {

using batch::Column;

double european(const pide::Model &m, bool call, double S, double K) {
    const std::int8_t kind = call ? 1 : 0;
    const auto c = [](const double &v) { return Column<double>{&v, 0}; };
    const double n = -1.0;
    double out = 0.0;
    if (m.law == pide::Law::Kou) {
        batch::kou_prices(1, batch::KouInputs{{&kind, 0}, c(S), c(K), c(m.T), c(m.r), c(m.q), c(m.sigma), c(m.lam),
                                              c(m.p), c(m.eta1), c(m.eta2), c(n)},
                          &out);
    } else {
        batch::merton_prices(1, batch::MertonInputs{{&kind, 0}, c(S), c(K), c(m.T), c(m.r), c(m.q), c(m.sigma),
                                                    c(m.lam), c(m.m), c(m.s), c(n)},
                             &out);
    }
    return out;
}

pide::Point one(const pide::Model &m, const pide::Contract &c, double x, pide::Settings s = {}) {
    pide::Point p{};
    EXPECT_EQ(pide::solve(m, c, &x, 1, &p, s), pide::Status::Ok);
    return p;
}

constexpr double kPi = 3.14159265358979323846;
const pide::Model kKou{pide::Law::Kou, 1.0, 0.05, 0.01, 0.2, 1.0, 0.4, 10.0, 5.0, 0.0, 0.0};
const pide::Model kMerton{pide::Law::Merton, 0.25, 0.05, 0.0, 0.15, 0.1, 0.0, 0.0, 0.0, -0.9, 0.45};

}  // namespace

TEST(Pide, RealFftIsTheDiscreteTransform) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> g;
    const std::size_t n = 256;
    std::vector<double> x(n), back(n);
    for (double &v : x) {
        v = g(rng);
    }
    std::vector<std::complex<double>> X(n / 2 + 1);
    pide::RealFft fft(n);
    fft.forward(x.data(), X.data());
    for (std::size_t k = 0; k <= n / 2; ++k) {
        std::complex<double> direct = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            direct += x[j] * std::polar(1.0, -2.0 * kPi * static_cast<double>(j * k % n) / static_cast<double>(n));
        }
        EXPECT_LT(std::abs(direct - X[k]), 1e-12);
    }
    fft.inverse(X.data(), back.data());
    for (std::size_t j = 0; j < n; ++j) {
        EXPECT_NEAR(back[j] / static_cast<double>(n), x[j], 1e-14);
    }
}

TEST(Pide, EuropeanThroughTheEngineIsTheClosedForm) {
    for (const pide::Model &m : {kKou, kMerton}) {
        for (bool call : {true, false}) {
            const std::vector<double> strikes{80.0, 100.0, 125.0};
            std::vector<double> xs;
            for (double K : strikes) {
                xs.push_back(std::log(100.0 / K));
            }
            std::vector<pide::Point> points(xs.size());
            ASSERT_EQ(pide::solve(m, pide::Contract{call, pide::Exercise::European}, xs.data(), xs.size(),
                                  points.data(), {}),
                      pide::Status::Ok);
            for (std::size_t i = 0; i < xs.size(); ++i) {
                EXPECT_NEAR(strikes[i] * points[i].value, european(m, call, 100.0, strikes[i]), 1e-7 * 200.0);
            }
            // Points far from the strike, alone: the grid then lies on one side of it, and its
            // edges take that side's asymptote (a call at S / K = e^5.5 took 0 on its left).
            for (double x : {5.5, 3.0, -3.0, -5.5}) {
                const double K = 100.0 * std::exp(-x);
                const pide::Point p = one(m, pide::Contract{call, pide::Exercise::European}, x);
                EXPECT_NEAR(std::max(K * p.value, 0.0), european(m, call, 100.0, K), 1e-7 * (100.0 + K)) << x;
            }
        }
    }
}

TEST(Pide, PublishedMertonAmericanAndTheGridsMargins) {
    // Surkov (2009), Table C.5.
    const pide::Contract american{false, pide::Exercise::American};
    const pide::Point p = one(kMerton, american, 0.0);
    EXPECT_NEAR(100.0 * p.value, 3.2412435, 2e-5);
    EXPECT_LE(100.0 * p.error, 2e-5);
    // Margins twice as wide move the value by rounding only.
    pide::Settings wide;
    wide.marginScale = 2.0;
    EXPECT_NEAR(one(kMerton, american, 0.0, wide).value, p.value, 1e-12);
    // Above the European, and the payoff itself deep in the money.
    EXPECT_GT(100.0 * p.value, european(kMerton, false, 100.0, 100.0));
    EXPECT_NEAR(one(kMerton, american, std::log(0.7)).value, 1.0 - 0.7, 1e-12);  // the cubic through e^x
}

TEST(Pide, KnockOutsLieBelowTheEuropeanAndVanishAtTheBarrier) {
    pide::Contract c{true, pide::Exercise::European};
    c.barrier = pide::Barrier::UpAndOut;
    c.xBarrier = std::log(1.3);
    const double out = one(kKou, c, 0.0).value;
    EXPECT_GT(out, 0.0);
    EXPECT_LT(100.0 * out, european(kKou, true, 100.0, 100.0));
    EXPECT_LT(one(kKou, c, std::log(1.2999)).value, 2e-5);
}

TEST(Pide, RefusesAGridBeyondItsLimits) {
    pide::Model tiny = kKou;
    tiny.sigma = 0.001;   // a spacing of sigma sqrt(T) / 12 (or four times it) across jumps reaching far
    tiny.T = 0.001;
    double x = 0.0;
    pide::Point p{};
    EXPECT_EQ(pide::solve(tiny, pide::Contract{false, pide::Exercise::American}, &x, 1, &p, {}),
              pide::Status::TooLarge);
}

// The batch loops: the visiting order groups every model's elements whatever the layout,
// each element's price is the same double in every layout and on any number of threads,
// and the broadcast copy follows numpy's rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "batch/broadcast.h"
#include "batch/european.h"
#include "batch/fit_jacobian.h"
#include "batch/kou_greeks.h"
#include "batch/threads.h"
#include "kou_call.h"
#include "merton_call.h"
#include "truncation.h"
#include "prices.h"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A surface of `strikes` strikes by `maturities` maturities, strikes fastest (the layout
// with strips along the last axis) or maturities fastest (transposed), or shuffled.
struct Surface {
    std::vector<double> K, T;
    std::vector<std::size_t> element;  // the (maturity, strike) cell of each element
};

Surface surface(std::size_t strikes, std::size_t maturities, int layout, unsigned seed) {
    std::vector<std::size_t> cells(strikes * maturities);
    std::iota(cells.begin(), cells.end(), 0);
    if (layout == 1) {  // transposed: cell (t, k) at k * maturities + t
        for (std::size_t k = 0; k < strikes; ++k)
            for (std::size_t t = 0; t < maturities; ++t) cells[k * maturities + t] = t * strikes + k;
    } else if (layout == 2) {
        std::shuffle(cells.begin(), cells.end(), std::mt19937(seed));
    }
    Surface s;
    for (std::size_t cell : cells) {
        s.K.push_back(60.0 + 80.0 * static_cast<double>(cell % strikes) / static_cast<double>(strikes));
        s.T.push_back(0.05 + 0.01 * static_cast<double>(cell / strikes));
        s.element.push_back(cell);
    }
    return s;
}

template <typename T>
batch::Column<T> all(const std::vector<T> &v) { return {v.data(), 1}; }
template <typename T>
batch::Column<T> one(const T &v) { return {&v, 0}; }

}  // namespace

TEST(Grouping, EveryModelContiguousInAPermutation) {
    std::mt19937 rng(7);
    for (std::size_t models : {1u, 3u, 40u, 300u}) {
        std::vector<double> sigma(2000), r(2000);
        for (std::size_t e = 0; e < sigma.size(); ++e) {
            const std::size_t m = rng() % models;
            sigma[e] = 0.1 + 0.001 * static_cast<double>(m);
            r[e] = m % 2 == 0 ? 0.0 : -0.0;  // one value to the model's eye
        }
        const batch::ModelKey key = batch::ModelKey::varying({all(sigma), all(r)});
        const batch::Order order = batch::group_by_model(sigma.size(), key);
        std::vector<std::size_t> seen;
        std::vector<double> finished;  // models whose run has ended
        for (std::size_t i = 0; i < sigma.size(); ++i) {
            seen.push_back(order[i]);
            if (i > 0 && sigma[order[i]] != sigma[order[i - 1]]) {
                finished.push_back(sigma[order[i - 1]]);
                EXPECT_EQ(std::count(finished.begin(), finished.end(), sigma[order[i]]), 0) << models;
            }
        }
        std::sort(seen.begin(), seen.end());
        for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
        EXPECT_EQ(order.natural(), models == 1);
    }
}

TEST(Batch, KouAndMertonPricesTheSameBitsInEveryLayoutAndThreadCount) {
    const double S = 100.0, r = 0.03, q = 0.01, sigma = 0.2, lam = 1.0, p = 0.4, eta1 = 10.0, eta2 = 5.0;
    const double m = -0.1, s = 0.15, n = -1.0;
    const std::int8_t call = 1;
    std::vector<double> reference;
    for (int layout : {0, 1, 2}) {
        for (unsigned threads : {1u, 2u}) {
            batch::set_max_threads(threads);
            const Surface x = surface(90, 100, layout, 3);  // 9,000 elements: two workers
            const std::size_t size = x.K.size();
            std::vector<double> kou(size), merton(size), greeks(batch::kGreekRows * size);
            const batch::KouInputs ki{one(call), one(S), all(x.K), all(x.T), one(r), one(q), one(sigma),
                                      one(lam), one(p), one(eta1), one(eta2), one(n)};
            const batch::MertonInputs mi{one(call), one(S), all(x.K), all(x.T), one(r), one(q), one(sigma),
                                         one(lam), one(m), one(s), one(n)};
            batch::kou_prices(size, ki, kou.data());
            batch::merton_prices(size, mi, merton.data());
            std::vector<double> byCell(3 * size);
            for (std::size_t e = 0; e < size; ++e) {
                byCell[x.element[e]] = kou[e];
                byCell[size + x.element[e]] = merton[e];
            }
            if (reference.empty()) {
                reference = byCell;
                // The first layout against the scalar functions, element by element.
                for (std::size_t e = 0; e < size; e += 97) {
                    const double spot = S * std::exp(-q * x.T[e]);
                    const std::int32_t nd = jumpdiffusion::kou_default_terms(x.T[e], lam, p, eta1, eta2);
                    const kou::KouCallEvaluation v =
                        kou::kou_call_evaluation(x.T[e], x.K[e], spot, r, sigma, lam, p, eta1, eta2, nd);
                    const jumpdiffusion::KouCall c = jumpdiffusion::kou_call_completed(
                        v, spot, x.K[e], x.T[e], r, sigma, lam, p, eta1, eta2, nd, nd, std::exp(-r * x.T[e]));
                    EXPECT_TRUE(same_bits(kou[e], c.call)) << e;
                    double logSK;
                    double halvorn;
                    merton::call_strip(&x.K[e], x.T[e], &spot, 1, sigma, r, lam, m, s,
                                       jumpdiffusion::merton_default_terms(x.T[e], lam, m, s), &halvorn, &logSK);
                    EXPECT_TRUE(same_bits(merton[e], halvorn)) << e;
                }
            }
            for (std::size_t e = 0; e < 2 * size; ++e) {
                ASSERT_TRUE(same_bits(byCell[e], reference[e])) << layout << " " << threads << " " << e;
            }
        }
    }
    batch::set_max_threads(0);
}

TEST(Batch, KouGreeksByIdentitiesAgreeWithDifferences) {
    // theta, vega and rho from the identities against central differences of the price
    // in T, sigma and r (the element loop's own prices), at strikes across the smile.
    const double S = 100.0, T = 0.75, r = 0.04, q = 0.02, lam = 1.5, p = 0.35, eta1 = 9.0, eta2 = 5.0;
    const double n = 12.0, sigma = 0.2;
    std::vector<double> K;
    for (int k = 0; k < 9; ++k) K.push_back(60.0 + 10.0 * k);
    for (std::int8_t kind : {std::int8_t{1}, std::int8_t{0}}) {
        const std::size_t size = K.size();
        std::vector<double> g(batch::kGreekRows * size);
        auto price = [&](double TT, double rr, double ss, std::vector<double> &out) {
            batch::kou_prices(size, {one(kind), one(S), all(K), one(TT), one(rr), one(q), one(ss), one(lam), one(p),
                                     one(eta1), one(eta2), one(n)}, out.data());
        };
        batch::kou_greeks(size, {one(kind), one(S), all(K), one(T), one(r), one(q), one(sigma), one(lam), one(p),
                                 one(eta1), one(eta2), one(n)}, g.data());
        std::vector<double> up(size), down(size);
        const double h = 1e-4;
        price(T + h, r, sigma, up), price(T - h, r, sigma, down);
        for (std::size_t e = 0; e < size; ++e) EXPECT_NEAR(g[3 * size + e], -(up[e] - down[e]) / (2 * h), 1e-6) << e;
        price(T, r, sigma + h, up), price(T, r, sigma - h, down);
        for (std::size_t e = 0; e < size; ++e) EXPECT_NEAR(g[2 * size + e], (up[e] - down[e]) / (2 * h), 1e-6) << e;
        price(T, r + h, sigma, up), price(T, r - h, sigma, down);
        for (std::size_t e = 0; e < size; ++e) EXPECT_NEAR(g[4 * size + e], (up[e] - down[e]) / (2 * h), 1e-6) << e;
    }
}

TEST(Batch, FitJacobiansArePricesAndTheirDifferences) {
    // Row 0 is the price loop's bits (or the prices given); each bumped Kou row agrees with a central
    // difference of the prices (step 1e-4, error O(1e-8)) to the forward difference's 1e-6; a parameter
    // at the top of its range (p = 1) is bumped downwards; a row not asked for is 0.
    std::vector<double> K, T, sigma, lam;
    for (int e = 0; e < 24; ++e) {
        K.push_back(70.0 + 2.5 * e);
        T.push_back(e < 12 ? 0.25 : 1.5);
        sigma.push_back(e < 12 ? 0.25 : 0.18);  // per-element values, as a term structure gives
        lam.push_back(e < 12 ? 0.6 : 1.1);
    }
    const std::size_t size = K.size();
    const double S = 100.0, r = 0.03, q = 0.01, n = -1.0, m = -0.1, s = 0.2;
    const std::int8_t call = 1;
    for (double p : {0.35, 1.0}) {
        double eta1 = 9.0, eta2 = 5.0;
        const batch::KouInputs base{one(call), one(S), all(K), all(T), one(r), one(q), all(sigma), all(lam),
                                    one(p), one(eta1), one(eta2), one(n)};
        std::vector<double> jac((1 + batch::kKouFitParameters) * size), price(size), up(size), down(size);
        batch::kou_fit_jacobian(size, base, 0b10111u, nullptr, nullptr, jac.data());
        batch::kou_prices(size, base, price.data());
        for (std::size_t e = 0; e < size; ++e) EXPECT_TRUE(same_bits(jac[e], price[e])) << e;
        std::vector<double> fromGiven(jac.size());  // the prices given instead of formed: the same rows
        batch::kou_fit_jacobian(size, base, 0b10111u, price.data(), nullptr, fromGiven.data());
        for (std::size_t i = 0; i < jac.size(); ++i) EXPECT_TRUE(same_bits(jac[i], fromGiven[i])) << i;
        for (std::size_t e = 0; e < size; ++e) EXPECT_EQ(jac[4 * size + e], 0.0);  // eta1 not asked for
        auto central = [&](double &x, std::size_t row, double h) {
            const double x0 = x;
            x = x0 + h;
            batch::kou_prices(size, base, up.data());
            x = x0 - h;
            batch::kou_prices(size, base, down.data());
            x = x0;
            for (std::size_t e = 0; e < size; ++e) {
                const double d = (up[e] - down[e]) / (2 * h);
                EXPECT_NEAR(jac[row * size + e], d, 2e-6 * (1.0 + std::fabs(d))) << row << " " << e;
            }
        };
        // d price / d lam by the identity from the price's own strip evaluation (exact for the
        // series: against a Richardson step of central differences), and taken as the lam row.
        std::vector<double> withLam(2 * size), lamUp(size), lamDown(size), fromIdentity(jac.size());
        batch::kou_fit_prices(size, base, withLam.data());
        for (std::size_t e = 0; e < size; ++e) EXPECT_TRUE(same_bits(withLam[e], price[e])) << e;
        auto lamDifference = [&](double h, std::vector<double> &d) {
            std::vector<double> bumpedLam(lam);
            for (double &x : bumpedLam) x += h;
            batch::KouInputs c = base;
            c.lam = all(bumpedLam);
            batch::kou_prices(size, c, lamUp.data());
            for (double &x : bumpedLam) x -= 2 * h;
            batch::kou_prices(size, c, lamDown.data());
            for (std::size_t e = 0; e < size; ++e) d[e] = (lamUp[e] - lamDown[e]) / (2 * h);
        };
        std::vector<double> coarse(size), fine(size);
        lamDifference(2e-3, coarse), lamDifference(1e-3, fine);
        for (std::size_t e = 0; e < size; ++e) {
            const double d = (4.0 * fine[e] - coarse[e]) / 3.0;
            EXPECT_NEAR(withLam[size + e], d, 1e-8 * (1.0 + std::fabs(d))) << e;
        }
        batch::kou_fit_jacobian(size, base, 0b10111u, price.data(), withLam.data() + size, fromIdentity.data());
        for (std::size_t e = 0; e < size; ++e) {
            EXPECT_TRUE(same_bits(fromIdentity[2 * size + e], withLam[size + e])) << e;
            EXPECT_NEAR(fromIdentity[2 * size + e], jac[2 * size + e], 2e-6 * (1.0 + std::fabs(jac[2 * size + e])));
        }
        if (p < 1.0) central(p, 3, 1e-4);
        central(eta2, 5, 1e-4);
        std::vector<double> sigmaUp(sigma), sigmaDown(sigma);
        for (std::size_t e = 0; e < size; ++e) sigmaUp[e] += 1e-4, sigmaDown[e] -= 1e-4;
        batch::KouInputs bumped = base;
        bumped.sigma = all(sigmaUp);
        batch::kou_prices(size, bumped, up.data());
        bumped.sigma = all(sigmaDown);
        batch::kou_prices(size, bumped, down.data());
        for (std::size_t e = 0; e < size; ++e) {
            EXPECT_NEAR(jac[size + e], (up[e] - down[e]) / 2e-4, 2e-6 * (1.0 + std::fabs(jac[size + e]))) << e;
            EXPECT_TRUE(std::isfinite(jac[3 * size + e]));
        }
    }
    // Merton: the series' own derivatives, against central differences with a Richardson step.
    double sigmaM = 0.2, lamM = 0.8, mM = m, sM = s;
    const batch::MertonInputs mi{one(call), one(S), all(K), all(T), one(r), one(q), one(sigmaM), one(lamM),
                                 one(mM), one(sM), one(n)};
    std::vector<double> jac((1 + batch::kMertonFitParameters) * size), up(size), down(size);
    batch::merton_fit_jacobian(size, mi, 0b1111u, nullptr, jac.data());
    double *const parameters[4] = {&sigmaM, &lamM, &mM, &sM};
    std::vector<double> coarse(size);
    for (std::size_t j = 0; j < 4; ++j) {
        const double x0 = *parameters[j];
        auto central = [&](double h, std::vector<double> &d) {
            *parameters[j] = x0 + h;
            batch::merton_prices(size, mi, up.data());
            *parameters[j] = x0 - h;
            batch::merton_prices(size, mi, down.data());
            *parameters[j] = x0;
            for (std::size_t e = 0; e < size; ++e) d[e] = (up[e] - down[e]) / (2 * h);
        };
        std::vector<double> fine(size);
        central(2e-3, coarse);
        central(1e-3, fine);
        for (std::size_t e = 0; e < size; ++e) {
            const double d = (4.0 * fine[e] - coarse[e]) / 3.0;  // one Richardson step: error some 1e-9
            EXPECT_NEAR(jac[(1 + j) * size + e], d, 1e-8 * (1.0 + std::fabs(d))) << j << " " << e;
        }
    }
}

TEST(Broadcast, CopiesFollowNumpysRule) {
    const double from[3] = {1.0, 2.0, 3.0};
    const std::int64_t own[2] = {3, 1}, shape[3] = {2, 3, 2};
    double to[12];
    batch::broadcast_copy(from, 2, own, 3, shape, to);
    const double want[12] = {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3};
    for (int e = 0; e < 12; ++e) EXPECT_EQ(to[e], want[e]) << e;
}

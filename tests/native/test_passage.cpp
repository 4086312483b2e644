// The first-passage engine on its own: the roots of G(x) = alpha for real and complex alpha,
// and the Euler inversion, less its aliasing, against the Brownian (lam = 0) closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "kou_passage.h"
#include "kou_roots.h"

namespace {

using passage::Complex;

// The quartic (G(x) - alpha)(eta1 - x)(eta2 + x), and the sum of its terms' moduli at x: the
// scale against which a root's residual is rounding (a backward error).
Complex quartic(Complex x, Complex alpha, const passage::KouLaw &g, double &scale) {
    const double h = 0.5 * g.sigma * g.sigma, e1 = g.eta1, e2 = g.eta2;
    const Complex c = g.lam + alpha;
    const Complex q[5] = {-alpha * (e1 * e2), g.mu * (e1 * e2) - c * (e1 - e2) + g.lam * (g.p * e1 - (1.0 - g.p) * e2),
                          c + g.mu * (e1 - e2) + h * (e1 * e2), h * (e1 - e2) - g.mu, -h};
    Complex value = 0.0, power = 1.0;
    scale = 0.0;
    for (const Complex &k : q) {
        value += k * power;
        scale += std::abs(k) * std::abs(power);
        power *= x;
    }
    return value;
}

}  // namespace

TEST(Passage, RootsSolveTheLevyEquationTwoOnEachSide) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 400; ++trial) {
        const passage::KouLaw law{-0.5 + u(rng), 0.005 + 2.0 * u(rng), 20.0 * u(rng) * u(rng), u(rng),
                                  1.01 + std::exp(9.0 * u(rng)), 0.05 + std::exp(9.0 * u(rng))};
        const Complex alpha(0.01 + 50.0 * u(rng), trial % 2 ? 0.0 : 2000.0 * (u(rng) - 0.5));
        Complex roots[4];
        ASSERT_TRUE(passage::kou_roots(alpha, law, roots)) << trial;
        EXPECT_GT(roots[1].real(), 0.0);
        EXPECT_LT(roots[2].real(), 0.0);
        for (const Complex &x : roots) {
            double scale = 0.0;
            const double residual = std::abs(quartic(x, alpha, law, scale));
            EXPECT_LT(residual, 1e-13 * scale) << trial;
        }
        if (alpha.imag() == 0.0) {  // real alpha: real roots, 0 < beta1 < eta1 < beta2
            EXPECT_LT(std::fabs(roots[0].imag()) + std::fabs(roots[1].imag()), 1e-9 * std::abs(roots[0]));
            EXPECT_LT(roots[1].real(), law.eta1);
            EXPECT_GT(roots[0].real(), law.eta1);
        }
    }
}

TEST(Passage, RootsFoundWhereTheStepsStallAtRounding) {
    // Rare jumps (lam = 1e-6), one jump rate 17 times the other: the iteration's last steps are
    // the quartic's rounding noise, above a relative 1e-14 (the roots were refused).
    const double r = 0.074975, s = 0.169926, q = 0.014241, lam = 1e-6, p = 0.4, e1 = 93.327577, e2 = 1556.524589;
    const double zeta = p * e1 / (e1 - 1.0) + (1.0 - p) * e2 / (e2 + 1.0) - 1.0;
    const passage::KouLaw law = passage::mirrored({r - q - 0.5 * s * s - lam * zeta, s, lam, p, e1, e2});
    const Complex alpha(22.0 / (2.0 * 0.083921), 0.0);
    Complex roots[4];
    ASSERT_TRUE(passage::kou_roots(alpha, law, roots));
    for (const Complex &x : roots) {
        double scale = 0.0;
        const double residual = std::abs(quartic(x, alpha, law, scale));
        EXPECT_LT(residual, 1e-13 * scale);
    }
}

TEST(Passage, NoJumpsInvertsToTheBrownianFirstPassage) {
    const double mu = 0.03, sigma = 0.25;
    const passage::KouLaw law{mu, sigma, 0.0, 0.4, 10.0, 5.0};
    for (double T : {0.05, 1.0, 20.0}) {
        const passage::UpPassage inversion(law, T, 0.0, passage::kEulerA);
        const passage::UpPassage later(law, 3.0 * T, 0.0, passage::kCoarseA, 0.0, passage::kStandard.coarse);
        ASSERT_TRUE(inversion.ok() && later.ok());
        for (double b : {0.0, 0.01, 0.2, 1.0}) {
            const double root = sigma * std::sqrt(T);
            const double exact = 0.5 * std::erfc((b - mu * T) / (root * std::sqrt(2.0))) +
                                 std::exp(2.0 * mu * b / (sigma * sigma)) * 0.5 *
                                     std::erfc((b + mu * T) / (root * std::sqrt(2.0)));
            const double value = inversion.value(b).value - inversion.aliasing() * later.value(b).value;
            EXPECT_NEAR(value, exact, 1e-12) << T << " " << b;
        }
    }
}

#include <gtest/gtest.h>

// The four-lane vectors of in_orders_lanes.h never cross a call here: no -Wpsabi note.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include <cmath>
#include <limits>
#include <memory>

#include "in_orders_lanes.h"
#include "jump_coefficients.h"
#include "options.h"
#include "prices.h"
#include "special_functions.h"
#include "upsilon.h"
#include "upsilon_stable.h"

using kou::Hh;
using kou::I_n;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HhCase {
    int n;
    double x, want;
};
struct InCase {
    int n;
    double c, alpha, beta, delta, want;
};

// Quadrature of the defining integrals; produced by tests/native/reference_values.py.
const HhCase kHhQuadrature[] = {
    {1, -1.5, 3.8334036498306249612},   {2, 0.3, 0.3785763254673565676},
    {3, 2.0, 0.0022743272531979125823}, {5, -0.7, 0.30574374821962679458},
    {8, 1.2, 0.000066314305085616260548}, {12, -2.5, 0.045889615436391094796},
};
const InCase kInQuadrature[] = {
    {0, 0.2, 1.5, 2.0, 0.3, 1.0195442054515483228},      // positive beta
    {3, 0.2, 1.5, 2.0, 0.3, 0.12224920977534596445},     // positive beta
    {2, 0.1, -1.0, 1.5, 0.2, 0.16656187276944363397},    // positive beta, alternating powers
    {0, 0.2, -1.5, -2.0, 0.3, 1.1422812803239543351},    // negative beta
    {4, 0.3, -2.5, -1.1, 0.6, 0.44054288517229455487},   // negative beta
    {6, -0.1, -8.0, -2.5, -0.4, 0.0051298116720818113724},  // negative beta
};

double upsilon(double mu, double sigma, double lam, double p, double eta1, double eta2,
               double a, double T, int n) {
    return kou::upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n);
}

}  // namespace

TEST(Hh, ExactAtZero) {
    const double h0 = 2.5066282746310002 / 2;
    EXPECT_EQ(Hh(-1, 0.0), 1.0);
    EXPECT_EQ(Hh(0, 0.0), h0);
    EXPECT_EQ(Hh(1, 0.0), 1.0);
    EXPECT_EQ(Hh(2, 0.0), 2.5066282746310002 / 4);
    EXPECT_EQ(Hh(3, 0.0), 1.0 / 3);
    EXPECT_EQ(Hh(4, 0.0), 2.5066282746310002 / 16);
    EXPECT_EQ(Hh(5, 0.0), (1.0 / 3) / 5);
}

TEST(Hh, AgreesWithQuadrature) {
    for (const auto &c : kHhQuadrature) {
        EXPECT_NEAR(Hh(c.n, c.x), c.want, 1e-12 * c.want) << "n=" << c.n << " x=" << c.x;
    }
}

TEST(Hh, Tails) {
    EXPECT_EQ(Hh(0, -40.0), 2.5066282746310002);
    EXPECT_EQ(Hh(0, 9.0), 0.0);  // 1 - erfc(..) / 2 rounds to exactly 1 far out
    EXPECT_TRUE(std::isnan(Hh(-2, 0.5)));
}

TEST(Hh, UpwardTableMatchesSingleValues) {
    double table[30];
    for (double x : {-3.0, -0.4, 0.0, 0.7, 5.5}) {
        kou::Hh_upward(29, x, table);
        for (int k = 0; k < 30; ++k) {
            EXPECT_EQ(table[k], Hh(k, x)) << k << " " << x;
        }
    }
}

TEST(In, AgreesWithQuadrature) {
    for (const auto &c : kInQuadrature) {
        EXPECT_NEAR(I_n(c.n, c.c, c.alpha, c.beta, c.delta), c.want, 1e-12 * std::fabs(c.want))
            << "n=" << c.n;
    }
}

TEST(In, ZeroOutsideTheClosedForms) {
    for (int n : {0, 3}) {
        EXPECT_EQ(I_n(n, 0.2, 0.0, 2.0, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, -0.0, 2.0, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, -1.5, 0.0, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, 1.5, -2.0, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, 0.0, -2.0, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, 1.5, kNaN, 0.3), 0.0);
        EXPECT_EQ(I_n(n, 0.2, kNaN, -2.0, 0.3), 0.0);
        EXPECT_FALSE(std::signbit(I_n(n, 0.2, 0.0, 2.0, 0.3)));
    }
    EXPECT_TRUE(std::isnan(I_n(2, 0.2, kNaN, 2.0, 0.3)));
    EXPECT_TRUE(std::isnan(I_n(2, kNaN, -1.5, -2.0, 0.3)));
    EXPECT_TRUE(std::isnan(I_n(-1, 0.2, 1.5, 2.0, 0.3)));
}

TEST(In, AllOrdersMatchSingleValues) {
    double table[kou::kLastFiniteFactorial];
    for (const auto &c : kInQuadrature) {
        kou::I_n_orders(40, c.c, c.alpha, c.beta, c.delta, table);
        for (int k = 0; k < 40; ++k) {
            EXPECT_EQ(table[k], I_n(k, c.c, c.alpha, c.beta, c.delta)) << k;
        }
    }
}

TEST(JumpCoefficients, KouExample) {
    const kou::JumpCoefficients coef(0.4, 10.0, 5.0, 2);
    double P[3], Q[3];
    coef.of_jump_count(2, P, Q);
    EXPECT_NEAR(P[1], 0.16, 1e-15);
    EXPECT_NEAR(Q[1], 0.32, 1e-15);
    EXPECT_NEAR(P[2], 0.16, 1e-15);
    EXPECT_NEAR(Q[2], 0.36, 1e-15);
    EXPECT_EQ(P[2], std::pow(0.4, 2.0));
    EXPECT_EQ(Q[2], std::pow(1.0 - 0.4, 2.0));
    coef.of_jump_count(1, P, Q);
    EXPECT_EQ(P[1], 0.4);
    EXPECT_EQ(Q[1], 1.0 - 0.4);
}

TEST(JumpCoefficients, SumToOne) {
    const double cases[][3] = {{0.4, 10.0, 5.0}, {0.3, 50.0, 25.0}, {0.8, 3.0, 12.0}};
    for (const auto &c : cases) {
        const kou::JumpCoefficients coef(c[0], c[1], c[2], 40);
        for (int i : {1, 2, 3, 7, 15, 40}) {
            double P[41], Q[41];
            coef.of_jump_count(i, P, Q);
            double total = 0.0;
            for (int k = 1; k <= i; ++k) {
                total += P[k] + Q[k];
            }
            EXPECT_NEAR(total, 1.0, 1e-12) << "i=" << i;
        }
    }
}

TEST(Upsilon, SymmetricCaseRisesToOneHalf) {
    auto u = [](int n) { return upsilon(0.0, 0.2, 1.0, 0.5, 10.0, 10.0, 0.0, 1.0, n); };
    EXPECT_EQ(u(0), 0.5 * std::exp(-1.0));
    EXPECT_NEAR(u(1), std::exp(-1.0), 1e-14);
    double last = u(1);
    for (int n = 2; n <= 30; ++n) {
        EXPECT_GT(u(n), last - 1e-15);
        last = u(n);
    }
    EXPECT_NEAR(last, 0.5, 1e-13);
}

TEST(Upsilon, TruncationEdges) {
    auto u = [](int n) { return upsilon(0.03, 0.25, 2.0, 0.35, 8.0, 6.0, 0.1, 0.75, n); };
    for (int n : {-1, -7, INT32_MIN}) {
        EXPECT_EQ(u(n), u(0));
    }
    EXPECT_TRUE(std::isfinite(u(170)));
    for (int n : {171, 200, INT32_MAX}) {
        EXPECT_TRUE(std::isnan(u(n)));
    }
    // No jumps: the normal term alone.
    const double z = (0.03 * 0.75 - 0.1) / (std::sqrt(0.75) * 0.25) / 1.4142135623730951;
    EXPECT_EQ(upsilon(0.03, 0.25, 0.0, 0.35, 8.0, 6.0, 0.1, 0.75, 25), 1.0 - std::erfc(z) * 0.5);
}

TEST(Upsilon, DegenerateInputsGiveNaN) {
    for (int n : {0, 5}) {
        EXPECT_TRUE(std::isnan(upsilon(0.0, 0.0, 1.0, 0.4, 10.0, 5.0, 0.0, 1.0, n)));
        EXPECT_TRUE(std::isnan(upsilon(0.0, 0.2, 1.0, 0.4, 10.0, 5.0, 0.0, 0.0, n)));
        EXPECT_TRUE(std::isnan(upsilon(0.0, 0.2, 1.0, 0.4, 10.0, 5.0, 0.0, -1.0, n)));
        EXPECT_TRUE(std::isnan(upsilon(0.0, 2.0, 1.0, 0.4, 30.0, 5.0, 0.0, 1.0, n)));  // A1 = inf
    }
}

// Where the closed form is well conditioned the stable evaluation agrees with it: the two
// share no arithmetic beyond the P/Q coefficients.
TEST(UpsilonStable, AgreesWithTheClosedFormWhereThatIsAccurate) {
    struct Case {
        double mu, sigma, lam, p, eta1, eta2, a, T;
    };
    const Case cases[] = {
        {0.03, 0.25, 2.0, 0.35, 8.0, 6.0, 0.1, 0.75},  {-0.02, 0.16, 1.0, 0.4, 10.0, 5.0, -0.3, 0.5},
        {0.05, 0.3, 4.0, 0.6, 3.0, 2.5, 0.4, 2.0},     {0.0, 0.2, 1.0, 0.5, 10.0, 10.0, 0.0, 1.0},
        {0.01, 0.4, 0.5, 1.0, 4.0, 3.0, 1.2, 1.5},     {0.01, 0.1, 3.0, 0.0, 4.0, 3.0, -0.8, 0.25},
    };
    for (const Case &c : cases) {
        for (int n : {0, 1, 2, 7, 25, 60}) {
            const double closed = upsilon(c.mu, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.a, c.T, n);
            const double stable = kou::upsilon_stable(c.mu, c.sigma, c.lam, c.p, c.eta1, c.eta2,
                                                      c.a, c.T, n);
            EXPECT_NEAR(stable, closed, 1e-13) << "a=" << c.a << " n=" << n;
        }
    }
}

// E_1 = exp(b^2 / 2 - b y) Phi(y - b) exactly; the Miller recursion (b - y large) and the
// upward one (b - y small or negative) must both give it, and agree where they meet.
TEST(UpsilonStable, ErlangTailsOnBothRecursions) {
    const double Phi_half = 0.5;
    for (double b : {0.3, 2.0, 9.0, 30.0}) {
        for (double y : {-3.0, -0.5, 0.0, 0.7, 4.0}) {
            double tails[40];
            kou::erlang_tails(40, b, y, tails);
            const double want = std::exp(0.5 * b * b - b * y) * Phi_half *
                                std::erfc((b - y) / 1.4142135623730951);
            EXPECT_NEAR(tails[0], want, 1e-15 + 1e-13 * want) << "b=" << b << " y=" << y;
            for (int k = 1; k < 40; ++k) {
                EXPECT_GE(tails[k], tails[k - 1]);
                EXPECT_LE(tails[k], 1.0 - 0.5 * std::erfc(y / 1.4142135623730951) + 1e-14);
            }
        }
    }
    // Either side of the switch at (b - y) sqrt(2 count) = 2.
    const double at = 2.0 / std::sqrt(80.0);
    double below[40], above[40];
    kou::erlang_tails(40, 3.0, 3.0 - at * (1.0 - 1e-13), below);
    kou::erlang_tails(40, 3.0, 3.0 - at * (1.0 + 1e-13), above);
    for (int k = 0; k < 40; ++k) {
        EXPECT_NEAR(below[k], above[k], 5e-13) << k;   // the inputs differ by 4.5e-14
    }
}

TEST(Options, CallPutAndFactoriesAgree) {
    const auto call = kou::create_european_call(0.5, 98.0);
    const auto put = kou::create_european_put(0.5, 98.0);
    const kou::EuropeanOption &byBase = *put;
    const double args[] = {100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0};
    const double c = call->priceByKouJumpDiffusion(args[0], args[1], args[2], args[3], args[4],
                                                   args[5], args[6], 20);
    EXPECT_EQ(c, kou::EuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(
                     args[0], args[1], args[2], args[3], args[4], args[5], args[6], 20));
    const double p = byBase.priceByKouJumpDiffusion(args[0], args[1], args[2], args[3], args[4],
                                                    args[5], args[6], 20);
    EXPECT_EQ(p, (98.0 * std::exp((-0.05) * 0.5) + c) - 100.0);
    // Swapped constructor arguments are another option.
    EXPECT_NE(c, kou::EuropeanCall(98.0, 0.5).priceByKouJumpDiffusion(
                     args[0], args[1], args[2], args[3], args[4], args[5], args[6], 20));
}

extern "C" double sf_kou_coefficient(std::int32_t i, std::int32_t k, double p, double eta1,
                                     double eta2, std::int32_t upward);
extern "C" double sf_kou_call(double T, double K, double S, double r, double sigma, double lam,
                              double p, double eta1, double eta2, std::int32_t n);

// The table holds exactly the binomial coefficients as tgamma forms them.
TEST(JumpCoefficients, BinomialTableEveryEntry) {
    const double *table = kou::binomial_table();
    for (int x = 0; x <= kou::kLastFiniteFactorial; ++x) {
        for (int y = 0; y <= x; ++y) {
            const double want = std::tgamma(x + 1.0) / (std::tgamma(y + 1.0) * std::tgamma(x - y + 1.0));
            ASSERT_EQ(table[(x - y) * kou::kBinomialRow + y], want) << x << " " << y;
        }
    }
}

// The reordered, vectorised loops give every coefficient's bits, up to i = 170: one jump
// count at a time, and four at a time (every block that starts at the jump counts listed).
TEST(JumpCoefficients, BitForBitAgainstTheFormula) {
    constexpr int J = kou::JumpCoefficients::kJumpLanes;
    const double sets[][3] = {{0.4, 10.0, 5.0}, {0.93, 1.7, 31.0}, {1.0, 3.0, 2.0}};
    for (const auto &c : sets) {
        const kou::JumpCoefficients coef(c[0], c[1], c[2], kou::kLastFiniteFactorial);
        for (int i : {1, 2, 3, 7, 16, 33, 64, 101, 150, 167, 169, 170}) {
            double P[kou::kLastFiniteFactorial + 1], Q[kou::kLastFiniteFactorial + 1];
            double P4[(kou::kLastFiniteFactorial + 1) * J], Q4[(kou::kLastFiniteFactorial + 1) * J];
            coef.of_jump_count(i, P, Q);
            const bool block = i + J - 1 <= kou::kLastFiniteFactorial;
            if (block) {
                coef.of_jump_counts(i, P4, Q4);
            }
            for (int L = 0; L < (block ? J : 1); ++L) {
                for (int k = 1; k <= i + L; ++k) {
                    const double wantP = sf_kou_coefficient(i + L, k, c[0], c[1], c[2], 1);
                    const double wantQ = sf_kou_coefficient(i + L, k, c[0], c[1], c[2], 0);
                    if (L == 0) {
                        ASSERT_EQ(P[k], wantP) << i << " " << k;
                        ASSERT_EQ(Q[k], wantQ) << i << " " << k;
                    }
                    if (block) {
                        ASSERT_EQ(P4[k * J + L], wantP) << i << "+" << L << " " << k;
                        ASSERT_EQ(Q4[k * J + L], wantQ) << i << "+" << L << " " << k;
                    }
                }
            }
        }
    }
}

// The whole call at the largest truncation, where the coefficient loops run longest.
TEST(BitExact, KouAtTheLargestTruncation) {
    const double want = sf_kou_call(0.5, 98.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 170);
    EXPECT_EQ(kou::EuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(100.0, 0.05, 0.16, 1.0, 0.4,
                                                                  10.0, 5.0, 170),
              want);
}

// A single level (its sums formed eight orders at a time) and the same level as one lane
// of four: the same I_n values and the same error bound, bit for bit, on both sides of an
// evaluation (upward sums whose Hh terms lose their sign at high orders included).
TEST(InOrders, OneLevelAndFourLanesAgree) {
    const double s = 0.16 * std::sqrt(0.5), eta1 = 10.0, eta2 = 5.0;
    struct Side {
        double alpha, beta, delta;
    };
    const Side sides[] = {{-eta1, -1.0 / s, -eta1 * 0.16 * std::sqrt(0.5)},
                          {eta2, 1.0 / s, -eta2 * 0.16 * std::sqrt(0.5)}};
    const double levels[] = {-0.35, -0.02, 0.04, 0.4};
    double w[kou::kLastFiniteFactorial], wAbs[kou::kLastFiniteFactorial];
    for (int k = 0; k < kou::kLastFiniteFactorial; ++k) {
        w[k] = wAbs[k] = std::exp(-0.05 * k) * (1.0 + 0.37 * std::sin(k));
    }
    for (const Side &side : sides) {
        for (int count : {9, 20, 45, 170}) {
            kou::Bounded c[4];
            for (int l = 0; l < 4; ++l) {
                c[l] = kou::Bounded::exact(levels[l]);
            }
            const auto a = kou::Bounded::exact(side.alpha), b = kou::Bounded::exact(side.beta),
                       d = kou::Bounded::exact(side.delta);
            auto four = std::make_unique<kou::InOrdersLanes<4>>(count, c, a, b, d);
            double errors4[4];
            four->weighted_error(w, wAbs, errors4);
            for (int l = 0; l < 4; ++l) {
                auto one = std::make_unique<kou::InOrdersLanes<1>>(count, &c[l], a, b, d);
                double error1;
                one->weighted_error(w, wAbs, &error1);
                for (int k = 0; k < count; ++k) {
                    ASSERT_EQ(one->values()[k], four->values()[k * 4 + l]) << count << " " << l << " " << k;
                    ASSERT_EQ(one->magnitudes()[k], four->magnitudes()[k * 4 + l]) << count << " " << l;
                }
                EXPECT_EQ(error1, errors4[l]) << count << " " << l;
            }
        }
    }
    // The bounds of an Upsilon's two sides formed together, as lanes of one vector: the
    // bounds each gives alone, with weights that differ between the sides and vanish at
    // some orders of one side only.
    double w2[kou::kLastFiniteFactorial], w2Abs[kou::kLastFiniteFactorial];
    for (int k = 0; k < kou::kLastFiniteFactorial; ++k) {
        w2[k] = w2Abs[k] = k % 3 == 1 ? 0.0 : std::exp(-0.08 * k) * (1.0 + 0.5 * std::cos(k));
    }
    for (int count : {9, 20, 45, 170}) {
        for (double level : levels) {
            const kou::Bounded c = kou::Bounded::exact(level);
            auto side = [&](const Side &e) {
                return std::make_unique<kou::InOrders>(count, &c, kou::Bounded::exact(e.alpha),
                                                       kou::Bounded::exact(e.beta),
                                                       kou::Bounded::exact(e.delta));
            };
            const auto up = side(sides[0]), down = side(sides[1]);
            double alone[2], together[2];
            up->weighted_error(w, wAbs, &alone[0]);
            down->weighted_error(w2, w2Abs, &alone[1]);
            kou::InOrders::weighted_error_pair(*up, w, wAbs, &together[0], *down, w2, w2Abs, &together[1]);
            EXPECT_EQ(together[0], alone[0]) << count << " " << level;
            EXPECT_EQ(together[1], alone[1]) << count << " " << level;
        }
    }
}

// The a-posteriori error of Hh(0, x0) right of the origin, and of its tail form, against
// erfc in extended precision (long double: 64 bits of mantissa here, on 32-bit x86 too),
// from where the closed form's value is a difference near 1 to where erfc underflows.
TEST(HhTail, ErrorBoundsHoldAgainstExtendedPrecision) {
    const long double root2pi = 2.5066282746310005024157652848110453L;
    for (double x0 = 0.05; x0 < 40.0; x0 *= 1.09) {
        const long double exact = 0.5L * root2pi * erfcl(static_cast<long double>(x0) / sqrtl(2.0L));
        const double h0 = kou::in_orders::hh_zero(x0), tail = kou::in_orders::hh_zero_tail(x0);
        EXPECT_LE(fabsl(h0 - exact), kou::in_orders::hh_zero_error_in_tail(x0, h0)) << x0;
        EXPECT_LE(fabsl(tail - exact), kou::in_orders::hh_zero_tail_error(x0, tail)) << x0;
        // Far right the closed form's h0 is 0 and its error the whole exact value, which the
        // a-posteriori bound follows down (the a-priori one stays near 1e-14).
        if (x0 > 9.0) {
            EXPECT_EQ(h0, 0.0);
            EXPECT_LT(kou::in_orders::hh_zero_error_in_tail(x0, h0), 1e-12 * 1e-14 + 2.0 * tail);
        }
    }
}

// Where the bound of each probability is far above the price's accuracy but their errors
// cancel in S U1 - K exp(-rT) U2 (Hh(0, x0) right of the origin, shared by both), the
// second evaluation from the tail form certifies the closed form's bits; the price's and
// the share probability's bounds hold against the positive-term evaluation.
TEST(KouBound, SecondEvaluationFromTheTailCertifiesWhereTheErrorsCancel) {
    struct Case {
        double T, K, sigma, lam, p, eta1, eta2;
        int n;
    };
    const Case cases[] = {
        {1.937575036302176, 151.76354023318953, 0.20419635345185688, 4.0113024432873505, 0.29281221583144401, 4.89024885831153, 18.920192078350155, 46},
        {0.0229827, 152.63, 0.505199, 1.77126, 0.809313, 15.4056, 51.8401, 47},
        {7.1594445625922081, 90.956245124725882, 0.13572228112257684, 1.0665660631330964, 0.46832158068473567, 17.348940065998796, 1.7684774849640832, 47},
    };
    for (const Case &c : cases) {
        const double S = 100.0, r = 0.05;
        const kou::KouCallEvaluation e = kou::kou_call_evaluation(c.T, c.K, S, r, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.n);
        EXPECT_TRUE(e.certified) << c.T;
        EXPECT_EQ(e.price, e.closedForm);
        double U1;
        const double stable = kou::kou_call_stable(c.T, c.K, S, r, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.n, &U1);
        const double scale = S + c.K * std::exp(-r * c.T);
        EXPECT_LE(std::fabs(e.closedForm - stable), e.bound + 1e-13 * scale);
        EXPECT_LE(std::fabs(e.shareProbability - U1), e.shareBound + 1e-14);
    }
}

// Every Hh value of the downward series 0 (x0 = 38.6, where exp(-x0^2/2) underflows) while
// A2 = 3.6e294 and the factor exp(c alpha)/alpha = 3e37 magnify what they stand for: the
// closed form is off by 4.1e-5. Its error bound holds only with the floors and with each
// small error multiplied by those factors before it can underflow (a tiny adjoint times a
// subnormal error bound is 0.0 otherwise, and the price was certified within 1e-11).
TEST(KouBound, EveryHhValueZeroIsNotCertified) {
    const double T = 0.5997749501636758, K = 507.15568714642785, S = 100.0, r = 0.08573319287788109;
    const double sigma = 0.9547860533639346, lam = 0.025120358680056118, p = 0.3798668991813694;
    const double eta1 = 5.1001888393171715, eta2 = 48.83150591708014;
    const kou::KouCallEvaluation e = kou::kou_call_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, 170);
    EXPECT_FALSE(e.certified);
    const double series = 0.9310822403416292;  // the truncated series to many digits (mpmath)
    EXPECT_GT(std::fabs(e.closedForm - series), 4e-5);
    EXPECT_LE(std::fabs(e.closedForm - series), e.bound);
    EXPECT_NEAR(e.price, series, 1e-12);
}

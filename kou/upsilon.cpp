#include "upsilon.h"

#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "in_orders_lanes.h"
#include "jump_coefficients.h"
#include "lanes.h"
#include "math_entries.h"
#include "options.h"
#include "special_functions.h"

// Vectors of four lanes never cross a call in this file (lanes.h): no -Wpsabi note.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kou {

namespace {

constexpr Bounded kTwoPiRounded{numeric::kTwoPi, numeric::kTwoPi * kUnitRoundoff};

// Bound on sum_k |t_k| / |sum_k t_k| for the P and Q sums when p or q = 1 - p is
// negative, which in the model's domain happens only by rounding (a share-measure
// probability one ulp above 1): the terms then alternate in sign, each at most
// rho = n^2 max(r1 / r2, r2 / r1) |negative| / |positive| times its neighbour towards the
// dominant term, so the ratio is at most 1 / (1 - 2 rho).
double alternation_factor(double p, double q, double r1, double r2, std::int32_t n) {
    if (p >= 0.0 && q >= 0.0) {
        return 1.0;
    }
    const double nn = static_cast<double>(n) * static_cast<double>(n);
    const double rho = nn * std::fmax(r1 / r2, r2 / r1) *
                       (std::fmin(std::fabs(p), std::fabs(q)) /
                        std::fmax(std::fabs(p), std::fabs(q)));
    return rho < 0.25 ? 1.0 / (1.0 - 2.0 * rho) : kInfinity;
}

// The levels' I_n orders in the caller's storage for 2 * levels InOrders: each run of
// kBlockLevels levels as one upward and one downward block of that many lanes, in the
// slots of those levels; the levels after the last full block one by one in their own.
constexpr int kBlockLevels = 4;
using Block = InOrdersLanes<kBlockLevels>;
static_assert(sizeof(Block) <= kBlockLevels * sizeof(InOrders) && alignof(Block) <= alignof(InOrders),
              "a block of levels fits the storage of its levels");
class LevelBlocks {
public:
    LevelBlocks(InOrders *storage, std::int32_t levels) : storage_(storage), levels_(levels) {}

    // f(up, down, first level) for each block, in the order of the levels.
    template <typename F>
    KOU_LANES_INLINE void for_each(const F &f) const {
        std::int32_t l = 0;
        for (; l + kBlockLevels <= levels_; l += kBlockLevels) {
            f(*reinterpret_cast<Block *>(&storage_[2 * l]),
              *reinterpret_cast<Block *>(&storage_[2 * l + kBlockLevels]), l);
        }
        for (; l < levels_; ++l) {
            f(storage_[2 * l], storage_[2 * l + 1], l);
        }
    }

private:
    InOrders *storage_;
    std::int32_t levels_;
};

}  // namespace

// Kou's closed-form series
//   Upsilon = pi_0 Phi((muT - a) / (sigma sqrt T)) + (A2 J2 + A1 J1),
// with J1 (paths whose jumps sum upward) and J2 (downward) summed over the jump
// counts i = 1..n, each weighted by the Poisson probability pi_i of i jumps.
//
// Every quantity the terms share is computed once, into tables on the stack: the
// I_n values of each order (they depend on the order k but not on the jump count i)
// and the powers of p, q, r1, r2, lam T, eta1 s and eta2 s by exponent; tgamma of the
// integers is tabled once per process. Each table entry is the library call, with the
// same operands, that the term-by-term evaluation would make, and every sum and
// product keeps its order and grouping, so the result is the same double. The tables
// take about 24 KiB of stack at n = 170.
//
// The error bound. The O(1) quantities are Bounded values. The J sums are bounded as
//   |J - exact J| <= |sum_k w_k (I_k - exact I_k)| (1 + rel) + rel sum_k |w_k| |I_k|,
// with w_k = sum_i pi_i P(i, k) (eta s)^k and rel the relative rounding of the
// coefficients, powers, weights and sums, all of which are formed from positive
// factors; the first sum is bounded by InOrders::weighted_error. Perturbed parameters p, q, r1, r2 change the mixture weights of i jumps by
// at most i (|dp| + |dq| + |dr1| / r1 + |dr2| / r2) in total, and each weight multiplies
// a conditional probability in [0, 1]: the series moves by at most
// lam T (|dp| + |dq| + ...), added to the bound.
UpsilonEstimate upsilon_with_bound(Bounded mu, double sigma, Bounded lam, Bounded p,
                                   Bounded eta1, Bounded eta2, Bounded a, double T,
                                   std::int32_t n) {
    alignas(InOrders) unsigned char storage[2 * sizeof(InOrders)];
    UpsilonEstimate out;
    upsilon_levels(mu, sigma, lam, p, eta1, eta2, &a, 1, T, n,
                   reinterpret_cast<InOrders *>(storage), &out);
    return out;
}

namespace {

// For one level and a full block of jump counts i .. i + 3 (coefficients P(i + L, k) at
// f1[4k + L], Q at f2[4k + L]): the weights w1[k - 1] += pi_(i+L) P(i + L, k) (eta1 s)^k
// (likewise w2) and the level's J sums, as the general loops below form them (the same
// operations in the same order for every weight and sum), but with the four jump counts
// of an order side by side in a vector that goes from the coefficients to the weights and
// the J sums without being stored and read back.
KOU_LANES_INLINE void single_level_block(std::int32_t i, const double *upward,
                                         const double *downward, const double *f1,
                                         const double *f2, const double *pis,
                                         const double *powEta1s, const double *powEta2s,
                                         double *w1, double *w2, double *j1, double *j2,
                                         const double *shiftedPis, double *shifted1, double *shifted2) {
    using V = lanes::Lanes<4>;
    using lanes::load;
    const V pisV = load<4>(pis);
    V sum1 = V{}, sum2 = V{};
    for (std::int32_t k = 1; k <= i; ++k) {  // every jump count has order k
        const V g1 = load<4>(f1 + 4 * k) * powEta1s[k];
        const V g2 = load<4>(f2 + 4 * k) * powEta2s[k];
        const V t1 = pisV * g1, t2 = pisV * g2;
        w1[k - 1] = t1[3] + (t1[2] + (t1[1] + (t1[0] + w1[k - 1])));
        w2[k - 1] = t2[3] + (t2[2] + (t2[1] + (t2[0] + w2[k - 1])));
        sum1 = upward[k - 1] * g1 + sum1;
        sum2 = downward[k - 1] * g2 + sum2;
    }
    double s1[4], s2[4];
    lanes::store<4>(s1, sum1);
    lanes::store<4>(s2, sum2);
    for (std::int32_t k = i + 1; k <= i + 3; ++k) {  // i + L has order k for L >= k - i
        for (std::int32_t L = k - i; L < 4; ++L) {
            const double g1 = f1[4 * k + L] * powEta1s[k];
            const double g2 = f2[4 * k + L] * powEta2s[k];
            w1[k - 1] = pis[L] * g1 + w1[k - 1];
            w2[k - 1] = pis[L] * g2 + w2[k - 1];
            s1[L] = upward[k - 1] * g1 + s1[L];
            s2[L] = downward[k - 1] * g2 + s2[L];
        }
    }
    // The jump counts' sums into J1 and J2 with the weights pis (and the shifted weights).
    auto combine = [&](const double *weights, double *to1, double *to2) {
        double J1 = to1[0], J2 = to2[0];
        for (int L = 0; L < 4; ++L) {
            J1 = s1[L] * weights[L] + J1;
            J2 = s2[L] * weights[L] + J2;
        }
        to1[0] = J1;
        to2[0] = J2;
    };
    combine(pis, j1, j2);
    if (shiftedPis != nullptr) {
        combine(shiftedPis, shifted1, shifted2);
    }
}

// The body of upsilon_levels, compiled twice on x86 (below): for the baseline target and
// with AVX2, where the lanes of a block of levels are one vector register instead of two.
// Both perform the same IEEE operations (no fused multiply-add: AVX2 alone does not
// enable it, and -ffp-contract=off forbids it anyway), so the values are the same.
// With fourAtATime, full blocks of four jump counts form their coefficients side by side
// (see below).
template <bool fourAtATime>
KOU_LANES_INLINE void upsilon_levels_body(Bounded mu, double sigma, Bounded lam, Bounded p,
                                          Bounded eta1, Bounded eta2, const Bounded *a,
                                          std::int32_t levels, double T, std::int32_t n,
                                          InOrders *orders, UpsilonEstimate *out, HhZero start,
                                          double *shifted) {
    // Every n >= 171 gives NaN, whatever the other arguments. At i = 171,
    // tgamma(172) = +inf, so for k < i every binomial coefficient binom(171, j) of
    // P(171, k) and Q(171, k) is +inf (or NaN, when its denominator overflows too):
    // each term of their j-sums, and so each coefficient, is +-inf or NaN. Each
    // sum1 / sum2 of that i therefore holds an infinite or NaN term (an infinite
    // coefficient times a zero or NaN factor is NaN), so sum1 and sum2 are +-inf or
    // NaN. The Poisson weight pi_171 = (...) / tgamma(172) is +-0.0 or NaN. Their
    // product sum * pi_171 is NaN, which J1, J2 and the result carry to the end.
    if (n > kLastFiniteFactorial) {
        for (std::int32_t l = 0; l < levels; ++l) {
            out[l] = {std::numeric_limits<double>::quiet_NaN(), kInfinity};
            if (shifted != nullptr) shifted[l] = std::numeric_limits<double>::quiet_NaN();
        }
        return;
    }
    constexpr double u = kUnitRoundoff;
    const LevelBlocks blocks(orders, levels);

    const Bounded pi0 = exp((-lam) * T);
    const Bounded muT = mu * T;
    double parameters = 0.0;  // the bound's share from perturbed mixture weights

    // Each level's result from its J1 and J2. Formed for every n: with n <= 0 the products
    // A1 * 0.0 and A2 * 0.0 still carry a NaN when A1 or A2 is infinite.
    const Bounded e1 = eta1 * sigma;
    const Bounded e2 = eta2 * sigma;
    const Bounded A1 = exp(e1 * e1 * T * 0.5) / (sqrt(kTwoPiRounded * T) * sigma);
    const Bounded A2 = exp(e2 * e2 * T * 0.5) / (sqrt(kTwoPiRounded * T) * sigma);
    const Bounded spread = sqrt(Bounded::exact(T)) * sigma;
    // (For W levels at once as lanes: T = lanes::Lanes<W>, the same operations lane by lane.)
    auto finish = [&](std::int32_t first, auto J1, auto J2) KOU_LANE_LAMBDA {
        using T = decltype(J1.v);
        constexpr int W = sizeof(T) / sizeof(double);
        double av[W], ae[W];
        for (int l = 0; l < W; ++l) {
            av[l] = a[first + l].v;
            ae[l] = a[first + l].e;
        }
        const BoundedOf<T> level{lanes::load<W>(av), lanes::load<W>(ae)};
        const BoundedOf<T> z = (-(level - splat<T>(muT))) / splat<T>(spread) / splat<T>(kSqrt2Rounded);
        const BoundedOf<T> result =
            splat<T>(pi0) * (1.0 - erfc(z) * 0.5) + (splat<T>(A2) * J2 + splat<T>(A1) * J1);
        for (int l = 0; l < W; ++l) {
            out[first + l] = {lanes::lane(result.v, l), lanes::lane(result.e, l) + parameters};
        }
    };

    if (n > 0) {
        const double nd = static_cast<double>(n);
        const Bounded sqrtT = sqrt(Bounded::exact(T));
        const Bounded s = sigma * sqrtT;
        const Bounded lamT = lam * T;
        const Bounded eta1s = eta1 * s;
        const Bounded eta2s = eta2 * s;

        // For each level, I_n(k - 1, c, -eta1, -1 / s, -sigma eta1 sqrt T) and
        // I_n(k - 1, c, eta2, 1 / s, -sigma eta2 sqrt T) at k - 1 = 0 .. n - 1, c = a - muT,
        // upward and downward, four levels to a block (then single levels). The powers of
        // rho and the factors without c do not depend on the level and come from the first block.
        const Bounded alphaUp = -eta1, betaUp = -1.0 / s, deltaUp = sqrtT * (eta1 * (-sigma));
        const Bounded betaDown = 1.0 / s, deltaDown = sqrtT * ((-sigma) * eta2);
        InOrdersShared sameUp{}, sameDown{};
        bool first = true;
        blocks.for_each([&](auto &up, auto &down, std::int32_t level) KOU_LANE_LAMBDA {
            using Lanes = std::remove_reference_t<decltype(up)>;
            Bounded c[Lanes::kLanes];
            for (int l = 0; l < Lanes::kLanes; ++l) {
                c[l] = a[level + l] - muT;
            }
            Lanes::construct_pair(&up, c, alphaUp, betaUp, deltaUp, first ? nullptr : &sameUp,
                                  &down, c, eta2, betaDown, deltaDown,
                                  first ? nullptr : &sameDown, n, start);
            if (first) {
                sameUp = up.shared();
                sameDown = down.shared();
                first = false;
            }
        });

        double powLamT[kLastFiniteFactorial + 1], powEta1s[kLastFiniteFactorial + 1], powEta2s[kLastFiniteFactorial + 1];
        powLamT[0] = 1.0;  // (read by the shifted weights only)
        for (std::int32_t e = 1; e <= n; ++e) {
            const double x = static_cast<double>(e);
            powLamT[e] = math_entries::pow(lamT.v, x);
            powEta1s[e] = math_entries::pow(eta1s.v, x);
            powEta2s[e] = math_entries::pow(eta2s.v, x);
        }
        const JumpCoefficients coef(p.v, eta1.v, eta2.v, n);
        const double *tg = tgamma_of_integers();

        // w1[k - 1] = sum_i pi_i P(i, k) (eta1 s)^k, w2 likewise with Q; the same sums
        // of magnitudes in w1Abs, w2Abs.
        // The coefficients are non-negative unless p or q = 1 - p is (by rounding): then
        // the magnitudes are summed apart.
        const bool signs = p.v < 0.0 || p.v > 1.0;
        double w1[kLastFiniteFactorial], w2[kLastFiniteFactorial], w1Abs[kLastFiniteFactorial], w2Abs[kLastFiniteFactorial];
        for (std::int32_t k = 0; k < n; ++k) {
            w1[k] = w2[k] = 0.0;
            if (signs) {
                w1Abs[k] = w2Abs[k] = 0.0;
            }
        }
        double j1[kMaxLevels], j2[kMaxLevels];
        for (std::int32_t l = 0; l < levels; ++l) {
            j1[l] = j2[l] = 0.0;
        }
        // With shifted: the same J sums with the weights pi_(i-1) of one jump fewer.
        double h1[kMaxLevels], h2[kMaxLevels];
        if (shifted != nullptr) {
            for (std::int32_t l = 0; l < levels; ++l) {
                h1[l] = h2[l] = 0.0;
            }
        }
        // The J sums, sum over k of I_(k-1) f[k] for each level: jump counts i .. i + 3
        // together (their coefficients formed at once, JumpCoefficients::of_jump_counts), so
        // that eight running sums per level advance side by side, each still in ascending
        // k, and J still receives the jump counts' terms in ascending i.
        // f1 and f2 receive the coefficients P and Q, then become P (eta1 s)^k and
        // Q (eta2 s)^k in place.
        // With fourAtATime (the AVX2 build) a full block's four jump counts form their
        // coefficients side by side (full vectors however short the sums), faster than one by
        // one at every jump count (measured: 7 % at n = 170). On SSE2 alone its four lanes are
        // two registers, and one by one, whose loops fill vectors themselves, is faster
        // (side by side measured 3 % faster at n = 20 but 20 % slower at n = 170).
        // When J does not divide n, the first block holds the n mod J jump counts left over
        // (where they cost least, formed one by one); its other lanes are zero and take no
        // part in the weights and J.
        constexpr std::int32_t J = JumpCoefficients::kJumpLanes;
        double f1[(kLastFiniteFactorial + 1) * J], f2[(kLastFiniteFactorial + 1) * J];
        for (std::int32_t i = 1, count = n % J == 0 ? J : n % J; i <= n; i += count, count = J) {
            const std::int32_t top = i + count - 1;  // the highest jump count and order here
            if (count == J && fourAtATime) {
                coef.of_jump_counts(i, f1, f2);
            } else {
                for (std::int32_t L = 0; L < count; ++L) {
                    coef.of_jump_count(i + L, f1 + L, f2 + L, J);
                }
                for (std::int32_t k = 1; k <= top; ++k) {
                    for (std::int32_t L = count; L < J; ++L) {
                        f1[k * J + L] = f2[k * J + L] = 0.0;
                    }
                }
            }
            double pis[J];
            for (std::int32_t L = 0; L < count; ++L) {
                pis[L] = (pi0.v * powLamT[i + L]) / tg[i + L + 1];
            }
            double shiftedPis[J] = {};
            if (shifted != nullptr) {
                for (std::int32_t L = 0; L < count; ++L) {
                    shiftedPis[L] = (pi0.v * powLamT[i + L - 1]) / tg[i + L];
                }
            }
            if (levels == 1 && count == J && !signs) {
                single_level_block(i, orders[0].values(), orders[1].values(), f1, f2, pis,
                                   powEta1s, powEta2s, w1, w2, j1, j2,
                                   shifted != nullptr ? shiftedPis : nullptr, h1, h2);
                continue;
            }
            // Order k of the jump counts i + L >= k, each weight receiving them in ascending i.
            for (std::int32_t k = 1; k <= top; ++k) {
                double *g1 = f1 + k * J, *g2 = f2 + k * J;
                for (std::int32_t L = k <= i ? 0 : k - i; L < count; ++L) {
                    g1[L] = g1[L] * powEta1s[k];
                    g2[L] = g2[L] * powEta2s[k];
                    w1[k - 1] = pis[L] * g1[L] + w1[k - 1];
                    w2[k - 1] = pis[L] * g2[L] + w2[k - 1];
                    if (signs) {
                        w1Abs[k - 1] = pis[L] * std::fabs(g1[L]) + w1Abs[k - 1];
                        w2Abs[k - 1] = pis[L] * std::fabs(g2[L]) + w2Abs[k - 1];
                    }
                }
            }
            blocks.for_each([&](const auto &up, const auto &down, std::int32_t first) KOU_LANE_LAMBDA {
                constexpr int W = std::decay_t<decltype(up)>::kLanes;
                using V = lanes::Lanes<W>;
                const double *upward = up.values();
                const double *downward = down.values();
                V sum1[J] = {}, sum2[J] = {};
                for (std::int32_t k = 1; k <= i; ++k) {  // every jump count has order k
                    const V u = lanes::load<W>(upward + (k - 1) * W);
                    const V d = lanes::load<W>(downward + (k - 1) * W);
                    for (std::int32_t L = 0; L < J; ++L) {
                        sum1[L] = u * f1[k * J + L] + sum1[L];
                        sum2[L] = d * f2[k * J + L] + sum2[L];
                    }
                }
                for (std::int32_t k = i + 1; k <= top; ++k) {  // i + L has order k for L >= k - i
                    const V u = lanes::load<W>(upward + (k - 1) * W);
                    const V d = lanes::load<W>(downward + (k - 1) * W);
                    for (std::int32_t L = k - i; L < count; ++L) {
                        sum1[L] = u * f1[k * J + L] + sum1[L];
                        sum2[L] = d * f2[k * J + L] + sum2[L];
                    }
                }
                auto combine = [&](const double *weights, double *to1, double *to2) KOU_LANE_LAMBDA {
                    V J1 = lanes::load<W>(to1 + first), J2 = lanes::load<W>(to2 + first);
                    for (std::int32_t L = 0; L < count; ++L) {
                        J1 = sum1[L] * weights[L] + J1;
                        J2 = sum2[L] * weights[L] + J2;
                    }
                    lanes::store<W>(to1 + first, J1);
                    lanes::store<W>(to2 + first, J2);
                };
                combine(pis, j1, j2);
                if (shifted != nullptr) {
                    combine(shiftedPis, h1, h2);
                }
            });
        }

        const Bounded q = 1.0 - p;
        const Bounded r1 = eta1 / (eta1 + eta2);
        const Bounded r2 = eta2 / (eta1 + eta2);
        // Relative rounding of one term pi_i P(i, k) (eta s)^k and of the sums: P and Q
        // take 6 tgamma and 4 pow calls and 4 products per term, then up to n - 1
        // additions; the power (eta s)^k, the weight (exp, pow, tgamma and two
        // operations), the product with I and the sums over k and i (2n additions).
        const double coefficients =
            (10.0 * kLibraryRelative + (nd + 8.0) * u) *
            alternation_factor(p.v, q.v, r1.v, r2.v, n);
        const double weights =
            pi0.relative() + pow_relative(lamT.relative(), nd) + kLibraryRelative + 2.0 * u;
        const double sums = (2.0 * nd + 4.0) * u;
        const double rel1 = coefficients + weights + sums + pow_relative(eta1s.relative(), nd);
        const double rel2 = coefficients + weights + sums + pow_relative(eta2s.relative(), nd);

        const double mixture = (p.e + q.e) * 1.01 + 2.0 * (r1.relative() + r2.relative());
        parameters = (lamT.v + lamT.e) * mixture * 1.01;

        const double *m1 = signs ? w1Abs : w1;  // the weights' magnitudes
        const double *m2 = signs ? w2Abs : w2;
        blocks.for_each([&](const auto &up, const auto &down, std::int32_t first) KOU_LANE_LAMBDA {
            constexpr int W = std::decay_t<decltype(up)>::kLanes;
            const double *upward = up.values();
            const double *downward = down.values();
            using V = lanes::Lanes<W>;
            V magnitudes1 = V{}, magnitudes2 = V{};
            for (std::int32_t k = 0; k < n; ++k) {
                // A zero weight carries no error, even an infinite one.
                if (m1[k] != 0.0) {
                    magnitudes1 = magnitudes1 + m1[k] * lanes::abs(lanes::load<W>(upward + k * W));
                }
                if (m2[k] != 0.0) {
                    magnitudes2 = magnitudes2 + m2[k] * lanes::abs(lanes::load<W>(downward + k * W));
                }
            }
            double magnitude1[W], magnitude2[W];
            lanes::store<W>(magnitude1, magnitudes1);
            lanes::store<W>(magnitude2, magnitudes2);
            double carried1[W], carried2[W];
            std::decay_t<decltype(up)>::weighted_error_pair(up, w1, m1, carried1, down, w2, m2, carried2);
            // (Products with a zero magnitude are left out: a relative bound may be infinite.)
            double e1[W], e2[W];
            for (int l = 0; l < W; ++l) {
                e1[l] = carried1[l] * (1.0 + rel1) + (magnitude1[l] == 0.0 ? 0.0 : rel1 * magnitude1[l]);
                e2[l] = carried2[l] * (1.0 + rel2) + (magnitude2[l] == 0.0 ? 0.0 : rel2 * magnitude2[l]);
            }
            finish(first, BoundedOf<V>{lanes::load<W>(j1 + first), lanes::load<W>(e1)},
                   BoundedOf<V>{lanes::load<W>(j2 + first), lanes::load<W>(e2)});
            // The share of the sides right of the origin: their whole J error, through A1, A2
            // (starting from the tail changes the Hh values and the sums of their magnitudes).
            for (int l = 0; l < W; ++l) {
                const bool upTail = up.right_of_origin(l) && carried1[l] > 0.0;
                const bool downTail = down.right_of_origin(l) && carried2[l] > 0.0;
                out[first + l].tailShare = (upTail ? (A1.v + A1.e) * e1[l] * (1.0 + 2.0 * u) : 0.0) +
                                           (downTail ? (A2.v + A2.e) * e2[l] * (1.0 + 2.0 * u) : 0.0);
            }
        });
        if (shifted != nullptr) {
            for (std::int32_t l = 0; l < levels; ++l) {
                shifted[l] = A2.v * h2[l] + A1.v * h1[l];
            }
        }
        return;
    }
    for (std::int32_t l = 0; l < levels; ++l) {
        finish(l, Bounded{0.0}, Bounded{0.0});
        if (shifted != nullptr) shifted[l] = A2.v * 0.0 + A1.v * 0.0;
    }
}

void upsilon_levels_baseline(Bounded mu, double sigma, Bounded lam, Bounded p, Bounded eta1,
                             Bounded eta2, const Bounded *a, std::int32_t levels, double T,
                             std::int32_t n, InOrders *orders, UpsilonEstimate *out, HhZero start,
                             double *shifted) {
    upsilon_levels_body<false>(mu, sigma, lam, p, eta1, eta2, a, levels, T, n, orders, out, start, shifted);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("avx2"))) void upsilon_levels_avx2(
    Bounded mu, double sigma, Bounded lam, Bounded p, Bounded eta1, Bounded eta2,
    const Bounded *a, std::int32_t levels, double T, std::int32_t n, InOrders *orders,
    UpsilonEstimate *out, HhZero start, double *shifted) {
    upsilon_levels_body<true>(mu, sigma, lam, p, eta1, eta2, a, levels, T, n, orders, out, start, shifted);
}
#endif

}  // namespace

void upsilon_levels(Bounded mu, double sigma, Bounded lam, Bounded p, Bounded eta1,
                    Bounded eta2, const Bounded *a, std::int32_t levels, double T,
                    std::int32_t n, InOrders *orders, UpsilonEstimate *out, HhZero start,
                    double *shifted) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const auto body =  // once per process
        lanes::processor_has_avx2() ? &upsilon_levels_avx2 : &upsilon_levels_baseline;
    body(mu, sigma, lam, p, eta1, eta2, a, levels, T, n, orders, out, start, shifted);
#else
    upsilon_levels_baseline(mu, sigma, lam, p, eta1, eta2, a, levels, T, n, orders, out, start, shifted);
#endif
}

double upsilon(double mu, double sigma, double lam, double p, double eta1, double eta2,
               double a, double T, std::int32_t n) {
    return upsilon_with_bound(Bounded::exact(mu), sigma, Bounded::exact(lam),
                              Bounded::exact(p), Bounded::exact(eta1), Bounded::exact(eta2),
                              Bounded::exact(a), T, n)
        .value;
}

double Option::Upsilon(double mu, double sigma, double lam, double p, double eta1,
                       double eta2, double a, double T, std::int32_t n) const {
    return upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n);
}

}  // namespace kou

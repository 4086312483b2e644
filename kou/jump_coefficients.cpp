#include "jump_coefficients.h"

#include <cmath>

#include "lanes.h"
#include "math_entries.h"

// Vectors of four lanes never cross a call in this file (lanes.h): no -Wpsabi note.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kou {

namespace {

struct IntegerGammaTable {
    double value[kLastFiniteFactorial + 2];
    IntegerGammaTable() {
        value[0] = 0.0;  // never read
        for (std::int32_t m = 1; m <= kLastFiniteFactorial + 1; ++m) {
            value[m] = std::tgamma(static_cast<double>(m));
        }
    }
};

// Four zeros before row 0, so that a vector read may start up to four entries before it.
struct BinomialTable {
    double value[4 + kBinomialRow * kBinomialRow];
    BinomialTable() {
        const double *tg = tgamma_of_integers();
        value[0] = value[1] = value[2] = value[3] = 0.0;
        for (std::int32_t d = 0; d <= kLastFiniteFactorial; ++d) {
            for (std::int32_t y = 0; y < kBinomialRow; ++y) {
                value[4 + d * kBinomialRow + y] =
                    (d + y <= kLastFiniteFactorial) ? binom(tg, d + y, y) : 0.0;
            }
        }
    }
};

}  // namespace

const double *tgamma_of_integers() {
    static const IntegerGammaTable table;  // thread-safe one-time initialisation
    return table.value;
}

const double *binomial_table() {
    static const BinomialTable table;  // thread-safe one-time initialisation, 228 KiB
    return table.value + 4;
}

JumpCoefficients::JumpCoefficients(double p, double eta1, double eta2, std::int32_t last) {
    const double q = 1.0 - p;
    const double r1 = eta1 / (eta1 + eta2);
    const double r2 = eta2 / (eta1 + eta2);
    double *powP = powP_ + kBefore, *powQ = powQ_ + kBefore;
    double *powR1 = powR1_ + kBefore, *powR2 = powR2_ + kBefore;
    // pow(x, 0) is 1 for every x, NaN included (C11 F.10.4.4), so exponent 0 needs no call.
    powP[0] = powQ[0] = powR1[0] = powR2[0] = 1.0;
    // A coefficient of jump count i takes p^j q^(i - j) with 0 <= j <= i, but r1 and r2
    // only to the powers j - k and i - j, at most i - 1.
    for (std::int32_t e = 1; e <= last; ++e) {
        const double x = static_cast<double>(e);
        powP[e] = math_entries::pow(p, x);
        powQ[e] = math_entries::pow(q, x);
        if (e < last) {
            powR1[e] = math_entries::pow(r1, x);
            powR2[e] = math_entries::pow(r2, x);
        }
    }
    for (std::int32_t e = -kBefore; e < 0; ++e) {
        powP[e] = powQ[e] = powR1[e] = powR2[e] = 0.0;
    }
}

// P(i, i) = p^i and Q(i, i) = q^i. For k < i each is a sum over j = k .. i - 1,
// ascending from 0.0, of
//   P: binom(i, j) binom(i - k - 1, j - k) r1^(j - k) r2^(i - j) (p^j q^(i - j)),
//   Q: binom(i, j) binom(i - k - 1, j - k) r1^(i - j) r2^(j - k) (q^j p^(i - j)),
// each multiplied left to right. The two share their first product.
//
// The loops run over j outside and over k inside, so that the sums for different k, which
// are independent, advance together: each still receives its terms in ascending j, and
// each term is formed by the same operations on the same operands, so every value is the
// same double as term by term; but the inner loop carries no dependency from one step to
// the next, and the compiler runs it on vectors (SSE2 on x86, two lanes doing the same
// IEEE operations; four with AVX2 where the processor has it). Written with y = j - k, the inner loop reads binom(i - k - 1, j - k) =
// row (i - j - 1) of the binomial table, r1^y and r2^y, and the sum of k = j - y at
// position i - k, all contiguous in y.
namespace {

// The body of of_jump_count, compiled twice: for the baseline target and, on x86, with
// AVX2 (four lanes instead of two, the same IEEE operations in each lane: no fused
// multiply-add, which AVX2 alone does not enable and -ffp-contract=off forbids anyway).
// The AVX2 one runs only where the processor reports it. (AVX-512 measured no faster.)
__attribute__((always_inline)) inline void coefficients_body(
    std::int32_t i, double *P, double *Q, std::int32_t stride, const double *powP, const double *powQ,
    const double *__restrict r1, const double *__restrict r2) {
    const double *table = binomial_table();
    double sumP[kLastFiniteFactorial + 1];  // the sum for k at [i - k], k = 1 .. i - 1
    double sumQ[kLastFiniteFactorial + 1];
    for (std::int32_t z = 1; z < i; ++z) {
        sumP[z] = 0.0;
        sumQ[z] = 0.0;
    }
    // Jump counts j and j + 1 in one pass: the sum at position z receives j's term, then
    // j + 1's, as in ascending j, while its partial value stays in a register.
    struct Row {
        double binomIJ;                // binom(i, j)
        const double *__restrict row;  // binom(i - j - 1 + y, y)
        double pq, qp, r2P, r1Q;       // p^j q^(i-j), q^j p^(i-j), r2^(i-j), r1^(i-j)
    };
    auto row_of = [&](std::int32_t j) {
        return Row{table[(i - j) * kBinomialRow + j], table + (i - j - 1) * kBinomialRow,
                   powP[j] * powQ[i - j], powQ[j] * powP[i - j], r2[i - j], r1[i - j]};
    };
    std::int32_t j = 1;
    for (; j + 1 < i; j += 2) {
        const Row a = row_of(j), c = row_of(j + 1);
        double *__restrict accP = sumP + (i - j);  // the sum of k = j - y at [y]
        double *__restrict accQ = sumQ + (i - j);
        {  // position i - j - 1: k = j + 1 receives its first term
            const double b = c.binomIJ * c.row[0];
            accP[-1] = accP[-1] + b * r1[0] * c.r2P * c.pq;
            accQ[-1] = accQ[-1] + b * c.r1Q * r2[0] * c.qp;
        }
        for (std::int32_t y = 0; y < j; ++y) {
            const double b = a.binomIJ * a.row[y];
            const double b1 = c.binomIJ * c.row[y + 1];
            accP[y] = (accP[y] + b * r1[y] * a.r2P * a.pq) + b1 * r1[y + 1] * c.r2P * c.pq;
            accQ[y] = (accQ[y] + b * a.r1Q * r2[y] * a.qp) + b1 * c.r1Q * r2[y + 1] * c.qp;
        }
    }
    for (; j < i; ++j) {
        const Row a = row_of(j);
        double *__restrict accP = sumP + (i - j);
        double *__restrict accQ = sumQ + (i - j);
        for (std::int32_t y = 0; y < j; ++y) {
            const double b = a.binomIJ * a.row[y];
            accP[y] = accP[y] + b * r1[y] * a.r2P * a.pq;
            accQ[y] = accQ[y] + b * a.r1Q * r2[y] * a.qp;
        }
    }
    for (std::int32_t k = 1; k < i; ++k) {
        P[k * stride] = sumP[i - k];
        Q[k * stride] = sumQ[i - k];
    }
    P[i * stride] = powP[i];
    Q[i * stride] = powQ[i];
}

// Four jump counts i = i0 + L (lanes L = 0 .. 3) at once, each lane forming the terms of
// its own i exactly as coefficients_body does (the same operations on the same operands,
// the sums in ascending j), the lanes side by side in vectors (lanes.h). Per lane, with
// d = i - j: binom(i, j) is binom(i, d) and binom(i - k - 1, j - k) = binom(d - 1 + y, y)
// is binom(d - 1 + y, d - 1) (the same double: the two factorials of the denominator
// multiply in either order), and both are contiguous in the lanes in the table's rows j and
// y; so are r2^d, r1^d, q^d and p^d. Every lane's loop over y then has full vectors, however
// short it is. The sums of order k sit at P[4k .. 4k + 3]; rows j .. j + 2 are added in one
// pass (j .. j + 1 while i0 < kTwoRowsBelow, where the rows are short and three rows' operands
// do not stay in registers: measured 1 % faster at n = 20 and 2 % at n = 30), the sum of each
// order in a register while it receives the rows' terms in ascending j. The rows
// j = i0 .. i0 + 2 belong only to the lanes with d >= 1: their terms in the other lanes (read
// from the tables' zero padding or from unrelated entries) are left out, adding +0.0, which
// leaves a sum of these terms as it is (such a sum is never -0.0).
__attribute__((always_inline)) inline void coefficient_lanes_body(
    std::int32_t i0, double *P, double *Q, const double *powP, const double *powQ,
    const double *r1, const double *r2) {
    using V = lanes::Lanes<4>;
    using lanes::load;
    using lanes::store;
    const double *table = binomial_table();
    const std::int32_t top = i0 + 3;
    for (std::int32_t k = 1; k <= top; ++k) {
        store<4>(P + 4 * k, V{});
        store<4>(Q + 4 * k, V{});
    }
    struct Row {
        V binomIJ, r2P, r1Q, pq, qp;  // binom(i, j), r2^d, r1^d, p^j q^d, q^j p^d
        const double *column;        // binom(d - 1 + y, d - 1) at column[y * kBinomialRow]
        lanes::Type<4>::mask take;   // the lanes with d >= 1
    };
    const V lane = {0.0, 1.0, 2.0, 3.0};
    auto row_of = [&](std::int32_t j) KOU_LANE_LAMBDA {
        const std::int32_t d0 = i0 - j;  // lane L has d = d0 + L
        return Row{load<4>(table + j * kBinomialRow + d0), load<4>(r2 + d0), load<4>(r1 + d0),
                   powP[j] * load<4>(powQ + d0), powQ[j] * load<4>(powP + d0),
                   table + (d0 - 1), lane >= 1.0 - d0};
    };
    // Row r's term y into the sums sp, sq (of order j - y for the row's j).
    auto add = [&](const Row &r, std::int32_t y, V &sp, V &sq, bool masked) KOU_LANE_LAMBDA {
        const V b = r.binomIJ * load<4>(r.column + y * kBinomialRow);
        const V tp = b * r1[y] * r.r2P * r.pq;
        const V tq = b * r.r1Q * r2[y] * r.qp;
        sp = sp + (masked ? lanes::select(r.take, tp, V{}) : tp);
        sq = sq + (masked ? lanes::select(r.take, tq, V{}) : tq);
    };
    // Rows j .. j + rows - 1 into the sums of orders k = j + rows - 1 down to 1.
    auto pass = [&](std::int32_t j, int rows, bool masked) KOU_LANE_LAMBDA {
        Row r[3];
        for (int t = 0; t < rows; ++t) {
            r[t] = row_of(j + t);
        }
        for (int before = rows - 1; before >= 1; --before) {  // order j + before
            double *accP = P + 4 * (j + before), *accQ = Q + 4 * (j + before);
            V sp = load<4>(accP), sq = load<4>(accQ);
            for (int t = before; t < rows; ++t) {
                add(r[t], t - before, sp, sq, masked);
            }
            store<4>(accP, sp);
            store<4>(accQ, sq);
        }
        for (std::int32_t y = 0; y < j; ++y) {  // order j - y
            double *accP = P + 4 * (j - y), *accQ = Q + 4 * (j - y);
            V sp = load<4>(accP), sq = load<4>(accQ);
            for (int t = 0; t < rows; ++t) {
                add(r[t], y + t, sp, sq, masked);
            }
            store<4>(accP, sp);
            store<4>(accQ, sq);
        }
    };
    std::int32_t j = 1;
    constexpr std::int32_t kTwoRowsBelow = 48;
    if (i0 < kTwoRowsBelow) {
        for (; j + 1 < i0; j += 2) {
            pass(j, 2, false);
        }
    } else {
        for (; j + 2 < i0; j += 3) {
            pass(j, 3, false);
        }
    }
    if (j < i0) {
        pass(j, i0 - j, false);
    }
    pass(i0, 3, true);
    for (int L = 0; L < 4; ++L) {
        P[4 * (i0 + L) + L] = powP[i0 + L];
        Q[4 * (i0 + L) + L] = powQ[i0 + L];
    }
}

void coefficients_baseline(std::int32_t i, double *P, double *Q, std::int32_t stride,
                           const double *powP, const double *powQ, const double *r1,
                           const double *r2) {
    coefficients_body(i, P, Q, stride, powP, powQ, r1, r2);
}

void coefficient_lanes_baseline(std::int32_t i0, double *P, double *Q, const double *powP,
                                const double *powQ, const double *r1, const double *r2) {
    coefficient_lanes_body(i0, P, Q, powP, powQ, r1, r2);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("avx2"))) void coefficients_avx2(std::int32_t i, double *P, double *Q,
                                                       std::int32_t stride, const double *powP,
                                                       const double *powQ, const double *r1,
                                                       const double *r2) {
    coefficients_body(i, P, Q, stride, powP, powQ, r1, r2);
}

__attribute__((target("avx2"))) void coefficient_lanes_avx2(std::int32_t i0, double *P, double *Q,
                                                            const double *powP, const double *powQ,
                                                            const double *r1, const double *r2) {
    coefficient_lanes_body(i0, P, Q, powP, powQ, r1, r2);
}

using OneCountFn = void (*)(std::int32_t, double *, double *, std::int32_t, const double *,
                            const double *, const double *, const double *);
using CoefficientsFn = void (*)(std::int32_t, double *, double *, const double *,
                                const double *, const double *, const double *);

OneCountFn pick_coefficients() {
    return lanes::processor_has_avx2() ? &coefficients_avx2 : &coefficients_baseline;
}

CoefficientsFn pick_coefficient_lanes() {
    return lanes::processor_has_avx2() ? &coefficient_lanes_avx2 : &coefficient_lanes_baseline;
}
#endif

}  // namespace

void JumpCoefficients::of_jump_count(std::int32_t i, double *P, double *Q,
                                     std::int32_t stride) const {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const OneCountFn coefficients = pick_coefficients();  // once per process
    coefficients(i, P, Q, stride, powP_ + kBefore, powQ_ + kBefore, powR1_ + kBefore, powR2_ + kBefore);
#else
    coefficients_baseline(i, P, Q, stride, powP_ + kBefore, powQ_ + kBefore, powR1_ + kBefore, powR2_ + kBefore);
#endif
}

void JumpCoefficients::of_jump_counts(std::int32_t first, double *P, double *Q) const {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const CoefficientsFn coefficients = pick_coefficient_lanes();  // once per process
    coefficients(first, P, Q, powP_ + kBefore, powQ_ + kBefore, powR1_ + kBefore, powR2_ + kBefore);
#else
    coefficient_lanes_baseline(first, P, Q, powP_ + kBefore, powQ_ + kBefore, powR1_ + kBefore, powR2_ + kBefore);
#endif
}

}  // namespace kou

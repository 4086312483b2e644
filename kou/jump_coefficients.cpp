#include "jump_coefficients.h"

#include <cmath>

#include "lanes.h"

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

struct BinomialTable {
    double value[kBinomialRow * kBinomialRow];
    BinomialTable() {
        const double *tg = tgamma_of_integers();
        for (std::int32_t d = 0; d <= kLastFiniteFactorial; ++d) {
            for (std::int32_t y = 0; y < kBinomialRow; ++y) {
                value[d * kBinomialRow + y] = (d + y <= kLastFiniteFactorial) ? binom(tg, d + y, y) : 0.0;
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
    return table.value;
}

JumpCoefficients::JumpCoefficients(double p, double eta1, double eta2, std::int32_t last) {
    const double q = 1.0 - p;
    const double r1 = eta1 / (eta1 + eta2);
    const double r2 = eta2 / (eta1 + eta2);
    // pow(x, 0) is 1 for every x, NaN included (C11 F.10.4.4), so exponent 0 needs no call.
    powP_[0] = powQ_[0] = powR1_[0] = powR2_[0] = 1.0;
    for (std::int32_t e = 1; e <= last; ++e) {
        const double x = static_cast<double>(e);
        powP_[e] = std::pow(p, x);
        powQ_[e] = std::pow(q, x);
        powR1_[e] = std::pow(r1, x);
        powR2_[e] = std::pow(r2, x);
    }
    for (std::int32_t e = last + 1; e <= last + 4; ++e) {
        powP_[e] = powQ_[e] = powR1_[e] = powR2_[e] = 0.0;
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

// coefficients_body in explicit vectors of four y (AVX2), three jump counts j per pass.
// Every row's loop over y runs in whole vectors: the lanes past its last y read the
// tables' next entries (the powers are padded, the binomial table's next row or
// padding) and write sums at positions i .. i + 3, which stand for no k (k = i - position
// <= 0) and are never read.
__attribute__((always_inline)) inline void coefficient_vectors_body(
    std::int32_t i, double *P, double *Q, std::int32_t stride, const double *powP, const double *powQ,
    const double *__restrict r1, const double *__restrict r2) {
    using V = lanes::Lanes<4>;
    using lanes::load;
    using lanes::splat;
    using lanes::store;
    const double *table = binomial_table();
    double sumP[kLastFiniteFactorial + 1 + 4];  // the sum for k at [i - k], k = 1 .. i - 1
    double sumQ[kLastFiniteFactorial + 1 + 4];
    for (std::int32_t z = 1; z < i + 4; ++z) {
        sumP[z] = 0.0;
        sumQ[z] = 0.0;
    }
    struct Row {
        double binomIJ;                // binom(i, j)
        const double *__restrict row;  // binom(i - j - 1 + y, y)
        double pq, qp, r2P, r1Q;       // p^j q^(i-j), q^j p^(i-j), r2^(i-j), r1^(i-j)
    };
    auto row_of = [&](std::int32_t j) {
        return Row{table[(i - j) * kBinomialRow + j], table + (i - j - 1) * kBinomialRow,
                   powP[j] * powQ[i - j], powQ[j] * powP[i - j], r2[i - j], r1[i - j]};
    };
    // Row a's term y into the sums at position y (scalar).
    auto term = [&](const Row &a, std::int32_t y, double *accP, double *accQ) {
        const double b = a.binomIJ * a.row[y];
        *accP = *accP + b * r1[y] * a.r2P * a.pq;
        *accQ = *accQ + b * a.r1Q * r2[y] * a.qp;
    };
    // Rows j .. j + 2 per pass: the sum at position y (k = j - y) receives row j + t's term
    // y + t for t = 0, 1, 2 in turn, as in ascending j; positions -1 and -2 (k = j + 1,
    // j + 2) receive the rows' first terms before the pass.
    constexpr int kRows = 3;
    std::int32_t j = 1;
    for (; j + kRows - 1 < i; j += kRows) {
        Row rows[kRows];
        V B[kRows], R2P[kRows], PQ[kRows], R1Q[kRows], QP[kRows];
        for (int t = 0; t < kRows; ++t) {
            rows[t] = row_of(j + t);
            B[t] = splat<V>(rows[t].binomIJ);
            R2P[t] = splat<V>(rows[t].r2P);
            PQ[t] = splat<V>(rows[t].pq);
            R1Q[t] = splat<V>(rows[t].r1Q);
            QP[t] = splat<V>(rows[t].qp);
        }
        double *__restrict accP = sumP + (i - j);  // the sum of k = j - y at [y]
        double *__restrict accQ = sumQ + (i - j);
        for (int before = kRows - 1; before >= 1; --before) {
            for (int t = before; t < kRows; ++t) {
                term(rows[t], t - before, accP - before, accQ - before);
            }
        }
        for (std::int32_t y = 0; y < j; y += 4) {
            V sp = load<4>(accP + y), sq = load<4>(accQ + y);
            for (int t = 0; t < kRows; ++t) {
                const V b = B[t] * load<4>(rows[t].row + y + t);
                sp = sp + b * load<4>(r1 + y + t) * R2P[t] * PQ[t];
                sq = sq + b * R1Q[t] * load<4>(r2 + y + t) * QP[t];
            }
            store<4>(accP + y, sp);
            store<4>(accQ + y, sq);
        }
    }
    for (; j < i; ++j) {
        const Row a = row_of(j);
        double *__restrict accP = sumP + (i - j);
        double *__restrict accQ = sumQ + (i - j);
        const V aB = splat<V>(a.binomIJ), aR2P = splat<V>(a.r2P), aPQ = splat<V>(a.pq);
        const V aR1Q = splat<V>(a.r1Q), aQP = splat<V>(a.qp);
        for (std::int32_t y = 0; y < j; y += 4) {
            const V b = aB * load<4>(a.row + y);
            store<4>(accP + y, load<4>(accP + y) + b * load<4>(r1 + y) * aR2P * aPQ);
            store<4>(accQ + y, load<4>(accQ + y) + b * aR1Q * load<4>(r2 + y) * aQP);
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
// short it is. Jump counts j >= i0, below only some lanes' i, run last with the other lanes'
// terms left out (an added +0.0 leaves a sum as it is: a sum of these terms is never -0.0).
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
    for (std::int32_t j = 1; j < i0; ++j) {
        const std::int32_t d0 = i0 - j;  // lane L has d = d0 + L >= 1
        const V binomIJ = load<4>(table + j * kBinomialRow + d0);
        const V r2P = load<4>(r2 + d0), r1Q = load<4>(r1 + d0);
        const V pq = powP[j] * load<4>(powQ + d0), qp = powQ[j] * load<4>(powP + d0);
        for (std::int32_t y = 0; y < j; ++y) {
            const V b = binomIJ * load<4>(table + y * kBinomialRow + (d0 - 1));
            double *accP = P + 4 * (j - y);
            double *accQ = Q + 4 * (j - y);
            store<4>(accP, load<4>(accP) + b * r1[y] * r2P * pq);
            store<4>(accQ, load<4>(accQ) + b * r1Q * r2[y] * qp);
        }
    }
    for (std::int32_t j = i0; j < top; ++j) {
        // Lanes with d = i0 + L - j >= 1 take part; the others read d = 1 and add +0.0.
        std::int32_t d[4];
        double taking[4], bIJ[4], r2Ps[4], r1Qs[4], pqs[4], qps[4];
        for (int L = 0; L < 4; ++L) {
            taking[L] = i0 + L - j >= 1 ? 1.0 : 0.0;
            d[L] = i0 + L - j >= 1 ? i0 + L - j : 1;
            bIJ[L] = table[j * kBinomialRow + d[L]];
            r2Ps[L] = r2[d[L]];
            r1Qs[L] = r1[d[L]];
            pqs[L] = powP[j] * powQ[d[L]];
            qps[L] = powQ[j] * powP[d[L]];
        }
        const V take = load<4>(taking), binomIJ = load<4>(bIJ);
        const V r2P = load<4>(r2Ps), r1Q = load<4>(r1Qs), pq = load<4>(pqs), qp = load<4>(qps);
        for (std::int32_t y = 0; y < j; ++y) {
            double row[4];
            for (int L = 0; L < 4; ++L) {
                row[L] = table[y * kBinomialRow + d[L] - 1];
            }
            const V b = binomIJ * load<4>(row);
            double *accP = P + 4 * (j - y);
            double *accQ = Q + 4 * (j - y);
            store<4>(accP, load<4>(accP) + lanes::select(take != 0.0, b * r1[y] * r2P * pq, V{}));
            store<4>(accQ, load<4>(accQ) + lanes::select(take != 0.0, b * r1Q * r2[y] * qp, V{}));
        }
    }
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
    coefficient_vectors_body(i, P, Q, stride, powP, powQ, r1, r2);
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
    coefficients(i, P, Q, stride, powP_, powQ_, powR1_, powR2_);
#else
    coefficients_baseline(i, P, Q, stride, powP_, powQ_, powR1_, powR2_);
#endif
}

void JumpCoefficients::of_jump_counts(std::int32_t first, double *P, double *Q) const {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const CoefficientsFn coefficients = pick_coefficient_lanes();  // once per process
    coefficients(first, P, Q, powP_, powQ_, powR1_, powR2_);
#else
    coefficient_lanes_baseline(first, P, Q, powP_, powQ_, powR1_, powR2_);
#endif
}

}  // namespace kou

#include "jump_coefficients.h"

#include <cmath>

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
    std::int32_t i, double *P, double *Q, const double *powP, const double *powQ,
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
        P[k] = sumP[i - k];
        Q[k] = sumQ[i - k];
    }
    P[i] = powP[i];
    Q[i] = powQ[i];
}

void coefficients_baseline(std::int32_t i, double *P, double *Q, const double *powP,
                           const double *powQ, const double *r1, const double *r2) {
    coefficients_body(i, P, Q, powP, powQ, r1, r2);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("avx2"))) void coefficients_avx2(std::int32_t i, double *P, double *Q,
                                                       const double *powP, const double *powQ,
                                                       const double *r1, const double *r2) {
    coefficients_body(i, P, Q, powP, powQ, r1, r2);
}

using CoefficientsFn = void (*)(std::int32_t, double *, double *, const double *,
                                const double *, const double *, const double *);

CoefficientsFn pick_coefficients() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &coefficients_avx2 : &coefficients_baseline;
}
#endif

}  // namespace

void JumpCoefficients::of_jump_count(std::int32_t i, double *P, double *Q) const {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const CoefficientsFn coefficients = pick_coefficients();  // once per process
    coefficients(i, P, Q, powP_, powQ_, powR1_, powR2_);
#else
    coefficients_baseline(i, P, Q, powP_, powQ_, powR1_, powR2_);
#endif
}

}  // namespace kou

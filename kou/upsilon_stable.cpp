#include "upsilon_stable.h"

#include <cmath>

#include "jump_coefficients.h"
#include "options.h"
#include "special_functions.h"

namespace kou {

// Given i jumps, Kou's series splits the jump total into Erlang sums: with probability
// P(i, k) it is the sum G of k upward exponential sizes (rate eta1), with probability
// Q(i, k) minus the sum of k downward ones (rate eta2). With y = (a - muT) / (sigma sqrt T)
// and s = sigma sqrt T, conditioning on the diffusion gives
//   P(sZ + G >= a - muT) = Phi(-y) + E_k(eta1 s, y),
//   P(sZ - G >= a - muT) = Phi(-y) - E_k(eta2 s, -y),
// E_k as in erlang_tails: the Erlang tail exp(-x) sum_{j<k} x^j / j! integrated against
// the normal density, one completed square per power (this is Kou's derivation of his
// I_n, Kou 2002, Appendix B). Hence
//   Upsilon = pi_0 Phi(-y) + sum_i pi_i sum_k (P(i, k) g_up(k) + Q(i, k) g_down(k)),
// a sum of non-negative terms whose conditional probabilities lie in [0, 1]: it loses
// nothing to cancellation. The closed form reaches the same numbers through
// A = exp((eta s)^2 / 2) / (sqrt(2 pi) s) times I_n integrals of size exp(-(eta s)^2 / 2),
// each formed as a difference of two terms, and so loses exp((eta s)^2 / 2) ulp.
//
// Each E_k term is b^j Hh(j, x) times exp(b^2 / 2 - b y), x = b - y; the exponent is
// combined before it is taken: exp(b^2 / 2 - b y) = exp(x^2 / 2 - y^2 / 2). For x <= 0
// the recursion Hh(j) = (Hh(j - 2) - x Hh(j - 1)) / j adds positive numbers and runs
// upward; for x > 0 it is the minimal solution of that recursion and runs downward
// (Miller's algorithm), normalised by Hh(-1, x) exp(x^2 / 2) = 1. Both carry a binary
// scale so that no intermediate value over- or underflows.
namespace {

constexpr double kInvSqrt2Pi = 0.3989422804014327;  // 1 / sqrt(2 pi)
constexpr double kRescale = 0x1p-900;               // applied when a value passes kLarge
constexpr double kLarge = 0x1p+900;
const double kLogRescale = 900.0 * std::log(2.0);

// Upward: t_j = b^j Hh(j, x) e^(-L), t_j = (b^2 t_(j-2) - x b t_(j-1)) / j, from
// t_(-1) = e^(-x^2 / 2) / b and t_0 = Hh(0, x) with L = 0, and the common factor
// exp(x^2 / 2 - y^2 / 2) / sqrt(2 pi) taken in at the end together with the scale L.
// Used for x <= 0 and for small x > 0, where the recursion amplifies its rounding by at
// most exp(2 x sqrt(2 j)) <= e^4.
void upward(std::int32_t count, double b, double x, double y, double *out) {
    const double common = 0.5 * x * x - 0.5 * y * y;  // log of the common factor
    double before = std::exp(-0.5 * x * x) / b;
    double last = 0.5 * std::erfc(x / kSqrt2) / kInvSqrt2Pi;  // Hh(0, x) = sqrt(2 pi) Phi(-x)
    double L = 0.0;
    double sum = 0.0;
    for (std::int32_t j = 0; j < count; ++j) {
        if (j > 0) {
            const double next = (b * b * before - x * b * last) / j;
            before = last;
            last = next;
            if (std::fabs(last) > kLarge) {
                last *= kRescale;
                before *= kRescale;
                sum *= kRescale;
                L += kLogRescale;
            }
        }
        sum += last;
        out[j] = sum * std::exp(common + L) * kInvSqrt2Pi;
    }
}

// Downward (Miller): H_j = Hh(j, x) exp(x^2 / 2) obeys H_(j-2) = j H_j + x H_(j-1), all
// terms positive for x > 0; started at J from (1, 0) it converges to the minimal solution
// with a relative error about exp(-2 x (sqrt(2 J) - sqrt(2 k))) at order k. H_(-1) = 1
// fixes the scale, and t_j = exp(-y^2 / 2 + j log b) H_j / sqrt(2 pi).
void downward(std::int32_t count, double b, double x, double y, double *out) {
    const double start = std::sqrt(2.0 * count) + 20.0 / x;
    const std::int32_t J = static_cast<std::int32_t>(std::ceil(0.5 * start * start)) + 40;
    double stored[kLastFiniteFactorial], scaleAt[kLastFiniteFactorial];
    double above = 0.0;  // H_(j+1)
    double here = 1.0;   // H_j
    double L = 0.0;      // computed value = value started from (1, 0) times e^L
    for (std::int32_t j = J; j >= 0; --j) {
        if (j < count) {
            stored[j] = here;
            scaleAt[j] = L;
        }
        const double below = (j + 1.0) * above + x * here;  // H_(j-1)
        above = here;
        here = below;
        if (here > kLarge) {
            here *= kRescale;
            above *= kRescale;
            L -= kLogRescale;
        }
    }
    // here = H_(-1) as computed; its true value is 1.
    const double logB = std::log(b);
    const double common = -0.5 * y * y;
    double sum = 0.0;
    for (std::int32_t j = 0; j < count; ++j) {
        sum += stored[j] / here * std::exp(L - scaleAt[j] + common + j * logB) * kInvSqrt2Pi;
        out[j] = sum;
    }
}

}  // namespace

void erlang_tails(std::int32_t count, double b, double y, double *out) {
    const double x = b - y;
    const bool up = x * std::sqrt(2.0 * count) <= 2.0;
    // Every term below exp(-750) (they are at most exp(common) b^j Hh(j, x) with
    // Hh(j, x) <= sqrt(2 pi) (2 (|x| + sqrt j + 1))^j for x <= 0 and exp(-x^2 / 2) for
    // x > 0): the tails are zero, and the recursions are not run where their steps could
    // overflow.
    const double growth =
        up ? 0.5 * x * x - 0.5 * y * y +
                 count * std::fmax(0.0, std::log(2.0 * b * (std::fabs(x) + std::sqrt(count) + 1.0)))
           : -0.5 * y * y + count * std::fmax(0.0, std::log(b));
    if (!(growth + 1.0 >= -750.0)) {
        for (std::int32_t j = 0; j < count; ++j) {
            out[j] = 0.0;
        }
        return;
    }
    if (up) {
        upward(count, b, x, y, out);
    } else {
        downward(count, b, x, y, out);
    }
}

double upsilon_stable(double mu, double sigma, double lam, double p, double eta1, double eta2,
                      double a, double T, std::int32_t n) {
    const double s = sigma * std::sqrt(T);
    const double y = (a - mu * T) / s;
    const double tail = 0.5 * std::erfc(y / kSqrt2);  // Phi(-y): the level reached without jumps
    const double lamT = lam * T;
    const double *tg = tgamma_of_integers();

    // Poisson weights from logarithms, so that neither exp(-lam T) nor (lam T)^i under- or
    // overflows on its own. Where lam T itself overflows (a finite lam and T whose product
    // does not fit, or the share measure's lam (1 + zeta)), every weight of a finite jump
    // count is 0 (the logarithms would give inf - inf).
    auto weight = [&](std::int32_t i) {
        if (lamT == 0.0) {
            return i == 0 ? 1.0 : 0.0;
        }
        if (lamT == kInfinity) {
            return 0.0;
        }
        return std::exp(static_cast<double>(i) * std::log(lamT) - lamT - std::log(tg[i + 1]));
    };
    double result = weight(0) * tail;
    if (n <= 0) {
        return result;
    }
    double up[kLastFiniteFactorial], down[kLastFiniteFactorial];
    erlang_tails(n, eta1 * s, y, up);
    erlang_tails(n, eta2 * s, -y, down);
    const JumpCoefficients coef(p, eta1, eta2, n);
    for (std::int32_t i = 1; i <= n; ++i) {
        double P[kLastFiniteFactorial + 1], Q[kLastFiniteFactorial + 1];
        coef.of_jump_count(i, P, Q);
        double conditional = 0.0;  // P(X(T) >= a | i jumps)
        for (std::int32_t k = 1; k <= i; ++k) {
            conditional += P[k] * (tail + up[k - 1]) + Q[k] * (tail - down[k - 1]);
        }
        result += weight(i) * conditional;
    }
    return result;
}

}  // namespace kou

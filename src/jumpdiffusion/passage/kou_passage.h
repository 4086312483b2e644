// First passage of Kou's jump-diffusion above a level, by numerical inversion of its
// Laplace transform in the maturity.
//
// tau_b = inf{t : X_t >= b}, b > 0. The overshoot at tau_b is 0 (the diffusion creeps) or
// exponential of rate eta1, independent of tau_b, and for Re alpha > 0
//   E[exp(-alpha tau_b)] = c1 exp(-b beta1) + c2 exp(-b beta2),
//   c1 = (eta1 - beta1)/eta1 beta2/(beta2 - beta1), c2 = (beta2 - eta1)/eta1 beta1/(beta2 - beta1)
// with beta1, beta2 the roots of G(x) = alpha with positive real part (kou_roots.h; S. G.
// Kou and H. Wang, Adv. Appl. Prob. 35 (2003), Theorem 3.1). Evaluated here as
//   exp(-b beta2) + exp(-b beta1) b phi(-b (beta2 - beta1)) beta2 (1 - beta1/eta1),
// phi(z) = (exp(z) - 1)/z, the roots ordered so that Re(beta2 - beta1) >= 0: the same
// value, without the cancellation of the two terms where the roots are close, exact at
// lam = 0 (beta2 = eta1: exp(-b beta1)) and at b = 0 (1), and no overflow.
//
// The value of f(T) = E[exp(-rate tau_b); tau_b <= T] has the transform
// E[exp(-(alpha + rate) tau_b)] / alpha (Kou and Wang 2004, Management Science 50(9)):
// rate 0 gives P(max_{t <= T} X_t >= b), rate r a one-touch paid at the hit. It is
// inverted by Abate and Whitt's Euler algorithm ("Numerical inversion of Laplace
// transforms of probability distributions", ORSA J. Computing 7 (1995)): the trapezoidal
// rule on the Bromwich line Re alpha = A / (2T), its alternating tail summed by binomial
// (Euler) averaging of the partial sums n .. n + m (n = 22, m = 15: 38 transform values per
// maturity, shared by every level; kFine: 69).
//
// The rule's discretisation error is exactly sum_{j >= 1} exp(-j A) f((2j + 1) T) exp(-2 j
// kappa T) (the Poisson summation of the trapezoidal rule; kappa the shift below), and its
// round-off about exp(A / 2) eps times the terms. So the value is taken at A = 18, where the
// round-off is some 1e-13 of a probability, less exp(-18 - 2 kappa T) f(3T) with f(3T) from a
// coarse inversion (A = 14, n = 10, m = 8: 19 values; it needs only some 1e-5), which leaves
// exp(-36) of the discretisation: at lam = 0 the value is within 1e-12 of the closed forms
// where f is smooth in T (tests). Its error is vouched for by two estimates, each catching what
// the other cannot:
// - the same, corrected, at A = 22: discretisation, round-off and the roots on other nodes;
// - the same nodes with the averaging started a term earlier (n - 1): the tail's truncation,
//   which moves little with A where f is nearly a step in T (a level the drift reaches at a
//   nearly fixed time, sigma sqrt(T) small beside it; measured against 20,000 closed forms at
//   lam = 0 down to sigma = 0.005, the first estimate alone missed such errors by up to 40x).
// The bound is twice their sum. Measured: against de Hoog's inversion at 30 and 40 digits
// (bench, tests; 130 sets over the whole domain) every error within 0.55 of its bound; against
// the lam = 0 closed forms (those 20,000 sets) one error of 19,900 returned above its bound, by
// 1.2x, and none above 5e-10. The callers try the fine rule where the bound is wider than the
// value may carry. The transform is shifted (f exp(-kappa T), kappa = max(0, -rate, shift)) so
// that every node keeps Re(alpha + rate) > 0 and, for the moments, Re alpha > G(1).
#pragma once

#include "kou_roots.h"

namespace passage {

// The Euler rule: n terms, then m more averaged.
struct EulerRule {
    int n, m;
    int terms() const { return n + m + 1; }
};
// A value's rules: at its maturity, and the coarse one at three times it (the aliasing
// correction). Where a value's bound is wider than it may carry, the callers try kFine.
struct Inversion {
    EulerRule rule, coarse;
};
constexpr Inversion kStandard{{22, 15}, {10, 8}}, kFine{{40, 28}, {20, 16}};
constexpr int kMaxEulerTerms = 69;
constexpr double kEulerA = 18.0, kEulerSecondA = 22.0, kCoarseA = 14.0;
constexpr double kPi = 3.141592653589793;

// f(T) = exp(A/2) / T * sum_k euler_weight(k, rule) Re F(euler_node(A, T, k)), k < terms: the
// node (A + 2 pi i k) / (2T) and the weight (-1)^k (1/2 at k = 0) times the share of the
// averaged partial sums that take term k (0 beyond them: the rule n - 1 over rule n's nodes).
double euler_weight(int k, EulerRule rule);
// The weights of every term of a rule (terms() of them), and of the rule n - 1 over its nodes.
void euler_weights(EulerRule rule, double *weight, double *shorter);

// An inversion's value by rule n and, over the same nodes, by rule n - 1.
struct Inverse {
    double value, shorter;
};
Complex euler_node(double A, double T, int k);

// (exp(z) - 1) / z, without cancellation near 0; e = exp(z). Inline: passed by value to a
// call, complex arguments go through the stack (a store-forwarding stall).
[[gnu::always_inline]] inline Complex phi(Complex z, Complex e) {
    if (std::norm(z) < 0.25) {  // |z| < 0.5, without hypot
        Complex term = 1.0, sum = 1.0;
        for (int k = 2; k <= 18; ++k) {
            term *= z / static_cast<double>(k);
            sum += term;
        }
        return sum;
    }
    return divide(e - 1.0, z);
}

// The running maximum's exponential moments, for lookbacks: with M_T = max_{t <= T} X_t,
// H(theta, k) = integral_k^inf exp(theta b) P(M >= b) db, so that
//   E[exp(M_T)] = 1 + H(1, 0),   E[(exp(M_T) - exp(k))+] = H(1, k),
//   E[exp(-M_T)] = 1 - H(-1, 0), E[(exp(-k) - exp(-M_T))+] = H(-1, k)     (k >= 0).
// At an exponential time of rate alpha, P(M >= b) = c1 exp(-b beta1) + c2 exp(-b beta2), so
//   H = c1 exp(-(beta1 - theta) k)/(beta1 - theta) + c2 exp(-(beta2 - theta) k)/(beta2 - theta)
//     = -(beta1 beta2 / eta1) exp(theta k) (-(eta1/theta) D_0 + ((eta1 - theta)/theta) D_theta),
// D_s the divided difference at beta1, beta2 of exp(-k x)/(x - s) (the partial fractions of
// (eta1 - x)/(x (x - theta))): symmetric in the roots and free of their cancellation; at
// k = 0, 1 + H(1, 0) = (eta1 - 1) beta1 beta2 / (eta1 (beta1 - 1)(beta2 - 1)) (Kou and Wang
// 2004, for alpha > G(1): the nodes are shifted so that Re alpha > max(0, G(1))).

// What every level of one law, maturity, rate and A shares: the nodes and their roots.
// shift, where positive, moves every node right by it at least (moment(1, k) needs
// Re alpha > G(1)).
class UpPassage {
public:
    UpPassage(const KouLaw &law, double T, double rate, double A, double shift = 0.0, EulerRule rule = kStandard.rule);
    bool ok() const { return ok_; }
    // exp(-A - 2 kappa T): the weight of f(3T) in this inversion's discretisation error.
    double aliasing() const { return aliasing_; }
    // f(T) for the level b >= 0.
    Inverse value(double b) const;
    // The inverse of H(theta, k) / alpha at T, theta = 1 or -1, k >= 0 (rate 0).
    Inverse moment(double theta, double k) const;

private:
    Complex beta1_[kMaxEulerTerms], beta2_[kMaxEulerTerms], inverse_[kMaxEulerTerms];  // roots, 1 / alpha
    double weight_[kMaxEulerTerms], shorter_[kMaxEulerTerms];  // Euler's weights, rules n and n - 1
    double eta1_, scale_, aliasing_;
    int terms_;
    bool ok_ = true;
};

}  // namespace passage

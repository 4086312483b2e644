// The roots of Kou's Levy exponent equation G(x) = alpha, for real and complex alpha.
//
// For X_t = mu t + sigma W_t + (sum of N_t double-exponential jumps), N Poisson of rate lam,
// a jump upward with probability p (rate eta1) and downward otherwise (rate eta2),
//   G(x) = mu x + sigma^2 x^2 / 2 + lam (p eta1 / (eta1 - x) + (1 - p) eta2 / (eta2 + x) - 1),
// so that E[exp(x X_t)] = exp(t G(x)) (S. G. Kou and H. Wang, "First passage times of a jump
// diffusion process", Adv. Appl. Prob. 35 (2003) 504-531). Multiplied by (eta1 - x)(eta2 + x),
// G(x) = alpha is the quartic Q(x) = 0 with
//   Q(x) = -(sigma^2/2) x^4 + (sigma^2/2 (eta1 - eta2) - mu) x^3
//          + (lam + alpha + mu (eta1 - eta2) + sigma^2/2 eta1 eta2) x^2
//          + (mu eta1 eta2 - (lam + alpha)(eta1 - eta2) + lam (p eta1 - (1 - p) eta2)) x
//          - alpha eta1 eta2.
// For Re alpha > 0 exactly two roots have a positive real part (for real alpha > 0 they
// are real, 0 < beta1 < eta1 < beta2) and two a negative one: Re G(iy) <= 0 on the
// imaginary axis, so no root crosses it while Re alpha > 0. What the first-passage laws
// need are symmetric functions of the two positive-side roots, so they are returned as a
// pair without a labelling that could jump along a contour.
#pragma once

#include <cmath>
#include <complex>

namespace passage {

using Complex = std::complex<double>;

// The modulus and the quotient by the plain formulas, not the library's careful ones (hypot,
// and __divdc3's scaling, cost more than the arithmetic around them): every magnitude here
// stays far inside the double's range (at most about 1e6, squares 1e12), where the plain
// formulas lose nothing to overflow or underflow; they differ from the careful ones in the
// last bit only.
inline double magnitude(Complex z) { return std::sqrt(std::norm(z)); }
inline Complex divide(Complex a, Complex b) {
    const double scale = 1.0 / std::norm(b);
    const Complex t = a * std::conj(b);
    return Complex(t.real() * scale, t.imag() * scale);
}

// Newton's starting points for the roots at node k of the equally spaced Euler nodes: the
// roots of the last three nodes (roots, last, before) extrapolated quadratically, of the last
// two linearly, of the last as they are; the history then moves on by a node.
inline void next_guess(int k, int count, const Complex *roots, Complex *last, Complex *before, Complex *guess) {
    for (int i = 0; i < count && k > 0; ++i) {
        guess[i] = k > 2 ? 3.0 * (roots[i] - last[i]) + before[i] : k > 1 ? 2.0 * roots[i] - last[i] : roots[i];
    }
    for (int i = 0; i < count; ++i) {
        before[i] = last[i];
        last[i] = roots[i];
    }
}

struct KouLaw {
    double mu, sigma, lam, p, eta1, eta2;
};

// The same law seen from the other side: -X, whose upward jumps are X's downward ones.
inline KouLaw mirrored(const KouLaw &law) {
    return {-law.mu, law.sigma, law.lam, 1.0 - law.p, law.eta2, law.eta1};
}

// The four roots of Q: from `guess` (the roots at a nearby alpha, in this order) by
// Newton's method on each, where that converges within 12 steps to four distinct roots two
// and two about the imaginary axis; otherwise (and without a guess) by the Aberth-Ehrlich
// simultaneous iteration (cubically convergent), to a relative correction of 1e-14; false
// where it has not converged in 80 iterations or the roots do not split two and two. roots[0], roots[1] are the two with a positive real
// part, roots[2], roots[3] the others.
bool kou_roots(Complex alpha, const KouLaw &law, Complex roots[4], const Complex *guess = nullptr);

// The two roots with a positive real part alone, by Newton's method on Q from `guess` (those
// at a nearby alpha), where it converges to two distinct roots on that side within 12
// steps; otherwise by kou_roots. false where neither finds them.
bool kou_positive_roots(Complex alpha, const KouLaw &law, Complex roots[2], const Complex *guess);

}  // namespace passage

#include "kou_roots.h"

#include <algorithm>
#include <cmath>

namespace passage {

namespace {

// Q(x) / leading coefficient: x^4 + a[3] x^3 + a[2] x^2 + a[1] x + a[0].
struct Monic {
    Complex a[4];
    void value_and_slope(Complex x, Complex &q, Complex &dq) const {
        q = x + a[3];
        dq = 1.0;
        for (int k = 2; k >= 0; --k) {
            dq = dq * x + q;
            q = q * x + a[k];
        }
    }
    // Whether Q(x) is within its own rounding: |Q(x)| <= 32 eps sum_k |a_k| |x|^k (a bound on
    // Horner's error in complex arithmetic for the quartic), so that no step can improve x.
    bool at_rounding(Complex x) const {
        Complex q, dq;
        value_and_slope(x, q, dq);
        const double r = magnitude(x);
        double size = r + magnitude(a[3]);
        for (int k = 2; k >= 0; --k) size = size * r + magnitude(a[k]);
        return magnitude(q) <= 32.0 * 2.220446049250313e-16 * size;
    }
};

Monic monic_quartic(Complex alpha, const KouLaw &law) {
    const double half = 0.5 * law.sigma * law.sigma;
    const double e1 = law.eta1, e2 = law.eta2, mu = law.mu, lam = law.lam;
    const Complex c = lam + alpha;
    const double q4 = -half;
    const Complex q3 = half * (e1 - e2) - mu;
    const Complex q2 = c + mu * (e1 - e2) + half * (e1 * e2);
    const Complex q1 = mu * (e1 * e2) - c * (e1 - e2) + lam * (law.p * e1 - (1.0 - law.p) * e2);
    const Complex q0 = -alpha * (e1 * e2);
    return Monic{{q0 / q4, q1 / q4, q2 / q4, q3 / q4}};
}

// Newton's method on each root from its guess; true where all converge to four distinct
// roots that split two and two about the imaginary axis (the guesses' order kept). The roots'
// iterations are interleaved, a step of each in turn: each root takes the same steps as alone,
// but their chains of dependent operations (a division each step) overlap.
bool newton_roots(const Monic &poly, const Complex *guess, Complex *z, int count) {
    constexpr double kTolerance = 1e-14;
    bool done[4] = {false, false, false, false};
    int open = count;
    for (int i = 0; i < count; ++i) z[i] = guess[i];
    for (int step = 0; step < 12 && open > 0; ++step) {
        for (int i = 0; i < count; ++i) {
            if (done[i]) continue;
            Complex q, dq;
            poly.value_and_slope(z[i], q, dq);
            if (q == 0.0) {  // an exact root
                done[i] = true;
                --open;
                continue;
            }
            const Complex change = divide(q, dq);
            z[i] -= change;
            if (std::norm(change) <= kTolerance * kTolerance * std::norm(z[i])) {  // |change| <= tol |x|
                done[i] = true;
                --open;
            }
        }
    }
    // Only a root at the quartic's rounding may stop short of the tolerance: its steps are
    // rounding noise (the coefficients of very unequal roots, a huge eta beside the others).
    for (int i = 0; i < count; ++i) {
        if (!done[i] && !poly.at_rounding(z[i])) return false;
    }
    // Distinct: |z_i - z_j|^2 > 2e-12 (|z_i|^2 + |z_j|^2), which implies |z_i - z_j| > 1e-6 (|z_i| +
    // |z_j|), without a square root.
    double size[4];
    for (int i = 0; i < count; ++i) size[i] = std::norm(z[i]);
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < i; ++j) {
            if (!(std::norm(z[i] - z[j]) > 2e-12 * (size[i] + size[j]))) return false;
        }
    }
    return true;
}

// Without jumps the quartic is (eta1 - x)(eta2 + x)((sigma^2/2) x^2 + mu x - alpha): its roots
// are eta1, -eta2 and the diffusion's two, (-mu +- D) / sigma^2 with D = sqrt(mu^2 + 2 sigma^2
// alpha) (Re D > 0), the one of them that cancels formed from their product -2 alpha / sigma^2.
// Exact where the iteration would meet a spurious near-double root (a diffusion root beside
// eta1 or -eta2) and lose digits to it.
void diffusion_roots(Complex alpha, const KouLaw &law, Complex roots[4]) {
    const double s2 = law.sigma * law.sigma, mu = law.mu;
    const Complex D = std::sqrt(mu * mu + 2.0 * s2 * alpha);
    Complex up, down;
    if (mu >= 0.0) {
        down = -(mu + D) / s2;
        up = divide(2.0 * alpha, mu + D);
    } else {
        up = (D - mu) / s2;
        down = -divide(2.0 * alpha, D - mu);
    }
    roots[0] = up;
    roots[1] = law.eta1;
    roots[2] = down;
    roots[3] = -law.eta2;
}

}  // namespace

bool kou_roots(Complex alpha, const KouLaw &law, Complex roots[4], const Complex *guess) {
    if (law.lam == 0.0) {
        diffusion_roots(alpha, law, roots);
        return roots[0] != roots[1] && roots[2] != roots[3];
    }
    const Monic poly = monic_quartic(alpha, law);
    Complex z[4];
    if (guess && newton_roots(poly, guess, z, 4) && z[0].real() > 0.0 && z[1].real() > 0.0 &&
        z[2].real() < 0.0 && z[3].real() < 0.0) {
        std::copy(z, z + 4, roots);
        return true;
    }
    if (guess) {
        std::copy(guess, guess + 4, z);
    } else {
        // The diffusion's two roots and the two jump poles, slightly apart: where the roots
        // are for a small or a large jump intensity; the iteration finds them from there.
        const double s2 = law.sigma * law.sigma;
        const Complex disc = std::sqrt(law.mu * law.mu + 2.0 * s2 * (alpha + law.lam));
        z[0] = (-law.mu + disc) / s2;
        z[1] = law.eta1 * Complex(1.0 + 1e-3, 1e-3);
        z[2] = (-law.mu - disc) / s2;
        z[3] = -law.eta2 * Complex(1.0 + 1e-3, -1e-3);
        for (int i = 0; i < 4; ++i) {  // distinct starting points
            for (int j = 0; j < i; ++j) {
                if (magnitude(z[i] - z[j]) <= 1e-9 * (magnitude(z[i]) + 1.0)) z[i] *= Complex(1.0 + 1e-2, 1e-2);
            }
        }
    }
    constexpr double kTolerance = 1e-14;
    bool converged = false;
    for (int iteration = 0; iteration < 80 && !converged; ++iteration) {
        converged = true;
        for (int i = 0; i < 4; ++i) {
            Complex q, dq;
            poly.value_and_slope(z[i], q, dq);
            if (q == 0.0) continue;
            const Complex ratio = divide(q, dq);
            Complex repulsion = 0.0;
            for (int j = 0; j < 4; ++j) {
                if (j != i) repulsion += divide(1.0, z[i] - z[j]);
            }
            const Complex step = divide(ratio, 1.0 - ratio * repulsion);
            z[i] -= step;
            if (!(std::norm(step) <= kTolerance * kTolerance * std::norm(z[i]))) converged = false;
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (!std::isfinite(z[i].real()) || !std::isfinite(z[i].imag())) return false;
    }
    // Steps that stay above the tolerance at the quartic's rounding are noise: the roots are
    // as accurate as its coefficients allow.
    if (!converged) {
        converged = true;
        for (int i = 0; i < 4; ++i) converged = converged && poly.at_rounding(z[i]);
    }
    std::sort(z, z + 4, [](const Complex &a, const Complex &b) { return a.real() > b.real(); });
    if (!(z[1].real() > 0.0 && z[2].real() < 0.0)) return false;
    std::copy(z, z + 4, roots);
    return converged;
}

bool kou_positive_roots(Complex alpha, const KouLaw &law, Complex roots[2], const Complex *guess) {
    Complex z[2];
    if (law.lam == 0.0) {
        Complex all[4];
        diffusion_roots(alpha, law, all);
        roots[0] = all[0];
        roots[1] = all[1];
        return true;
    }
    if (guess && newton_roots(monic_quartic(alpha, law), guess, z, 2) && z[0].real() > 0.0 && z[1].real() > 0.0) {
        roots[0] = z[0];
        roots[1] = z[1];
        return true;
    }
    Complex all[4];
    if (!kou_roots(alpha, law, all)) {
        return false;
    }
    roots[0] = all[0];
    roots[1] = all[1];
    return true;
}

}  // namespace passage

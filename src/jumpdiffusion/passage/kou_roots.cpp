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
// roots that split two and two about the imaginary axis (the guesses' order kept).
bool newton_roots(const Monic &poly, const Complex *guess, Complex *z, int count) {
    constexpr double kTolerance = 1e-14;
    for (int i = 0; i < count; ++i) {
        Complex x = guess[i];
        bool converged = false;
        for (int step = 0; step < 12 && !converged; ++step) {
            Complex q, dq;
            poly.value_and_slope(x, q, dq);
            if (q == 0.0) break;
            const Complex change = divide(q, dq);
            x -= change;
            converged = std::norm(change) <= kTolerance * kTolerance * std::norm(x);  // |change| <= tol |x|
        }
        if (!converged) {  // only an exact root (Q = 0) may stop short of the tolerance
            Complex q, dq;
            poly.value_and_slope(x, q, dq);
            if (q != 0.0) return false;
        }
        z[i] = x;
    }
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < i; ++j) {
            if (!(magnitude(z[i] - z[j]) > 1e-6 * (magnitude(z[i]) + magnitude(z[j])))) return false;
        }
    }
    return true;
}

}  // namespace

bool kou_roots(Complex alpha, const KouLaw &law, Complex roots[4], const Complex *guess) {
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
    std::sort(z, z + 4, [](const Complex &a, const Complex &b) { return a.real() > b.real(); });
    if (!(z[1].real() > 0.0 && z[2].real() < 0.0)) return false;
    std::copy(z, z + 4, roots);
    return converged;
}

bool kou_positive_roots(Complex alpha, const KouLaw &law, Complex roots[2], const Complex *guess) {
    Complex z[2];
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

#include "kou_fourier.h"

#include <cmath>
#include <limits>

namespace jumpdiffusion {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kNodes = 16;          // Gauss-Legendre nodes per panel
constexpr double kTailTolerance = 1e-14;
constexpr double kEllipse = 4.0;    // Bernstein ellipse parameter rho of every panel

// Nodes and weights of the kNodes-point Gauss-Legendre rule on [-1, 1], by Newton's method
// on the Legendre polynomial from the usual cosine guesses; formed once per process.
struct GaussLegendre {
    double node[kNodes], weight[kNodes];
    GaussLegendre() {
        for (int i = 0; i < kNodes; ++i) {
            double x = std::cos(kPi * (i + 0.75) / (kNodes + 0.5));
            double derivative = 1.0;
            for (int iteration = 0; iteration < 100; ++iteration) {
                double p0 = 1.0, p1 = x;
                for (int k = 2; k <= kNodes; ++k) {
                    const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
                    p0 = p1;
                    p1 = p2;
                }
                derivative = kNodes * (x * p1 - p0) / (x * x - 1.0);
                const double step = p1 / derivative;
                x -= step;
                if (std::fabs(step) < 1e-17) {
                    break;
                }
            }
            node[i] = x;
            weight[i] = 2.0 / ((1.0 - x * x) * derivative * derivative);
        }
    }
};

const GaussLegendre &rule() {
    static const GaussLegendre instance;
    return instance;
}

// Neumaier's compensated sum: the panels' contributions add up with an error of a few
// ulp of their absolute sum, however many panels there are.
struct CompensatedSum {
    double sum = 0.0, correction = 0.0;
    void add(double x) {
        const double t = sum + x;
        correction += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + correction; }
};

struct Integrand {
    double T, sigma2Half, lam, p, q, eta1, eta2, a1, a2, x;
    // The exponent E(u) = T c g(u) of the modulus exp(-E) (increasing in u).
    double exponent(double u) const {
        const double c = u * u + 0.25;
        const double alpha = p / ((eta1 - 1.0) * (a1 * a1 + u * u));
        const double beta = q / ((eta2 + 1.0) * (a2 * a2 + u * u));
        return T * c * (sigma2Half + lam * (a1 * alpha + a2 * beta));
    }
    // Re[exp(iux) phi(u - i/2)] / c and Re[exp(iux) phi(u - i/2) / (1/2 - iu)].
    void values(double u, double &price, double &delta) const {
        const double c = u * u + 0.25;
        const double alpha = p / ((eta1 - 1.0) * (a1 * a1 + u * u));
        const double beta = q / ((eta2 + 1.0) * (a2 * a2 + u * u));
        const double modulus = std::exp(-(T * c * (sigma2Half + lam * (a1 * alpha + a2 * beta))));
        const double phase = u * x + T * c * u * (lam * (beta - alpha));
        const double cosine = std::cos(phase), sine = std::sin(phase);
        price = modulus * cosine / c;
        delta = modulus * (0.5 * cosine - u * sine) / c;
    }
};

}  // namespace

// Error bound. For |Im u| <= delta < 1/2, phi(u - i/2) is E[exp(theta X)] with theta in
// [0, 1] in modulus at most, and that moment generating function is convex in theta and
// 1 at theta = 0 and 1: |phi| <= 1. So both integrands are analytic there and bounded by
// M = exp(|x| delta) / (1/2 - delta)^2. A panel of half-width h whose Bernstein ellipse
// rho has semi-minor axis h (rho - 1/rho) / 2 = delta integrates them with an error at most
// (64/15) M h rho^(-2n) / (rho^2 - 1) (L. N. Trefethen, "Is Gauss quadrature better than
// Clenshaw-Curtis?", SIAM Review 50 (2008), Theorem 4.5), n nodes. The tails beyond the
// cut U are at most exp(-E(U)) / U (price) and exp(-E(U)) / (sigma^2 T U^2) (delta),
// since E(u) >= E(U) + sigma^2 T (u^2 - U^2) / 2.
FourierCall kou_call_fourier(double spot, double K, double T, double r, double sigma, double lam,
                             double p, double eta1, double eta2) {
    const double discounted = K * std::exp(-r * T);
    const double x = std::log(spot / discounted);
    const Integrand f{T, 0.5 * sigma * sigma, lam, p, 1.0 - p, eta1, eta2, eta1 - 0.5, eta2 + 0.5, x};

    // delta = min(1/4, 1/|x|): exp(|x| delta) <= e.
    const double strip = std::fmin(0.25, 1.0 / std::fmax(std::fabs(x), 1e-300));
    const double halfWidth = 2.0 * strip / (kEllipse - 1.0 / kEllipse);
    const double bandBound = std::exp(std::fabs(x) * strip) / ((0.5 - strip) * (0.5 - strip));
    const double perHalfWidth =
        (64.0 / 15.0) * bandBound * std::pow(kEllipse, -2.0 * kNodes) / (kEllipse * kEllipse - 1.0);

    // The cut: grown until both tails are below the tolerance (relative to S' + K' and,
    // for delta, to 1 + K'/S': sqrt(S'K') <= (S' + K') / 2).
    const double logTolerance = std::log(kPi * kTailTolerance);
    const double quadratic = sigma * sigma * T;
    double U = 1.0;
    long panels = 0;
    for (;;) {
        const double E = f.exponent(U);
        if (-E - std::log(U) <= logTolerance &&
            -E - std::log(quadratic * U * U) <= logTolerance) {
            break;
        }
        U *= 1.25;
        if (U > 2.0 * halfWidth * static_cast<double>(kMaxPanels)) {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            return {nan, nan, nan};
        }
    }
    panels = static_cast<long>(std::ceil(U / (2.0 * halfWidth)));
    const double h = U / (2.0 * static_cast<double>(panels));

    const GaussLegendre &gl = rule();
    CompensatedSum price, delta;
    for (long j = 0; j < panels; ++j) {
        const double centre = (2.0 * static_cast<double>(j) + 1.0) * h;
        double panelPrice = 0.0, panelDelta = 0.0;
        for (int i = 0; i < kNodes; ++i) {
            double a, b;
            f.values(centre + h * gl.node[i], a, b);
            panelPrice += gl.weight[i] * a;
            panelDelta += gl.weight[i] * b;
        }
        price.add(h * panelPrice);
        delta.add(h * panelDelta);
    }
    const double root = std::sqrt(spot * discounted);
    FourierCall out;
    out.call = std::fmax(0.0, spot - root / kPi * price.value());
    out.delta = std::fmin(1.0, std::fmax(0.0, 1.0 - std::sqrt(discounted / spot) / kPi * delta.value()));
    // Quadrature, tails and the rounding of about (kNodes + 4) ulp of the absolute sum
    // (at most the integral of 1 / c, pi), all relative to S' + K'.
    const double quadrature = perHalfWidth * h * static_cast<double>(panels) / kPi;
    const double rounding = (kNodes + 4.0) * std::numeric_limits<double>::epsilon();
    out.bound = (quadrature + kTailTolerance + rounding) * (spot + discounted);
    return out;
}

}  // namespace jumpdiffusion

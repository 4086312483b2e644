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

// Error bound. For |Im u| <= delta, phi(u - i/2) is at most E[exp(theta X)] in modulus for
// some theta in [1/2 - delta, 1/2 + delta], and that moment generating function exp(T
// kappa(theta)) is convex in theta, 1 at theta = 0 and 1 (so at most 1 for delta <= 1/2),
// and finite for -eta2 < theta < eta1. A panel of half-width h whose Bernstein ellipse rho
// has semi-minor axis h (rho - 1/rho) / 2 = delta integrates an integrand analytic inside
// it and bounded by M with an error at most (64/15) M h rho^(-2n) / (rho^2 - 1) (L. N.
// Trefethen, "Is Gauss quadrature better than Clenshaw-Curtis?", SIAM Review 50 (2008),
// Theorem 4.5), n nodes. Near u = 0 the strip is delta0 = min(1/4, 1/|x|) < 1/2, where
// M = exp(|x| delta0) / (1/2 - delta0)^2 (the poles of 1 / c and 1 / (1/2 - iu) at +-i/2
// stay outside); from u = A on, where every ellipse keeps Re u >= 1 (so |c| >= 1), the
// strip widens to the largest delta (doubling) with |x| delta <= 2 and T kappa(1/2 +-
// delta) <= 2 inside the moment generating function's domain: M = e^4, and the panels
// grow with it (a small total variance, whose integrand reaches far, is a wide strip).
// The tails beyond the cut U are at most exp(-E(U)) / U (price) and exp(-E(U)) /
// (sigma^2 T U^2) (delta), since E(u) >= E(U) + sigma^2 T (u^2 - U^2) / 2.
FourierCall kou_call_fourier(double spot, double K, double T, double r, double sigma, double lam,
                             double p, double eta1, double eta2) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double discounted = K * std::exp(-r * T);
    const double x = std::log(spot / discounted);
    const double q = 1.0 - p;
    const Integrand f{T, 0.5 * sigma * sigma, lam, p, q, eta1, eta2, eta1 - 0.5, eta2 + 0.5, x};
    const double perRho = std::pow(kEllipse, -2.0 * kNodes) / (kEllipse * kEllipse - 1.0);
    const double ellipse = 2.0 / (kEllipse - 1.0 / kEllipse);  // half-width per unit of strip

    // The strips: delta0 near 0, and the widest one allowed from A on.
    const double near = std::fmin(0.25, 1.0 / std::fmax(std::fabs(x), 1e-300));
    const double nearBound = std::exp(std::fabs(x) * near) / ((0.5 - near) * (0.5 - near));
    const double zeta = p / (eta1 - 1.0) - q / (eta2 + 1.0);  // E[exp(Y)] - 1
    auto log_moment = [&](double theta) {  // T kappa(theta)
        return T * (0.5 * sigma * sigma * (theta * theta - theta) +
                    lam * (p * eta1 / (eta1 - theta) + q * eta2 / (eta2 + theta) - 1.0 - theta * zeta));
    };
    double wide = near;
    for (double d = 2.0 * near; d <= 1e6; d *= 2.0) {
        const double high = 0.5 + d, low = 0.5 - d;
        if (std::fabs(x) * d > 2.0 || high >= 0.9 * eta1 || low <= -0.9 * eta2 ||
            !(log_moment(high) <= 2.0) || !(log_moment(low) <= 2.0)) {
            break;
        }
        wide = d;
    }
    const double farBound = std::exp(4.0);
    const double A = wide > near ? 1.0 + 0.6 * wide : HUGE_VAL;

    // The cut: grown until both tails are below the tolerance (relative to S' + K' and,
    // for delta, to 1 + K'/S': sqrt(S'K') <= (S' + K') / 2).
    const double logTolerance = std::log(kPi * kTailTolerance);
    const double quadratic = sigma * sigma * T;
    double U = 1.0;
    for (;;) {
        const double E = f.exponent(U);
        if (-E - std::log(U) <= logTolerance && -E - std::log(quadratic * U * U) <= logTolerance) {
            break;
        }
        U *= 1.25;
        if (!(U < 1e300)) {
            return {nan, nan, nan};
        }
    }
    // The two regions' panels: [0, min(A, U)] on the near strip, [A, U] on the wide one.
    const double nearEnd = std::fmin(A, U);
    const double nearPanels = std::ceil(nearEnd / (2.0 * ellipse * near));
    const double farPanels = U > A ? std::ceil((U - A) / (2.0 * ellipse * wide)) : 0.0;
    if (nearPanels + farPanels > static_cast<double>(kMaxPanels)) {
        return {nan, nan, nan};
    }

    const GaussLegendre &gl = rule();
    CompensatedSum price, delta;
    auto integrate = [&](double from, double to, double panels) {
        const double h = (to - from) / (2.0 * panels);
        for (long j = 0; j < static_cast<long>(panels); ++j) {
            const double centre = from + (2.0 * static_cast<double>(j) + 1.0) * h;
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
    };
    integrate(0.0, nearEnd, nearPanels);
    if (farPanels > 0.0) {
        integrate(A, U, farPanels);
    }
    const double root = std::sqrt(spot * discounted);
    FourierCall out;
    out.call = std::fmax(0.0, spot - root / kPi * price.value());
    out.delta = std::fmin(1.0, std::fmax(0.0, 1.0 - std::sqrt(discounted / spot) / kPi * delta.value()));
    // Quadrature (the panels' half-widths add up to half of each region), tails, and the
    // rounding of about (kNodes + 4) ulp of the absolute sum (at most the integral of
    // 1 / c, pi), all relative to S' + K'.
    const double quadrature = (64.0 / 15.0) * perRho *
                              (nearBound * 0.5 * nearEnd + (U > A ? farBound * 0.5 * (U - A) : 0.0)) / kPi;
    const double rounding = (kNodes + 4.0) * std::numeric_limits<double>::epsilon();
    out.bound = (quadrature + kTailTolerance + rounding) * (spot + discounted);
    return out;
}

}  // namespace jumpdiffusion

#include "pide_engine.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <vector>

#include "fft.h"

namespace pide {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();


// The value beyond the grid on one side: a + b e^x.
struct Affine {
    double a = 0.0, b = 0.0;
    double at(double x) const { return a + b * std::exp(x); }
};

// The weights of the cubic through nodes -1, 0, 1, 2 at u.
void cubic_weights(double u, double l[4]) {
    l[0] = -u * (u - 1.0) * (u - 2.0) / 6.0;
    l[1] = (u + 1.0) * (u - 1.0) * (u - 2.0) / 2.0;
    l[2] = -(u + 1.0) * u * (u - 2.0) / 2.0;
    l[3] = (u + 1.0) * u * (u - 1.0) / 6.0;
}

double normal_cdf(double z) { return 0.5 * std::erfc(-z * 0.70710678118654752440); }
double normal_pdf(double z) { return 0.39894228040143267794 * std::exp(-0.5 * z * z); }

// Whether the holder may exercise before expiry (a knock-out is European).
bool early_exercise(const Contract &contract) {
    return contract.exercise != Exercise::European && contract.barrier == Barrier::None;
}

// The drift of the log-spot between jumps, mu = r - q - sigma^2 / 2 - lam zeta, with
// zeta = E[e^Y] - 1 the jumps' compensator.
double continuous_drift(const Model &model) {
    const double zeta = model.law == Law::Kou
                            ? model.p * model.eta1 / (model.eta1 - 1.0) +
                                  (1.0 - model.p) * model.eta2 / (model.eta2 + 1.0) - 1.0
                            : std::expm1(model.m + 0.5 * model.s * model.s);
    return model.r - model.q - 0.5 * model.sigma * model.sigma - model.lam * zeta;
}

// The grid of one solve: nodes x_i = x0 + i h, i < nodes.
struct Layout {
    double x0, h;
    std::size_t nodes;
    std::size_t anchor;      // the node of the strike (or the barrier)
    std::size_t decimation;  // Merton: the jump integral on every decimation-th node (below)
};

// One solve on one grid: the node values at the last three time levels and the exercise
// boundary at each level.
class Solver {
public:
    Solver(const Model &model, const Contract &contract, const Layout &layout, std::size_t steps,
           bool keepBoundary);
    void run();
    const std::vector<double> &last(int k) const { return level_[k]; }  // k = 0: tau = T
    // d v / d tau at expiry's other end (tau = T) at node values of the last three levels, by
    // the three-point backward difference on their (unequal) steps.
    double tauDerivative(double v0, double v1, double v2) const {
        const double d1 = steps_[0], d2 = steps_[1];
        return (2.0 * d1 + d2) / (d1 * (d1 + d2)) * v0 - (d1 + d2) / (d1 * d2) * v1 + d1 / (d2 * (d1 + d2)) * v2;
    }
    double x(std::size_t i) const { return layout_.x0 + static_cast<double>(i) * layout_.h; }
    const std::vector<double> &boundaryTau() const { return boundaryTau_; }
    const std::vector<double> &boundaryX() const { return boundaryX_; }
    double obstacle(std::size_t i) const { return obstacle_[i]; }
    Affine edge(bool right, double tau) const;

private:
    void jumps(const std::vector<double> &v, double tau, std::vector<double> &out);
    void factor(double c, std::vector<double> &pivotInv, std::vector<double> &mult) const;
    void stepOnce(double dt, bool implicitEuler, bool project, double tauNew);
    void recordBoundary(double tau);

    Model model_;
    Contract contract_;
    Layout layout_;
    std::size_t stepCount_;
    bool keepBoundary_;
    bool early_;
    double lower_, diag_, upper_;  // the local operator's stencil
    std::vector<double> v_, obstacle_, jump_, jumpPrev_, rhs_, work_;
    std::vector<double> level_[3];
    double steps_[3] = {0.0, 0.0, 0.0};  // the last steps, steps_[0] the last
    double prevStep_ = 0.0;
    bool havePrev_ = false;
    // Factorisations for the two step sizes in use (implicit Euler half-step, CN).
    double factoredC_[2] = {-1.0, -1.0};
    std::vector<double> pivotInv_[2], mult_[2];
    // Kou: the recursion's coefficients.
    double upE_ = 0, upA_ = 0, upB_ = 0, downE_ = 0, downA_ = 0, downB_ = 0;
    // Merton: the hat functions' weights w_j, j in [jlo, jhi], and the FFT if used.
    long jlo_ = 0, jhi_ = 0;
    std::size_t decim_ = 1, c0_ = 0, nc_ = 0;  // the coarse lattice: nodes c0 + decim k, k < nc
    std::vector<double> weights_, coarse_, lagrange_;  // lagrange_: 4 weights per place
    std::unique_ptr<RealFft> fft_;
    std::vector<std::complex<double>> kernel_, spectrum_;
    std::vector<double> padded_;
    std::vector<double> extended_, expBeyond_;
    std::vector<double> boundaryTau_, boundaryX_;
};

Solver::Solver(const Model &model, const Contract &contract, const Layout &layout, std::size_t steps,
               bool keepBoundary)
    : model_(model), contract_(contract), layout_(layout), stepCount_(steps), keepBoundary_(keepBoundary),
      early_(early_exercise(contract)) {
    const std::size_t n = layout.nodes;
    const double h = layout.h;
    const double mu = continuous_drift(model);
    const double A = 0.5 * model.sigma * model.sigma / (h * h);
    double lo = A - mu / (2.0 * h), up = A + mu / (2.0 * h);
    if (lo < 0.0) {  // one-sided where central differences would lose the M-matrix property
        lo = A;
        up = A + mu / h;
    } else if (up < 0.0) {
        lo = A - mu / h;
        up = A;
    }
    lower_ = lo;
    upper_ = up;
    diag_ = -(lo + up) - (model.r + model.lam);

    v_.assign(n, 0.0);
    obstacle_.assign(n, 0.0);
    jump_.assign(n, 0.0);
    jumpPrev_.assign(n, 0.0);
    rhs_.assign(n, 0.0);
    work_.assign(n, 0.0);
    for (auto &l : level_) {
        l.assign(n, 0.0);
    }
    // The payoff, and its average over each node's cell as the initial value (the kink at
    // the strike smoothed as in Pooley, Vetzal and Forsyth, IMA J. Numer. Anal. 2003, so
    // that the error is a smooth O(h^2) and Richardson's extrapolation applies).
    const double half = 0.5 * h;
    const double shape = std::sinh(half) / half;  // the average of e^x over a cell, over e^x_i
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = x(i);
        const double ex = std::exp(xi);
        obstacle_[i] = contract.call ? std::max(ex - 1.0, 0.0) : std::max(1.0 - ex, 0.0);
        const double a = xi - half, b = xi + half;
        double avg;
        if (b <= 0.0 || a >= 0.0) {
            const bool inMoney = contract.call ? a >= 0.0 : b <= 0.0;
            avg = inMoney ? (contract.call ? ex * shape - 1.0 : 1.0 - ex * shape) : 0.0;
        } else if (contract.call) {  // the cell holds the strike: integral of e^x - 1 over [0, b]
            avg = (std::expm1(b) - b) / h;
        } else {
            avg = (-a - (-std::expm1(a))) / h;  // integral of 1 - e^x over [a, 0]
        }
        v_[i] = std::max(avg, 0.0);
    }
    if (contract.barrier == Barrier::UpAndOut) {
        v_[n - 1] = 0.0;
    } else if (contract.barrier == Barrier::DownAndOut) {
        v_[0] = 0.0;
    }

    if (model.law == Law::Kou) {
        const auto coefficients = [h](double eta, double &E, double &alpha, double &beta) {
            const double z = eta * h;
            E = std::exp(-z);
            const double oneMinus = -std::expm1(-z);
            beta = oneMinus / z - E;  // weight of the far node of the cell
            alpha = oneMinus - beta;  // weight of the near node
        };
        coefficients(model.eta1, upE_, upA_, upB_);
        coefficients(model.eta2, downE_, downA_, downB_);
    } else {
        const double m = model.m, s = model.s;
        const double reach = 7.5 * s;  // the density beyond 7.5 s holds 6e-14
        // The integral of a density this wide is smooth in x: it is formed on every
        // decimation-th node (the strike's among them), of the interpolant on those nodes, and
        // interpolated back by cubics. The same decimation on every level, so that its error,
        // of second order in the coarse spacing, is extrapolated away with the rest.
        decim_ = layout.decimation;
        c0_ = layout.anchor % decim_;
        nc_ = n > c0_ ? (n - 1 - c0_) / decim_ + 1 : 0;
        if (nc_ < 8) {
            decim_ = 1;
            c0_ = 0;
            nc_ = n;
        }
        const double H = h * static_cast<double>(decim_);
        coarse_.assign(nc_, 0.0);
        lagrange_.assign(4 * decim_, 0.0);
        for (std::size_t r = 0; r < decim_; ++r) {
            cubic_weights(static_cast<double>(r) / static_cast<double>(decim_), lagrange_.data() + 4 * r);
        }
        jlo_ = static_cast<long>(std::floor((m - reach) / H)) - 1;
        jhi_ = static_cast<long>(std::ceil((m + reach) / H)) + 1;
        // w_j: the integral of the hat function at j H against the normal density, as the
        // second difference of G(y) = (y - m) Phi((y - m) / s) + s phi((y - m) / s), the
        // density's second antiderivative; on the right of the mean through the mirrored
        // G (the linear part's second difference is 0), without cancellation in the tails.
        const auto G = [m, s](double y) {
            const double u = y - m;
            if (s == 0.0) {
                return std::max(u, 0.0);
            }
            return u * normal_cdf(u / s) + s * normal_pdf(u / s);
        };
        const auto Gmirror = [m, s](double y) {  // G(y) - (y - m)
            const double u = y - m;
            if (s == 0.0) {
                return std::max(-u, 0.0);
            }
            return -u * normal_cdf(-u / s) + s * normal_pdf(u / s);
        };
        weights_.resize(static_cast<std::size_t>(jhi_ - jlo_ + 1));
        for (long j = jlo_; j <= jhi_; ++j) {
            const double c = static_cast<double>(j) * H;
            double w;
            if (c - H >= m) {
                w = (Gmirror(c + H) - 2.0 * Gmirror(c) + Gmirror(c - H)) / H;
            } else {
                w = (G(c + H) - 2.0 * G(c) + G(c - H)) / H;
            }
            weights_[static_cast<std::size_t>(j - jlo_)] = std::max(w, 0.0);
        }
        const std::size_t left = static_cast<std::size_t>(std::max(0L, -jlo_));
        const std::size_t right = static_cast<std::size_t>(std::max(0L, jhi_));
        const std::size_t total = nc_ + left + right;
        extended_.assign(total, 0.0);
        expBeyond_.assign(total, 0.0);  // e^x at the lattice's nodes beyond the grid
        for (std::size_t k = 0; k < total; ++k) {
            if (k < left || k >= left + nc_) {
                expBeyond_[k] = std::exp(layout.x0 + static_cast<double>(c0_) * h +
                                         (static_cast<double>(k) - static_cast<double>(left)) * H);
            }
        }
        const double direct = static_cast<double>(nc_) * static_cast<double>(weights_.size());
        std::size_t P = 2;
        while (P < total || P <= weights_.size()) {
            P *= 2;
        }
        const double viaFft = 6.0 * static_cast<double>(P) * std::log2(static_cast<double>(P));
        if (viaFft < direct) {
            fft_ = std::make_unique<RealFft>(P);
            std::vector<double> kernel(P, 0.0);
            for (long j = jlo_; j <= jhi_; ++j) {
                const std::size_t t = static_cast<std::size_t>((static_cast<long>(P) - j) % static_cast<long>(P));
                kernel[t] += weights_[static_cast<std::size_t>(j - jlo_)] / static_cast<double>(P);
            }
            kernel_.assign(P / 2 + 1, 0.0);
            fft_->forward(kernel.data(), kernel_.data());
            spectrum_.assign(P / 2 + 1, 0.0);
            padded_.assign(P, 0.0);
        }
    }
}

// The value beyond the grid at time to expiry tau.
Affine Solver::edge(bool right, double tau) const {
    const double disc = std::exp(-model_.r * tau), carry = std::exp(-model_.q * tau);
    const Affine parityCall{-disc, carry}, parityPut{disc, -carry};
    const Affine zero{0.0, 0.0};
    const bool call = contract_.call;
    switch (contract_.barrier) {
    case Barrier::UpAndOut:
        return right ? zero : (call ? zero : parityPut);
    case Barrier::DownAndOut:
        return right ? (call ? parityCall : zero) : zero;
    case Barrier::None:
        break;
    }
    if (call != right) {
        return zero;  // the out-of-the-money side
    }
    const Affine parity = call ? parityCall : parityPut;
    if (!early_) {
        return parity;
    }
    const Affine payoff = call ? Affine{-1.0, 1.0} : Affine{1.0, -1.0};
    const double xe = right ? x(layout_.nodes - 1) : x(0);
    return payoff.at(xe) >= parity.at(xe) ? payoff : parity;
}

// out_i = lam * integral of the extended value v(x_i + y) against the jump density.
void Solver::jumps(const std::vector<double> &v, double tau, std::vector<double> &out) {
    const std::size_t n = layout_.nodes;
    const double lam = model_.lam;
    if (lam == 0.0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    const Affine L = edge(false, tau), R = edge(true, tau);
    if (model_.law == Law::Kou) {
        const double p = model_.p, eta1 = model_.eta1, eta2 = model_.eta2;
        // Upward jumps: T_i = integral over y > 0 of v(x_i + y) eta1 e^{-eta1 y}.
        double T = R.a + R.b * std::exp(x(n - 1)) * (eta1 / (eta1 - 1.0));
        out[n - 1] = lam * p * T;
        for (std::size_t i = n - 1; i-- > 0;) {
            T = upA_ * v[i] + upB_ * v[i + 1] + upE_ * T;
            out[i] = lam * p * T;
        }
        // Downward jumps.
        T = L.a + L.b * std::exp(x(0)) * (eta2 / (eta2 + 1.0));
        const double wDown = lam * (1.0 - p);
        out[0] += wDown * T;
        for (std::size_t i = 1; i < n; ++i) {
            T = downA_ * v[i] + downB_ * v[i - 1] + downE_ * T;
            out[i] += wDown * T;
        }
        return;
    }
    const std::size_t left = static_cast<std::size_t>(std::max(0L, -jlo_));
    const std::size_t total = extended_.size();
    for (std::size_t k = 0; k < left; ++k) {
        extended_[k] = L.a + L.b * expBeyond_[k];
    }
    for (std::size_t k = 0; k < nc_; ++k) {
        extended_[left + k] = v[c0_ + decim_ * k];
    }
    for (std::size_t k = left + nc_; k < total; ++k) {
        extended_[k] = R.a + R.b * expBeyond_[k];
    }
    if (fft_) {
        std::copy(extended_.begin(), extended_.end(), padded_.begin());
        fft_->forward(padded_.data(), spectrum_.data());
        for (std::size_t k = 0; k < spectrum_.size(); ++k) {
            const double ar = spectrum_[k].real(), ai = spectrum_[k].imag();
            const double br = kernel_[k].real(), bi = kernel_[k].imag();
            spectrum_[k] = std::complex<double>(ar * br - ai * bi, ar * bi + ai * br);
        }
        fft_->inverse(spectrum_.data(), padded_.data());
        for (std::size_t k = 0; k < nc_; ++k) {
            coarse_[k] = lam * padded_[k + left];
        }
    } else {
        const std::size_t width = weights_.size();
        for (std::size_t k = 0; k < nc_; ++k) {
            const double *u = extended_.data() + (static_cast<long>(k + left) + jlo_);
            double sum = 0.0;
            for (std::size_t j = 0; j < width; ++j) {
                sum += weights_[j] * u[j];
            }
            coarse_[k] = lam * sum;
        }
    }
    if (decim_ == 1) {
        std::copy(coarse_.begin(), coarse_.end(), out.begin());
        return;
    }
    // Back to every node: the cubic through the four coarse nodes around it (its weights
    // depend only on the node's place between two coarse ones, formed once).
    const std::size_t inner0 = c0_ + decim_, inner1 = c0_ + decim_ * (nc_ - 2);
    for (std::size_t i = 0; i < n; ++i) {
        if (i == inner0) {
            for (; i < inner1; ++i) {
                const std::size_t j = (i - c0_) / decim_, r = (i - c0_) % decim_;
                const double *l = lagrange_.data() + 4 * r;
                out[i] = l[0] * coarse_[j - 1] + l[1] * coarse_[j] + l[2] * coarse_[j + 1] + l[3] * coarse_[j + 2];
            }
            if (i >= n) {
                break;
            }
        }
        const double t = (static_cast<double>(i) - static_cast<double>(c0_)) / static_cast<double>(decim_);
        const double j0 = std::max(1.0, std::min(std::floor(t), static_cast<double>(nc_) - 3.0));
        const std::size_t j = static_cast<std::size_t>(j0);
        double l[4];
        cubic_weights(t - j0, l);
        out[i] = l[0] * coarse_[j - 1] + l[1] * coarse_[j] + l[2] * coarse_[j + 1] + l[3] * coarse_[j + 2];
    }
}

// The elimination of (1 - c L) on the interior nodes 1 .. n - 2, in the direction the
// Brennan-Schwartz substitution needs: for a put from the top (the substitution then runs
// upward from the exercise region), for a call from the bottom.
void Solver::factor(double c, std::vector<double> &pivotInv, std::vector<double> &mult) const {
    const std::size_t n = layout_.nodes;
    pivotInv.assign(n, 0.0);
    mult.assign(n, 0.0);
    const double a = -c * lower_, b = 1.0 - c * diag_, cc = -c * upper_;
    if (!contract_.call) {
        double pivot = b;
        pivotInv[n - 2] = 1.0 / pivot;
        for (std::size_t i = n - 2; i-- > 1;) {
            mult[i] = cc * pivotInv[i + 1];  // row i minus mult times row i + 1
            pivot = b - mult[i] * a;
            pivotInv[i] = 1.0 / pivot;
        }
    } else {
        double pivot = b;
        pivotInv[1] = 1.0 / pivot;
        for (std::size_t i = 2; i + 1 < n; ++i) {
            mult[i] = a * pivotInv[i - 1];
            pivot = b - mult[i] * cc;
            pivotInv[i] = 1.0 / pivot;
        }
    }
}

void Solver::stepOnce(double dt, bool implicitEuler, bool project, double tauNew) {
    const std::size_t n = layout_.nodes;
    const double tauOld = tauNew - dt;
    jumps(v_, tauOld, jump_);
    // The jump integral at the middle of the step: extrapolated from the last two levels for
    // Crank-Nicolson, the current one for implicit Euler.
    const double c = implicitEuler ? dt : 0.5 * dt;
    const double slope = (!implicitEuler && havePrev_) ? 0.5 * dt / prevStep_ : 0.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        double J = jump_[i];
        if (slope != 0.0) {
            J += slope * (jump_[i] - jumpPrev_[i]);
        }
        double r = v_[i] + dt * J;
        if (!implicitEuler) {
            r += c * (lower_ * v_[i - 1] + diag_ * v_[i] + upper_ * v_[i + 1]);
        }
        rhs_[i] = r;
    }
    // The boundary values at the new level (0 at a knock-out's barrier: edge()).
    const double v0 = edge(false, tauNew).at(x(0)), vn = edge(true, tauNew).at(x(n - 1));
    rhs_[1] += c * lower_ * v0;
    rhs_[n - 2] += c * upper_ * vn;

    const int which = implicitEuler ? 0 : 1;
    if (factoredC_[which] != c) {
        factor(c, pivotInv_[which], mult_[which]);
        factoredC_[which] = c;
    }
    const std::vector<double> &pinv = pivotInv_[which], &mult = mult_[which];
    const double a = -c * lower_, cc = -c * upper_;
    if (!contract_.call) {
        for (std::size_t i = n - 2; i-- > 1;) {
            rhs_[i] -= mult[i] * rhs_[i + 1];
        }
        double prev = v0;
        for (std::size_t i = 1; i + 1 < n; ++i) {
            double value = (rhs_[i] - (i > 1 ? a * prev : 0.0)) * pinv[i];
            if (project && value < obstacle_[i]) {
                value = obstacle_[i];
            }
            work_[i] = value;
            prev = value;
        }
    } else {
        for (std::size_t i = 2; i + 1 < n; ++i) {
            rhs_[i] -= mult[i] * rhs_[i - 1];
        }
        double next = vn;
        for (std::size_t i = n - 1; i-- > 1;) {
            double value = (rhs_[i] - (i + 2 < n ? cc * next : 0.0)) * pinv[i];
            if (project && value < obstacle_[i]) {
                value = obstacle_[i];
            }
            work_[i] = value;
            next = value;
        }
    }
    work_[0] = v0;
    work_[n - 1] = vn;
    if (project) {
        work_[0] = std::max(v0, obstacle_[0]);
        work_[n - 1] = std::max(vn, obstacle_[n - 1]);
    }
    std::swap(v_, work_);
    std::swap(jump_, jumpPrev_);
    prevStep_ = dt;
    havePrev_ = true;
}

// The critical point at this level: the edge of the nodes held at the payoff, placed
// between the last one held and the next by the value's quadratic contact with the payoff
// (smooth pasting: v - g grows as (x - x*)^2).
void Solver::recordBoundary(double tau) {
    // A put is held at the payoff from the low end up, a call from the high end down.
    const long n = static_cast<long>(layout_.nodes), dir = contract_.call ? -1 : 1;
    const auto gap = [&](long i) { return std::sqrt(std::max(v_[i] - obstacle_[i], 0.0)); };
    long held = -1;
    for (long i = contract_.call ? n - 2 : 1; i + 2 * dir >= 0 && i + 2 * dir <= n - 1 && obstacle_[i] > 0.0; i += dir) {
        if (v_[i] <= obstacle_[i]) {
            held = i;
        } else {
            break;
        }
    }
    double xs = kNaN;
    if (held >= 0) {
        const double d1 = gap(held + dir), d2 = gap(held + 2 * dir);
        double shift = d2 > d1 ? d1 / (d2 - d1) : 0.0;
        shift = std::min(shift, 1.0);
        xs = x(static_cast<std::size_t>(held + dir)) - static_cast<double>(dir) * shift * layout_.h;
    }
    boundaryTau_.push_back(tau);
    boundaryX_.push_back(xs);
}

void Solver::run() {
    const double T = model_.T;
    // The segments between exercise events, in time to expiry: American one segment with the
    // constraint at every step; Bermudan the dates' times to expiry, the constraint at each
    // (a date today, at tau = T, after the last step).
    std::vector<double> events;
    bool today = false;
    if (contract_.exercise == Exercise::Bermudan && early_) {
        for (std::size_t k = 0; k < contract_.dateCount; ++k) {
            const double tau = T - contract_.dates[k];
            if (tau >= T) {
                today = true;
            } else if (tau > 0.0) {
                events.push_back(tau);
            }
        }
        std::sort(events.begin(), events.end());
        events.erase(std::unique(events.begin(), events.end()), events.end());
    }
    events.push_back(T);
    const bool american = early_ && contract_.exercise == Exercise::American;
    const double dtTarget = T / static_cast<double>(stepCount_);
    double tau = 0.0;
    for (std::size_t seg = 0; seg < events.size(); ++seg) {
        const bool final = seg + 1 == events.size();
        const double end = events[seg];
        const double length = end - tau;
        std::size_t m = static_cast<std::size_t>(std::ceil(length / dtTarget - 1e-9));
        m = std::max<std::size_t>(m, 4);  // the restart's two steps and two of Crank-Nicolson
        const double start = tau;
        // The steps of an American or a knock-out graded towards expiry, tau_k = T (k / m)^2:
        // the exercise boundary moves as sqrt(tau), and a knock-out's value falls from the
        // payoff to 0 at the barrier across sqrt(tau) (Bermudan segments: uniform steps).
        const double grade = american || contract_.barrier != Barrier::None ? 2.0 : 1.0;
        havePrev_ = false;
        for (std::size_t k = 0; k < m; ++k) {
            const double next = k + 1 == m ? end
                                           : start + length * std::pow(static_cast<double>(k + 1) / static_cast<double>(m), grade);
            const double dt = next - tau;
            if (k < 2) {  // the (re)start: two steps by implicit Euler half-steps (Giles and Carter)
                stepOnce(0.5 * dt, true, american, tau + 0.5 * dt);
                stepOnce(0.5 * dt, true, american, next);
            } else {
                stepOnce(dt, false, american, next);
            }
            tau = next;
            if (final && k + 3 >= m) {
                level_[m - 1 - k] = v_;  // the last three levels, for theta
                steps_[m - 1 - k] = dt;
            }
            if (american && keepBoundary_) {
                recordBoundary(tau);
            }
        }
        if (contract_.exercise == Exercise::Bermudan && early_ && (!final || today)) {
            for (std::size_t i = 0; i < v_.size(); ++i) {
                v_[i] = std::max(v_[i], obstacle_[i]);
            }
            if (final) {
                level_[0] = v_;
            }
        }
    }
}

// Cubic interpolation through the four nodes around x: value, first and second derivative.
void interpolate(const std::vector<double> &v, double x0, double h, double x, double out[3]) {
    const std::size_t n = v.size();
    double t = (x - x0) / h;
    std::size_t j = static_cast<std::size_t>(std::max(1.0, std::min(std::floor(t), static_cast<double>(n) - 3.0)));
    const double s = t - static_cast<double>(j);  // x between nodes j and j + 1, s in [0, 1]
    const double f0 = v[j - 1], f1 = v[j], f2 = v[j + 1], f3 = v[j + 2];
    double l[4];
    cubic_weights(s, l);
    out[0] = l[0] * f0 + l[1] * f1 + l[2] * f2 + l[3] * f3;
    const double d0 = -(3.0 * s * s - 6.0 * s + 2.0) / 6.0;
    const double d1 = (3.0 * s * s - 4.0 * s - 1.0) / 2.0;
    const double d2 = -(3.0 * s * s - 2.0 * s - 2.0) / 2.0;
    const double d3 = (3.0 * s * s - 1.0) / 6.0;
    out[1] = (d0 * f0 + d1 * f1 + d2 * f2 + d3 * f3) / h;
    const double e0 = -(s - 1.0), e1 = (3.0 * s - 2.0), e2 = -(3.0 * s - 1.0), e3 = s;
    out[2] = (e0 * f0 + e1 * f1 + e2 * f2 + e3 * f3) / (h * h);
}


// How far the log-spot's path (its running maximum or minimum, not only its end) moves in one
// direction by T with probability at most about eps: the continuous part's drift that way,
// the mean of the jumps that way, a normal quantile of the diffusion's and those jumps'
// spread, and the reach of one jump that rare. The jumps the other way are left out: they
// only bring the path back (with them, a drift of 2 up against jumps of 3 down by T put the
// path's maximum, but not its end, beyond the grid).
struct Reach {
    double up, down;
};
Reach reach(const Model &model, double eps) {
    const double T = model.T, expected = model.lam * T;
    const double diffusion = model.sigma * model.sigma * T;
    double upVar = 0.0, downVar = 0.0, upTail = 0.0, downTail = 0.0, upMean = 0.0, downMean = 0.0;
    const double z = std::sqrt(2.0 * std::log(1.0 / eps));
    if (model.law == Law::Kou) {
        const double p = model.p, e1 = model.eta1, e2 = model.eta2;
        upVar = 2.0 * p / (e1 * e1);
        downVar = 2.0 * (1.0 - p) / (e2 * e2);
        upMean = p / e1;
        downMean = (1.0 - p) / e2;
        upTail = expected * p > eps ? std::log(expected * p / eps) / e1 : 0.0;
        downTail = expected * (1.0 - p) > eps ? std::log(expected * (1.0 - p) / eps) / e2 : 0.0;
    } else {
        const double m = model.m, s = model.s;
        upVar = downVar = m * m + s * s;
        // E[Y+] and E[Y-] of the normal jump.
        const double ratio = s > 0.0 ? m / s : (m > 0.0 ? 1e300 : -1e300);
        upMean = s > 0.0 ? m * normal_cdf(ratio) + s * normal_pdf(ratio) : std::max(m, 0.0);
        downMean = upMean - m;
        if (expected > eps) {
            const double zj = std::sqrt(2.0 * std::log(expected / eps));
            upTail = std::max(0.0, m + s * zj);
            downTail = std::max(0.0, -m + s * zj);
        }
    }
    const double drift = continuous_drift(model) * T;
    return Reach{std::max(drift, 0.0) + expected * upMean + z * std::sqrt(diffusion + expected * upVar) + upTail,
                 std::max(-drift, 0.0) + expected * downMean + z * std::sqrt(diffusion + expected * downVar) + downTail};
}

// One level's values at the points: value, d/dx, d2/dx2 and d/dt.
struct LevelValues {
    std::vector<double> v[4];
    std::vector<char> near;  // the point's stencil straddles the exercise boundary
    std::vector<double> boundaryTau, boundaryX;
};

}  // namespace

Status solve(const Model &model, const Contract &contract, const double *x, std::size_t count, Point *out,
             const Settings &settings) {
    if (count == 0) {
        return Status::Ok;
    }
    double xa = x[0], xb = x[0];
    for (std::size_t k = 1; k < count; ++k) {
        xa = std::min(xa, x[k]);
        xb = std::max(xb, x[k]);
    }
    const double T = model.T, lam = model.lam;
    const double diffusion = model.sigma * std::sqrt(T);
    // The grid's edges. An edge misstates the value only where the law carries the points
    // there and the value there differs from its asymptote, which needs a move back to the
    // strike: either unlikely (1e-8) suffices, or both (1e-4 each).
    const Reach rare = reach(model, 1e-8), likely = reach(model, 1e-4);
    const double scale = settings.marginScale;
    double highEdge = xb + scale * std::min(std::min(rare.up, rare.down),
                                            std::max(likely.up, likely.down - (xb > 0.0 ? xb : 0.0)));
    double lowEdge = xa - scale * std::min(std::min(rare.down, rare.up),
                                           std::max(likely.down, likely.up + (xa < 0.0 ? xa : 0.0)));
    // The coarsest spacing: sigma sqrt(T) / 12 (the smoothed kink's scale), at most 0.05; its
    // steps 48 (near the exercise boundary the error in time dominates and converges
    // irregularly with fewer), and lam dt at most 1/16: the explicit jump integral's error
    // grows as lam T (lam dt)^2, and with ten jumps by T and lam dt = 1/5 the coarse levels
    // were off by 6e-3 beyond the reach of the extrapolation. Each level halves both.
    // The spacing also at most sigma^2 / |mu|: central differences keep the M-matrix property (the
    // one-sided ones a coarser grid would need are of first order, which Richardson's
    // extrapolation does not remove: with 50 jumps a year and sigma = 0.11 the coarse
    // levels were off by 1e-2).
    const double drift = std::fabs(continuous_drift(model));
    double h0 = std::min(diffusion / 12.0, 0.05);
    if (drift * h0 > model.sigma * model.sigma) {
        h0 = model.sigma * model.sigma / drift;
    }
    h0 /= settings.resolution;
    const std::size_t steps0 = static_cast<std::size_t>(
        std::max(std::ceil(16.0 * lam * T), std::ceil(48.0 * settings.resolution)));
    if (contract.barrier == Barrier::UpAndOut) {
        highEdge = contract.xBarrier;
        lowEdge = std::min(lowEdge, highEdge - 8.0 * h0);
    } else if (contract.barrier == Barrier::DownAndOut) {
        lowEdge = contract.xBarrier;
        highEdge = std::max(highEdge, lowEdge + 8.0 * h0);
    }
    // Nodes on every level: the strike (x = 0), or the barrier, at a node.
    const double anchor = contract.barrier == Barrier::None ? 0.0 : contract.xBarrier;
    const double i0 = std::floor((lowEdge - anchor) / h0), i1 = std::ceil((highEdge - anchor) / h0);
    const double x0 = anchor + i0 * h0;
    const double intervals0 = i1 - i0;

    // Merton's jump integral on every decimation-th node: a coarse spacing at most s / 8 on
    // the first level (a power of two, at most 8). Measured on the published put: the value
    // moves by 2e-8 against no decimation, and the time falls from 39 to 19 ms.
    std::size_t decimation = 1;
    while (model.law == Law::Merton && decimation < 8 && 2.0 * static_cast<double>(decimation) * h0 <= model.s / 8.0) {
        decimation *= 2;
    }
    const auto runLevel = [&](int level, LevelValues &out) {
        const double scaleLevel = std::ldexp(1.0, level);
        const Layout layout{x0, h0 / scaleLevel, static_cast<std::size_t>(intervals0 * scaleLevel) + 1,
                            static_cast<std::size_t>(-i0 * scaleLevel), decimation};
        Solver solver(model, contract, layout, steps0 << level, settings.boundary != nullptr);
        solver.run();
        for (auto &column : out.v) {
            column.resize(count);
        }
        out.near.assign(count, 0);
        const std::vector<double> &final = solver.last(0);
        for (std::size_t k = 0; k < count; ++k) {
            // 2: the interpolation's stencil (and a node more each side) straddles the
            // exercise boundary; 1: four of the coarsest spacings around the point do.
            const long j = static_cast<long>(std::floor((x[k] - layout.x0) / layout.h));
            const long wide = 4L << level, last = static_cast<long>(layout.nodes) - 1;
            const auto straddles = [&](long from, long to) {
                bool held = false, free = false;
                for (long i = std::max(0L, from); i <= std::min(last, to); ++i) {
                    const std::size_t n = static_cast<std::size_t>(i);
                    const bool exercised = solver.obstacle(n) > 0.0 && final[n] <= solver.obstacle(n);
                    held = held || exercised;
                    free = free || !exercised;
                }
                return held && free;
            };
            out.near[k] = straddles(j - 2, j + 3) ? 2 : straddles(j - wide, j + 1 + wide) ? 1 : 0;
            double now[3], before[3], earlier[3];
            interpolate(solver.last(0), layout.x0, layout.h, x[k], now);
            interpolate(solver.last(1), layout.x0, layout.h, x[k], before);
            interpolate(solver.last(2), layout.x0, layout.h, x[k], earlier);
            out.v[0][k] = now[0];
            out.v[1][k] = now[1];
            out.v[2][k] = now[2];
            out.v[3][k] = -solver.tauDerivative(now[0], before[0], earlier[0]);
        }
        out.boundaryTau = solver.boundaryTau();
        out.boundaryX = solver.boundaryX();
    };
    const auto work = [&](int level) {
        const double scaleLevel = std::ldexp(1.0, level);
        return (intervals0 * scaleLevel + 1.0) * static_cast<double>(steps0) * scaleLevel;
    };
    if (intervals0 * 4.0 + 1.0 > static_cast<double>(kMaxNodes) || work(2) > kMaxWork) {
        return Status::TooLarge;
    }
    // Richardson's extrapolation of consecutive levels, R = (4 fine - coarse) / 3; the value
    // is that of the two finest levels, its error estimate half the change from the pair
    // before.
    LevelValues levels[3];
    runLevel(0, levels[0]);
    runLevel(1, levels[1]);
    std::vector<double> previous(count);
    for (std::size_t k = 0; k < count; ++k) {
        previous[k] = (4.0 * levels[1].v[0][k] - levels[0].v[0][k]) / 3.0;
    }
    Status status = Status::Unresolved;
    const bool early = early_exercise(contract);
    int level = 2;
    for (;; ++level) {
        LevelValues &fine = levels[level % 3];
        const LevelValues &coarse = levels[(level + 2) % 3];
        runLevel(level, fine);
        bool resolved = true;
        for (std::size_t k = 0; k < count; ++k) {
            Point &pt = out[k];
            const int near = early ? std::max(fine.near[k], coarse.near[k]) : 0;
            if (near == 2) {
                // At the exercise boundary the error does not follow a power of the spacing
                // (the boundary crosses nodes as it moves): the finest level as it is, its
                // error estimate its change from the level before.
                pt.value = fine.v[0][k];
                pt.dx = fine.v[1][k];
                pt.dxx = fine.v[2][k];
                pt.dt = fine.v[3][k];
                pt.error = std::fabs(fine.v[0][k] - coarse.v[0][k]);
                previous[k] = pt.value;
                pt.vouched = pt.error <= settings.nearTolerance * (1.0 + std::exp(x[k]));
                resolved = resolved && pt.vouched;
                continue;
            }
            pt.value = (4.0 * fine.v[0][k] - coarse.v[0][k]) / 3.0;
            pt.dx = (4.0 * fine.v[1][k] - coarse.v[1][k]) / 3.0;
            pt.dxx = (4.0 * fine.v[2][k] - coarse.v[2][k]) / 3.0;
            pt.dt = (4.0 * fine.v[3][k] - coarse.v[3][k]) / 3.0;
            // The extrapolation's residual is of second order or better, so its change
            // from the pair before is at least twice its error (three times at second order);
            // measured against grids four times as fine, the ratio was 2.2 to 4.7.
            pt.error = 0.5 * std::fabs(pt.value - previous[k]);
            previous[k] = pt.value;
            pt.vouched = pt.error <= (near ? settings.nearTolerance : settings.tolerance) * (1.0 + std::exp(x[k]));
            resolved = resolved && pt.vouched;
        }
        if (resolved) {
            status = Status::Ok;
            break;
        }
        if (level - 2 >= settings.maxRefinements || intervals0 * std::ldexp(1.0, level + 1) + 1.0 > kMaxNodes ||
            work(level + 1) > kMaxWork) {
            break;
        }
    }
    if (settings.boundary != nullptr && settings.boundaryCount > 0) {
        const LevelValues &fine = levels[level % 3];
        const std::vector<double> &bt = fine.boundaryTau, &bx = fine.boundaryX;
        const std::size_t nb = settings.boundaryCount;
        for (std::size_t j = 0; j < nb; ++j) {
            const double t = nb == 1 ? 0.0 : T * static_cast<double>(j) / static_cast<double>(nb - 1);
            const double tau = T - t;
            double value = kNaN;
            if (!bt.empty()) {
                if (tau <= bt.front()) {
                    value = bx.front();
                } else if (tau >= bt.back()) {
                    value = bx.back();
                } else {
                    const std::size_t hi =
                        static_cast<std::size_t>(std::lower_bound(bt.begin(), bt.end(), tau) - bt.begin());
                    const double w = (tau - bt[hi - 1]) / (bt[hi] - bt[hi - 1]);
                    value = bx[hi - 1] + w * (bx[hi] - bx[hi - 1]);
                }
            }
            settings.boundary[j] = value;
        }
    }
    return status;
}

}  // namespace pide

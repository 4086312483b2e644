#include "pide_engine.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <limits>
#include <memory>
#include <vector>

#include "fft.h"

namespace pide {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kPilotNodes = 8192;  // the pilot solve's grid at most (else a wide margin)
constexpr double kRescale = 0x1p512;  // the continuants' scale (sweep())


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

// The grid's map from node numbers to log-moneyness, on the first level (level l numbers its
// nodes in units of 2^-l, so that every level's nodes are every other node of the next):
//   dx / dxi = wide - (wide - fine) (tanh((xi - a) / w) - tanh((xi - b) / w)) / 2,
// the spacing fine across [a, b] (the strike and the points asked for, where the value
// bends most and the exercise boundary lies), rising smoothly over about w nodes to wide far
// from it, x(0) = anchor. The map is analytic, so the error keeps its expansion in powers of
// the spacing and Richardson's extrapolation still applies (coordinate-stretched grids as in
// Tavella and Randall, Pricing Financial Instruments: The Finite Difference Method, 2000).
struct Mapping {
    double anchor, fine, wide, a, b, w;
    static double lncosh(double z) {
        const double u = std::fabs(z);
        return u + std::log1p(std::exp(-2.0 * u)) - 0.69314718055994530942;
    }
    double bend(double xi) const { return lncosh((xi - a) / w) - lncosh((xi - b) / w); }
    double x(double xi) const {
        if (wide == fine) {
            return anchor + fine * xi;
        }
        return anchor + wide * xi - (wide - fine) * 0.5 * w * (bend(xi) - bend(0.0));
    }
    double dx(double xi) const {
        if (wide == fine) {
            return fine;
        }
        return wide - (wide - fine) * 0.5 * (std::tanh((xi - a) / w) - std::tanh((xi - b) / w));
    }
    double ddx(double xi) const {
        if (wide == fine) {
            return 0.0;
        }
        const double ta = std::tanh((xi - a) / w), tb = std::tanh((xi - b) / w);
        return -(wide - fine) * 0.5 * ((1.0 - ta * ta) - (1.0 - tb * tb)) / w;
    }
    // The node number of x: Newton's iteration inside the bracket the spacing's bounds give.
    double xi(double target) const {
        const double d = target - anchor;
        if (wide == fine) {
            return d / fine;
        }
        double lo = d >= 0.0 ? d / wide : d / fine, hi = d >= 0.0 ? d / fine : d / wide;
        double t = d / fine;
        t = std::min(std::max(t, lo), hi);
        for (int k = 0; k < 200; ++k) {
            const double f = x(t) - target;
            if (f == 0.0) {
                break;
            }
            if (f > 0.0) {
                hi = t;
            } else {
                lo = t;
            }
            double next = t - f / dx(t);
            if (!(next > lo && next < hi)) {
                next = 0.5 * (lo + hi);
            }
            if (next == t || hi - lo <= 1e-15 * (1.0 + std::fabs(t))) {
                break;
            }
            t = next;
        }
        return t;
    }
};

// The grid of one solve: nodes x_i = map(first + i) / 2^level, i < count, and the edges of
// their cells halfway between in node number.
struct Layout {
    Mapping map;
    double scale;            // 2^level
    long first;              // the number of node 0, in units of 1 / scale
    std::size_t anchor;      // the node of the strike (or the barrier), where the grid holds it
    std::vector<double> x, edge;  // the nodes, and the cells' edges (count + 1)
    double lattice;          // Merton: the spacing of the jump integral's lattice (below)
    Layout(const Mapping &m, int level, long first0, long last0, double lattice0)
        : map(m), scale(std::ldexp(1.0, level)), first(first0 * (1L << level)), anchor(static_cast<std::size_t>(-first)),
          lattice(lattice0 / scale) {
        const std::size_t n = static_cast<std::size_t>((last0 - first0) * (1L << level)) + 1;
        x.resize(n);
        edge.resize(n + 1);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = map.x(static_cast<double>(first + static_cast<long>(i)) / scale);
        }
        if (first <= 0 && anchor < n) {  // the strike (or barrier) exactly, where the grid holds it
            x[anchor] = map.anchor;
        }
        for (std::size_t i = 0; i <= n; ++i) {
            edge[i] = map.x((static_cast<double>(first + static_cast<long>(i)) - 0.5) / scale);
        }
    }
    std::size_t nodes() const { return x.size(); }
    // The place of a point in node numbers from node 0 (fractional).
    double place(double point) const { return map.xi(point) * scale - static_cast<double>(first); }
    // The same for a point between nodes j and j + 1: Newton's iteration from the linear
    // interpolation between them (its error of the order of the spacing's change squared,
    // so that three iterations reach rounding).
    double placeNear(double point, std::size_t j) const {
        if (map.wide == map.fine) {
            return place(point);
        }
        const double base = static_cast<double>(first + static_cast<long>(j));
        double u = (point - x[j]) / (x[j + 1] - x[j]);
        for (int k = 0; k < 3; ++k) {
            const double xi = (base + u) / scale;
            u -= (map.x(xi) - point) / (map.dx(xi) / scale);
        }
        return static_cast<double>(j) + u;
    }
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
    double x(std::size_t i) const { return layout_.x[i]; }
    const std::vector<double> &boundaryTau() const { return boundaryTau_; }
    const std::vector<double> &boundaryX() const { return boundaryX_; }
    double obstacle(std::size_t i) const { return obstacle_[i]; }
    Affine edge(bool right, double tau) const;

private:
    double kouBeyond(bool up, const Affine &side) const;
    void jumps(const std::vector<double> &v, double tau, std::vector<double> &out, bool kouInline);
    void stepOnce(double dt, bool implicitEuler, bool project, double tauNew);
    template <bool KouInline>
    void sweep(double dt, double c, double slope, double explicitPart, bool project, double v0, double vn,
               int which, double tauOld);
    void recordBoundary(double tau);

    Model model_;
    Contract contract_;
    const Layout &layout_;
    std::size_t stepCount_;
    bool keepBoundary_;
    bool early_;
    std::vector<double> lower_, diag_, upper_;  // the local operator's stencil at each node
    std::vector<double> v_, obstacle_, jump_, jumpPrev_, rhs_, work_;
    std::vector<double> level_[3];
    double steps_[3] = {0.0, 0.0, 0.0};  // the last steps, steps_[0] the last
    double prevStep_ = 0.0;
    bool havePrev_ = false;
    // Eliminations of (1 - c L) for the two kinds of step (implicit Euler half-step,
    // Crank-Nicolson): the c of the last of each, its pivots' inverses and multipliers; and the
    // products coupling_i = upper_i lower_{i+1} of the off-diagonals the pivots' recursion
    // meets.
    double factoredC_[2] = {-1.0, -1.0};
    std::vector<double> pivotInv_[2], mult_[2], link_[2], coupling_;
    // Kou: the recursion's coefficients on each cell [x_i, x_{i+1}].
    std::vector<double> upE_, upA_, upB_, downE_, downA_, downB_;
    // Merton: the lattice y_k = anchor + k H, k = kIn + j for j < inputs, on which the
    // integral is formed; the hat functions' weights w_j, j in [jlo, jhi]; each input's
    // sampling from the nodes (or the asymptote beyond them); each node's cubic from the
    // outputs k = kOut + o, o < outputs.
    long jlo_ = 0, jhi_ = 0, kIn_ = 0, kOut_ = 0;
    std::size_t outputs_ = 0;
    std::vector<double> weights_, coarse_;
    std::vector<double> extended_, sampleW_, expBeyond_, backW_;
    std::vector<long> sampleAt_;  // the first of four nodes, or -1 / -2 beyond the left / right end
    std::vector<std::size_t> backAt_;
    std::unique_ptr<RealFft> fft_;
    std::vector<std::complex<double>> kernel_, spectrum_;
    std::vector<double> padded_;
    std::vector<double> boundaryTau_, boundaryX_;
};

Solver::Solver(const Model &model, const Contract &contract, const Layout &layout, std::size_t steps,
               bool keepBoundary)
    : model_(model), contract_(contract), layout_(layout), stepCount_(steps), keepBoundary_(keepBoundary),
      early_(early_exercise(contract)) {
    const std::size_t n = layout.nodes();
    const double mu = continuous_drift(model);
    const double var = model.sigma * model.sigma;
    lower_.assign(n, 0.0);
    diag_.assign(n, 0.0);
    upper_.assign(n, 0.0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        // Three-point differences on unequal spacings hm, hp (second order in the map's
        // spacing); one-sided for the drift where the central ones would lose the M-matrix
        // property.
        const double hm = x(i) - x(i - 1), hp = x(i + 1) - x(i), hs = hm + hp;
        double lo = (var - mu * hp) / (hm * hs), up = (var + mu * hm) / (hp * hs);
        if (lo < 0.0) {
            lo = var / (hm * hs);
            up = var / (hp * hs) + mu / hp;
        } else if (up < 0.0) {
            lo = var / (hm * hs) - mu / hm;
            up = var / (hp * hs);
        }
        lower_[i] = lo;
        upper_[i] = up;
        diag_[i] = -(lo + up) - (model.r + model.lam);
    }
    coupling_.assign(n, 0.0);
    for (std::size_t i = 1; i + 2 < n; ++i) {
        coupling_[i] = upper_[i] * lower_[i + 1];
    }
    for (int k = 0; k < 2; ++k) {
        pivotInv_[k].assign(n, 0.0);
        mult_[k].assign(n, 0.0);
        link_[k].assign(n, 0.0);
    }

    for (std::vector<double> *column : {&v_, &obstacle_, &jump_, &jumpPrev_, &rhs_, &work_, &level_[0], &level_[1], &level_[2]}) {
        column->assign(n, 0.0);
    }
    // The payoff, and its average over each node's cell as the initial value (the kink at
    // the strike smoothed as in Pooley, Vetzal and Forsyth, IMA J. Numer. Anal. 2003, so
    // that the error is a smooth O(h^2) and Richardson's extrapolation applies).
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = x(i);
        const double ex = std::exp(xi);
        obstacle_[i] = contract.call ? std::max(ex - 1.0, 0.0) : std::max(1.0 - ex, 0.0);
        const double a = layout.edge[i], b = layout.edge[i + 1], width = b - a;
        double avg;
        if (b <= 0.0 || a >= 0.0) {
            const bool inMoney = contract.call ? a >= 0.0 : b <= 0.0;
            const double mean = std::exp(a) * (std::expm1(width) / width);  // the average of e^x
            avg = inMoney ? (contract.call ? mean - 1.0 : 1.0 - mean) : 0.0;
        } else if (contract.call) {  // the cell holds the strike: integral of e^x - 1 over [0, b]
            avg = (std::expm1(b) - b) / width;
        } else {
            avg = (-a - (-std::expm1(a))) / width;  // integral of 1 - e^x over [a, 0]
        }
        v_[i] = std::max(avg, 0.0);
    }
    if (contract.barrier == Barrier::UpAndOut) {
        v_[n - 1] = 0.0;
    } else if (contract.barrier == Barrier::DownAndOut) {
        v_[0] = 0.0;
    }

    if (model.law == Law::Kou) {
        // On the cell of width d the interpolant's integral against eta e^{-eta y}: the near
        // node's weight alpha, the far one's beta, the decay E = e^{-eta d} of what lies beyond.
        const auto coefficients = [](double eta, double d, double &E, double &alpha, double &beta) {
            const double z = eta * d;
            E = std::exp(-z);
            const double oneMinus = -std::expm1(-z);
            beta = oneMinus / z - E;
            alpha = oneMinus - beta;
        };
        for (std::vector<double> *column : {&upE_, &upA_, &upB_, &downE_, &downA_, &downB_}) {
            column->assign(n, 0.0);
        }
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double d = x(i + 1) - x(i);
            coefficients(model.eta1, d, upE_[i], upA_[i], upB_[i]);
            coefficients(model.eta2, d, downE_[i + 1], downA_[i + 1], downB_[i + 1]);
        }
    } else {
        const double m = model.m, s = model.s;
        const double reach = 7.5 * s;  // the density beyond 7.5 s holds 6e-14
        // The integral of the interpolant on a uniform lattice of spacing H (a density this
        // wide is smooth in x, and its lattice at most s / 8 apart on the first level, the
        // strike's node among its points), sampled from the nodes by cubics in the node
        // number and interpolated back by cubics. The lattice halves with the grid, so that
        // its error, of second order in H, is extrapolated away with the rest.
        const double H = layout.lattice, anchor = layout.map.anchor;
        const double xFirst = x(0), xLast = x(n - 1);
        const long kFirst = static_cast<long>(std::ceil((xFirst - anchor) / H));
        const long kLast = static_cast<long>(std::floor((xLast - anchor) / H));
        kOut_ = kFirst - 2;
        outputs_ = static_cast<std::size_t>(kLast + 2 - kOut_ + 1);
        jlo_ = static_cast<long>(std::floor((m - reach) / H)) - 1;
        jhi_ = static_cast<long>(std::ceil((m + reach) / H)) + 1;
        kIn_ = kOut_ + jlo_;
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
        const std::size_t total = outputs_ + weights_.size() - 1;
        extended_.assign(total, 0.0);
        expBeyond_.assign(total, 0.0);
        sampleAt_.assign(total, 0);
        sampleW_.assign(4 * total, 0.0);
        std::size_t scan = 0;  // the node at or below the lattice point (they rise together)
        for (std::size_t k = 0; k < total; ++k) {
            const double y = anchor + static_cast<double>(kIn_ + static_cast<long>(k)) * H;
            if (y < xFirst || y > xLast) {
                sampleAt_[k] = y < xFirst ? -1 : -2;
                expBeyond_[k] = std::exp(y);
                continue;
            }
            while (scan + 2 < n && x(scan + 1) <= y) {
                ++scan;
            }
            const double t = layout.placeNear(y, scan);
            const double j0 = std::max(1.0, std::min(std::floor(t), static_cast<double>(n) - 3.0));
            sampleAt_[k] = static_cast<long>(j0) - 1;
            cubic_weights(t - j0, sampleW_.data() + 4 * k);
        }
        coarse_.assign(outputs_, 0.0);
        backAt_.assign(n, 0);
        backW_.assign(4 * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double t = (x(i) - anchor) / H - static_cast<double>(kOut_);
            const double j0 = std::max(1.0, std::min(std::floor(t), static_cast<double>(outputs_) - 3.0));
            backAt_[i] = static_cast<std::size_t>(j0) - 1;
            cubic_weights(t - j0, backW_.data() + 4 * i);
        }
        const double direct = static_cast<double>(outputs_) * static_cast<double>(weights_.size());
        std::size_t P = 2;
        while (P < total) {
            P *= 2;
        }
        // A transform and its inverse take about the time of 3 P log2 P products of the
        // direct sum (measured: 3.6 us for 512 points, 8 us for 25,000 products).
        const double viaFft = 3.0 * static_cast<double>(P) * std::log2(static_cast<double>(P));
        if (viaFft < direct) {
            // out_o = sum_d w_d u_{o + d}: the circular convolution of u with the kernel
            // w_d at -d (mod P), exact for P at least the inputs' count.
            fft_ = std::make_unique<RealFft>(P);
            std::vector<double> kernel(P, 0.0);
            for (std::size_t d = 0; d < weights_.size(); ++d) {
                kernel[(P - d) % P] += weights_[d] / static_cast<double>(P);
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
    // The side of the strike the edge lies on, not the side of the grid: points all far from
    // the strike put both edges on one side of it (a call at S / K = e^5.5 took 0 for its
    // left edge, 4.5 in log-spot above the strike, and was 17 tolerances low).
    const double xe = right ? x(layout_.nodes() - 1) : x(0);
    if (call ? xe <= 0.0 : xe >= 0.0) {
        return zero;  // out of the money
    }
    const Affine parity = call ? parityCall : parityPut;
    if (!early_) {
        return parity;
    }
    const Affine payoff = call ? Affine{-1.0, 1.0} : Affine{1.0, -1.0};
    return payoff.at(xe) >= parity.at(xe) ? payoff : parity;
}

// Kou: the integral of the asymptote beyond the grid's end against one side's jump density
// from that end node, where the recursion over the cells starts: for upward jumps, from the
// last node, of (a + b e^(x + y)) eta1 e^(-eta1 y) over y > 0; for downward ones, from node 0.
double Solver::kouBeyond(bool up, const Affine &side) const {
    const double eta = up ? model_.eta1 : model_.eta2;
    const double xe = up ? x(layout_.nodes() - 1) : x(0);
    return side.a + side.b * std::exp(xe) * (up ? eta / (eta - 1.0) : eta / (eta + 1.0));
}

// out_i = lam * integral of the extended value v(x_i + y) against the jump density. Kou's with
// kouInline: only the jumps against the elimination's direction (a put's downward, a call's
// upward), the others formed in the elimination's own sweep (sweep()).
void Solver::jumps(const std::vector<double> &v, double tau, std::vector<double> &out, bool kouInline) {
    const std::size_t n = layout_.nodes();
    const double lam = model_.lam;
    if (lam == 0.0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    const Affine L = edge(false, tau), R = edge(true, tau);
    if (model_.law == Law::Kou) {
        const double p = model_.p;
        const bool up = !kouInline || contract_.call, down = !kouInline || !contract_.call;
        std::fill(out.begin(), out.end(), 0.0);
        if (up) {  // T_i = integral over y > 0 of v(x_i + y) eta1 e^{-eta1 y}
            double T = kouBeyond(true, R);
            const double wUp = lam * p;
            out[n - 1] = wUp * T;
            for (std::size_t i = n - 1; i-- > 0;) {
                T = upA_[i] * v[i] + upB_[i] * v[i + 1] + upE_[i] * T;
                out[i] = wUp * T;
            }
        }
        if (down) {
            double T = kouBeyond(false, L);
            const double wDown = lam * (1.0 - p);
            out[0] += wDown * T;
            for (std::size_t i = 1; i < n; ++i) {
                T = downA_[i] * v[i] + downB_[i] * v[i - 1] + downE_[i] * T;
                out[i] += wDown * T;
            }
        }
        return;
    }
    const std::size_t total = extended_.size();
    for (std::size_t k = 0; k < total; ++k) {
        const long at = sampleAt_[k];
        if (at >= 0) {
            const double *w = sampleW_.data() + 4 * k;
            const double *u = v.data() + at;
            extended_[k] = w[0] * u[0] + w[1] * u[1] + w[2] * u[2] + w[3] * u[3];
        } else {
            const Affine &side = at == -1 ? L : R;
            extended_[k] = side.a + side.b * expBeyond_[k];
        }
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
        for (std::size_t o = 0; o < outputs_; ++o) {
            coarse_[o] = lam * padded_[o];
        }
    } else {
        const std::size_t width = weights_.size();
        for (std::size_t o = 0; o < outputs_; ++o) {
            const double *u = extended_.data() + o;
            double sum = 0.0;
            for (std::size_t j = 0; j < width; ++j) {
                sum += weights_[j] * u[j];
            }
            coarse_[o] = lam * sum;
        }
    }
    // Back to every node: the cubic through the four lattice points around it.
    for (std::size_t i = 0; i < n; ++i) {
        const double *l = backW_.data() + 4 * i;
        const double *c = coarse_.data() + backAt_[i];
        out[i] = l[0] * c[0] + l[1] * c[1] + l[2] * c[2] + l[3] * c[3];
    }
}

// One step of tau: v_new - c L v_new = v + dt J (+ c L v for Crank-Nicolson), J the jump
// integral at the step's middle, L the local operator, solved on the interior nodes 1 .. n - 2
// by elimination in the direction the Brennan-Schwartz substitution needs, for a put from the
// top (the substitution then runs upward from the exercise region), for a call from the
// bottom, projecting on the payoff as it goes. The elimination is formed as the right-hand
// side is (its pivots anew where the step differs from the last of its kind). The pivots
// p_i = b_i - (c^2 u_i l_{i+1}) / p_{i+1} are the ratios N_i / N_{i+1} of the continuants
// N_i = b_i N_{i+1} - c^2 u_i l_{i+1} N_{i+2}, whose recursion has no division on its critical
// path (the divisions N_{i+1} / N_i are independent of one another). Every pivot of the
// M-matrix is at least 1 + c (r + lam), so the continuants grow (or, with a negative rate,
// shrink by at most that factor a node); they are scaled down by 2^-512 as they pass 2^512, so
// that they stay finite; forward from the dominant solution, the recursion is stable.
void Solver::stepOnce(double dt, bool implicitEuler, bool project, double tauNew) {
    const std::size_t n = layout_.nodes();
    const double tauOld = tauNew - dt;
    const bool kouInline = model_.law == Law::Kou && model_.lam != 0.0;
    jumps(v_, tauOld, jump_, kouInline);
    // The jump integral at the middle of the step: extrapolated from the last two levels for
    // Crank-Nicolson, the current one for implicit Euler.
    const double c = implicitEuler ? dt : 0.5 * dt;
    const double slope = (!implicitEuler && havePrev_) ? 0.5 * dt / prevStep_ : 0.0;
    const double explicitPart = implicitEuler ? 0.0 : c;
    // The boundary values at the new level (0 at a knock-out's barrier: edge()).
    const double v0 = edge(false, tauNew).at(x(0)), vn = edge(true, tauNew).at(x(n - 1));
    const int which = implicitEuler ? 0 : 1;
    if (kouInline) {
        sweep<true>(dt, c, slope, explicitPart, project, v0, vn, which, tauOld);
    } else {
        sweep<false>(dt, c, slope, explicitPart, project, v0, vn, which, tauOld);
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

template <bool KouInline>
void Solver::sweep(double dt, double c, double slope, double explicitPart, bool project, double v0, double vn,
                   int which, double tauOld) {
    const std::size_t n = layout_.nodes();
    // Kou's jumps along the sweep (a put's upward, from the top; a call's downward, from the
    // bottom) by their recursion as the sweep meets each node, added to those against it.
    double T = 0.0, weight = 0.0;
    const double *A = nullptr, *B = nullptr, *E = nullptr;
    long step = 0;
    if (KouInline) {
        const bool call = contract_.call;
        T = kouBeyond(!call, edge(!call, tauOld));
        weight = model_.lam * (call ? 1.0 - model_.p : model_.p);
        A = call ? downA_.data() : upA_.data();
        B = call ? downB_.data() : upB_.data();
        E = call ? downE_.data() : upE_.data();
        step = call ? -1 : 1;  // the neighbour the recursion reads: below for a call, above for a put
    }
    const auto rhs = [&](std::size_t i) {
        if (KouInline) {
            T = A[i] * v_[i] + B[i] * v_[static_cast<std::size_t>(static_cast<long>(i) + step)] + E[i] * T;
            jump_[i] += weight * T;
        }
        const double J = jump_[i] + slope * (jump_[i] - jumpPrev_[i]);
        return v_[i] + dt * J + explicitPart * (lower_[i] * v_[i - 1] + diag_[i] * v_[i] + upper_[i] * v_[i + 1]);
    };
    const bool refactor = factoredC_[which] != c;
    factoredC_[which] = c;
    // The substitution v_i = rhs_i / p_i + link_i v_{i+dir} (v_{i-1} for a put, v_{i+1} for a
    // call), its coupling link_i = c inner_i / p_i formed with the pivots.
    std::vector<double> &pinv = pivotInv_[which], &mult = mult_[which], &link = link_[which];
    const double c2 = c * c;
    const auto hold = [&](std::size_t i, double value) { return project ? std::max(value, obstacle_[i]) : value; };
    // The elimination runs from `start` to `stop` (a put downward from n - 2, a call upward from
    // 1), each row i eliminating the one before it, i - dir; `outer` is the coefficient on that
    // row's side, `inner` on the other; the substitution runs back from `stop`.
    const bool put = !contract_.call;
    const long dir = put ? -1 : 1;
    const long start = put ? static_cast<long>(n) - 2 : 1, stop = put ? 1 : static_cast<long>(n) - 2;
    const double *outer = put ? upper_.data() : lower_.data(), *inner = put ? lower_.data() : upper_.data();
    const long shift = put ? 0 : -1;  // coupling_[i + shift] = outer_i inner_{i - dir}
    const double fromEdge = put ? vn : v0, toEdge = put ? v0 : vn;
    const auto at = [](long i) { return static_cast<std::size_t>(i); };
    rhs_[at(start)] = rhs(at(start)) + c * outer[start] * fromEdge;
    if (refactor) {
        double before = 1.0, here = 1.0 - c * diag_[at(start)];  // the continuants N_{i - dir}, N_i
        pinv[at(start)] = before / here;
        link[at(start)] = c * inner[start] * pinv[at(start)];
        for (long i = start + dir; i != stop + dir; i += dir) {
            const double next = (1.0 - c * diag_[at(i)]) * here - c2 * coupling_[at(i + shift)] * before;
            before = here;
            here = next;
            if (here > kRescale) {  // an exact power of two: the ratios unchanged
                here *= 1.0 / kRescale;
                before *= 1.0 / kRescale;
            }
            pinv[at(i)] = before / here;
            mult[at(i)] = -c * outer[i] * pinv[at(i - dir)];  // row i minus mult times row i - dir
            link[at(i)] = c * inner[i] * pinv[at(i)];
            rhs_[at(i)] = rhs(at(i)) - mult[at(i)] * rhs_[at(i - dir)];
        }
    } else {
        for (long i = start + dir; i != stop + dir; i += dir) {
            rhs_[at(i)] = rhs(at(i)) - mult[at(i)] * rhs_[at(i - dir)];
        }
    }
    double prev = hold(at(stop), (rhs_[at(stop)] + c * inner[stop] * toEdge) * pinv[at(stop)]);  // the edge's term
    work_[at(stop)] = prev;
    for (long i = stop - dir; i != start - dir; i -= dir) {
        prev = hold(at(i), rhs_[at(i)] * pinv[at(i)] + link[at(i)] * prev);
        work_[at(i)] = prev;
    }
}

// The critical point at this level: the edge of the nodes held at the payoff, placed
// between the last one held and the next by the value's quadratic contact with the payoff
// (smooth pasting: v - g grows as (x - x*)^2).
void Solver::recordBoundary(double tau) {
    // A put is held at the payoff from the low end up to the boundary, a call from the high
    // end down: the first node held, from the strike outwards (deep in the money a node's
    // cell average may lie just above the payoff for the first steps, on cells unequal
    // about their node, and is not held).
    const long n = static_cast<long>(layout_.nodes()), dir = contract_.call ? -1 : 1;
    const auto gap = [&](long i) { return std::sqrt(std::max(v_[i] - obstacle_[i], 0.0)); };
    long held = -1;
    for (long i = contract_.call ? 1 : n - 2; i >= 1 && i <= n - 2; i -= dir) {
        if (obstacle_[i] > 0.0 && v_[i] <= obstacle_[i]) {
            held = i;
            break;
        }
    }
    double xs = kNaN;
    if (held >= 0 && held + 2 * dir >= 0 && held + 2 * dir <= n - 1) {
        const double d1 = gap(held + dir), d2 = gap(held + 2 * dir);
        double shift = d2 > d1 ? d1 / (d2 - d1) : 0.0;
        shift = std::min(shift, 1.0);
        const std::size_t next = static_cast<std::size_t>(held + dir);
        xs = x(next) - shift * (x(next) - x(static_cast<std::size_t>(held)));
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
    const bool today = exercisable_today(contract_, T);
    if (contract_.exercise == Exercise::Bermudan && early_) {
        for (std::size_t k = 0; k < contract_.dateCount; ++k) {
            const double tau = T - contract_.dates[k];
            if (tau < T && tau > 0.0) {
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

// Cubic interpolation in the node number through the four nodes around the point at place t
// (Layout::place): value, first and second derivative in x (through the map's first and
// second derivatives).
void interpolate(const std::vector<double> &v, const Layout &layout, double t, double out[3]) {
    const std::size_t n = v.size();
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
    const double vt = d0 * f0 + d1 * f1 + d2 * f2 + d3 * f3;
    const double e0 = -(s - 1.0), e1 = (3.0 * s - 2.0), e2 = -(3.0 * s - 1.0), e3 = s;
    const double vtt = e0 * f0 + e1 * f1 + e2 * f2 + e3 * f3;
    const double xi = (t + static_cast<double>(layout.first)) / layout.scale;
    const double xt = layout.map.dx(xi) / layout.scale, xtt = layout.map.ddx(xi) / (layout.scale * layout.scale);
    out[1] = vt / xt;
    out[2] = (vtt - out[1] * xtt) / (xt * xt);
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

bool exercisable_today(const Contract &contract, double T) {
    if (!early_exercise(contract)) {
        return false;
    }
    bool today = contract.exercise == Exercise::American;
    for (std::size_t k = 0; contract.exercise == Exercise::Bermudan && k < contract.dateCount; ++k) {
        today = today || T - contract.dates[k] >= T;
    }
    return today;
}

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
    // The grid's edges, beyond the points and the strike (points all on one side of the
    // strike still take their value from paths across it: a put at S / K = e^-3.5 with large
    // upward jumps lost the call's 5 in its parity when its grid ended below the strike). An
    // edge misstates the value only where the law carries the points there and the value
    // there differs from its asymptote, which needs a move back to the strike: either
    // unlikely (1e-8) suffices, or both (1e-4 each).
    const Reach rare = reach(model, 1e-8), likely = reach(model, 1e-4);
    const double scale = settings.marginScale;
    const double lowest = std::min(xa, 0.0), highest = std::max(xb, 0.0);
    double highEdge = highest + scale * std::min(std::min(rare.up, rare.down),
                                                 std::max(likely.up, likely.down - highest));
    double lowEdge = lowest - scale * std::min(std::min(rare.down, rare.up),
                                               std::max(likely.down, likely.up + lowest));
    // The first level's uniform spacing h0 (a knock-out's grid; the stretched grid's scale
    // below): sigma sqrt(T) / 12 (the smoothed kink's scale), at most 0.05; its
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
    // Nodes on every level: the strike (x = 0), or the barrier, at a node. A knock-out's grid
    // is uniform at h0. Otherwise the spacing is a third of h0 across the fine region (the
    // points asked for, the strike, the exercise boundary's path, and sigma sqrt(T) beyond),
    // rising over about 6 sigma sqrt(T) to sigma sqrt(T) beyond it, at most 0.05 (the value's
    // curvature far out is that of e^x: a coarser spacing left Europeans deep in the money
    // unresolved) and sigma^2 / |mu|. Measured on the published puts against the uniform grid
    // at h0: about a third of the nodes, and 6 (Kou) and 3 (Merton) times the accuracy (the
    // error lies where the value bends: at the strike and along the exercise boundary).
    Mapping map{contract.barrier == Barrier::None ? 0.0 : contract.xBarrier, h0, h0, 0.0, 0.0, 1.0};
    if (contract.barrier == Barrier::None) {
        const double cap = drift > 0.0 ? model.sigma * model.sigma / drift : 1e300;
        map.fine = std::min(std::min(diffusion / 36.0, 0.05) / settings.resolution, cap);
        map.wide = std::max(map.fine, std::min(std::min(diffusion, 0.05) / settings.resolution, cap));
        // Where early exercise is allowed the fine region also holds the exercise boundary's
        // path, from the strike (at expiry) to its place today, taken from a pilot solve of
        // the American on a uniform grid of twice h0 (the American's exercise region lies
        // inside every Bermudan's); a kink of the value left in the wide spacing converges
        // irregularly (a Bermudan put was off by 4e-5 on the first level). A pilot grid
        // beyond kPilotNodes: a margin of 2 sigma sqrt(T) instead.
        double lo = lowest, hi = highest;
        if (early_exercise(contract)) {
            const double coarse = 2.0 * h0;
            const Mapping uniform{0.0, coarse, coarse, 0.0, 0.0, 1.0};
            const long f = static_cast<long>(std::floor(lowEdge / coarse));
            const long l = static_cast<long>(std::ceil(highEdge / coarse));
            double extreme = contract.call ? hi + 2.0 * diffusion : lo - 2.0 * diffusion;
            if (l - f + 1 <= static_cast<long>(kPilotNodes)) {
                const Layout layout(uniform, 0, f, l, std::max(coarse, model.s / 8.0));
                Solver pilot(model, Contract{contract.call, Exercise::American}, layout,
                             std::max<std::size_t>(steps0 / 2, 8), true);
                pilot.run();
                extreme = kNaN;
                for (double b : pilot.boundaryX()) {
                    if (!std::isnan(b)) {
                        extreme = std::isnan(extreme) ? b : contract.call ? std::max(extreme, b) : std::min(extreme, b);
                    }
                }
            }
            if (!std::isnan(extreme)) {
                lo = std::min(lo, extreme);
                hi = std::max(hi, extreme);
            }
        }
        // The region's ends outward to multiples of a quarter of sigma sqrt(T): the nodes then
        // stay put as the points (or the pilot's boundary) move a little, so that prices at
        // nearby spots (a bumped delta or gamma) come from the same grid.
        const double quantum = 0.25 * diffusion;
        map.a = quantum * std::floor((lo - diffusion) / quantum) / map.fine;  // x = fine xi across the region
        map.b = quantum * std::ceil((hi + diffusion) / quantum) / map.fine;
        map.w = std::max(1.0, 6.0 * diffusion / (map.fine + map.wide));
    }
    const long first0 = static_cast<long>(std::floor(map.xi(lowEdge))), last0 = static_cast<long>(std::ceil(map.xi(highEdge)));
    const double intervals0 = static_cast<double>(last0 - first0);

    // Merton's jump integral on a lattice s / 8 apart on the first level at resolution 1 (or
    // the grid's spacing h0 for a narrower density). Measured on the published put: the value
    // moves by 4e-9 against a lattice half as wide, and the time falls by half.
    double lattice = std::max(h0, model.s / (8.0 * std::min(settings.resolution, 1.0)));
    while (model.law == Law::Merton && (map.x(static_cast<double>(last0)) - map.x(static_cast<double>(first0))) < 8.0 * lattice) {
        lattice *= 0.5;
    }
    const bool early = early_exercise(contract);
    const auto runLevel = [&](int level, LevelValues &out) {
        const Layout layout(map, level, first0, last0, lattice);
        Solver solver(model, contract, layout, steps0 << level, settings.boundary != nullptr);
        solver.run();
        for (auto &column : out.v) {
            column.resize(count);
        }
        out.near.assign(count, 0);
        const std::vector<double> &final = solver.last(0);
        for (std::size_t k = 0; k < count; ++k) {
            // 2: the interpolation's stencil (and a node more each side) straddles the
            // exercise boundary; 1: the nodes within 5 h0 of the point do.
            const double place = layout.place(x[k]);  // once for the three time levels
            const long j = static_cast<long>(std::floor(place));
            const long below = static_cast<long>(std::floor(layout.place(x[k] - 5.0 * h0)));
            const long above = static_cast<long>(std::ceil(layout.place(x[k] + 5.0 * h0)));
            const long last = static_cast<long>(layout.nodes()) - 1;
            const auto straddles = [&](long from, long to) {
                bool held = false, free = false;
                for (long i = std::max(0L, from); i <= std::min(last, to); ++i) {
                    const std::size_t n = static_cast<std::size_t>(i);
                    // held at the payoff by the exercise constraint (a Bermudan's continuation
                    // below the payoff between dates is not exercised)
                    const bool exercised = solver.obstacle(n) > 0.0 && final[n] == solver.obstacle(n);
                    held = held || exercised;
                    free = free || !exercised;
                }
                return held && free;
            };
            out.near[k] = straddles(j - 2, j + 3) ? 2 : straddles(below, above) ? 1 : 0;
            // Where the interpolation's four nodes are all held at the payoff, the value is the
            // payoff (a cubic in the node number through e^x is not exact on a stretched grid).
            const auto evaluate = [&](const std::vector<double> &v, double result[3]) {
                const long at = std::max(1L, std::min(j, last - 2));
                bool held = early;
                for (long i = at - 1; held && i <= at + 2; ++i) {
                    const std::size_t n = static_cast<std::size_t>(i);
                    held = solver.obstacle(n) > 0.0 && v[n] == solver.obstacle(n);
                }
                if (held) {
                    const double ex = std::exp(x[k]);
                    result[0] = contract.call ? ex - 1.0 : 1.0 - ex;
                    result[1] = result[2] = contract.call ? ex : -ex;
                } else {
                    interpolate(v, layout, place, result);
                }
            };
            double now[3], before[3], earlier[3];
            evaluate(solver.last(0), now);
            evaluate(solver.last(1), before);
            evaluate(solver.last(2), earlier);
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

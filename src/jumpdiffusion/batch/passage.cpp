#include "passage.h"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>

#include "kou_barrier.h"
#include "kou_passage.h"
#include "threads.h"
#include "truncation.h"

namespace batch {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// run(elements, count, law) over the runs of one model (every argument but the spot, the
// strike, the level and the kind; `up` the direction's column, a constant where there is
// none), on the workers; law the log-spot's under the risk-neutral measure, drift r - q -
// sigma^2/2 - lam zeta.
template <typename Inputs, typename Run>
void for_each_law_run(std::size_t size, const Inputs &c, Column<double> up, const Run &run) {
    const ModelKey key = ModelKey::varying({up, c.T, c.r, c.q, c.sigma, c.lam, c.p, c.eta1, c.eta2});
    const Order order = group_by_model(size, key);
    parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for_each_run(order, begin, end, kMaxRun, [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
            const std::size_t e = elements[0];
            const double sigma = c.sigma[e], lam = c.lam[e];
            const double zeta = jumpdiffusion::kou_jump_growth(c.p[e], c.eta1[e], c.eta2[e]) - 1.0;
            const double mu = ((c.r[e] - c.q[e]) - 0.5 * (sigma * sigma)) - lam * zeta;
            run(elements, count, passage::KouLaw{mu, sigma, lam, c.p[e], c.eta1[e], c.eta2[e]});
        });
    });
}

// A run's values and bounds into out[e], out[size + e]: price(inversion, wanted, write)
// evaluates with one set of Euler rules the elements e for which wanted(e), calling write(e,
// value, bound) (NaN, NaN where the inversion's roots were not found). Every element by the
// standard rules; where its bound is wider than kVouched scale(e), by the fine ones, kept where
// that bound is narrower.
template <typename Scale, typename Price>
void vouched(const std::size_t *elements, std::size_t count, std::size_t size, double *out, const Scale &scale,
             const Price &price) {
    price(passage::kStandard, [](std::size_t) { return true; }, [&](std::size_t e, double value, double bound) {
        out[e] = value;
        out[size + e] = bound;
    });
    auto unvouched = [&](std::size_t e) { return !(out[size + e] <= kVouched * scale(e)); };
    bool any = false;
    for (std::size_t j = 0; j < count && !any; ++j) any = unvouched(elements[j]);
    if (!any) return;
    price(passage::kFine, unvouched, [&](std::size_t e, double value, double bound) {
        if (bound < out[size + e] || std::isnan(out[size + e])) {
            out[e] = value;
            out[size + e] = bound;
        }
    });
}

// The round-off of the inversion at A = 18 (some exp(9) eps of its terms), per unit of the
// value's scale: the least bound a value carries.
constexpr double kRoundOff = 1e-12;

// One transform's three inversions (passage/kou_passage.h): at the maturity with A = 18 and A =
// 22 (kEulerA, kEulerSecondA), and coarsely at three times it (kCoarseA). make(T, A, rule)
// builds one.
template <typename Engine>
struct Inversions {
    Engine first, second, coarse;
    template <typename Make>
    Inversions(const Make &make, double T, passage::Inversion rules)
        : first(make(T, passage::kEulerA, rules.rule)), second(make(T, passage::kEulerSecondA, rules.rule)),
          coarse(make(3.0 * T, passage::kCoarseA, rules.coarse)) {}
    bool ok() const { return first.ok() && second.ok() && coarse.ok(); }
    // The value of what value(engine) inverts, less its aliasing, and its error bound: twice
    // the sum of its difference from A = 22's (also less its aliasing) and from the shorter
    // rule's, plus the round-off (kRoundOff times unit).
    template <typename Value>
    double of(const Value &value, double unit, double &error) const {
        const passage::Inverse v = value(first), w = value(second);
        const double late = value(coarse).value;
        const double corrected = v.value - first.aliasing() * late;
        error += 2.0 * (std::fabs(corrected - (w.value - second.aliasing() * late)) + std::fabs(v.value - v.shorter)) +
                 kRoundOff * unit;
        return corrected;
    }
};

// The wanted elements of a run by one set of inversions: write(e, NaN, NaN) where its roots
// were not found, else each(e).
template <typename Engines, typename Wanted, typename Write, typename Each>
void for_wanted(const std::size_t *elements, std::size_t count, const Engines &engines, const Wanted &wanted,
                const Write &write, const Each &each) {
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t e = elements[j];
        if (!wanted(e)) continue;
        if (!engines.ok()) {
            write(e, kNaN, kNaN);
            continue;
        }
        each(e);
    }
}

}  // namespace

void kou_passages(std::size_t size, const PassageInputs &c, PassageValue what, double *out) {
    for_each_law_run(size, c, c.up, [&](const std::size_t *elements, std::size_t count, const passage::KouLaw &law) {
        const std::size_t e0 = elements[0];
        const double T = c.T[e0], r = c.r[e0];
        const bool up = c.up[e0] > 0.0;
        const passage::KouLaw side = up ? law : passage::mirrored(law);
        const double rate = what == PassageValue::TouchAtHit ? r : 0.0;
        const double discount = what == PassageValue::TouchAtExpiry ? std::exp(-r * T) : 1.0;
        // A probability, or a value paid once at the hit (at most exp(-r tau) <= max(1, exp(-rT))).
        const double most = what == PassageValue::TouchAtHit ? std::fmax(1.0, std::exp(-r * T)) : 1.0;
        vouched(elements, count, size, out, [](std::size_t) { return 1.0; },
                [&](passage::Inversion inversion, const auto &wanted, const auto &write) {
            const Inversions<passage::UpPassage> engines(
                [&](double t, double A, passage::EulerRule rule) { return passage::UpPassage(side, t, rate, A, 0.0, rule); },
                T, inversion);
            for_wanted(elements, count, engines, wanted, write, [&](std::size_t e) {
                const double level = std::fmax(0.0, up ? std::log(c.H[e] / c.S[e]) : std::log(c.S[e] / c.H[e]));
                if (level == 0.0) {  // reached at once, for certain
                    write(e, discount, 0.0);
                    return;
                }
                double error = 0.0;
                const double v = engines.of([&](const passage::UpPassage &x) { return x.value(level); }, 1.0, error);
                write(e, discount * std::fmin(most, std::fmax(0.0, v)), discount * error);
            });
        });
    });
}

void kou_lookbacks(std::size_t size, const LookbackInputs &c, double *out) {
    const double none = 0.0;  // no direction: one model per law and maturity
    for_each_law_run(size, c, Column<double>{&none, 0},
                     [&](const std::size_t *elements, std::size_t count, const passage::KouLaw &law) {
        const std::size_t e0 = elements[0];
        const double T = c.T[e0], r = c.r[e0], q = c.q[e0];
        // The maximum's moments (exp(M): the nodes right of G(1) = r - q) and the minimum's
        // (exp(-M') of the mirrored process), each formed where an element needs it.
        bool needMax = false, needMin = false;
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t e = elements[j];
            const bool floating = std::isnan(c.K[e]);
            const bool onMax = floating ? !c.kind[e] : c.kind[e];
            (onMax ? needMax : needMin) = true;
        }
        const double discount = std::exp(-r * T), carried = std::exp(-q * T);
        vouched(elements, count, size, out, [&](std::size_t e) { return c.S[e]; },
                [&](passage::Inversion inversion, const auto &wanted, const auto &write) {
            using Moments = Inversions<passage::UpPassage>;
            std::optional<Moments> maxima, minima;
            const passage::KouLaw other = passage::mirrored(law);
            const double shift = std::fmax(0.0, r - q);
            if (needMax) {
                maxima.emplace([&](double t, double A, passage::EulerRule rule) {
                    return passage::UpPassage(law, t, 0.0, A, shift, rule);
                }, T, inversion);
            }
            if (needMin) {
                minima.emplace([&](double t, double A, passage::EulerRule rule) {
                    return passage::UpPassage(other, t, 0.0, A, 0.0, rule);
                }, T, inversion);
            }
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t e = elements[j];
                if (!wanted(e)) continue;
                const double S = c.S[e], K = c.K[e];
                const bool call = c.kind[e] != 0, floating = std::isnan(K);
                const Moments *m = &*((floating ? !call : call) ? maxima : minima);
                if (!m->ok()) {
                    write(e, kNaN, kNaN);
                    continue;
                }
                double error = 0.0, price;
                auto of = [&](double theta, double k) {
                    return m->of([&](const passage::UpPassage &x) { return x.moment(theta, k); }, 1.0, error);
                };
                if (floating && call) {        // S_T - min = S_T - S exp(-M')
                    price = S * carried - discount * S * (1.0 - of(-1.0, 0.0));
                } else if (floating) {         // max - S_T
                    price = discount * S * (1.0 + of(1.0, 0.0)) - S * carried;
                } else if (call) {             // (max - K)+
                    price = K >= S ? discount * S * of(1.0, std::log(K / S)) : discount * (S * (1.0 + of(1.0, 0.0)) - K);
                } else {                       // (K - min)+
                    price = K <= S ? discount * S * of(-1.0, std::log(S / K)) : discount * (K - S * (1.0 - of(-1.0, 0.0)));
                }
                write(e, std::fmax(0.0, price), discount * S * error);
            }
        });
    });
}

void kou_knock_ins(std::size_t size, const KnockInInputs &c, double *out) {
    for_each_law_run(size, c, c.up, [&](const std::size_t *elements, std::size_t count, const passage::KouLaw &law) {
        const std::size_t e0 = elements[0];
        const double T = c.T[e0], r = c.r[e0], q = c.q[e0];
        const bool up = c.up[e0] > 0.0;
        const passage::KouLaw side = up ? law : passage::mirrored(law);
        const double shift = std::fmax(0.0, r - q), sign = up ? 1.0 : -1.0;
        const double discount = std::exp(-r * T);
        vouched(elements, count, size, out, [&](std::size_t e) { return c.S[e] + c.K[e]; },
                [&](passage::Inversion inversion, const auto &wanted, const auto &write) {
            // Some 50 kB: on the heap, once per run, not on a worker's small stack.
            const auto engines = std::make_unique<const Inversions<passage::UpKnockIn>>(
                [&](double t, double A, passage::EulerRule rule) { return passage::UpKnockIn(side, t, A, shift, sign, rule); },
                T, inversion);
            for_wanted(elements, count, *engines, wanted, write, [&](std::size_t e) {
                const double S = c.S[e], K = c.K[e], level = std::fabs(std::log(c.H[e] / S));
                const bool call = c.kind[e] != 0;
                double error = 0.0;
                const double v = engines->of([&](const passage::UpKnockIn &x) { return x.value(level, S, K, call); },
                                            S + K, error);
                write(e, discount * std::fmax(0.0, v), discount * error);
            });
        });
    });
}

}  // namespace batch

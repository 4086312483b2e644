#include "passage.h"

#include <cmath>
#include <limits>
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

// A run's values and bounds into out[e], out[size + e]: price(rule, wanted, write) evaluates
// with one Euler rule the elements e for which wanted(e), calling write(e, value, bound)
// (NaN, NaN where the inversion's roots were not found). Every element by the coarse rule;
// where its bound is wider than kVouched scale(e), by the fine rule, kept where that bound is
// narrower.
template <typename Scale, typename Price>
void vouched(const std::size_t *elements, std::size_t count, std::size_t size, double *out, const Scale &scale,
             const Price &price) {
    price(passage::kEuler, [](std::size_t) { return true; }, [&](std::size_t e, double value, double bound) {
        out[e] = value;
        out[size + e] = bound;
    });
    auto unvouched = [&](std::size_t e) { return !(out[size + e] <= kVouched * scale(e)); };
    bool any = false;
    for (std::size_t j = 0; j < count && !any; ++j) any = unvouched(elements[j]);
    if (!any) return;
    price(passage::kFineEuler, unvouched, [&](std::size_t e, double value, double bound) {
        if (bound < out[size + e] || std::isnan(out[size + e])) {
            out[e] = value;
            out[size + e] = bound;
        }
    });
}

// The wanted elements of a run by two inversions of one transform, first (A = 25) and second
// (A = 22): write(e, NaN, NaN) where either's roots were not found, else each(e).
template <typename Engine, typename Wanted, typename Write, typename Each>
void by_two_inversions(const std::size_t *elements, std::size_t count, const Engine &first, const Engine &second,
                       const Wanted &wanted, const Write &write, const Each &each) {
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t e = elements[j];
        if (!wanted(e)) continue;
        if (!first.ok() || !second.ok()) {
            write(e, kNaN, kNaN);
            continue;
        }
        each(e);
    }
}

// A moment by two inversions: the value at A = 25 and its difference from A = 22's.
struct Moments {
    passage::UpPassage first, second;
    Moments(const passage::KouLaw &law, double T, double shift, passage::EulerRule rule)
        : first(law, T, 0.0, passage::kEulerA, shift, rule), second(law, T, 0.0, passage::kEulerSecondA, shift, rule) {}
    bool ok() const { return first.ok() && second.ok(); }
    double of(double theta, double k, double &error) const {
        const double v = first.moment(theta, k);
        error += std::fabs(v - second.moment(theta, k)) + std::exp(-passage::kEulerSecondA);
        return v;
    }
};

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
                [&](passage::EulerRule rule, const auto &wanted, const auto &write) {
            const passage::UpPassage first(side, T, rate, passage::kEulerA, 0.0, rule);
            const passage::UpPassage second(side, T, rate, passage::kEulerSecondA, 0.0, rule);
            by_two_inversions(elements, count, first, second, wanted, write, [&](std::size_t e) {
                const double level = std::fmax(0.0, up ? std::log(c.H[e] / c.S[e]) : std::log(c.S[e] / c.H[e]));
                const double v = first.value(level), w = second.value(level);
                write(e, discount * std::fmin(most, std::fmax(0.0, v)),
                      discount * (std::fabs(v - w) + std::exp(-passage::kEulerSecondA)));
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
                [&](passage::EulerRule rule, const auto &wanted, const auto &write) {
            std::optional<Moments> maxima, minima;
            if (needMax) maxima.emplace(law, T, std::fmax(0.0, r - q), rule);
            if (needMin) minima.emplace(passage::mirrored(law), T, 0.0, rule);
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
                if (floating && call) {        // S_T - min = S_T - S exp(-M')
                    price = S * carried - discount * S * (1.0 - m->of(-1.0, 0.0, error));
                } else if (floating) {         // max - S_T
                    price = discount * S * (1.0 + m->of(1.0, 0.0, error)) - S * carried;
                } else if (call) {             // (max - K)+
                    price = K >= S ? discount * S * m->of(1.0, std::log(K / S), error)
                                   : discount * (S * (1.0 + m->of(1.0, 0.0, error)) - K);
                } else {                       // (K - min)+
                    price = K <= S ? discount * S * m->of(-1.0, std::log(S / K), error)
                                   : discount * (K - S * (1.0 - m->of(-1.0, 0.0, error)));
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
                [&](passage::EulerRule rule, const auto &wanted, const auto &write) {
            const passage::UpKnockIn first(side, T, passage::kEulerA, shift, sign, rule);
            const passage::UpKnockIn second(side, T, passage::kEulerSecondA, shift, sign, rule);
            by_two_inversions(elements, count, first, second, wanted, write, [&](std::size_t e) {
                const double S = c.S[e], K = c.K[e], level = std::fabs(std::log(c.H[e] / S));
                const bool call = c.kind[e] != 0;
                const double v = first.value(level, S, K, call), w = second.value(level, S, K, call);
                write(e, discount * std::fmax(0.0, v),
                      discount * (std::fabs(v - w) + std::exp(-passage::kEulerSecondA) * (S + K)));
            });
        });
    });
}

}  // namespace batch

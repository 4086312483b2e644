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

// Whether an element of the run has a bound wider than kVouched times its scale (or none).
template <typename Scale>
bool any_unvouched(const std::size_t *elements, std::size_t count, const double *bounds, const Scale &scale) {
    for (std::size_t j = 0; j < count; ++j) {
        if (!(bounds[elements[j]] <= kVouched * scale(elements[j]))) return true;
    }
    return false;
}

}  // namespace

void kou_passages(std::size_t size, const PassageInputs &c, PassageValue what, double *out) {
    const ModelKey key = ModelKey::varying({c.up, c.T, c.r, c.q, c.sigma, c.lam, c.p, c.eta1, c.eta2});
    const Order order = group_by_model(size, key);
    parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for_each_run(order, begin, end, kMaxRun, [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
            const std::size_t e0 = elements[0];
            const double T = c.T[e0], r = c.r[e0], sigma = c.sigma[e0], lam = c.lam[e0];
            const double p = c.p[e0], eta1 = c.eta1[e0], eta2 = c.eta2[e0];
            // The log-spot's drift under the risk-neutral measure: r - q - sigma^2/2 - lam zeta.
            const double zeta = jumpdiffusion::kou_jump_growth(p, eta1, eta2) - 1.0;
            const double mu = ((r - c.q[e0]) - 0.5 * (sigma * sigma)) - lam * zeta;
            const passage::KouLaw law{mu, sigma, lam, p, eta1, eta2};
            const bool up = c.up[e0] > 0.0;
            const passage::KouLaw side = up ? law : passage::mirrored(law);
            const double rate = what == PassageValue::TouchAtHit ? r : 0.0;
            const double discount = what == PassageValue::TouchAtExpiry ? std::exp(-r * T) : 1.0;
            // A probability, or a value paid once at the hit (at most exp(-r tau) <= max(1, exp(-rT))).
            const double most = what == PassageValue::TouchAtHit ? std::fmax(1.0, std::exp(-r * T)) : 1.0;
            // The coarse rule for every element, the fine one where its bound is too wide.
            auto evaluate = [&](passage::EulerRule rule, bool retry) {
                const passage::UpPassage first(side, T, rate, passage::kEulerA, 0.0, rule);
                const passage::UpPassage second(side, T, rate, passage::kEulerSecondA, 0.0, rule);
                for (std::size_t j = 0; j < count; ++j) {
                    const std::size_t e = elements[j];
                    if (retry && out[size + e] <= kVouched) continue;
                    if (!first.ok() || !second.ok()) {
                        if (!retry) out[e] = out[size + e] = kNaN;
                        continue;
                    }
                    const double level =
                        std::fmax(0.0, up ? std::log(c.H[e] / c.S[e]) : std::log(c.S[e] / c.H[e]));
                    const double v = first.value(level), w = second.value(level);
                    const double bound = discount * (std::fabs(v - w) + std::exp(-passage::kEulerSecondA));
                    if (retry && !(bound < out[size + e]) && !std::isnan(out[size + e])) continue;
                    out[e] = discount * std::fmin(most, std::fmax(0.0, v));
                    out[size + e] = bound;
                }
            };
            evaluate(passage::kEuler, false);
            if (any_unvouched(elements, count, out + size, [](std::size_t) { return 1.0; })) {
                evaluate(passage::kFineEuler, true);
            }
        });
    });
}

namespace {

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

void kou_lookbacks(std::size_t size, const LookbackInputs &c, double *out) {
    const ModelKey key = ModelKey::varying({c.T, c.r, c.q, c.sigma, c.lam, c.p, c.eta1, c.eta2});
    const Order order = group_by_model(size, key);
    parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for_each_run(order, begin, end, kMaxRun, [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
            const std::size_t e0 = elements[0];
            const double T = c.T[e0], r = c.r[e0], q = c.q[e0], sigma = c.sigma[e0], lam = c.lam[e0];
            const double p = c.p[e0], eta1 = c.eta1[e0], eta2 = c.eta2[e0];
            const double zeta = jumpdiffusion::kou_jump_growth(p, eta1, eta2) - 1.0;
            const double mu = ((r - q) - 0.5 * (sigma * sigma)) - lam * zeta;
            const passage::KouLaw law{mu, sigma, lam, p, eta1, eta2};
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
            auto evaluate = [&](passage::EulerRule rule, bool retry) {
                std::optional<Moments> maxima, minima;
                if (needMax) maxima.emplace(law, T, std::fmax(0.0, r - q), rule);
                if (needMin) minima.emplace(passage::mirrored(law), T, 0.0, rule);
                for (std::size_t j = 0; j < count; ++j) {
                    const std::size_t e = elements[j];
                    const double S = c.S[e], K = c.K[e];
                    if (retry && out[size + e] <= kVouched * S) continue;
                    const bool call = c.kind[e] != 0, floating = std::isnan(K);
                    const Moments *m = &*((floating ? !call : call) ? maxima : minima);
                    if (!m->ok()) {
                        if (!retry) out[e] = out[size + e] = kNaN;
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
                    const double bound = discount * S * error;
                    if (retry && !(bound < out[size + e]) && !std::isnan(out[size + e])) continue;
                    out[e] = std::fmax(0.0, price);
                    out[size + e] = bound;
                }
            };
            evaluate(passage::kEuler, false);
            if (any_unvouched(elements, count, out + size, [&](std::size_t e) { return c.S[e]; })) {
                evaluate(passage::kFineEuler, true);
            }
        });
    });
}

void kou_knock_ins(std::size_t size, const KnockInInputs &c, double *out) {
    const ModelKey key = ModelKey::varying({c.up, c.T, c.r, c.q, c.sigma, c.lam, c.p, c.eta1, c.eta2});
    const Order order = group_by_model(size, key);
    parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for_each_run(order, begin, end, kMaxRun, [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
            const std::size_t e0 = elements[0];
            const double T = c.T[e0], r = c.r[e0], q = c.q[e0], sigma = c.sigma[e0], lam = c.lam[e0];
            const double p = c.p[e0], eta1 = c.eta1[e0], eta2 = c.eta2[e0];
            const double zeta = jumpdiffusion::kou_jump_growth(p, eta1, eta2) - 1.0;
            const double mu = ((r - q) - 0.5 * (sigma * sigma)) - lam * zeta;
            const passage::KouLaw law{mu, sigma, lam, p, eta1, eta2};
            const bool up = c.up[e0] > 0.0;
            const passage::KouLaw side = up ? law : passage::mirrored(law);
            const double shift = std::fmax(0.0, r - q), sign = up ? 1.0 : -1.0;
            const double discount = std::exp(-r * T);
            auto evaluate = [&](passage::EulerRule rule, bool retry) {
                const passage::UpKnockIn first(side, T, passage::kEulerA, shift, sign, rule);
                const passage::UpKnockIn second(side, T, passage::kEulerSecondA, shift, sign, rule);
                for (std::size_t j = 0; j < count; ++j) {
                    const std::size_t e = elements[j];
                    const double S = c.S[e], K = c.K[e];
                    if (retry && out[size + e] <= kVouched * (S + K)) continue;
                    if (!first.ok() || !second.ok()) {
                        if (!retry) out[e] = out[size + e] = kNaN;
                        continue;
                    }
                    const double level = std::fabs(std::log(c.H[e] / S));
                    const bool call = c.kind[e] != 0;
                    const double v = first.value(level, S, K, call), w = second.value(level, S, K, call);
                    const double bound = discount * (std::fabs(v - w) + std::exp(-passage::kEulerSecondA) * (S + K));
                    if (retry && !(bound < out[size + e]) && !std::isnan(out[size + e])) continue;
                    out[e] = discount * std::fmax(0.0, v);
                    out[size + e] = bound;
                }
            };
            evaluate(passage::kEuler, false);
            if (any_unvouched(elements, count, out + size, [&](std::size_t e) { return c.S[e] + c.K[e]; })) {
                evaluate(passage::kFineEuler, true);
            }
        });
    });
}

}  // namespace batch

// Internal to the batch loops: Kou evaluations by strips, shared by the price, delta,
// closed-form and Greek loops.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "european.h"
#include "kou_call.h"
#include "prices.h"
#include "special_functions.h"
#include "threads.h"
#include "truncation.h"
#include "upsilon.h"

namespace batch {

// A continuous dividend yield q prices a European option as the spot S exp(-q T) with no
// dividend (the forward is the same): exact for both models. q = 0 leaves S as it is.
inline double forward_spot(double S, double q, double T) {
    return q == 0.0 ? S : S * std::exp((-q) * T);
}

// The put from the call of the same strike and maturity, (K exp(-rT) + call) - S exp(-qT):
// the parity corvane's put uses, with S exp(-qT) the forward-adjusted spot. Floored at 0:
// where the put is worth less than the call's rounding, the parity can round below zero.
inline double put_by_parity(double call, double K, double r, double T, double spot) {
    return std::fmax(0.0, (K * std::exp((-r) * T) + call) - spot);
}

// What makes up a Kou element's model: every argument but S, K, q and kind (the
// truncation rule reads T, lam, p, eta1, eta2 and the given n, all in it).
inline ModelKey kou_model(const KouInputs &c) {
    return ModelKey::varying({c.T, c.r, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.n});
}

// The InOrders storage of the strip evaluations: 2 levels per worker (some 7 KiB each),
// allocated once per call and aligned here.
class KouStorage {
public:
    KouStorage(std::size_t workers, std::size_t levels)
        : perWorker_(2 * levels * sizeof(kou::InOrders) + alignof(kou::InOrders)),
          bytes_(new unsigned char[workers * perWorker_]), levels_(levels) {}  // (not zeroed)
    kou::InOrders *of(std::size_t worker) {
        void *raw = bytes_.get() + worker * perWorker_;
        std::size_t space = perWorker_;
        return static_cast<kou::InOrders *>(
            std::align(alignof(kou::InOrders), 2 * levels_ * sizeof(kou::InOrders), raw, space));
    }

private:
    std::size_t perWorker_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t levels_;
};

// A strip of one Kou model: the element indices, their forward-adjusted spots and strikes,
// the model's arguments and truncation (n < 0: untruncated).
struct KouStrip {
    const std::size_t *elements;
    std::size_t count;
    const double *spot, *strike;
    double T, r, sigma, lam, p, eta1, eta2;
    std::int32_t n;       // the truncation used
    std::int32_t needed;  // the default truncation where n is it, else kNeededUnknown
};

// strip(KouStrip, worker storage) for each strip of at most `levels` elements, in an order
// that brings each model's elements together, on the workers for `size` elements; the
// storage holds 2 * `stored` InOrders (the most levels one evaluation of the strip takes);
// `grain` as for worker_count.
template <typename Strip>
void for_each_kou_strip(std::size_t size, const KouInputs &c, std::size_t levels, std::size_t stored,
                        const Strip &strip, std::size_t grain = kElementsPerThread) {
    const ModelKey key = kou_model(c);
    const Order order = group_by_model(size, key);
    const std::size_t workers = worker_count(size, grain);
    // A strip takes at most min(levels, size) elements, each stored / levels levels.
    KouStorage storage(workers, std::max<std::size_t>(1, std::min(levels, size) * (stored / levels)));
    parallel_for(workers, size, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        kou::InOrders *orders = storage.of(worker);
        double spot[kMaxRun], strike[kMaxRun];
        for_each_run(order, begin, end, levels,
                     [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
                         const std::size_t e = elements[0];
                         for (std::size_t j = 0; j < count; ++j) {
                             const std::size_t x = elements[j];
                             spot[j] = forward_spot(c.S[x], c.q[x], c.T[x]);
                             strike[j] = c.K[x];
                         }
                         const double given = c.n[e];
                         const std::int32_t rule =
                             given < 0.0 ? jumpdiffusion::kou_default_terms(c.T[e], c.lam[e], c.p[e], c.eta1[e], c.eta2[e])
                                         : static_cast<std::int32_t>(given);
                         const KouStrip s{elements, count, spot, strike, c.T[e], c.r[e], c.sigma[e],
                                          c.lam[e], c.p[e], c.eta1[e], c.eta2[e], rule,
                                          given < 0.0 ? rule : jumpdiffusion::kNeededUnknown};
                         strip(s, orders);
                     });
    });
}

// Kou evaluations by strips of up to kou::kMaxLevels elements of one model through
// kou::kou_call_evaluations, which forms the coefficients, powers and weights once for all
// of them; each evaluation is still exactly corvane's for its element, completed where it
// is not finite (kou_call.h). Elements whose default truncation exceeds 170 jump terms are
// priced without truncation. write(e, call, spot, after) receives element e's, spot its
// forward-adjusted spot and, with afterJump, the truncated series' call after one more jump
// C+ = S' (1 + zeta) U1+ - K' U2+ (kou::kou_call_evaluations' shifted; NaN where the price is
// untruncated, and always without afterJump).
template <typename Write>
void kou_evaluation_runs(std::size_t size, const KouInputs &c, const Write &write,
                         std::size_t grain = kElementsPerThread, bool afterJump = false) {
    constexpr std::size_t kLevels = static_cast<std::size_t>(kou::kMaxLevels);
    static_assert(kLevels <= kMaxRun, "a Kou strip fits a run");
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    for_each_kou_strip(size, c, kLevels, kLevels, [&](const KouStrip &s, kou::InOrders *orders) {
        if (s.n < 0) {
            for (std::size_t j = 0; j < s.count; ++j) {
                write(s.elements[j], jumpdiffusion::kou_call_untruncated(s.spot[j], s.strike[j], s.T, s.r, s.sigma,
                                                                         s.lam, s.p, s.eta1, s.eta2),
                      s.spot[j], kNone);
            }
            return;
        }
        kou::KouCallEvaluation evaluations[kLevels];
        double shifted1[kLevels], shifted2[kLevels];
        const double discount = std::exp(-s.r * s.T);
        kou::kou_call_evaluations(s.T, s.strike, s.spot, static_cast<std::int32_t>(s.count), s.r, s.sigma,
                                  s.lam, s.p, s.eta1, s.eta2, s.n, orders, evaluations,
                                  afterJump ? shifted1 : nullptr, afterJump ? shifted2 : nullptr);
        const double zeta1 = afterJump ? jumpdiffusion::kou_jump_growth(s.p, s.eta1, s.eta2) : kNone;  // 1 + zeta
        for (std::size_t j = 0; j < s.count; ++j) {
            write(s.elements[j],
                  jumpdiffusion::kou_call_completed(evaluations[j], s.spot[j], s.strike[j], s.T, s.r, s.sigma,
                                                    s.lam, s.p, s.eta1, s.eta2, s.n, s.needed, discount),
                  s.spot[j],
                  afterJump ? s.spot[j] * (zeta1 * shifted1[j]) - (s.strike[j] * discount) * shifted2[j] : kNone);
        }
    }, grain);
}

// Element e's price from its evaluation: the call, or the put by parity; NaN where no
// method reached the toolkit's accuracy.
inline double kou_element_price(const KouInputs &c, std::size_t e, const jumpdiffusion::KouCall &v, double spot) {
    const double price = c.kind[e] ? v.call : put_by_parity(v.call, c.K[e], c.r[e], c.T[e], spot);
    return v.priced ? price : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace batch

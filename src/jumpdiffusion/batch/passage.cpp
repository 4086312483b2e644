#include "passage.h"

#include <cmath>
#include <limits>

#include "kou_passage.h"
#include "threads.h"
#include "truncation.h"

namespace batch {

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
            const passage::UpPassage first(side, T, rate, passage::kEulerA);
            const passage::UpPassage second(side, T, rate, passage::kEulerSecondA);
            const double discount = what == PassageValue::TouchAtExpiry ? std::exp(-r * T) : 1.0;
            // A probability, or a value paid once at the hit (at most exp(-r tau) <= max(1, exp(-rT))).
            const double most = what == PassageValue::TouchAtHit ? std::fmax(1.0, std::exp(-r * T)) : 1.0;
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t e = elements[j];
                const double level = std::fmax(0.0, up ? std::log(c.H[e] / c.S[e]) : std::log(c.S[e] / c.H[e]));
                if (!first.ok() || !second.ok()) {
                    out[e] = out[size + e] = std::numeric_limits<double>::quiet_NaN();
                    continue;
                }
                const double v = first.value(level), w = second.value(level);
                out[e] = discount * std::fmin(most, std::fmax(0.0, v));
                out[size + e] = discount * (std::fabs(v - w) + std::exp(-passage::kEulerSecondA));
            }
        });
    });
}

}  // namespace batch

#include "kou_greeks.h"

#include <cmath>
#include <limits>

#include "kou_runs.h"

namespace batch {

namespace {

constexpr double kStep = 0x1p-17;  // relative step of the differences (rho: absolute)

// The element's Greeks by central differences of the completed price (and of its delta
// for gamma), the truncation n held fixed (n < 0: untruncated).
void greeks_by_differences(const KouInputs &c, std::size_t e, std::int32_t n, std::int32_t needed,
                           std::size_t size, double *out) {
    const double S = c.S[e], K = c.K[e], T0 = c.T[e], r0 = c.r[e], q = c.q[e], sigma0 = c.sigma[e];
    const double lam = c.lam[e], p = c.p[e], eta1 = c.eta1[e], eta2 = c.eta2[e];
    const bool call = c.kind[e] != 0;
    bool priced = true;
    auto evaluate = [&](double spot, double T, double r, double sigma) {
        jumpdiffusion::KouCall v;
        if (n < 0) {
            v = jumpdiffusion::kou_call_untruncated(spot, K, T, r, sigma, lam, p, eta1, eta2);
        } else {
            const kou::KouCallEvaluation x = kou::kou_call_evaluation(T, K, spot, r, sigma, lam, p, eta1, eta2, n);
            v = jumpdiffusion::kou_call_completed(x, spot, K, T, r, sigma, lam, p, eta1, eta2, n, needed,
                                                  std::exp(-r * T));
        }
        priced = priced && v.priced;
        return v;
    };
    auto price = [&](double Sx, double T, double r, double sigma) {
        const double spot = forward_spot(Sx, q, T);
        const double v = evaluate(spot, T, r, sigma).call;
        return call ? v : put_by_parity(v, K, r, T, spot);
    };
    const double carry = std::exp(-q * T0);
    const double U1 = evaluate(forward_spot(S, q, T0), T0, r0, sigma0).delta;
    const double hS = kStep * S * std::fmin(1.0, sigma0 * std::sqrt(T0));
    const double up = evaluate(forward_spot(S + hS, q, T0), T0, r0, sigma0).delta;
    const double down = evaluate(forward_spot(S - hS, q, T0), T0, r0, sigma0).delta;
    const double hs = kStep * sigma0, hT = kStep * T0;
    const double greeks[kGreekRows] = {
        carry * (U1 - (call ? 0.0 : 1.0)),
        carry * (up - down) / (2.0 * hS),
        (price(S, T0, r0, sigma0 + hs) - price(S, T0, r0, sigma0 - hs)) / (2.0 * hs),
        -(price(S, T0 + hT, r0, sigma0) - price(S, T0 - hT, r0, sigma0)) / (2.0 * hT),
        (price(S, T0, r0 + kStep, sigma0) - price(S, T0, r0 - kStep, sigma0)) / (2.0 * kStep),
    };
    for (std::size_t row = 0; row < kGreekRows; ++row) {
        out[row * size + e] = priced ? greeks[row] : std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace

void kou_greeks(std::size_t size, const KouInputs &c, double *out) {
    // A strip's levels: its options at the spot, then at the spot bumped up and down.
    constexpr std::size_t kStrip = static_cast<std::size_t>(kou::kMaxLevels) / 2;
    for_each_kou_strip(size, c, kStrip, 2 * kStrip, [&](const KouStrip &s, kou::InOrders *orders) {
        const std::int32_t count = static_cast<std::int32_t>(s.count);
        if (s.n < 0) {
            for (std::size_t j = 0; j < s.count; ++j) {
                greeks_by_differences(c, s.elements[j], s.n, s.needed, size, out);
            }
            return;
        }
        kou::KouCallEvaluation evaluations[kStrip];
        double shifted1[kStrip], shifted2[kStrip];
        kou::kou_call_evaluations(s.T, s.strike, s.spot, count, s.r, s.sigma, s.lam, s.p, s.eta1, s.eta2,
                                  s.n, orders, evaluations, shifted1, shifted2);
        // The bump, relative to S', on the scale of the log-spot's deviation w = sigma sqrt T
        // (at most 1): with U1 off by at most b, the central difference's error is about
        // b / (2h) + h^2 |U1'''| / 6 in the log-spot, with |U1'''| about 0.4 / w^3, least at
        // h = w (3.75 b)^(1/3); 2^-17 w at the least (b of a few ulps).
        const double w = std::fmin(1.0, s.sigma * std::sqrt(s.T));
        double strikes[2 * kStrip], spots[2 * kStrip];
        for (std::size_t j = 0; j < s.count; ++j) {
            const double b = std::isfinite(evaluations[j].shareBound) ? evaluations[j].shareBound : 0.0;
            const double h = w * std::fmax(kStep, std::cbrt(3.75 * b));
            strikes[j] = strikes[s.count + j] = s.strike[j];
            spots[j] = s.spot[j] + h * s.spot[j];
            spots[s.count + j] = s.spot[j] - h * s.spot[j];
        }
        kou::UpsilonEstimate bumped[2 * kStrip];
        kou::kou_share_levels(s.T, strikes, spots, 2 * count, s.r, s.sigma, s.lam, s.p, s.eta1, s.eta2, s.n,
                              orders, bumped);
        const double discount = std::exp(-s.r * s.T);
        const double zeta1 = jumpdiffusion::kou_jump_growth(s.p, s.eta1, s.eta2);
        for (std::size_t j = 0; j < s.count; ++j) {
            const std::size_t e = s.elements[j];
            const double spot = s.spot[j], K = s.strike[j];
            const jumpdiffusion::KouCall v = jumpdiffusion::kou_call_completed(
                evaluations[j], spot, K, s.T, s.r, s.sigma, s.lam, s.p, s.eta1, s.eta2, s.n, s.needed, discount);
            const kou::UpsilonEstimate &a = bumped[j], &b = bumped[s.count + j];
            const double scale = spot + K * discount;
            const double C1 = spot * (zeta1 * shifted1[j]) - (K * discount) * shifted2[j];
            // (A difference of probabilities is taken where both meet the toolkit's accuracy.)
            const double most = jumpdiffusion::kAccuracy * scale;
            if (!v.certified || !(a.bound * spot <= most) || !(b.bound * spot <= most) ||
                !std::isfinite(C1)) {
                greeks_by_differences(c, e, s.n, s.needed, size, out);
                continue;
            }
            const double step = spots[j] - spots[s.count + j];  // the bumps as rounded
            const double gamma = (a.value - b.value) / step;
            const double vega = gamma * spot * spot * s.sigma * s.T;
            const double U1 = v.delta, C = v.call;
            double dCdT = ((-s.r * C + (s.r - s.lam * (zeta1 - 1.0)) * (spot * U1)) +
                           s.sigma * vega / (2.0 * s.T)) + s.lam * (C1 - C);
            double delta = U1, rho = s.T * (spot * U1 - C);
            if (!c.kind[e]) {  // P = C - S' + K'
                delta -= 1.0;
                rho -= s.T * (K * discount);
                dCdT -= s.r * (K * discount);
            }
            const double carry = spot / c.S[e];  // exp(-qT)
            out[e] = carry * delta;
            out[size + e] = carry * carry * gamma;
            out[2 * size + e] = vega;
            out[3 * size + e] = -dCdT + c.q[e] * spot * delta;
            out[4 * size + e] = rho;
        }
    });
}

}  // namespace batch

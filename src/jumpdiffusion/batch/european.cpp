#include "european.h"

#include <cmath>
#include <limits>

#include "black_scholes.h"
#include "kou_runs.h"
#include "merton_call.h"
#include "merton_series.h"
#include "supported_domain.h"

namespace batch {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// halvorn's last term with a finite factorial: its series ends there.
constexpr double kLastScalarTerm = 170.0;

// What makes up a Merton element's model (every argument but S, K, q and kind).
ModelKey merton_model(const MertonInputs &c) {
    return ModelKey::varying({c.T, c.r, c.sigma, c.lam, c.m, c.s, c.n});
}

// The truncation of a Merton element: n where given, else the default rule.
double merton_terms(const MertonInputs &c, std::size_t e) {
    return c.n[e] >= 0.0 ? c.n[e] : jumpdiffusion::merton_default_terms(c.T[e], c.lam[e], c.m[e], c.s[e]);
}

// run(elements, count, terms) over strips of one Merton model, on the workers for size.
template <typename Run>
void merton_runs(std::size_t size, const MertonInputs &c, const Run &run, std::size_t grain = kElementsPerThread) {
    const ModelKey key = merton_model(c);
    const Order order = group_by_model(size, key);
    parallel_for(worker_count(size, grain), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for_each_run(order, begin, end, kMaxRun, [&](std::size_t a, std::size_t b) { return key.same(a, b); },
                     [&](const std::size_t *elements, std::size_t count) {
                         run(elements, count, merton_terms(c, elements[0]));
                     });
    });
}

// value(forward, discount factor, e) element by element.
template <typename Value>
void black_scholes_loop(std::size_t size, Column<double> S, Column<double> T, Column<double> r,
                        Column<double> q, double *out, const Value &value) {
    parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t e = begin; e < end; ++e) {
            out[e] = value(S[e] * std::exp((r[e] - q[e]) * T[e]), std::exp(-r[e] * T[e]), e);
        }
    });
}

template <typename JointOf>
Violation first_violation(std::size_t size, const JointOf &joint) {
    for (std::size_t e = 0; e < size; ++e) {
        const jumpdiffusion::Joint j = joint(e);
        if (j != jumpdiffusion::Joint::None) {
            return {static_cast<long long>(e), static_cast<int>(j)};
        }
    }
    return {-1, 0};
}

}  // namespace

void kou_prices(std::size_t size, const KouInputs &c, double *out, std::size_t grain) {
    kou_evaluation_runs(size, c, [&](std::size_t e, const jumpdiffusion::KouCall &v, double spot, double) {
        out[e] = kou_element_price(c, e, v, spot);
    }, grain);
}

void kou_closed_forms(std::size_t size, const KouInputs &c, double *out) {
    kou_evaluation_runs(size, c, [&](std::size_t e, const jumpdiffusion::KouCall &v, double, double) {
        out[e] = v.closedForm;
        out[size + e] = v.bound;
        out[2 * size + e] = v.certified ? 1.0 : 0.0;
    });
}

// A strip of one maturity, model and truncation (of strikes or spots) goes through
// merton::call_strip, which forms each term's shared parts once; every price is still
// halvorn's double. halvorn's terms end at 170 (i! overflows from 171 on): where the
// truncation and the default rule both exceed 170, or where halvorn's sum is not finite
// (a power or discount factor of one term overflowing), the series is summed around its
// Poisson mode instead.
void merton_prices(std::size_t size, const MertonInputs &c, double *out, std::size_t grain) {
    merton_runs(size, c, [&](const std::size_t *elements, std::size_t count, double last) {
        const std::size_t e = elements[0];
        const double T = c.T[e], r = c.r[e], sigma = c.sigma[e], lam = c.lam[e], m = c.m[e], s = c.s[e];
        double spot[kMaxRun], strike[kMaxRun], calls[kMaxRun], logSK[kMaxRun];
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t x = elements[j];
            spot[j] = forward_spot(c.S[x], c.q[x], T);
            strike[j] = c.K[x];
        }
        const bool scalar = last <= kLastScalarTerm ||
                            jumpdiffusion::merton_default_terms(T, lam, m, s) <= kLastScalarTerm;
        if (scalar) {
            merton::call_strip(strike, T, spot, count, sigma, r, lam, m, s, last, calls, logSK);
        }
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t x = elements[j];
            if (scalar && std::isfinite(calls[j])) {
                out[x] = c.kind[x] ? calls[j] : put_by_parity(calls[j], strike[j], r, T, spot[j]);
                continue;
            }
            const jumpdiffusion::MertonSeries v =
                jumpdiffusion::merton_series(spot[j], strike[j], T, r, sigma, lam, m, s, last);
            out[x] = c.kind[x] ? v.call : v.put;
        }
    }, grain);
}

// With V_i = sigma^2 T + i s^2 and S' = S exp(-qT), K' = K exp(-rT), the call is
// S' A - K' B with A = sum pi_i(L) N(d1_i), B = sum pi_i(lam T) N(d2_i), and
//   dC/dS' = A, d2C/dS'2 = sum pi_i(L) phi(d1_i) / (S' sqrt V_i),
//   dC/dsigma = S' sum pi_i(L) phi(d1_i) sigma T / sqrt V_i,  dC/dr = T K' B,
//   dC/dT (S' fixed) = S' sum pi_i(L) ((i - L) / T N(d1_i) + phi(d1_i) sigma^2 / (2 sqrt V_i))
//                      - K' sum pi_i(lam T) (i / T - lam) N(d2_i) + r K' B
// (the terms in dd/dT cancel by S' pi_i(L) phi(d1_i) = K' pi_i(lam T) phi(d2_i)), term by
// term over the terms the price sums (merton_series.h). The put is the call - S' + K'.
// Theta is -dC/dT (per year), vega per unit of sigma, rho per unit of r; a dividend yield
// enters through S'.
void merton_greeks(std::size_t size, const MertonInputs &c, double *out) {
    merton_runs(size, c, [&](const std::size_t *elements, std::size_t count, double last) {
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t e = elements[j];
            const double T = c.T[e], r = c.r[e];
            const double Sf = forward_spot(c.S[e], c.q[e], T);
            const jumpdiffusion::MertonSeries v =
                jumpdiffusion::merton_series(Sf, c.K[e], T, r, c.sigma[e], c.lam[e], c.m[e], c.s[e], last);
            double delta = v.callDelta, rho = v.callRho, dT = v.dCdT;
            if (!c.kind[e]) {  // put = call - S' + K exp(-rT)
                const double discount = c.K[e] * std::exp(-r * T);
                delta -= 1.0;
                rho -= discount * T;
                dT -= r * discount;
            }
            const double carry = Sf / c.S[e];  // exp(-qT)
            out[e] = carry * delta;
            out[size + e] = carry * carry * v.gamma;
            out[2 * size + e] = v.vega;
            out[3 * size + e] = -dT + c.q[e] * Sf * delta;
            out[4 * size + e] = rho;
        }
    });
}

void black_scholes_prices(std::size_t size, Column<std::int8_t> kind, Column<double> S,
                          Column<double> K, Column<double> T, Column<double> r, Column<double> q,
                          Column<double> sigma, double *out) {
    black_scholes_loop(size, S, T, r, q, out, [&](double forward, double discount, std::size_t e) {
        return discount * black_scholes::price(forward, K[e], sigma[e], T[e], kind[e] != 0);
    });
}

// The headroom below the upper bound is taken in discounted terms, S exp(-qT) - price for
// a call and K exp(-rT) - price for a put, so that a price within an ulp of the bound as a
// user forms it still has its volatility.
void implied_vols(std::size_t size, Column<double> price, Column<std::int8_t> kind,
                  Column<double> S, Column<double> K, Column<double> T, Column<double> r,
                  Column<double> q, double *out) {
    black_scholes_loop(size, S, T, r, q, out, [&](double forward, double discount, std::size_t e) {
        const bool call = kind[e] != 0;
        // (For a put the bound is K times the discount factor the loop formed, exp(-rT).)
        const double bound = call ? S[e] * std::exp(-q[e] * T[e]) : K[e] * discount;
        return black_scholes::implied_volatility(price[e] / discount, forward, K[e], T[e], call,
                                                 (bound - price[e]) / discount);
    });
}

Violation kou_violation(std::size_t size, Column<double> S, Column<double> K, Column<double> T,
                        Column<double> lam) {
    return first_violation(size, [&](std::size_t e) { return jumpdiffusion::kou_joint(S[e], K[e], T[e], lam[e]); });
}

Violation merton_violation(std::size_t size, Column<double> S, Column<double> K,
                           Column<double> T, Column<double> lam, Column<double> m,
                           Column<double> s) {
    return first_violation(size, [&](std::size_t e) {
        return jumpdiffusion::merton_joint(S[e], K[e], T[e], lam[e], m[e], s[e]);
    });
}

}  // namespace batch

// jumpdiffusion._native: the element loops of the toolkit over the numerical cores of
// corvane and halvorn. The Python layer validates and broadcasts; this file receives
// contiguous one-dimensional arrays of equal length, prices each element with the very
// functions the two modules call (so the same bits), with the interpreter lock released
// and, for large arrays, on several threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "lets_be_rational.h"
#include "merton_call.h"
#include "module_guards.h"
#include "prices.h"
#include "special_functions.h"
#include "upsilon.h"
#include "truncation.h"

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>;
using Counts = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

namespace {

// Below this many elements one thread does the work (starting threads costs more).
constexpr std::size_t kElementsPerThread = 4096;

// The most threads a loop may use: all cores unless set lower (the benchmark measures one).
std::atomic<unsigned> maxThreads{0};

// The number of workers parallel_for uses for `size` elements.
std::size_t worker_count(std::size_t size) {
    // hardware_concurrency reads the system's CPU list (a file read on glibc): once.
    static const unsigned machineCores = std::max(1u, std::thread::hardware_concurrency());
    if (size < 2 * kElementsPerThread) {
        return 1;
    }
    const unsigned limit = maxThreads.load();
    const std::size_t cores = limit > 0 ? limit : machineCores;
    return std::min(cores, std::max<std::size_t>(1, size / kElementsPerThread));
}

// Runs body(begin, end, worker) over [0, size) in contiguous chunks on up to all cores.
template <typename Body>
void parallel_for(std::size_t size, const Body &body) {
    const std::size_t workers = worker_count(size);
    if (workers <= 1) {
        body(0, size, 0);
        return;
    }
    std::vector<std::thread> threads;
    const std::size_t chunk = (size + workers - 1) / workers;
    for (std::size_t w = 1; w < workers; ++w) {
        const std::size_t begin = std::min(size, w * chunk), end = std::min(size, begin + chunk);
        threads.emplace_back([&body, begin, end, w] { body(begin, end, w); });
    }
    body(0, std::min(size, chunk), 0);
    for (std::thread &t : threads) {
        t.join();
    }
}

// An argument of the loop: one value per element, or one value for all (a scalar, which
// the Python layer does not copy out to the full length).
template <typename T>
struct Column {
    const T *values;
    std::size_t step;
    const T &operator[](std::size_t e) const { return values[e * step]; }
};

template <typename T, int Flags>
Column<T> column(const py::array_t<T, Flags> &a) {
    return {a.data(), a.size() == 1 ? std::size_t{0} : std::size_t{1}};
}

// A continuous dividend yield q prices a European option as the spot S exp(-q T) with no
// dividend (the forward is the same): exact for both models. q = 0 leaves S as it is.
inline double forward_spot(double S, double q, double T) {
    return q == 0.0 ? S : S * std::exp((-q) * T);
}

// The columns every model's loop reads: kind, spot, dividend yield, maturity, strike, rate.
struct Options {
    Column<std::int8_t> kind;
    Column<double> S, q, T, K, r;
};

// Visits [begin, end) in runs of at most `limit` (<= kMaxRun) consecutive elements with the
// same model (same(e, e + j)): run(e, count, spot, strike) receives each run's
// forward-adjusted spots and strikes.
constexpr std::size_t kMaxRun = 256;
template <typename Same, typename Run>
void for_each_run(std::size_t begin, std::size_t end, std::size_t limit, Column<double> S,
                  Column<double> q, Column<double> T, Column<double> K, const Same &same,
                  const Run &run) {
    double spot[kMaxRun], strike[kMaxRun];
    for (std::size_t e = begin; e < end;) {
        std::size_t count = 0;
        do {
            spot[count] = forward_spot(S[e + count], q[e + count], T[e + count]);
            strike[count] = K[e + count];
            ++count;
        } while (e + count < end && count < limit && same(e, e + count));
        run(e, count, spot, strike);
        e += count;
    }
}

// The put from the call of the same strike and maturity, (K exp(-rT) + call) - S exp(-qT):
// the parity corvane's put uses, with S exp(-qT) the forward-adjusted spot.
inline double put_by_parity(double call, double K, double r, double T, double spot) {
    return (K * std::exp((-r) * T) + call) - spot;
}

// Prices [begin, end) by runs (for_each_run): price_run(e, count, spot, strike, res + e)
// writes each run's call prices, and the puts among them are then formed by parity.
template <typename Same, typename PriceRun>
void price_runs(std::size_t begin, std::size_t end, std::size_t limit, const Options &o,
                const Same &same, double *res, const PriceRun &price_run) {
    for_each_run(begin, end, limit, o.S, o.q, o.T, o.K, same,
                 [&](std::size_t e, std::size_t count, const double *spot, const double *strike) {
                     price_run(e, count, spot, strike, res + e);
                     for (std::size_t j = 0; j < count; ++j) {
                         if (!o.kind[e + j]) {
                             res[e + j] = put_by_parity(res[e + j], strike[j], o.r[e + j],
                                                        o.T[e + j], spot[j]);
                         }
                     }
                 });
}

// The default truncation rules over the columns of their parameters: whether two elements
// share them, and the rule's n for one element.
struct KouRule {
    Column<double> t, l, pp, e1, e2;
    bool same(std::size_t a, std::size_t b) const {
        return t[a] == t[b] && l[a] == l[b] && pp[a] == pp[b] && e1[a] == e1[b] && e2[a] == e2[b];
    }
    double terms(std::size_t e) const {
        return jumpdiffusion::kou_default_terms(t[e], l[e], pp[e], e1[e], e2[e]);
    }
};

struct MertonRule {
    Column<double> t, l, mm, ss;
    bool same(std::size_t a, std::size_t b) const {
        return t[a] == t[b] && l[a] == l[b] && mm[a] == mm[b] && ss[a] == ss[b];
    }
    double terms(std::size_t e) const {
        return jumpdiffusion::merton_default_terms(t[e], l[e], mm[e], ss[e]);
    }
};

// The truncation of every element: n where given (n >= 0), else the default rule, formed
// once for each run of elements with the same parameters (a strip or a surface row).
template <typename Rule>
py::array_t<double> truncations(Column<double> n, std::size_t size, const Rule &rule) {
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *terms = out.mutable_data();
    for (std::size_t e = 0; e < size; ++e) {
        terms[e] = n[e] >= 0.0 ? n[e] : (e > 0 && n[e - 1] < 0.0 && rule.same(e - 1, e))
                                              ? terms[e - 1]
                                              : rule.terms(e);
    }
    return out;
}

// The columns of a Kou computation; n < 0 asks for the default truncation.
struct KouColumns {
    Column<double> S, K, T, r, q, sigma, lam, p, eta1, eta2, n;
};

KouColumns kou_columns(const Doubles &S, const Doubles &K, const Doubles &T, const Doubles &r,
                       const Doubles &q, const Doubles &sigma, const Doubles &lam, const Doubles &p,
                       const Doubles &eta1, const Doubles &eta2, const Doubles &n) {
    return KouColumns{column(S),     column(K),   column(T), column(r),    column(q),
                      column(sigma), column(lam), column(p), column(eta1), column(eta2),
                      column(n)};
}

// Kou evaluations by runs: up to kou::kMaxLevels consecutive elements with the same
// maturity, model and truncation (a strip) go through kou::kou_call_evaluations, which
// forms the coefficients, powers and weights once for all of them; each evaluation is
// still exactly corvane's (kou_call_evaluation's) for its element. write(e, evaluation,
// spot) receives element e's, spot being its forward-adjusted spot. The InOrders storage
// the evaluation needs is allocated here, once per call and worker; the interpreter lock
// is released meanwhile.
template <typename Write>
void kou_evaluation_runs(std::size_t size, const KouColumns &c, const Write &write) {
    const py::array_t<double> terms =
        truncations(c.n, size, KouRule{c.T, c.lam, c.p, c.eta1, c.eta2});
    const double *nn = terms.data();
    constexpr std::size_t kLevels = static_cast<std::size_t>(kou::kMaxLevels);
    static_assert(kLevels <= kMaxRun, "a Kou run fits the gathered spots and strikes");
    const std::size_t levels = std::max<std::size_t>(1, std::min(kLevels, size));  // per run
    const std::size_t perWorker = 2 * levels * sizeof(kou::InOrders) + alignof(kou::InOrders);
    py::array_t<unsigned char> storage(static_cast<py::ssize_t>(worker_count(size) * perWorker));
    unsigned char *bytes = storage.mutable_data();
    auto sameModel = [&](std::size_t a, std::size_t b) {
        return c.T[a] == c.T[b] && c.r[a] == c.r[b] && c.sigma[a] == c.sigma[b] &&
               c.lam[a] == c.lam[b] && c.p[a] == c.p[b] && c.eta1[a] == c.eta1[b] &&
               c.eta2[a] == c.eta2[b] && nn[a] == nn[b];
    };
    py::gil_scoped_release unlocked;
    parallel_for(size, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        void *raw = bytes + worker * perWorker;
        std::size_t space = perWorker;
        auto *orders = static_cast<kou::InOrders *>(
            std::align(alignof(kou::InOrders), 2 * levels * sizeof(kou::InOrders), raw, space));
        kou::KouCallEvaluation evaluations[kLevels];
        for_each_run(begin, end, levels, c.S, c.q, c.T, c.K, sameModel,
                     [&](std::size_t e, std::size_t count, const double *spot, const double *strike) {
                         kou::kou_call_evaluations(c.T[e], strike, spot, static_cast<std::int32_t>(count),
                                                   c.r[e], c.sigma[e], c.lam[e], c.p[e], c.eta1[e],
                                                   c.eta2[e], static_cast<std::int32_t>(nn[e]), orders,
                                                   evaluations);
                         for (std::size_t j = 0; j < count; ++j) {
                             write(e + j, evaluations[j], spot[j]);
                         }
                     });
    });
}

// Kou: corvane's call (certified closed form or stable evaluation); a put by parity.
py::array_t<double> kou_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                               const Doubles &K, const Doubles &T, const Doubles &r,
                               const Doubles &q, const Doubles &sigma, const Doubles &lam,
                               const Doubles &p, const Doubles &eta1, const Doubles &eta2,
                               const Doubles &n) {
    const KouColumns c = kou_columns(S, K, T, r, q, sigma, lam, p, eta1, eta2, n);
    const Column<std::int8_t> kind = column(isCall);
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    kou_evaluation_runs(size, c, [&](std::size_t e, const kou::KouCallEvaluation &v, double spot) {
        res[e] = kind[e] ? v.price : put_by_parity(v.price, c.K[e], c.r[e], c.T[e], spot);
    });
    return out;
}

// Merton: halvorn's call, by strips: a run of elements with the same maturity, model and
// truncation (a strip of strikes or spots) is priced by merton::call_strip, which forms
// each term's shared parts once; every price is still halvorn's double.
py::array_t<double> merton_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                                  const Doubles &K, const Doubles &T, const Doubles &r,
                                  const Doubles &q, const Doubles &sigma, const Doubles &lam,
                                  const Doubles &m, const Doubles &sj, const Doubles &n) {
    const Column<std::int8_t> kind = column(isCall);
    const Column<double> s0 = column(S), k = column(K), t = column(T), rr = column(r),
                         qq = column(q), sg = column(sigma), l = column(lam), mm = column(m),
                         ss = column(sj);
    const py::array_t<double> terms = truncations(column(n), size, MertonRule{t, l, mm, ss});
    const double *nn = terms.data();
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    auto sameModel = [&](std::size_t a, std::size_t b) {
        return t[a] == t[b] && sg[a] == sg[b] && rr[a] == rr[b] && l[a] == l[b] &&
               mm[a] == mm[b] && ss[a] == ss[b] && nn[a] == nn[b];
    };
    {
        py::gil_scoped_release unlocked;
        parallel_for(size, [&](std::size_t begin, std::size_t end, std::size_t) {
            double logSK[kMaxRun];
            price_runs(begin, end, kMaxRun, Options{kind, s0, qq, t, k, rr}, sameModel, res,
                       [&](std::size_t e, std::size_t count, const double *spot,
                           const double *strike, double *calls) {
                           merton::call_strip(strike, t[e], spot, count, sg[e], rr[e], l[e],
                                              mm[e], ss[e], nn[e], calls, logSK);
                       });
        });
    }
    return out;
}

// Kou: the share-measure probability U1 that corvane's call is formed from, at the
// forward-adjusted spot: the call's delta in that spot (the truncated series is
// homogeneous of degree one in (S, K), and S f1(a) = K exp(-rT) f2(a) jump count by
// jump count, so dC/dS = U1 exactly). n as for kou_prices.
py::array_t<double> kou_share_probabilities(std::size_t size, const Doubles &S, const Doubles &K,
                                            const Doubles &T, const Doubles &r, const Doubles &q,
                                            const Doubles &sigma, const Doubles &lam,
                                            const Doubles &p, const Doubles &eta1,
                                            const Doubles &eta2, const Doubles &n) {
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    kou_evaluation_runs(size, kou_columns(S, K, T, r, q, sigma, lam, p, eta1, eta2, n),
                        [&](std::size_t e, const kou::KouCallEvaluation &v, double) {
                            res[e] = v.shareProbability;
                        });
    return out;
}

// Kou: the call's closed form as evaluated in double precision, the bound on its error
// against the exact truncated series, and whether the price is the closed form's bits
// (rows 0, 1, 2). n as for kou_prices.
py::array_t<double> kou_closed_forms(std::size_t size, const Doubles &S, const Doubles &K,
                                     const Doubles &T, const Doubles &r, const Doubles &q,
                                     const Doubles &sigma, const Doubles &lam, const Doubles &p,
                                     const Doubles &eta1, const Doubles &eta2, const Doubles &n) {
    py::array_t<double> out({static_cast<py::ssize_t>(3), static_cast<py::ssize_t>(size)});
    double *res = out.mutable_data();
    kou_evaluation_runs(size, kou_columns(S, K, T, r, q, sigma, lam, p, eta1, eta2, n),
                        [&](std::size_t e, const kou::KouCallEvaluation &v, double) {
                            res[e] = v.closedForm;
                            res[size + e] = v.bound;
                            res[2 * size + e] = v.certified ? 1.0 : 0.0;
                        });
    return out;
}

// Merton: delta, gamma, vega, theta, rho of the truncated series, differentiated term by
// term. With V_i = sigma^2 T + i s^2, R_i = (r - lam k) T + i log(1 + k) and the weights
// w_i = exp(-L) L^i / i!, L = lam (1 + k) T, the call is sum w_i BS(S, K, V_i, R_i) over
// i = 0 .. min(n, 170) (from 171 on i! overflows and the price's terms vanish), and
//   dBS/dS = N(d1), d2BS/dS2 = phi(d1) / (S sqrt V), dBS/dV = S phi(d1) / (2 sqrt V),
//   dBS/dR = K exp(-R) N(d2), dw_i/dT = w_i (i / T - lam (1 + k)).
// A dividend yield enters through S' = S exp(-qT); the put is the call - S' + K exp(-rT).
// Theta is -dV/dT (per year), vega per unit of sigma, rho per unit of r.
py::array_t<double> merton_greeks(std::size_t size, const Flags &isCall, const Doubles &S, const Doubles &K,
                                  const Doubles &T, const Doubles &r, const Doubles &q,
                                  const Doubles &sigma, const Doubles &lam, const Doubles &m,
                                  const Doubles &sj, const Doubles &n) {
    py::array_t<double> out({static_cast<py::ssize_t>(5), static_cast<py::ssize_t>(size)});
    double *res = out.mutable_data();
    const Column<std::int8_t> kind = column(isCall);
    const Column<double> s0 = column(S), kk = column(K), tt = column(T), rr = column(r), qq = column(q);
    const Column<double> sg = column(sigma), l = column(lam), mm = column(m), ss = column(sj);
    const py::array_t<double> terms = truncations(column(n), size, MertonRule{tt, l, mm, ss});
    const double *nn = terms.data();
    {
        py::gil_scoped_release unlocked;
        parallel_for(size, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t e = begin; e < end; ++e) {
                const double T = tt[e], K = kk[e], r = rr[e], sig = sg[e], sJ = ss[e];
                const double growth = std::exp(0.5 * sJ * sJ + mm[e]);  // 1 + k
                const double k = growth - 1.0;
                const double L = l[e] * growth * T;
                const double Sf = forward_spot(s0[e], qq[e], T);
                const int last = static_cast<int>(std::fmin(nn[e], 170.0));
                double delta = 0, gamma = 0, vega = 0, dT = 0, rho = 0, logFactorial = 0;
                for (int i = 0; i <= last; ++i) {
                    if (i > 0) {
                        logFactorial += std::log(static_cast<double>(i));
                    }
                    const double w = L > 0.0 ? std::exp(i * std::log(L) - L - logFactorial)
                                             : (i == 0 ? 1.0 : 0.0);
                    const double V = sig * sig * T + i * sJ * sJ;
                    const double R = (r - l[e] * k) * T + i * std::log(growth);
                    const double rootV = std::sqrt(V);
                    const double d1 = (std::log(Sf / K) + R + 0.5 * V) / rootV;
                    const double d2 = d1 - rootV;
                    const double N1 = 0.5 * std::erfc(-d1 / 1.4142135623730951);
                    const double N2 = 0.5 * std::erfc(-d2 / 1.4142135623730951);
                    const double density = std::exp(-0.5 * d1 * d1) * 0.3989422804014327;
                    const double strike = K * std::exp(-R);
                    const double bs = Sf * N1 - strike * N2;
                    const double byV = Sf * density / (2.0 * rootV);
                    delta += w * N1;
                    gamma += w * density / (Sf * rootV);
                    vega += w * byV * (2.0 * sig * T);
                    rho += w * strike * N2 * T;
                    dT += w * (i / T - l[e] * growth) * bs +
                          w * (byV * sig * sig + strike * N2 * (r - l[e] * k));
                }
                const double discount = K * std::exp(-r * T);
                if (!kind[e]) {  // put = call - S' + K exp(-rT)
                    delta -= 1.0;
                    rho -= discount * T;
                    dT -= r * discount;
                }
                const double carry = Sf / s0[e];  // exp(-qT)
                res[e] = carry * delta;
                res[size + e] = carry * carry * gamma;
                res[2 * size + e] = vega;
                res[3 * size + e] = -dT + qq[e] * Sf * delta;
                res[4 * size + e] = rho;
            }
        });
    }
    return out;
}

// Black-Scholes work element by element: value(forward, discount factor, e) with the
// forward F = S exp((r - q) T) and the discount factor exp(-rT) formed the same way for
// prices and implied volatilities (so that the two round-trip).
template <typename Value>
py::array_t<double> black_scholes_loop(std::size_t size, const Doubles &S, const Doubles &T,
                                       const Doubles &r, const Doubles &q, const Value &value) {
    const Column<double> s0 = column(S), tt = column(T), rr = column(r), qq = column(q);
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        parallel_for(size, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t e = begin; e < end; ++e) {
                res[e] = value(s0[e] * std::exp((rr[e] - qq[e]) * tt[e]), std::exp(-rr[e] * tt[e]), e);
            }
        });
    }
    return out;
}

// Implied volatilities of discounted prices by Jäckel's algorithm; NaN where the price is
// outside the no-arbitrage bounds (never an exception inside the array).
py::array_t<double> implied_vols(std::size_t size, const Doubles &price, const Flags &isCall,
                                 const Doubles &S, const Doubles &K, const Doubles &T,
                                 const Doubles &r, const Doubles &q) {
    const Column<double> v = column(price), kk = column(K), tt = column(T);
    const Column<std::int8_t> kind = column(isCall);
    return black_scholes_loop(size, S, T, r, q, [&](double forward, double discount, std::size_t e) {
        return lets_be_rational::implied_volatility(v[e] / discount, forward, kk[e], tt[e],
                                                    kind[e] ? 1.0 : -1.0);
    });
}

// Black-Scholes prices of European options.
py::array_t<double> black_scholes_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                                         const Doubles &K, const Doubles &T, const Doubles &r,
                                         const Doubles &q, const Doubles &sigma) {
    const Column<double> kk = column(K), tt = column(T), sg = column(sigma);
    const Column<std::int8_t> kind = column(isCall);
    return black_scholes_loop(size, S, T, r, q, [&](double forward, double discount, std::size_t e) {
        return discount * lets_be_rational::black(forward, kk[e], sg[e], tt[e], kind[e] ? 1.0 : -1.0);
    });
}

}  // namespace

MAIN_INTERPRETER_MODULE(_native, mod) {
    module_guards::guard_base_type_construction();
    mod.def("kou_prices", &kou_prices);
    mod.def("merton_prices", &merton_prices);
    mod.def("set_max_threads", [](unsigned threads) { maxThreads.store(threads); });
    mod.def("kou_share_probabilities", &kou_share_probabilities);
    mod.def("kou_closed_forms", &kou_closed_forms);
    mod.def("merton_greeks", &merton_greeks);
    mod.def("implied_vols", &implied_vols);
    mod.def("black_scholes_prices", &black_scholes_prices);
    mod.def("kou_default_terms", py::vectorize(&jumpdiffusion::kou_default_terms));
    mod.def("merton_default_terms", py::vectorize(&jumpdiffusion::merton_default_terms));
}

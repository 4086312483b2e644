// jumpdiffusion._native: the element loops of the toolkit over the numerical cores of
// corvane and halvorn. The price functions take well-formed arguments as they come (the
// fast intake below); otherwise the Python layer validates and broadcasts, and this file
// receives contiguous one-dimensional arrays of equal length. Each element is priced with the very
// functions the two modules call (so the same bits), with the interpreter lock released
// and, for large arrays, on several threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// The fast intake of the price functions: the arguments as the caller gave them, taken
// as they are when kind is "call" or "put", n is None or a Python int in range, and every
// other argument is a Python float or int or an aligned C-contiguous float64 array, every
// value in its domain and the shapes broadcasting. Anything else (another type, a value
// outside the domain, shapes that do not broadcast) gives no intake, and the Python layer's
// checks take over: they raise where something is wrong and otherwise hand this module
// contiguous arrays. The prices are the same either way, element for element.
enum class Domain { Finite, Positive, NonNegative, Probability, AboveOne };

bool in_domain(double x, Domain d) {
    if (!std::isfinite(x)) {
        return false;
    }
    switch (d) {
        case Domain::Finite: return true;
        case Domain::Positive: return x > 0.0;
        case Domain::NonNegative: return x >= 0.0;
        case Domain::Probability: return x >= 0.0 && x <= 1.0;
        case Domain::AboveOne: return x > 1.0;
    }
    return false;
}

class Intake {
public:
    static constexpr int kMaxDims = 32;  // numpy's own limit

    // One float argument; false when it is not taken here.
    bool add(py::handle h, Domain d) {
        Argument a;
        if (PyFloat_Check(h.ptr())) {
            a.scalar = PyFloat_AS_DOUBLE(h.ptr());
        } else if (PyLong_CheckExact(h.ptr())) {
            a.scalar = PyLong_AsDouble(h.ptr());
            if (a.scalar == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        } else if (py::isinstance<py::array>(h)) {
            a.array = py::reinterpret_borrow<py::array>(h);
            a.isArray = true;
            constexpr int kFlags = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
                                   py::detail::npy_api::NPY_ARRAY_ALIGNED_;
            if (a.array.dtype().num() != py::detail::npy_api::NPY_DOUBLE_ ||
                (a.array.flags() & kFlags) != kFlags) {
                return false;
            }
            const double *v = static_cast<const double *>(a.array.data());
            const py::ssize_t size = a.array.size();
            for (py::ssize_t e = 0; e < size; ++e) {
                if (!in_domain(v[e], d)) {
                    return false;
                }
            }
            if (!broadcast_with(a.array)) {  // an array of one value still has a shape
                return false;
            }
            if (size != 1) {
                arguments_[count_++] = std::move(a);
                return true;
            }
            a.scalar = v[0];
            a.isArray = false;
        } else {
            return false;
        }
        if (!in_domain(a.scalar, d)) {
            return false;
        }
        arguments_[count_++] = std::move(a);
        return true;
    }

    std::size_t size() const {
        std::size_t n = 1;
        for (int k = 0; k < dims_; ++k) {
            n *= static_cast<std::size_t>(shape_[k]);
        }
        return n;
    }

    // Argument i as a column over the broadcast shape: a copy where its shape differs.
    Column<double> column(int i) {
        Argument &a = arguments_[i];
        if (!a.isArray) {
            return {&a.scalar, 0};
        }
        const int own = static_cast<int>(a.array.ndim());
        bool same = own == dims_;
        for (int k = 0; same && k < dims_; ++k) {
            same = a.array.shape(k) == shape_[k];
        }
        if (!same) {
            // Element strides of the argument in the broadcast shape (0 where it repeats).
            py::ssize_t stride[kMaxDims] = {}, index[kMaxDims] = {};
            py::ssize_t step = 1;
            for (int k = own - 1; k >= 0; --k) {
                const int at = k + dims_ - own;
                stride[at] = a.array.shape(k) == 1 ? 0 : step;
                step *= a.array.shape(k);
            }
            py::array_t<double> copy(static_cast<py::ssize_t>(size()));
            const double *from = static_cast<const double *>(a.array.data());
            double *to = copy.mutable_data();
            py::ssize_t offset = 0;
            for (std::size_t e = 0, n = size(); e < n; ++e) {
                to[e] = from[offset];
                for (int k = dims_ - 1; k >= 0; --k) {  // the next index, last axis fastest
                    offset += stride[k];
                    if (++index[k] < shape_[k]) {
                        break;
                    }
                    offset -= stride[k] * shape_[k];
                    index[k] = 0;
                }
            }
            a.array = copy;
        }
        return {static_cast<const double *>(a.array.data()), 1};
    }

    // The result in the broadcast shape: a float when every argument was one value.
    py::object result(py::array_t<double> flat) const {
        if (dims_ == 0) {
            return py::float_(*flat.data());
        }
        py::tuple shape(dims_);
        for (int k = 0; k < dims_; ++k) {
            shape[static_cast<std::size_t>(k)] = py::int_(shape_[k]);
        }
        return flat.attr("reshape")(shape);
    }

private:
    struct Argument {
        double scalar = 0.0;  // the value, when it is one value
        bool isArray = false;
        py::array array;
    };

    bool broadcast_with(const py::array &a) {
        const int own = static_cast<int>(a.ndim());
        const int dims = std::max(own, dims_);
        py::ssize_t shape[kMaxDims];
        for (int k = 0; k < dims; ++k) {
            const int mine = k - (dims - dims_), theirs = k - (dims - own);
            const py::ssize_t x = mine >= 0 ? shape_[mine] : 1;
            const py::ssize_t y = theirs >= 0 ? a.shape(theirs) : 1;
            if (x != y && x != 1 && y != 1) {
                return false;
            }
            shape[k] = x == 1 ? y : x;
        }
        std::copy(shape, shape + dims, shape_);
        dims_ = dims;
        return true;
    }

    Argument arguments_[12];
    int count_ = 0;
    int dims_ = 0;
    py::ssize_t shape_[kMaxDims] = {};
};

// kind as a column when it is the str "call" or "put".
bool kind_flag(py::handle kind, std::int8_t &flag) {
    if (!PyUnicode_CheckExact(kind.ptr())) {
        return false;
    }
    const char *text = PyUnicode_AsUTF8(kind.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    flag = std::strcmp(text, "call") == 0 ? 1 : std::strcmp(text, "put") == 0 ? 0 : -1;
    return flag >= 0;
}

// n as given (None: the default rule, -1), when it is None or a Python int in [0, largest].
bool terms_value(py::handle n, double largest, double &value) {
    if (n.is_none()) {
        value = -1.0;
        return true;
    }
    if (!PyLong_CheckExact(n.ptr())) {
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    value = static_cast<double>(v);
    return v >= 0 && value <= largest;
}

// Kou: corvane's call (certified closed form or stable evaluation); a put by parity.
py::array_t<double> kou_price_loop(std::size_t size, Column<std::int8_t> kind, const KouColumns &c) {
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    kou_evaluation_runs(size, c, [&](std::size_t e, const kou::KouCallEvaluation &v, double spot) {
        res[e] = kind[e] ? v.price : put_by_parity(v.price, c.K[e], c.r[e], c.T[e], spot);
    });
    return out;
}

py::array_t<double> kou_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                               const Doubles &K, const Doubles &T, const Doubles &r,
                               const Doubles &q, const Doubles &sigma, const Doubles &lam,
                               const Doubles &p, const Doubles &eta1, const Doubles &eta2,
                               const Doubles &n) {
    return kou_price_loop(size, column(isCall), kou_columns(S, K, T, r, q, sigma, lam, p, eta1, eta2, n));
}

// The same from the arguments as given, when the fast intake takes them; else None.
py::object try_kou_prices(py::handle kind, py::handle S, py::handle K, py::handle T, py::handle r,
                          py::handle sigma, py::handle lam, py::handle p, py::handle eta1,
                          py::handle eta2, py::handle q, py::handle n) {
    std::int8_t flag = 0;
    double terms = 0.0;
    Intake in;
    if (!kind_flag(kind, flag) || !terms_value(n, kou::kLastFiniteFactorial, terms) ||
        !in.add(S, Domain::Positive) || !in.add(K, Domain::Positive) ||
        !in.add(T, Domain::Positive) || !in.add(r, Domain::Finite) ||
        !in.add(sigma, Domain::Positive) || !in.add(lam, Domain::NonNegative) ||
        !in.add(p, Domain::Probability) || !in.add(eta1, Domain::AboveOne) ||
        !in.add(eta2, Domain::Positive) || !in.add(q, Domain::Finite)) {
        return py::none();
    }
    const KouColumns c{in.column(0), in.column(1), in.column(2), in.column(3),
                       in.column(9), in.column(4), in.column(5), in.column(6),
                       in.column(7), in.column(8), Column<double>{&terms, 0}};
    return in.result(kou_price_loop(in.size(), {&flag, 0}, c));
}

// Merton: halvorn's call, by strips: a run of elements with the same maturity, model and
// truncation (a strip of strikes or spots) is priced by merton::call_strip, which forms
// each term's shared parts once; every price is still halvorn's double.
py::array_t<double> merton_price_loop(std::size_t size, Column<std::int8_t> kind, Column<double> s0,
                                      Column<double> k, Column<double> t, Column<double> rr,
                                      Column<double> qq, Column<double> sg, Column<double> l,
                                      Column<double> mm, Column<double> ss, Column<double> n) {
    const py::array_t<double> terms = truncations(n, size, MertonRule{t, l, mm, ss});
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

py::array_t<double> merton_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                                  const Doubles &K, const Doubles &T, const Doubles &r,
                                  const Doubles &q, const Doubles &sigma, const Doubles &lam,
                                  const Doubles &m, const Doubles &sj, const Doubles &n) {
    return merton_price_loop(size, column(isCall), column(S), column(K), column(T), column(r),
                             column(q), column(sigma), column(lam), column(m), column(sj),
                             column(n));
}

// The same from the arguments as given, when the fast intake takes them; else None.
py::object try_merton_prices(py::handle kind, py::handle S, py::handle K, py::handle T,
                             py::handle r, py::handle sigma, py::handle lam, py::handle m,
                             py::handle sj, py::handle q, py::handle n) {
    std::int8_t flag = 0;
    double terms = 0.0;
    Intake in;
    if (!kind_flag(kind, flag) || !terms_value(n, 2147483647.0, terms) ||
        !in.add(S, Domain::Positive) || !in.add(K, Domain::Positive) ||
        !in.add(T, Domain::Positive) || !in.add(r, Domain::Finite) ||
        !in.add(sigma, Domain::Positive) || !in.add(lam, Domain::NonNegative) ||
        !in.add(m, Domain::Finite) || !in.add(sj, Domain::NonNegative) ||
        !in.add(q, Domain::Finite)) {
        return py::none();
    }
    return in.result(merton_price_loop(in.size(), {&flag, 0}, in.column(0), in.column(1),
                                       in.column(2), in.column(3), in.column(8), in.column(4),
                                       in.column(5), in.column(6), in.column(7),
                                       Column<double>{&terms, 0}));
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
    mod.def("try_kou_prices", &try_kou_prices);
    mod.def("try_merton_prices", &try_merton_prices);
    mod.def("set_max_threads", [](unsigned threads) { maxThreads.store(threads); });
    mod.def("kou_share_probabilities", &kou_share_probabilities);
    mod.def("kou_closed_forms", &kou_closed_forms);
    mod.def("merton_greeks", &merton_greeks);
    mod.def("implied_vols", &implied_vols);
    mod.def("black_scholes_prices", &black_scholes_prices);
    mod.def("kou_default_terms", py::vectorize(&jumpdiffusion::kou_default_terms));
    mod.def("merton_default_terms", py::vectorize(&jumpdiffusion::merton_default_terms));
}

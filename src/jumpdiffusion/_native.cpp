// jumpdiffusion._native: the element loops of the toolkit over the numerical cores of
// corvane and halvorn. The price functions take well-formed arguments as they come (the
// fast intake below); otherwise the Python layer validates and broadcasts, and this file
// receives contiguous one-dimensional arrays of equal length. Each element is priced with the very
// functions the two modules call (so the same bits), with the interpreter lock released
// and, for large arrays, on several threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "kou_call.h"
#include "black_scholes.h"
#include "merton_call.h"
#include "merton_series.h"
#include "supported_domain.h"
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

// halvorn's last term with a finite factorial: its series ends there.
constexpr double kLastScalarTerm = 170.0;

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

// Runs body(begin, end, worker) over [0, size) in contiguous chunks on `workers` threads
// (worker_count, read once by the caller: what it allocates per worker and the threads
// started here are the same number even if set_max_threads runs meanwhile).
template <typename Body>
void parallel_for(std::size_t workers, std::size_t size, const Body &body) {
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
// Floored at 0: where the put is worth less than the call's rounding, the parity can
// round below zero, and no put is worth less than nothing.
inline double put_by_parity(double call, double K, double r, double T, double spot) {
    return std::fmax(0.0, (K * std::exp((-r) * T) + call) - spot);
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
// once for each run of elements with the same parameters (a strip or a surface row). At
// most 171 steps an element (truncation.h); called with the interpreter lock released.
template <typename Rule>
void fill_truncations(Column<double> n, std::size_t size, const Rule &rule, double *terms) {
    for (std::size_t e = 0; e < size; ++e) {
        terms[e] = n[e] >= 0.0 ? n[e] : (e > 0 && n[e - 1] < 0.0 && rule.same(e - 1, e))
                                              ? terms[e - 1]
                                              : rule.terms(e);
    }
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
// still exactly corvane's (kou_call_evaluation's) for its element, completed where it is
// not finite (kou_call.h). Elements whose default truncation exceeds 170 jump terms are
// priced without truncation. write(e, call, spot) receives element e's, spot being its
// forward-adjusted spot. The InOrders storage the evaluation needs is allocated here, once
// per call and worker; the interpreter lock is released meanwhile.
template <typename Write>
void kou_evaluation_runs(std::size_t size, const KouColumns &c, const Write &write) {
    py::array_t<double> terms(static_cast<py::ssize_t>(size));
    double *nn = terms.mutable_data();
    const std::size_t workers = worker_count(size);
    constexpr std::size_t kLevels = static_cast<std::size_t>(kou::kMaxLevels);
    static_assert(kLevels <= kMaxRun, "a Kou run fits the gathered spots and strikes");
    const std::size_t levels = std::max<std::size_t>(1, std::min(kLevels, size));  // per run
    const std::size_t perWorker = 2 * levels * sizeof(kou::InOrders) + alignof(kou::InOrders);
    py::array_t<unsigned char> storage(static_cast<py::ssize_t>(workers * perWorker));
    unsigned char *bytes = storage.mutable_data();
    auto sameModel = [&](std::size_t a, std::size_t b) {
        return c.T[a] == c.T[b] && c.r[a] == c.r[b] && c.sigma[a] == c.sigma[b] &&
               c.lam[a] == c.lam[b] && c.p[a] == c.p[b] && c.eta1[a] == c.eta1[b] &&
               c.eta2[a] == c.eta2[b] && nn[a] == nn[b];
    };
    py::gil_scoped_release unlocked;
    fill_truncations(c.n, size, KouRule{c.T, c.lam, c.p, c.eta1, c.eta2}, nn);
    parallel_for(workers, size, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        void *raw = bytes + worker * perWorker;
        std::size_t space = perWorker;
        auto *orders = static_cast<kou::InOrders *>(
            std::align(alignof(kou::InOrders), 2 * levels * sizeof(kou::InOrders), raw, space));
        kou::KouCallEvaluation evaluations[kLevels];
        for_each_run(begin, end, levels, c.S, c.q, c.T, c.K, sameModel,
                     [&](std::size_t e, std::size_t count, const double *spot, const double *strike) {
                         const double T = c.T[e], r = c.r[e], sigma = c.sigma[e], lam = c.lam[e];
                         const double p = c.p[e], eta1 = c.eta1[e], eta2 = c.eta2[e];
                         if (nn[e] < 0.0) {
                             for (std::size_t j = 0; j < count; ++j) {
                                 write(e + j, jumpdiffusion::kou_call_untruncated(
                                                  spot[j], strike[j], T, r, sigma, lam, p, eta1, eta2),
                                       spot[j]);
                             }
                             return;
                         }
                         const auto n = static_cast<std::int32_t>(nn[e]);
                         const double discount = std::exp(-r * T);
                         // The default truncation is n itself where n was not given.
                         const std::int32_t needed = c.n[e] < 0.0 ? n : jumpdiffusion::kNeededUnknown;
                         kou::kou_call_evaluations(T, strike, spot, static_cast<std::int32_t>(count),
                                                   r, sigma, lam, p, eta1, eta2, n, orders, evaluations);
                         for (std::size_t j = 0; j < count; ++j) {
                             write(e + j, jumpdiffusion::kou_call_completed(evaluations[j], spot[j], strike[j],
                                                                            T, r, sigma, lam, p, eta1, eta2,
                                                                            n, needed, discount),
                                   spot[j]);
                         }
                     });
    });
}

// The fast intake of the price functions: the arguments as the caller gave them, taken
// as they are when kind is "call" or "put", n is None or a Python int in range, and every
// other argument is a Python float or int or an aligned C-contiguous float64 array in the
// machine's byte order, every value in the supported domain (supported_domain.h), the
// shapes broadcasting to at most kMaxElements elements. Anything else (another type or
// byte order, a value outside the domain, shapes that do not broadcast) gives no intake,
// and the Python layer's checks take over: they raise where something is wrong and
// otherwise hand this module contiguous arrays. The prices are the same either way.
using jumpdiffusion::Range;
namespace dom = jumpdiffusion::domain;

// The most elements one call prices (a result of 16 GiB).
constexpr std::size_t kMaxElements = std::size_t{1} << 31;

bool native_doubles(const py::array &a) {
    if (a.dtype().num() != py::detail::npy_api::NPY_DOUBLE_) {
        return false;
    }
    const char order = a.dtype().byteorder();
    const std::uint16_t probe = 1;
    const bool little = *reinterpret_cast<const unsigned char *>(&probe) == 1;
    return order == '=' || order == '|' || order == (little ? '<' : '>');
}

class Intake {
public:
    static constexpr int kMaxDims = 64;  // numpy's own limit (NPY_MAXDIMS)

    // One float argument; false when it is not taken here.
    bool add(py::handle h, const Range &d) {
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
            if (!native_doubles(a.array) || (a.array.flags() & kFlags) != kFlags ||
                a.array.ndim() > kMaxDims) {
                return false;
            }
            const double *v = static_cast<const double *>(a.array.data());
            const py::ssize_t size = a.array.size();
            for (py::ssize_t e = 0; e < size; ++e) {
                if (!d.contains(v[e])) {
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
        if (!d.contains(a.scalar)) {
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

    // Whether the broadcast shape holds at most kMaxElements elements (checked factor by
    // factor, so that no product overflows).
    bool small_enough() const {
        std::size_t n = 1;
        for (int k = 0; k < dims_; ++k) {
            const auto extent = static_cast<std::size_t>(shape_[k]);
            if (extent == 0) {
                return true;
            }
            if (extent > kMaxElements / n) {
                return false;
            }
            n *= extent;
        }
        return true;
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

// The first element that breaks a joint condition of the supported domain (joint(e) is
// not Joint::None), and which; (-1, 0) when none does.
template <typename JointOf>
std::pair<long long, int> first_violation(std::size_t size, const JointOf &joint) {
    for (std::size_t e = 0; e < size; ++e) {
        const jumpdiffusion::Joint j = joint(e);
        if (j != jumpdiffusion::Joint::None) {
            return {static_cast<long long>(e), static_cast<int>(j)};
        }
    }
    return {-1, 0};
}

std::pair<long long, int> kou_violation(std::size_t size, Column<double> S, Column<double> K,
                                        Column<double> T, Column<double> lam) {
    return first_violation(size, [&](std::size_t e) {
        return jumpdiffusion::kou_joint(S[e], K[e], T[e], lam[e]);
    });
}

std::pair<long long, int> merton_violation(std::size_t size, Column<double> S, Column<double> K,
                                           Column<double> T, Column<double> lam, Column<double> m,
                                           Column<double> s) {
    return first_violation(size, [&](std::size_t e) {
        return jumpdiffusion::merton_joint(S[e], K[e], T[e], lam[e], m[e], s[e]);
    });
}

// Whether every element was priced (a Kou element that no method prices to the toolkit's
// accuracy is NaN, and the Python layer then says which).
bool all_priced(const py::array_t<double> &prices) {
    const double *v = prices.data();
    for (py::ssize_t e = 0, n = prices.size(); e < n; ++e) {
        if (std::isnan(v[e])) {
            return false;
        }
    }
    return true;
}

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
    kou_evaluation_runs(size, c, [&](std::size_t e, const jumpdiffusion::KouCall &v, double spot) {
        const double price = kind[e] ? v.call : put_by_parity(v.call, c.K[e], c.r[e], c.T[e], spot);
        res[e] = v.priced ? price : std::numeric_limits<double>::quiet_NaN();
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
        !in.add(S, dom::S) || !in.add(K, dom::K) || !in.add(T, dom::T) || !in.add(r, dom::r) ||
        !in.add(sigma, dom::sigma) || !in.add(lam, dom::lam) || !in.add(p, dom::p) ||
        !in.add(eta1, dom::eta1) || !in.add(eta2, dom::eta2) || !in.add(q, dom::q) ||
        !in.small_enough()) {
        return py::none();
    }
    const KouColumns c{in.column(0), in.column(1), in.column(2), in.column(3),
                       in.column(9), in.column(4), in.column(5), in.column(6),
                       in.column(7), in.column(8), Column<double>{&terms, 0}};
    const std::size_t size = in.size();
    if (kou_violation(size, c.S, c.K, c.T, c.lam).first >= 0) {
        return py::none();
    }
    py::array_t<double> prices = kou_price_loop(size, {&flag, 0}, c);
    return all_priced(prices) ? in.result(prices) : py::none();
}

// Merton: halvorn's call, by strips: a run of elements with the same maturity, model and
// truncation (a strip of strikes or spots) is priced by merton::call_strip, which forms
// each term's shared parts once; every price is still halvorn's double. halvorn's terms end
// at 170 (i! overflows from 171 on): where the truncation and the default rule both exceed
// 170, or where halvorn's sum is not finite (a power or discount factor of one term
// overflowing), the series is summed around its Poisson mode instead (merton_series.h).
py::array_t<double> merton_price_loop(std::size_t size, Column<std::int8_t> kind, Column<double> s0,
                                      Column<double> k, Column<double> t, Column<double> rr,
                                      Column<double> qq, Column<double> sg, Column<double> l,
                                      Column<double> mm, Column<double> ss, Column<double> n) {
    py::array_t<double> terms(static_cast<py::ssize_t>(size));
    double *nn = terms.mutable_data();
    py::array_t<double> out(static_cast<py::ssize_t>(size));
    double *res = out.mutable_data();
    auto sameModel = [&](std::size_t a, std::size_t b) {
        return t[a] == t[b] && sg[a] == sg[b] && rr[a] == rr[b] && l[a] == l[b] &&
               mm[a] == mm[b] && ss[a] == ss[b] && nn[a] == nn[b];
    };
    const std::size_t workers = worker_count(size);
    {
        py::gil_scoped_release unlocked;
        fill_truncations(n, size, MertonRule{t, l, mm, ss}, nn);
        parallel_for(workers, size, [&](std::size_t begin, std::size_t end, std::size_t) {
            double logSK[kMaxRun];
            for_each_run(begin, end, kMaxRun, s0, qq, t, k, sameModel,
                         [&](std::size_t e, std::size_t count, const double *spot, const double *strike) {
                             const double last = nn[e];
                             const bool scalar = last <= kLastScalarTerm ||
                                                 jumpdiffusion::merton_default_terms(t[e], l[e], mm[e], ss[e]) <=
                                                     kLastScalarTerm;
                             double *calls = res + e;
                             if (scalar) {
                                 merton::call_strip(strike, t[e], spot, count, sg[e], rr[e], l[e], mm[e],
                                                    ss[e], last, calls, logSK);
                             }
                             for (std::size_t j = 0; j < count; ++j) {
                                 if (scalar && std::isfinite(calls[j])) {
                                     if (!kind[e + j]) {
                                         calls[j] = put_by_parity(calls[j], strike[j], rr[e + j],
                                                                  t[e + j], spot[j]);
                                     }
                                     continue;
                                 }
                                 const jumpdiffusion::MertonSeries v = jumpdiffusion::merton_series(
                                     spot[j], strike[j], t[e], rr[e], sg[e], l[e], mm[e], ss[e], last);
                                 calls[j] = kind[e + j] ? v.call : v.put;
                             }
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
        !in.add(S, dom::S) || !in.add(K, dom::K) || !in.add(T, dom::T) || !in.add(r, dom::r) ||
        !in.add(sigma, dom::sigma) || !in.add(lam, dom::lam) || !in.add(m, dom::m) ||
        !in.add(sj, dom::s) || !in.add(q, dom::q) || !in.small_enough()) {
        return py::none();
    }
    const Column<double> s0 = in.column(0), k = in.column(1), t = in.column(2), l = in.column(5);
    const Column<double> mm = in.column(6), ss = in.column(7);
    const std::size_t size = in.size();
    if (merton_violation(size, s0, k, t, l, mm, ss).first >= 0) {
        return py::none();
    }
    return in.result(merton_price_loop(size, {&flag, 0}, s0, k, t, in.column(3), in.column(8),
                                       in.column(4), l, mm, ss, Column<double>{&terms, 0}));
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
                        [&](std::size_t e, const jumpdiffusion::KouCall &v, double) {
                            res[e] = v.priced ? v.delta : std::numeric_limits<double>::quiet_NaN();
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
                        [&](std::size_t e, const jumpdiffusion::KouCall &v, double) {
                            res[e] = v.closedForm;
                            res[size + e] = v.bound;
                            res[2 * size + e] = v.certified ? 1.0 : 0.0;
                        });
    return out;
}

// Merton: delta, gamma, vega, theta, rho of the truncated series, differentiated term by
// term over the terms its price sums (merton_series.h): with V_i = sigma^2 T + i s^2 and
// S' = S exp(-qT), K' = K exp(-rT), the call is S' A - K' B with
// A = sum pi_i(L) N(d1_i), B = sum pi_i(lam T) N(d2_i), and
//   dC/dS' = A, d2C/dS'2 = sum pi_i(L) phi(d1_i) / (S' sqrt V_i),
//   dC/dsigma = S' sum pi_i(L) phi(d1_i) sigma T / sqrt V_i,  dC/dr = T K' B,
//   dC/dT (S' fixed) = S' sum pi_i(L) ((i - L) / T N(d1_i) + phi(d1_i) sigma^2 / (2 sqrt V_i))
//                      - K' sum pi_i(lam T) (i / T - lam) N(d2_i) + r K' B
// (the terms in dd/dT cancel by S' pi_i(L) phi(d1_i) = K' pi_i(lam T) phi(d2_i)). The put
// is the call - S' + K'. Theta is -dC/dT (per year), vega per unit of sigma, rho per unit
// of r; a dividend yield enters through S'.
py::array_t<double> merton_greeks(std::size_t size, const Flags &isCall, const Doubles &S, const Doubles &K,
                                  const Doubles &T, const Doubles &r, const Doubles &q,
                                  const Doubles &sigma, const Doubles &lam, const Doubles &m,
                                  const Doubles &sj, const Doubles &n) {
    py::array_t<double> out({static_cast<py::ssize_t>(5), static_cast<py::ssize_t>(size)});
    double *res = out.mutable_data();
    const Column<std::int8_t> kind = column(isCall);
    const Column<double> s0 = column(S), kk = column(K), tt = column(T), rr = column(r), qq = column(q);
    const Column<double> sg = column(sigma), l = column(lam), mm = column(m), ss = column(sj);
    const Column<double> given = column(n);
    py::array_t<double> terms(static_cast<py::ssize_t>(size));
    double *nn = terms.mutable_data();
    const std::size_t workers = worker_count(size);
    {
        py::gil_scoped_release unlocked;
        fill_truncations(given, size, MertonRule{tt, l, mm, ss}, nn);
        parallel_for(workers, size, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t e = begin; e < end; ++e) {
                const double T = tt[e], r = rr[e];
                const double Sf = forward_spot(s0[e], qq[e], T);
                const jumpdiffusion::MertonSeries v =
                    jumpdiffusion::merton_series(Sf, kk[e], T, r, sg[e], l[e], mm[e], ss[e], nn[e]);
                double delta = v.callDelta, rho = v.callRho, dT = v.dCdT;
                if (!kind[e]) {  // put = call - S' + K exp(-rT)
                    const double discount = kk[e] * std::exp(-r * T);
                    delta -= 1.0;
                    rho -= discount * T;
                    dT -= r * discount;
                }
                const double carry = Sf / s0[e];  // exp(-qT)
                res[e] = carry * delta;
                res[size + e] = carry * carry * v.gamma;
                res[2 * size + e] = v.vega;
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
        parallel_for(worker_count(size), size, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t e = begin; e < end; ++e) {
                res[e] = value(s0[e] * std::exp((rr[e] - qq[e]) * tt[e]), std::exp(-rr[e] * tt[e]), e);
            }
        });
    }
    return out;
}

// Implied volatilities of discounted prices; NaN where the price is outside the no-arbitrage
// bounds (never an exception inside the array). The headroom below the upper bound is taken
// in discounted terms, S exp(-qT) - price for a call and K exp(-rT) - price for a put, so
// that a price within an ulp of the bound as a user forms it still has its volatility.
py::array_t<double> implied_vols(std::size_t size, const Doubles &price, const Flags &isCall,
                                 const Doubles &S, const Doubles &K, const Doubles &T,
                                 const Doubles &r, const Doubles &q) {
    const Column<double> v = column(price), s0 = column(S), kk = column(K), tt = column(T),
                         qq = column(q);
    const Column<std::int8_t> kind = column(isCall);
    return black_scholes_loop(size, S, T, r, q, [&](double forward, double discount, std::size_t e) {
        const bool call = kind[e] != 0;
        // (For a put the bound is K times the discount factor the loop formed, exp(-rT).)
        const double bound = call ? s0[e] * std::exp(-qq[e] * tt[e]) : kk[e] * discount;
        return black_scholes::implied_volatility(v[e] / discount, forward, kk[e], tt[e], call,
                                                 (bound - v[e]) / discount);
    });
}

// Black-Scholes prices of European options.
py::array_t<double> black_scholes_prices(std::size_t size, const Flags &isCall, const Doubles &S,
                                         const Doubles &K, const Doubles &T, const Doubles &r,
                                         const Doubles &q, const Doubles &sigma) {
    const Column<double> kk = column(K), tt = column(T), sg = column(sigma);
    const Column<std::int8_t> kind = column(isCall);
    return black_scholes_loop(size, S, T, r, q, [&](double forward, double discount, std::size_t e) {
        return discount * black_scholes::price(forward, kk[e], sg[e], tt[e], kind[e] != 0);
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
    mod.def("kou_violation", [](std::size_t size, const Doubles &S, const Doubles &K, const Doubles &T,
                                const Doubles &lam) {
        return kou_violation(size, column(S), column(K), column(T), column(lam));
    });
    mod.def("merton_violation", [](std::size_t size, const Doubles &S, const Doubles &K,
                                   const Doubles &T, const Doubles &lam, const Doubles &m,
                                   const Doubles &s) {
        return merton_violation(size, column(S), column(K), column(T), column(lam), column(m),
                                column(s));
    });
    // The supported domain: each argument's (low, high, low excluded), and the joint limits.
    py::dict ranges;
    for (const Range &d : {dom::S, dom::K, dom::T, dom::r, dom::q, dom::sigma, dom::lam, dom::p,
                           dom::eta1, dom::eta2, dom::m, dom::s}) {
        ranges[d.name] = py::make_tuple(d.low, d.high, d.lowOpen);
    }
    mod.attr("SUPPORTED_RANGES") = ranges;
    mod.attr("MONEYNESS_RANGE") = py::make_tuple(dom::kMoneynessLow, dom::kMoneynessHigh);
    mod.attr("MAX_EXPECTED_JUMPS") = dom::kMaxExpectedJumps;
    mod.attr("MAX_ELEMENTS") = kMaxElements;
    mod.def("merton_default_terms", py::vectorize(&jumpdiffusion::merton_default_terms));
}

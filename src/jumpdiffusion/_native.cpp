// jumpdiffusion._native: the toolkit's binding. It takes the arguments (the fast intake
// below, or contiguous one-dimensional arrays of equal length from the Python layer's
// checks), releases the interpreter lock and hands them as columns to the batch loops
// (batch/european.h), which price each element with the very functions corvane and halvorn
// call (so the same bits), by strips and on several threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "batch/broadcast.h"
#include "batch/european.h"
#include "batch/fit_jacobian.h"
#include "batch/kou_greeks.h"
#include "batch/lattice.h"
#include "batch/passage.h"
#include "batch/threads.h"
#include "module_guards.h"
#include "pide_engine.h"
#include "special_functions.h"
#include "supported_domain.h"
#include "truncation.h"

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>;
using batch::Column;

namespace {

template <typename T, int F>
Column<T> column(const py::array_t<T, F> &a) {
    return {a.data(), a.size() == 1 ? std::size_t{0} : std::size_t{1}};
}

// rows x size results, filled by fill(pointer) with the interpreter lock released.
template <typename Fill>
py::array_t<double> results(std::size_t rows, std::size_t size, const Fill &fill) {
    py::array_t<double> out = rows == 1 ? py::array_t<double>(static_cast<py::ssize_t>(size))
                                        : py::array_t<double>({static_cast<py::ssize_t>(rows),
                                                               static_cast<py::ssize_t>(size)});
    double *res = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        fill(res);
    }
    return out;
}

// The Kou and Merton loops over contiguous arrays of equal length (or of one value) from
// the Python layer: size elements, kind 1 (call) or 0 (put), n < 0 for the default rule.
template <std::size_t Rows, void (*Loop)(std::size_t, const batch::KouInputs &, double *)>
py::array_t<double> kou_rows(std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                             const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                             const Doubles &lam, const Doubles &p, const Doubles &eta1, const Doubles &eta2,
                             const Doubles &n) {
    const batch::KouInputs c{column(kind), column(S),   column(K), column(T),    column(r),    column(q),
                             column(sigma), column(lam), column(p), column(eta1), column(eta2), column(n)};
    return results(Rows, size, [&](double *out) { Loop(size, c, out); });
}

void kou_price_loop(std::size_t size, const batch::KouInputs &c, double *out) { batch::kou_prices(size, c, out); }
void merton_price_loop(std::size_t size, const batch::MertonInputs &c, double *out) {
    batch::merton_prices(size, c, out);
}

// What a fit already has (its prices, or their derivative in lam), one per element, or
// null (none given).
const double *given_prices(const std::optional<Doubles> &given, std::size_t size) {
    if (!given) {
        return nullptr;
    }
    if (static_cast<std::size_t>(given->size()) != size) {
        throw py::value_error("the given prices must be one per element");
    }
    return given->data();
}

// A fit's prices and their differences in the parameters set in `bumped` (fit_jacobian.h).
py::array_t<double> kou_fit_rows(std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                 const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                                 const Doubles &lam, const Doubles &p, const Doubles &eta1, const Doubles &eta2,
                                 const Doubles &n, unsigned bumped, const std::optional<Doubles> &given,
                                 const std::optional<Doubles> &givenLam) {
    const batch::KouInputs c{column(kind), column(S),   column(K), column(T),    column(r),    column(q),
                             column(sigma), column(lam), column(p), column(eta1), column(eta2), column(n)};
    const double *prices = given_prices(given, size), *lamRow = given_prices(givenLam, size);
    return results(1 + batch::kKouFitParameters, size,
                   [&](double *out) { batch::kou_fit_jacobian(size, c, bumped, prices, lamRow, out); });
}

py::array_t<double> merton_fit_rows(std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                    const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                                    const Doubles &lam, const Doubles &m, const Doubles &s, const Doubles &n,
                                    unsigned bumped, const std::optional<Doubles> &given) {
    const batch::MertonInputs c{column(kind), column(S), column(K), column(T), column(r), column(q),
                                column(sigma), column(lam), column(m), column(s), column(n)};
    const double *prices = given_prices(given, size);
    return results(1 + batch::kMertonFitParameters, size,
                   [&](double *out) { batch::merton_fit_jacobian(size, c, bumped, prices, out); });
}

template <std::size_t Rows, void (*Loop)(std::size_t, const batch::MertonInputs &, double *)>
py::array_t<double> merton_rows(std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                                const Doubles &lam, const Doubles &m, const Doubles &s, const Doubles &n) {
    const batch::MertonInputs c{column(kind), column(S), column(K), column(T), column(r), column(q),
                                column(sigma), column(lam), column(m), column(s), column(n)};
    return results(Rows, size, [&](double *out) { Loop(size, c, out); });
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

// The extents of an array, as the batch core takes them.
int extents_of(const py::array &a, std::int64_t *extents) {
    const int dims = static_cast<int>(a.ndim());
    for (int k = 0; k < dims; ++k) {
        extents[k] = a.shape(k);
    }
    return dims;
}

class Intake {
public:
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
            std::int64_t extents[batch::kMaxDims];
            if (!native_doubles(a.array) || (a.array.flags() & kFlags) != kFlags ||
                a.array.ndim() > batch::kMaxDims) {
                return false;
            }
            const double *v = static_cast<const double *>(a.array.data());
            const py::ssize_t size = a.array.size();
            for (py::ssize_t e = 0; e < size; ++e) {
                if (!d.contains(v[e])) {
                    return false;
                }
            }
            // (an array of one value still has a shape)
            if (!shape_.broadcast_with(extents_of(a.array, extents), extents)) {
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

    std::size_t size() const { return shape_.size(); }
    bool small_enough() const { return shape_.at_most(kMaxElements); }

    // Argument i as a column over the broadcast shape: a copy where its shape differs.
    Column<double> column(int i) {
        Argument &a = arguments_[i];
        if (!a.isArray) {
            return {&a.scalar, 0};
        }
        std::int64_t extents[batch::kMaxDims];
        const int own = extents_of(a.array, extents);
        if (!shape_.equals(own, extents)) {
            py::array_t<double> copy(static_cast<py::ssize_t>(size()));
            batch::broadcast_copy(static_cast<const double *>(a.array.data()), own, extents, shape_.dims(),
                                  shape_.extents(), copy.mutable_data());
            a.array = copy;
        }
        return {static_cast<const double *>(a.array.data()), 1};
    }

    // The result in the broadcast shape: a float when every argument was one value.
    py::object result(py::array_t<double> flat) const {
        if (shape_.dims() == 0) {
            return py::float_(*flat.data());
        }
        py::tuple shape(shape_.dims());
        for (int k = 0; k < shape_.dims(); ++k) {
            shape[static_cast<std::size_t>(k)] = py::int_(shape_.extents()[k]);
        }
        return flat.attr("reshape")(shape);
    }

private:
    struct Argument {
        double scalar = 0.0;  // the value, when it is one value
        bool isArray = false;
        py::array array;
    };
    Argument arguments_[12];
    int count_ = 0;
    batch::Shape shape_;
};

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

// The prices from the arguments as given, when the fast intake takes them; else None.
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
    const batch::KouInputs c{{&flag, 0},   in.column(0), in.column(1), in.column(2),
                             in.column(3), in.column(9), in.column(4), in.column(5),
                             in.column(6), in.column(7), in.column(8), Column<double>{&terms, 0}};
    const std::size_t size = in.size();
    if (batch::kou_violation(size, c.S, c.K, c.T, c.lam).index >= 0) {
        return py::none();
    }
    py::array_t<double> prices = results(1, size, [&](double *out) { batch::kou_prices(size, c, out); });
    return all_priced(prices) ? in.result(prices) : py::none();
}

// A barrier option's values from the arguments as given (kind a string, up and in its
// direction and side), when the fast intake takes them, H lies on its side of S and every
// knock-in is vouched for: the knock-in kept within the European (kou_prices' loop, its
// default truncation), the knock-out the European less it. Else None: the Python layer
// then checks the arguments itself, and says what it refuses.
py::object try_kou_barrier(py::handle kind, bool up, bool in, py::handle S, py::handle K, py::handle H,
                           py::handle T, py::handle r, py::handle sigma, py::handle lam, py::handle p,
                           py::handle eta1, py::handle eta2, py::handle q) {
    std::int8_t flag = 0;
    Intake intake;
    if (!kind_flag(kind, flag) || !intake.add(S, dom::S) || !intake.add(K, dom::K) || !intake.add(H, dom::K) ||
        !intake.add(T, dom::T) || !intake.add(r, dom::r) || !intake.add(sigma, dom::sigma) ||
        !intake.add(lam, dom::lam) || !intake.add(p, dom::p) || !intake.add(eta1, dom::eta1) ||
        !intake.add(eta2, dom::eta2) || !intake.add(q, dom::q) || !intake.small_enough()) {
        return py::none();
    }
    const double direction = up ? 1.0 : -1.0, defaultTerms = -1.0;
    const batch::KnockInInputs c{{&flag, 0},        {&direction, 0},   intake.column(0), intake.column(1),
                                 intake.column(2),  intake.column(3),  intake.column(4), intake.column(10),
                                 intake.column(5),  intake.column(6),  intake.column(7), intake.column(8),
                                 intake.column(9)};
    const std::size_t size = intake.size();
    if (batch::kou_violation(size, c.S, c.K, c.T, c.lam).index >= 0 ||
        batch::kou_violation(size, c.S, c.H, c.T, c.lam).index >= 0) {
        return py::none();
    }
    for (std::size_t e = 0; e < size; ++e) {
        if (!(up ? c.H[e] >= c.S[e] : c.H[e] <= c.S[e])) return py::none();
    }
    const py::array_t<double> knockIns = results(2, size, [&](double *out) { batch::kou_knock_ins(size, c, out); });
    const double *kin = knockIns.data();
    for (std::size_t e = 0; e < size; ++e) {
        if (!(kin[size + e] <= batch::kVouched * (c.S[e] + c.K[e]))) return py::none();
    }
    const batch::KouInputs k{c.kind, c.S, c.K, c.T, c.r, c.q, c.sigma, c.lam, c.p, c.eta1, c.eta2, {&defaultTerms, 0}};
    const py::array_t<double> europeans = results(1, size, [&](double *out) { batch::kou_prices(size, k, out); });
    if (!all_priced(europeans)) return py::none();
    const double *whole = europeans.data();
    return intake.result(results(1, size, [&](double *out) {
        for (std::size_t e = 0; e < size; ++e) {
            const double part = std::fmin(kin[e], whole[e]);
            out[e] = in ? part : whole[e] - part;
        }
    }));
}

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
    const batch::MertonInputs c{{&flag, 0},   in.column(0), in.column(1), in.column(2),
                                in.column(3), in.column(8), in.column(4), in.column(5),
                                in.column(6), in.column(7), Column<double>{&terms, 0}};
    const std::size_t size = in.size();
    if (batch::merton_violation(size, c.S, c.K, c.T, c.lam, c.m, c.s).index >= 0) {
        return py::none();
    }
    return in.result(results(1, size, [&](double *out) { batch::merton_prices(size, c, out); }));
}

}  // namespace

MAIN_INTERPRETER_MODULE(_native, mod) {
    module_guards::guard_base_type_construction();
    mod.def("kou_prices", &kou_rows<1, kou_price_loop>);
    mod.def("kou_fit_jacobian", &kou_fit_rows);
    mod.def("kou_fit_prices", &kou_rows<2, batch::kou_fit_prices>);
    mod.def("kou_lookbacks", [](std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                                const Doubles &lam, const Doubles &p, const Doubles &eta1, const Doubles &eta2) {
        const batch::LookbackInputs c{column(kind),  column(S),   column(K), column(T),    column(r),   column(q),
                                      column(sigma), column(lam), column(p), column(eta1), column(eta2)};
        return results(2, size, [&](double *out) { batch::kou_lookbacks(size, c, out); });
    });
    mod.def("kou_knock_ins", [](std::size_t size, const Flags &kind, const Doubles &up, const Doubles &S,
                                const Doubles &K, const Doubles &H, const Doubles &T, const Doubles &r,
                                const Doubles &q, const Doubles &sigma, const Doubles &lam, const Doubles &p,
                                const Doubles &eta1, const Doubles &eta2) {
        const batch::KnockInInputs c{column(kind), column(up),    column(S),   column(K), column(H),
                                     column(T),    column(r),     column(q),   column(sigma),
                                     column(lam),  column(p),     column(eta1), column(eta2)};
        return results(2, size, [&](double *out) { batch::kou_knock_ins(size, c, out); });
    });
    mod.def("lattice_prices", [](int law, std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                 const Doubles &H, const Doubles &T, const Doubles &r, const Doubles &q,
                                 const Doubles &sigma, const Doubles &lam, const Doubles &j1, const Doubles &j2,
                                 const Doubles &j3, int style, const Doubles &dates, int barrier, double tolerance,
                                 std::size_t boundaryCount, double resolution) {
        if (law < 0 || law > 1 || style < 0 || style > 2 || barrier < 0 || barrier > 2 || boundaryCount > 100000 ||
            !(resolution >= 0.25 && resolution <= 8.0)) {
            throw py::value_error("law, style, barrier, boundary_count or resolution out of range");
        }
        const batch::LatticeInputs c{law,       column(kind), column(S), column(K),   column(H),
                                     column(T), column(r),    column(q), column(sigma), column(lam),
                                     column(j1), column(j2),  column(j3)};
        const batch::LatticeContract contract{style, dates.data(), static_cast<std::size_t>(dates.size()), barrier,
                                              resolution};
        return results(batch::kLatticeRows + boundaryCount, size, [&](double *out) {
            batch::lattice_prices(size, c, contract, tolerance, boundaryCount, out);
        });
    }, py::arg("law"), py::arg("size"), py::arg("kind"), py::arg("S"), py::arg("K"), py::arg("H"), py::arg("T"),
       py::arg("r"), py::arg("q"), py::arg("sigma"), py::arg("lam"), py::arg("j1"), py::arg("j2"), py::arg("j3"),
       py::arg("style"), py::arg("dates"), py::arg("barrier"), py::arg("tolerance"), py::arg("boundary_count"),
       py::arg("resolution") = 1.0);
    mod.attr("LATTICE_MAX_MONEYNESS") = pide::kMaxMoneyness;
    mod.def("kou_passages", [](std::size_t size, const Doubles &up, const Doubles &S, const Doubles &H,
                               const Doubles &T, const Doubles &r, const Doubles &q, const Doubles &sigma,
                               const Doubles &lam, const Doubles &p, const Doubles &eta1, const Doubles &eta2,
                               int what) {
        if (what < 0 || what > 2) {
            throw py::value_error("what must be 0, 1 or 2");
        }
        const batch::PassageInputs c{column(up),    column(S),   column(H), column(T),    column(r),   column(q),
                                     column(sigma), column(lam), column(p), column(eta1), column(eta2)};
        return results(2, size, [&](double *out) {
            batch::kou_passages(size, c, static_cast<batch::PassageValue>(what), out);
        });
    });
    mod.def("kou_closed_forms", &kou_rows<3, batch::kou_closed_forms>);
    mod.def("kou_greeks", &kou_rows<batch::kGreekRows, batch::kou_greeks>);
    mod.def("merton_prices", &merton_rows<1, merton_price_loop>);
    mod.def("merton_fit_jacobian", &merton_fit_rows);
    mod.def("merton_greeks", &merton_rows<5, batch::merton_greeks>);
    mod.def("implied_vols", [](std::size_t size, const Doubles &price, const Flags &kind, const Doubles &S,
                               const Doubles &K, const Doubles &T, const Doubles &r, const Doubles &q) {
        return results(1, size, [&](double *out) {
            batch::implied_vols(size, column(price), column(kind), column(S), column(K), column(T),
                                column(r), column(q), out);
        });
    });
    mod.def("black_scholes_prices", [](std::size_t size, const Flags &kind, const Doubles &S, const Doubles &K,
                                       const Doubles &T, const Doubles &r, const Doubles &q,
                                       const Doubles &sigma) {
        return results(1, size, [&](double *out) {
            batch::black_scholes_prices(size, column(kind), column(S), column(K), column(T), column(r),
                                        column(q), column(sigma), out);
        });
    });
    mod.def("try_kou_prices", &try_kou_prices);
    mod.def("try_merton_prices", &try_merton_prices);
    mod.def("try_kou_barrier", &try_kou_barrier);
    mod.def("set_max_threads", &batch::set_max_threads);
    mod.def("kou_default_terms", py::vectorize(&jumpdiffusion::kou_default_terms));
    mod.def("merton_default_terms", py::vectorize(&jumpdiffusion::merton_default_terms));
    mod.def("kou_violation", [](std::size_t size, const Doubles &S, const Doubles &K, const Doubles &T,
                                const Doubles &lam) {
        const batch::Violation v = batch::kou_violation(size, column(S), column(K), column(T), column(lam));
        return std::make_pair(v.index, v.code);
    });
    mod.def("merton_violation", [](std::size_t size, const Doubles &S, const Doubles &K, const Doubles &T,
                                   const Doubles &lam, const Doubles &m, const Doubles &s) {
        const batch::Violation v = batch::merton_violation(size, column(S), column(K), column(T), column(lam),
                                                           column(m), column(s));
        return std::make_pair(v.index, v.code);
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
    mod.attr("PASSAGE_ACCURACY") = batch::kVouched;
}

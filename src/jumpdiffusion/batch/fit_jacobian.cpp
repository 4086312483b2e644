#include "fit_jacobian.h"

#include <cmath>
#include <limits>
#include <vector>

#include "kou_call.h"
#include "kou_runs.h"
#include "prices.h"
#include "upsilon.h"
#include "merton_series.h"
#include "supported_domain.h"
#include "truncation.h"

namespace batch {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A parameter of a fit: its column, its range in the supported domain and the floor of
// its step's scale.
template <typename Inputs>
struct Parameter {
    Column<double> Inputs::*column;
    jumpdiffusion::Range range;
    double floor;
};

constexpr double kRelativeStep = 0x1p-20;

// x's bumped value: x + h, or x - h where x + h leaves the range; x + h is formed as a
// double and h read back from it, so that the quotient's divisor is the step taken.
double bumped_value(double x, const jumpdiffusion::Range &range, double floor) {
    const double h = kRelativeStep * std::fmax(std::fabs(x), floor);
    const double up = x + h;
    return up <= range.high ? up : x - h;
}

// The columns of `copies` copies of the inputs laid end to end: a column of one value
// stays one; every other is repeated (the kind column likewise).
template <typename T>
Column<T> repeated(Column<T> c, std::size_t size, std::size_t copies, std::vector<T> &store) {
    if (c.step == 0) {
        return c;
    }
    store.resize(size * copies);
    for (std::size_t k = 0; k < copies; ++k) {
        for (std::size_t e = 0; e < size; ++e) {
            store[k * size + e] = c[e];
        }
    }
    return Column<T>{store.data(), 1};
}

std::size_t copies_needed(unsigned bumped) {
    std::size_t count = 0;
    for (; bumped != 0; bumped >>= 1) count += bumped & 1u;
    return count;
}

// The columns that are neither the kind nor a fitted parameter.
template <typename Inputs>
using Others = Column<double> Inputs::*const[6];

template <typename Inputs, std::size_t Count, typename Prices>
void fit_jacobian(std::size_t size, const Inputs &in, unsigned bumped, const double *given,
                  const Parameter<Inputs> (&parameters)[Count], const Others<Inputs> &others, const Prices &prices,
                  double *out) {
    // Copy 0 is the elements as they are, unless their prices are given; then the bumped
    // copies start at 0.
    const std::size_t first = given ? 0 : 1;
    const std::size_t copies = first + copies_needed(bumped);
    // Everything allocated here, before the price pass starts its workers.
    std::vector<std::int8_t> kinds;
    std::vector<std::vector<double>> stores(Count + 6);
    std::vector<double> values(copies * size);
    Inputs all = in;
    all.kind = repeated(in.kind, size, copies, kinds);
    for (std::size_t i = 0; i < 6; ++i) {
        all.*others[i] = repeated(in.*others[i], size, copies, stores[i]);
    }
    std::size_t copy = first;
    for (std::size_t j = 0; j < Count; ++j) {
        const Parameter<Inputs> &par = parameters[j];
        std::vector<double> &store = stores[6 + j];
        const Column<double> base = in.*par.column;
        const bool bump = (bumped >> j) & 1u;
        if (!bump && base.step == 0) {
            continue;   // one value in every copy
        }
        store.resize(copies * size);
        for (std::size_t k = 0; k < copies; ++k) {
            for (std::size_t e = 0; e < size; ++e) {
                store[k * size + e] = base[e];
            }
        }
        if (bump) {
            for (std::size_t e = 0; e < size; ++e) {
                store[copy * size + e] = bumped_value(base[e], par.range, par.floor);
            }
            ++copy;
        }
        all.*par.column = Column<double>{store.data(), 1};
    }
    if (copies > 0) {
        prices(copies * size, all, values.data());
    }
    const double *basePrices = given ? given : values.data();
    for (std::size_t e = 0; e < size; ++e) {
        out[e] = basePrices[e];
    }
    copy = first;
    for (std::size_t j = 0; j < Count; ++j) {
        double *row = out + (1 + j) * size;
        if (!((bumped >> j) & 1u)) {
            for (std::size_t e = 0; e < size; ++e) {
                row[e] = 0.0;
            }
            continue;
        }
        const Parameter<Inputs> &par = parameters[j];
        const Column<double> x = in.*par.column;
        for (std::size_t e = 0; e < size; ++e) {
            const double h = bumped_value(x[e], par.range, par.floor) - x[e];
            row[e] = (values[copy * size + e] - basePrices[e]) / h;
        }
        ++copy;
    }
}

}  // namespace

void kou_fit_prices(std::size_t size, const KouInputs &c, double *out) {
    kou_evaluation_runs(size, c, [&](std::size_t e, const jumpdiffusion::KouCall &v, double spot, double after) {
        out[e] = kou_element_price(c, e, v, spot);
        const double zeta = jumpdiffusion::kou_jump_growth(c.p[e], c.eta1[e], c.eta2[e]) - 1.0;
        const double T = c.T[e];
        const double dlam = T * (after - v.call) - (zeta * T) * (spot * v.delta);
        out[size + e] = v.certified && std::isfinite(dlam) ? dlam : kNaN;
    }, kFitGrain, true);
}

void kou_fit_jacobian(std::size_t size, const KouInputs &in, unsigned bumped, const double *given,
                      const double *givenLam, double *out) {
    namespace dom = jumpdiffusion::domain;
    static const Parameter<KouInputs> parameters[kKouFitParameters] = {
        {&KouInputs::sigma, dom::sigma, 0.05}, {&KouInputs::lam, dom::lam, 0.25},
        {&KouInputs::p, dom::p, 0.25},         {&KouInputs::eta1, dom::eta1, 1.0},
        {&KouInputs::eta2, dom::eta2, 1.0}};
    static const Others<KouInputs> others = {&KouInputs::S, &KouInputs::K, &KouInputs::T,
                                             &KouInputs::r, &KouInputs::q, &KouInputs::n};
    constexpr unsigned kLam = 1u << 1;
    bool identity = given && givenLam && (bumped & kLam);
    for (std::size_t e = 0; identity && e < size; ++e) {
        identity = std::isfinite(givenLam[e]);
    }
    fit_jacobian(size, in, identity ? bumped & ~kLam : bumped, given, parameters, others,
                 [](std::size_t n, const KouInputs &c, double *o) { kou_prices(n, c, o, kFitGrain); }, out);
    if (identity) {
        for (std::size_t e = 0; e < size; ++e) {
            out[2 * size + e] = givenLam[e];
        }
    }
}

// Merton's derivatives are those of its series, term by term (merton_series.h), at the
// truncation the price uses: exact where a difference would be good to 1e-6.
void merton_fit_jacobian(std::size_t size, const MertonInputs &in, unsigned bumped, const double *given,
                         double *out) {
    if (given) {
        for (std::size_t e = 0; e < size; ++e) {
            out[e] = given[e];
        }
    } else {
        merton_prices(size, in, out, kFitGrain);
    }
    if (bumped == 0) {
        for (std::size_t i = size; i < (1 + kMertonFitParameters) * size; ++i) {
            out[i] = 0.0;
        }
        return;
    }
    parallel_for(worker_count(size, kFitGrain), size, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t e = begin; e < end; ++e) {
            const double T = in.T[e];
            const double last = in.n[e] >= 0.0 ? in.n[e]
                                               : jumpdiffusion::merton_default_terms(T, in.lam[e], in.m[e], in.s[e]);
            const jumpdiffusion::MertonSeries v =
                jumpdiffusion::merton_series(forward_spot(in.S[e], in.q[e], T), in.K[e], T, in.r[e], in.sigma[e],
                                             in.lam[e], in.m[e], in.s[e], last);
            const double rows[kMertonFitParameters] = {v.vega, v.dCdlam, v.dCdm, v.dCds};
            for (std::size_t j = 0; j < kMertonFitParameters; ++j) {
                out[(1 + j) * size + e] = (bumped >> j) & 1u ? rows[j] : 0.0;
            }
        }
    });
}

}  // namespace batch

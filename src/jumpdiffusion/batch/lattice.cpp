#include "lattice.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "pide_engine.h"
#include "threads.h"

namespace batch {

void lattice_prices(std::size_t size, const LatticeInputs &in, const LatticeContract &contract, double tolerance,
                    std::size_t boundaryCount, double *out) {
    if (size == 0) {
        return;
    }
    const bool knockOut = contract.barrier != 0;
    // The columns that make one solve: the model, the kind and, for a knock-out, H / K.
    std::vector<double> ratio(knockOut ? size : 0);
    for (std::size_t e = 0; e < ratio.size(); ++e) {
        ratio[e] = std::log(in.H[e] / in.K[e]);
    }
    const auto key = [&](std::size_t e, int c) -> double {
        switch (c) {
        case 0: return in.kind[e];
        case 1: return in.T[e];
        case 2: return in.r[e];
        case 3: return in.q[e];
        case 4: return in.sigma[e];
        case 5: return in.lam[e];
        case 6: return in.j1[e];
        case 7: return in.j2[e];
        case 8: return in.j3[e];
        default: return knockOut ? ratio[e] : 0.0;
        }
    };
    constexpr int kKeys = 10;
    std::vector<std::uint32_t> order(size);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        for (int c = 0; c < kKeys; ++c) {
            const double x = key(a, c), y = key(b, c);
            if (x < y) return true;
            if (y < x) return false;
        }
        return false;
    });
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 1; i < size; ++i) {
        for (int c = 0; c < kKeys; ++c) {
            if (!(key(order[i], c) == key(order[i - 1], c))) {
                starts.push_back(i);
                break;
            }
        }
    }
    starts.push_back(size);
    const std::size_t groups = starts.size() - 1;
    // One solve costs milliseconds: a worker per group, up to the cores.
    const std::size_t workers = worker_count(groups, 1);
    std::size_t largest = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        largest = std::max(largest, starts[g + 1] - starts[g]);
    }
    std::vector<double> xs(workers * largest);
    std::vector<pide::Point> points(workers * largest);
    std::vector<double> boundary(workers * boundaryCount);
    parallel_for(workers, groups, [&](std::size_t begin, std::size_t end, std::size_t w) {
        double *x = xs.data() + w * largest;
        pide::Point *pts = points.data() + w * largest;
        double *crit = boundaryCount > 0 ? boundary.data() + w * boundaryCount : nullptr;
        for (std::size_t g = begin; g < end; ++g) {
            const std::size_t first = starts[g], count = starts[g + 1] - first;
            const std::size_t e0 = order[first];
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t e = order[first + i];
                x[i] = std::log(in.S[e] / in.K[e]);
            }
            pide::Model model{in.law == 0 ? pide::Law::Kou : pide::Law::Merton,
                              in.T[e0], in.r[e0], in.q[e0], in.sigma[e0], in.lam[e0], 0, 0, 0, 0, 0};
            if (in.law == 0) {
                model.p = in.j1[e0];
                model.eta1 = in.j2[e0];
                model.eta2 = in.j3[e0];
            } else {
                model.m = in.j1[e0];
                model.s = in.j2[e0];
            }
            pide::Contract c{in.kind[e0] == 1,
                             knockOut || contract.style == 0   ? pide::Exercise::European
                             : contract.style == 1 ? pide::Exercise::American
                                                   : pide::Exercise::Bermudan};
            c.dates = contract.dates;
            c.dateCount = contract.dateCount;
            c.barrier = contract.barrier == 1   ? pide::Barrier::UpAndOut
                        : contract.barrier == 2 ? pide::Barrier::DownAndOut
                                                : pide::Barrier::None;
            c.xBarrier = knockOut ? ratio[e0] : 0.0;
            const bool today = pide::exercisable_today(c, model.T);
            pide::Settings settings;
            settings.tolerance = tolerance;
            settings.nearTolerance = 10.0 * tolerance;
            settings.resolution = contract.resolution;
            settings.boundaryCount = boundaryCount;
            settings.boundary = crit;
            const pide::Status status = pide::solve(model, c, x, count, pts, settings);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t e = order[first + i];
                const double S = in.S[e], K = in.K[e];
                const pide::Point &p = pts[i];
                double *o = out + e;
                const bool ok = status == pide::Status::Ok || status == pide::Status::Unresolved;
                // V = K v(x), x = ln(S / K): dV/dS = K v' / S, d2V/dS2 = K (v'' - v') / S^2.
                // Never below 0, nor an option exercisable today below its exercise value,
                // whatever the last bits of K v (a Bermudan whose first date is later may be
                // worth less than its payoff).
                o[0] = ok ? std::max(K * p.value, 0.0) : NAN;
                if (ok && today) {
                    o[0] = std::max(o[0], c.call ? S - K : K - S);
                }
                o[size] = ok ? K * p.dx / S : NAN;
                o[2 * size] = ok ? K * (p.dxx - p.dx) / (S * S) : NAN;
                o[3 * size] = ok ? K * p.dt : NAN;
                o[4 * size] = ok ? K * p.error : NAN;
                // Each point vouched for by its own estimate.
                o[5 * size] = !ok ? 2.0 : p.vouched ? 0.0 : 1.0;
                for (std::size_t j = 0; j < boundaryCount; ++j) {
                    o[(kLatticeRows + j) * size] = K * std::exp(crit[j]);
                }
            }
        }
    });
}

}  // namespace batch

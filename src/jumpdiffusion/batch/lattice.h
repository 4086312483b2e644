// The element loop of the PIDE engine (pide/pide_engine.h): elements of one model, kind and
// contract (and, for a knock-out, one ratio H / K) are one solve on one grid, at their
// points ln(S / K); the solves are spread over the workers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grouping.h"

namespace batch {

// kind 1 a call, 0 a put. law 0 Kou (j1, j2, j3 = p, eta1, eta2), 1 Merton (m, s, unused).
struct LatticeInputs {
    int law;
    Column<std::int8_t> kind;
    Column<double> S, K, H, T, r, q, sigma, lam, j1, j2, j3;
};

// style 0 European, 1 American, 2 Bermudan on dates[0 .. dateCount) (times from today);
// barrier 0 none, 1 up-and-out, 2 down-and-out (H the level; no early exercise then).
struct LatticeContract {
    int style;
    const double *dates;
    std::size_t dateCount;
    int barrier;
    double resolution = 1.0;  // the grids' fineness relative to the default (a reference: 3)
};

// Rows of size: price, delta, gamma, theta (per year of calendar time), the error estimate,
// and the status (0 vouched for within tolerance (S + K), 1 not resolved, 2 the grid too
// large); then boundaryCount rows of the critical spot at t_j = j T / (boundaryCount - 1)
// (NaN where nothing is exercised). Every argument in the supported domain, |ln(S / K)| <=
// pide::kMaxMoneyness, a knock-out's S on its live side.
constexpr std::size_t kLatticeRows = 6;
void lattice_prices(std::size_t size, const LatticeInputs &in, const LatticeContract &contract, double tolerance,
                    std::size_t boundaryCount, double *out);

}  // namespace batch

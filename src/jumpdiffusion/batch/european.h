// The toolkit's element loops for European options: columns of arguments in, one result
// (or a few rows of results) per element out, written at each element's index. Elements
// of one model are priced together as strips whatever the array layout (grouping.h), on
// several threads for large arrays (threads.h). Plain C++: the Python binding releases the
// interpreter lock around these calls. Every argument is in the toolkit's supported domain
// (supported_domain.h), checked before. A call allocates its scratch (the truncations, the
// visiting order, the Kou storage) before any thread starts and nothing per element; an
// allocation failure is std::bad_alloc from the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grouping.h"
#include "threads.h"

namespace batch {

// kind: 1 call, 0 put. n: the truncation, < 0 for the default rule (truncation.h).
struct KouInputs {
    Column<std::int8_t> kind;
    Column<double> S, K, T, r, q, sigma, lam, p, eta1, eta2, n;
};

struct MertonInputs {
    Column<std::int8_t> kind;
    Column<double> S, K, T, r, q, sigma, lam, m, s, n;
};

// Kou: corvane's call (certified closed form or stable evaluation) where it is accurate,
// else the toolkit's completion (kou_call.h); a put by parity. NaN where no method
// reaches the toolkit's accuracy. out[e] for e < size; grain as for worker_count.
void kou_prices(std::size_t size, const KouInputs &in, double *out, std::size_t grain = kElementsPerThread);

// Kou: the closed form's value, its error bound and whether the price is the closed
// form's bits (1 or 0), into out[e], out[size + e], out[2 size + e].
void kou_closed_forms(std::size_t size, const KouInputs &in, double *out);

// Merton: halvorn's call by strips where its series is finite and ends by 170 terms, else
// the series summed around its Poisson mode (merton_series.h); a put by parity.
void merton_prices(std::size_t size, const MertonInputs &in, double *out,
                   std::size_t grain = kElementsPerThread);

// Merton: delta, gamma, vega, theta, rho of the truncated series (rows of size).
void merton_greeks(std::size_t size, const MertonInputs &in, double *out);

// Black-Scholes prices, and implied volatilities of prices (NaN outside the no-arbitrage
// bounds), with the forward S exp((r - q) T) and the discount factor exp(-rT) formed the
// same way for both so that the two round-trip.
void black_scholes_prices(std::size_t size, Column<std::int8_t> kind, Column<double> S,
                          Column<double> K, Column<double> T, Column<double> r, Column<double> q,
                          Column<double> sigma, double *out);
void implied_vols(std::size_t size, Column<double> price, Column<std::int8_t> kind,
                  Column<double> S, Column<double> K, Column<double> T, Column<double> r,
                  Column<double> q, double *out);

// The first element that breaks a joint condition of the supported domain, and which
// (supported_domain.h's Joint); index -1 when none does.
struct Violation {
    long long index;
    int code;
};
Violation kou_violation(std::size_t size, Column<double> S, Column<double> K, Column<double> T,
                        Column<double> lam);
Violation merton_violation(std::size_t size, Column<double> S, Column<double> K,
                           Column<double> T, Column<double> lam, Column<double> m,
                           Column<double> s);

}  // namespace batch

// The model prices of a fit and their derivatives in the model parameters: the Jacobian of
// a calibration, in one call and on every core. Merton's are the series' own derivatives,
// term by term (merton_series.h); Kou's are forward differences:
//
// Each bumped parameter is one more evaluation of every element: the elements are laid
// out once more per bumped parameter (as one array of (1 + bumped) x size elements, each
// copy a model of its own) and priced in one pass of the price loop, so that the strips
// of every copy share the workers. Parameter x is bumped to x + h, h = 2^-20 max(|x|,
// floor) with a floor per parameter (its scale in a fit), rounded so that x + h - x is
// exact, and bumped downwards where x + h would leave the supported domain. With the
// prices accurate to some 1e-14 relative (the toolkit's accuracy bounds them by 1e-10)
// and second derivatives of the order of the price, the differences are accurate to
// about 1e-6 relative: what a Gauss-Newton step needs, whose fixed point is set by the
// residuals alone.
#pragma once

#include <cstddef>

#include "european.h"

namespace batch {

constexpr std::size_t kKouFitParameters = 5;     // sigma, lam, p, eta1, eta2
constexpr std::size_t kMertonFitParameters = 4;  // sigma, lam, m, s

// The grain of the Jacobian's price pass (threads.h): an element costs about a microsecond
// and a fit evaluates some tens of Jacobians, so two workers pay from a few hundred on.
constexpr std::size_t kFitGrain = 96;

// out (size x (1 + parameters), row-major by row): row 0 the prices (kou_prices,
// merton_prices), row 1 + j the derivative in parameter j where bit j of `bumped` is set,
// else 0. NaN where a price is NaN. `given`, where not null, holds the
// elements' prices as this call would form them (a fit has them from its residuals):
// they are taken as row 0 and not formed again.
// givenLam, where not null with `given`, holds d price / d lam per element as
// kou_fit_prices forms it: where every element has one, lam is not bumped.
void kou_fit_jacobian(std::size_t size, const KouInputs &in, unsigned bumped, const double *given,
                      const double *givenLam, double *out);

// A fit's Kou prices (row 0: kou_prices' bits) and d price / d lam (row 1) from the same
// strip evaluation, by the identity of the truncated series dC/dlam = T (C+ - C) - zeta T
// S' U1 (C+ the call after one more jump, kou_greeks.h; zeta T S' U1 the drift's share):
// exact for the series, NaN where the price is not the certified closed form.
void kou_fit_prices(std::size_t size, const KouInputs &in, double *out);
void merton_fit_jacobian(std::size_t size, const MertonInputs &in, unsigned bumped, const double *given,
                         double *out);

}  // namespace batch

// The toolkit's Kou call over its whole supported domain: corvane's evaluation where it
// is finite, and where it is not (an exponential of the closed form overflowing: A1, A2,
// the jump drift, the share measure's rates) or where the default truncation would need
// more than 170 jump terms, a method that is accurate there.
#pragma once

#include <cstdint>

#include "prices.h"

namespace jumpdiffusion {

// The toolkit's accuracy: a price within this fraction of S' + K exp(-rT) of the exact one
// (and a delta within it over S').
constexpr double kAccuracy = 1e-11;

struct KouCall {
    double call;        // the call price at the forward-adjusted spot
    double delta;       // dC/dS', the share-measure exercise probability
    double closedForm;  // Kou's closed form in double precision (NaN where not evaluated)
    double bound;       // the closed form's error bound (+inf where not evaluated)
    bool certified;     // call is the closed form's finite, certified value
    bool priced;        // false: no method reached the toolkit's accuracy (not returned)
};

// From corvane's evaluation of the element (n jump terms, 0 <= n <= 170): kept where its
// price is finite; else, where n is at least the default truncation `needed` (so that
// truncation changes nothing), the untruncated price by Fourier inversion; else the same
// truncated series as a sum of positive terms. `needed` may be kNeededUnknown: it is then
// found where it matters (not for a price certified to the toolkit's accuracy). discount
// is exp(-rT), formed once for a strip.
constexpr std::int32_t kNeededUnknown = -2;
KouCall kou_call_completed(const kou::KouCallEvaluation &evaluation, double spot, double K,
                           double T, double r, double sigma, double lam, double p, double eta1,
                           double eta2, std::int32_t n, std::int32_t needed, double discount);

// The untruncated call by Fourier inversion (kou_fourier.h).
KouCall kou_call_untruncated(double spot, double K, double T, double r, double sigma, double lam,
                             double p, double eta1, double eta2);

}  // namespace jumpdiffusion

// Internal: whether any term of the Merton series beyond i = 170 is NaN.
#pragma once

#include <cstdint>

#include "merton_terms.h"

namespace merton {

using numeric::kLastFiniteFactorial;

// Whether any term first..last (kLastFiniteFactorial < first <= last, where i! overflows a
// double and every term is +-0.0 or NaN) is NaN. Decided
// without visiting the terms one by one: at most a few thousand evaluations of parts of a
// term, well under a millisecond, for any input.
bool tail_has_nan(const MertonTerms &t, std::int32_t first, std::int32_t last);

}  // namespace merton

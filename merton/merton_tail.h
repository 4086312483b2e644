// Internal: whether any term of the Merton series beyond i = 170 is NaN.
#pragma once

#include <cstdint>

#include "merton_terms.h"

namespace merton {

// The first index whose i! overflows a double: from it on every term is +-0.0 or NaN.
constexpr std::int32_t kFirstInfiniteFactorial = 171;

// Whether any term first..last (kFirstInfiniteFactorial <= first <= last) is NaN. Decided
// without visiting the terms one by one: at most a few thousand evaluations of parts of a
// term, well under a millisecond, for any input.
bool tail_has_nan(const MertonTerms &t, std::int32_t first, std::int32_t last);

}  // namespace merton

// Internal: W doubles operated on element by element, for the evaluations that run several
// strikes side by side. Lanes<1> is a plain double; Lanes<4> a vector of four (GCC and
// clang vector extensions), on which every arithmetic operation is the IEEE operation of
// each element, so each lane holds the double the scalar code gives for it. On x86 the
// four lanes run as two SSE2 operations (or one AVX operation where compiled for it).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// The helpers are always inlined: a vector of four is then never passed to a function,
// whose calling convention would differ with and without AVX (hence no -Wpsabi note).
#if defined(__GNUC__)
#define KOU_LANE inline __attribute__((always_inline))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define KOU_LANE inline
#endif

namespace kou {
namespace lanes {

template <int W>
struct Type;
template <>
struct Type<1> {
    using type = double;
    using mask = bool;
};
template <>
struct Type<4> {
    typedef double type __attribute__((vector_size(4 * sizeof(double))));
    typedef std::int64_t mask __attribute__((vector_size(4 * sizeof(double))));
};
template <int W>
using Lanes = typename Type<W>::type;

template <int W>
KOU_LANE Lanes<W> load(const double *p) {
    Lanes<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int W>
KOU_LANE void store(double *p, Lanes<W> v) {
    std::memcpy(p, &v, sizeof v);
}

// Lane l of v.
KOU_LANE double lane(double v, int) { return v; }
template <typename V>
KOU_LANE double lane(V v, int l) { return v[l]; }

KOU_LANE double abs(double x) { return std::fabs(x); }
template <typename V>
KOU_LANE V abs(V x) {
    using Mask = typename Type<sizeof(V) / sizeof(double)>::mask;
    return reinterpret_cast<V>(reinterpret_cast<Mask>(x) & INT64_MAX);
}

// x where a != 0.0, else +0.0 (a NaN a counts as non-zero, as in a != 0.0).
KOU_LANE double where_nonzero(double a, double x) { return a != 0.0 ? x : 0.0; }
template <typename V>
KOU_LANE V where_nonzero(V a, V x) {
    using Mask = typename Type<sizeof(V) / sizeof(double)>::mask;
    return reinterpret_cast<V>(reinterpret_cast<Mask>(a != 0.0) & reinterpret_cast<Mask>(x));
}

}  // namespace lanes
}  // namespace kou

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

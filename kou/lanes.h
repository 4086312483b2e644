// Internal: W doubles operated on element by element, for the evaluations that run several
// strikes side by side. Lanes<1> is a plain double; Lanes<2> and Lanes<4> vectors (GCC and
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
#define KOU_LANE_LAMBDA __attribute__((always_inline))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define KOU_LANE inline
#define KOU_LANE_LAMBDA
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
struct Type<2> {
    typedef double type __attribute__((vector_size(2 * sizeof(double))));
    typedef std::int64_t mask __attribute__((vector_size(2 * sizeof(double))));
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

// x where the condition holds, else y (a per-lane choice between values already formed).
KOU_LANE double select(bool condition, double x, double y) { return condition ? x : y; }
template <typename V, typename M>
KOU_LANE V select(M condition, V x, V y) {
    using Mask = typename Type<sizeof(V) / sizeof(double)>::mask;
    const Mask m = reinterpret_cast<Mask>(condition);
    return reinterpret_cast<V>((m & reinterpret_cast<Mask>(x)) | (~m & reinterpret_cast<Mask>(y)));
}

// Both conditions, lane by lane; whether one holds in lane l.
KOU_LANE bool both(bool a, bool b) { return a && b; }
template <typename M>
KOU_LANE M both(M a, M b) {
    return a & b;
}
KOU_LANE bool holds(bool a, int) { return a; }
template <typename M>
KOU_LANE bool holds(M a, int l) {
    return a[l] != 0;
}

// Either condition, lane by lane.
KOU_LANE bool either(bool a, bool b) { return a || b; }
template <typename M>
KOU_LANE M either(M a, M b) {
    return a | b;
}

// x in every lane.
template <typename T>
KOU_LANE T splat(double x);
template <>
KOU_LANE double splat<double>(double x) {
    return x;
}
template <>
KOU_LANE Lanes<2> splat<Lanes<2>>(double x) {
    return Lanes<2>{x, x};
}
template <>
KOU_LANE Lanes<4> splat<Lanes<4>>(double x) {
    return Lanes<4>{x, x, x, x};
}

// f (a library function) applied to each lane.
template <typename F>
KOU_LANE double each(double x, const F &f) {
    return f(x);
}
template <typename F>
KOU_LANE Lanes<4> each(Lanes<4> x, const F &f) {
    return Lanes<4>{f(x[0]), f(x[1]), f(x[2]), f(x[3])};
}

// Whether the processor runs the AVX2 builds of the lane loops (asked once by each caller).
// A build with KOU_BASELINE_KERNELS runs the baseline builds whatever the processor has, so
// that a test build on an AVX2 machine checks the code that a processor without AVX2 runs.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
inline bool processor_has_avx2() {
#if defined(KOU_BASELINE_KERNELS)
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}
#endif

}  // namespace lanes
}  // namespace kou

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

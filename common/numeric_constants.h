// Constants of both numerical cores, fixed at compile time (the two modules share this
// header and no code at run time). Each is the double nearest the real number named.
#pragma once

#include <cstdint>

namespace numeric {

constexpr double kSqrt2 = 1.4142135623730951;    // sqrt(2)
constexpr double kSqrt2Pi = 2.5066282746310002;  // sqrt(2 pi)
constexpr double kTwoPi = 6.283185307179586;     // 2 pi

// 170! = tgamma(171) is the last factorial a double holds (about 7.3e306); 171! overflows.
// A series term that divides by i! is therefore finite up to i = 170 only.
constexpr std::int32_t kLastFiniteFactorial = 170;

}  // namespace numeric

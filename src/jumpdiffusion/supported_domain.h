// The toolkit's supported domain: where every price and Greek it returns is finite and
// within its stated accuracy. Outside it, but inside the models' own domain, the toolkit
// refuses the input (a ValueError naming the argument, the value and the range) rather
// than return a number it cannot vouch for.
//
// Each argument has a closed or half-open range of its own; three conditions join two
// arguments: the moneyness K / S, the expected number of jumps lam T (Kou) and the
// expected number of jumps of the share measure lam (1 + k) T (Merton).
#pragma once

#include <cmath>
#include <cstddef>

namespace jumpdiffusion {

struct Range {
    const char *name;
    double low, high;
    bool lowOpen;  // low itself excluded (T > 0, eta1 > 1)
    bool contains(double x) const {
        return std::isfinite(x) && (lowOpen ? x > low : x >= low) && x <= high;
    }
};

// The arguments' own ranges. Spot and strike are bounded so that S + K and their
// products stay far from overflow; the rest are beyond what any market shows.
namespace domain {
constexpr Range S{"S", 1e-100, 1e100, false};
constexpr Range K{"K", 1e-100, 1e100, false};
constexpr Range T{"T", 0.0, 50.0, true};
constexpr Range r{"r", -1.0, 1.0, false};
constexpr Range q{"q", -1.0, 1.0, false};
constexpr Range sigma{"sigma", 0.005, 5.0, false};
constexpr Range lam{"lam", 0.0, 1e300, false};
constexpr Range p{"p", 0.0, 1.0, false};
constexpr Range eta1{"eta1", 1.01, 1e4, false};  // eta1 - 1 >= 0.01: E[S_T] stays moderate
constexpr Range eta2{"eta2", 0.05, 1e4, false};
constexpr Range m{"m", -10.0, 10.0, false};
constexpr Range s{"s", 0.0, 5.0, false};
// The joint conditions.
constexpr double kMoneynessLow = 1e-6, kMoneynessHigh = 1e6;  // K / S
constexpr double kMaxExpectedJumps = 5000.0;                  // lam T, lam (1 + k) T
}  // namespace domain

// Which joint condition an element breaks (0: none).
enum class Joint { None = 0, Moneyness = 1, KouJumps = 2, MertonJumps = 3 };

inline Joint moneyness(double S, double K) {
    const double ratio = K / S;
    return ratio >= domain::kMoneynessLow && ratio <= domain::kMoneynessHigh ? Joint::None
                                                                             : Joint::Moneyness;
}

inline Joint kou_joint(double S, double K, double T, double lam) {
    if (moneyness(S, K) != Joint::None) {
        return Joint::Moneyness;
    }
    return lam * T <= domain::kMaxExpectedJumps ? Joint::None : Joint::KouJumps;
}

inline Joint merton_joint(double S, double K, double T, double lam, double m, double s) {
    if (moneyness(S, K) != Joint::None) {
        return Joint::Moneyness;
    }
    return lam * std::exp(m + 0.5 * (s * s)) * T <= domain::kMaxExpectedJumps ? Joint::None
                                                                             : Joint::MertonJumps;
}

}  // namespace jumpdiffusion

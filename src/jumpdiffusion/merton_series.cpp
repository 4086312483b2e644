#include "merton_series.h"

#include <cmath>

namespace jumpdiffusion {

namespace {

constexpr double kInvSqrt2 = 0.7071067811865476;     // 1 / sqrt(2)
constexpr double kInvSqrt2Pi = 0.3989422804014327;   // 1 / sqrt(2 pi)
constexpr double kTailExponent = 44.3614195558365;   // 64 log 2: each tail at most 2^-64

// N(d) and N(-d) from one erfc: the smaller of the two directly, the other as its
// complement (at least 1/2, so the subtraction loses nothing).
struct Normal {
    double below, above;  // N(d), N(-d)
};
Normal normal_pair(double d) {
    const double small = 0.5 * std::erfc(std::fabs(d) * kInvSqrt2);
    return d < 0.0 ? Normal{small, 1.0 - small} : Normal{1.0 - small, small};
}

}  // namespace

JumpRange poisson_range(double mu) {
    if (!(mu > 0.0)) {
        return {0.0, 0.0};
    }
    const double c = kTailExponent;
    // Upper: t^2 = 2 c (mu + t / 3), the positive root; lower: t^2 = 2 c mu.
    const double up = c / 3.0 + std::sqrt(c * c / 9.0 + 2.0 * c * mu);
    const double down = std::sqrt(2.0 * c * mu);
    return {std::fmax(0.0, std::floor(mu - down)), std::ceil(mu + up)};
}

MertonSeries merton_series(double spot, double K, double T, double r, double sigma, double lam,
                           double m, double s, double last) {
    const double g = m + 0.5 * (s * s);     // log(1 + k): the log-drift each jump adds
    const double k = std::expm1(g);         // mean relative jump size
    const double lamT = lam * T;            // Poisson mean of the strike-side weights
    const double L = lamT * std::exp(g);    // lam (1 + k) T, of the spot-side weights
    const double discounted = K * std::exp(-r * T);
    const double x0 = std::log(spot / discounted) - lamT * k;
    const double diffusion = sigma * sigma * T;
    const double jumpVariance = s * s;

    const JumpRange spotRange = poisson_range(L), strikeRange = poisson_range(lamT);
    const double first = std::fmin(spotRange.first, strikeRange.first);
    const double end = std::fmax(spotRange.last, strikeRange.last);

    // Weights up to a common factor each, by the ratio pi_(i+1) / pi_i = mu / (i + 1) from 1
    // at the start of each range (at most 2^64 e^2 at the mode: no overflow); the sums of
    // the weights over the whole ranges divide at the end, so the factors cancel and the
    // 2^-64 tails left out are also normalised away.
    double wS = 0.0, wK = 0.0, totalS = 0.0, totalK = 0.0;
    double A = 0.0, Aput = 0.0, gammaSum = 0.0, vegaSum = 0.0, thetaS = 0.0;
    double B = 0.0, Bput = 0.0, thetaK = 0.0;
    double shiftedA = 0.0, shiftedB = 0.0, jumpVega = 0.0;  // sums of pi_(i-1) N(d), G_i i s / sqrt V_i
    for (double i = first; i <= end; i += 1.0) {
        // The weights of jump count i - 1 (0 outside their ranges).
        const double before = wS, beforeK = wK;
        wS = i == spotRange.first ? 1.0 : (i > spotRange.last ? 0.0 : wS * (L / i));
        wK = i == strikeRange.first ? 1.0 : (i > strikeRange.last ? 0.0 : wK * (lamT / i));
        if (i < spotRange.first) {
            wS = 0.0;
        }
        if (i < strikeRange.first) {
            wK = 0.0;
        }
        totalS += wS;
        totalK += wK;
        if (i > last || (wS == 0.0 && wK == 0.0)) {
            continue;
        }
        const double V = diffusion + i * jumpVariance;
        const double root = std::sqrt(V);
        const double d1 = (x0 + i * g + 0.5 * V) / root;
        const Normal n1 = normal_pair(d1), n2 = normal_pair(d1 - root);
        const double density = std::exp(-0.5 * d1 * d1) * kInvSqrt2Pi;
        A += wS * n1.below;
        Aput += wS * n1.above;
        gammaSum += wS * density / root;
        vegaSum += wS * density * (sigma * T) / root;
        thetaS += wS * ((i - L) / T * n1.below + density * (sigma * sigma) / (2.0 * root));
        B += wK * n2.below;
        Bput += wK * n2.above;
        thetaK += wK * ((i / T - lam) * n2.below);
        shiftedA += before * n1.below;
        shiftedB += beforeK * n2.below;
        jumpVega += wS * density * (i * s) / root;
    }
    const double D1 = (shiftedA - A) / totalS, D2 = (shiftedB - B) / totalK;
    A /= totalS;
    Aput /= totalS;
    B /= totalK;
    Bput /= totalK;
    MertonSeries out;
    out.call = std::fmax(0.0, spot * A - discounted * B);
    const bool converged = last >= end;
    out.put = std::fmax(0.0, converged ? discounted * Bput - spot * Aput
                                       : (discounted + out.call) - spot);
    out.callDelta = A;
    out.gamma = gammaSum / totalS / spot;
    out.vega = spot * (vegaSum / totalS);
    out.dCdT = spot * (thetaS / totalS) - discounted * (thetaK / totalK) + r * discounted * B;
    out.callRho = T * discounted * B;
    const double growthT = T * std::exp(g);  // (1 + k) T
    out.dCdlam = spot * (growthT * D1) - discounted * (T * D2);
    out.dCdm = spot * ((lam * growthT) * D1);
    out.dCds = spot * ((lam * growthT * s) * D1) + spot * (jumpVega / totalS);
    return out;
}

}  // namespace jumpdiffusion

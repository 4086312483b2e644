#include "kou_call.h"

#include <cmath>
#include <limits>

#include "kou_fourier.h"
#include "truncation.h"

namespace jumpdiffusion {

namespace {

// corvane's unbounded price is kept where it agrees with the Fourier price to this fraction
// of S' + K exp(-rT): well inside the accuracy, so that a price moving between the two
// methods as its parameters move (a calibration's differences) jumps by at most this.
constexpr double kAgreement = 1e-13;

}  // namespace

KouCall kou_call_untruncated(double spot, double K, double T, double r, double sigma, double lam,
                             double p, double eta1, double eta2) {
    const FourierCall f = kou_call_fourier(spot, K, T, r, sigma, lam, p, eta1, eta2);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {f.call, f.delta, nan, HUGE_VAL, false, std::isfinite(f.call) && std::isfinite(f.delta)};
}

KouCall kou_call_completed(const kou::KouCallEvaluation &v, double spot, double K, double T,
                           double r, double sigma, double lam, double p, double eta1, double eta2,
                           std::int32_t n, std::int32_t needed, double discount) {
    const bool finite = std::isfinite(v.price) && std::isfinite(v.shareProbability);
    const double scale = spot + K * discount;
    // The delta too: the price's bound may be far below each probability's, where their
    // errors cancel in the price.
    if (finite && v.certified && v.bound <= kAccuracy * scale && v.shareBound * spot <= kAccuracy * scale) {
        return {v.price, v.shareProbability, v.closedForm, v.bound, true, true};
    }
    if (needed == kNeededUnknown) {
        needed = kou_default_terms(T, lam, p, eta1, eta2);
    }
    const bool converged = needed >= 0 && n >= needed;  // truncation at n changes nothing
    if (finite) {
        const KouCall kept{v.price, v.shareProbability, v.closedForm, v.bound,
                           v.certified && std::isfinite(v.bound), true};
        // Without jumps the closed form is Black-Scholes, each probability 1 - erfc / 2 to
        // a few ulp whatever its bound says.
        if (!converged || lam == 0.0) {
            return kept;
        }
        // Neither certified to the toolkit's accuracy nor bounded (corvane's positive-term
        // evaluation, accurate in most of the domain but measurably less so where sigma
        // sqrt(T) is small): checked against the untruncated price, whose error is bounded
        // (about 1.4e-14 of S' + K'). Where the two agree to kAgreement, the price keeps
        // corvane's bits.
        const FourierCall f = kou_call_fourier(spot, K, T, r, sigma, lam, p, eta1, eta2);
        if (!std::isfinite(f.call) || !std::isfinite(f.delta)) {
            return kept;
        }
        if (std::fabs(f.call - kept.call) <= kAgreement * scale) {
            KouCall same = kept;  // the price's bits; the delta where it agrees as closely
            if (std::fabs(f.delta - kept.delta) * spot > kAgreement * scale) same.delta = f.delta;
            return same;
        }
        return {f.call, f.delta, v.closedForm, v.bound, false, true};
    }
    // Where truncation at n changes nothing (n at least the default), the untruncated
    // price by Fourier inversion, whose error is bounded.
    if (converged) {
        KouCall f = kou_call_untruncated(spot, K, T, r, sigma, lam, p, eta1, eta2);
        f.closedForm = v.closedForm;
        f.bound = v.bound;
        // Where even that fails (the integrand reaching beyond kMaxPanels panels), no price:
        // the positive-term sum, the one method left, was measured off by 1e-5 there.
        return f;
    }
    // Otherwise the truncated series itself, both probabilities as sums of positive terms.
    double U1;
    const double call = kou::kou_call_stable(T, K, spot, r, sigma, lam, p, eta1, eta2, n, &U1);
    if (std::isfinite(call) && U1 >= -1e-12 && U1 <= 1.0 + 1e-12) {
        return {std::fmax(0.0, call), std::fmin(1.0, std::fmax(0.0, U1)), v.closedForm, v.bound,
                false, true};
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, v.closedForm, v.bound, false, false};
}

}  // namespace jumpdiffusion

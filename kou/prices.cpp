#include <cmath>

#include "bounded.h"
#include "options.h"
#include "prices.h"
#include "upsilon.h"
#include "special_functions.h"
#include "upsilon_stable.h"

namespace kou {

namespace {

// The inputs for which the model is defined and the stable evaluation is built: S, K, T,
// sigma > 0, 0 <= p <= 1, eta1 > 1, eta2 > 0, lam >= 0, all finite, 0 <= n <= 170.
bool in_model_domain(double S, double K, double T, double r, double sigma, double lam,
                     double p, double eta1, double eta2, std::int32_t n) {
    const double values[] = {S, K, T, r, sigma, lam, p, eta1, eta2};
    for (double x : values) {
        if (!std::isfinite(x)) {
            return false;
        }
    }
    return S > 0.0 && K > 0.0 && T > 0.0 && sigma > 0.0 && p >= 0.0 && p <= 1.0 &&
           eta1 > 1.0 && eta2 > 0.0 && lam >= 0.0 && n >= 0 && n <= kLastFiniteFactorial;
}

// The closed form's value is returned as it is when its error bound is at most this
// fraction of S + K exp(-r T), which bounds every call and put price: one part in 1e10
// of the notional, far below a quote's precision and far above what well-conditioned
// inputs give (about 1e-15).
constexpr double kCertifiedFraction = 1e-10;

}  // namespace

// Kou's call: C = S U1 - K exp(-r T) U2, with U1 the exercise probability under the
// share measure (jump parameters tilted by the expected relative jump zeta) and U2
// under the risk-neutral measure.
//
// The closed form is evaluated with a bound on its rounding error. For inputs in the
// model's domain whose bound exceeds kCertifiedFraction of S + K exp(-r T), the closed
// form has lost its digits to cancellation (A1 = exp((eta1 sigma)^2 T / 2) grows while
// the I_n shrink), and the same two truncated series are evaluated as sums of positive
// terms instead (upsilon_stable). Every other input, including those whose closed form is NaN or infinite,
// gets the closed form's value unchanged.
KouCallEvaluation kou_call_evaluation(double T, double K, double S, double r, double sigma,
                                      double lam, double p, double eta1, double eta2,
                                      std::int32_t n) {
    alignas(InOrders) unsigned char storage[2 * sizeof(InOrders)];
    KouCallEvaluation out;
    kou_call_evaluations(T, &K, &S, 1, r, sigma, lam, p, eta1, eta2, n,
                         reinterpret_cast<InOrders *>(storage), &out);
    return out;
}

void kou_call_evaluations(double T, const double *K, const double *S, std::int32_t count,
                          double r, double sigma, double lam, double p, double eta1,
                          double eta2, std::int32_t n, InOrders *storage,
                          KouCallEvaluation *out) {
    const Bounded pb = Bounded::exact(p);
    const Bounded lamb = Bounded::exact(lam);
    const Bounded eta1b = Bounded::exact(eta1);
    const Bounded eta2b = Bounded::exact(eta2);
    const Bounded zeta = (((1.0 - pb) * eta2) / (eta2b + 1.0) + (pb * eta1) / (eta1b - 1.0)) - 1.0;
    const Bounded zeta1 = 1.0 + zeta;
    Bounded a[kMaxLevels];
    for (std::int32_t l = 0; l < count; ++l) {
        a[l] = log(Bounded::exact(K[l]) / S[l]);
    }
    const Bounded h = Bounded::exact(0.5 * sigma) * sigma;
    const Bounded lz = lam * zeta;
    const Bounded mu1 = (r + h) - lz;
    const Bounded mu2 = (r - h) - lz;
    const Bounded lamTilde = zeta1 * lam;
    const Bounded pTilde = (p / zeta1) * (eta1b / (eta1b - 1.0));
    const Bounded eta1Tilde = eta1b - 1.0;
    const Bounded eta2Tilde = eta2b + 1.0;

    UpsilonEstimate U1[kMaxLevels], U2[kMaxLevels];
    upsilon_levels(mu1, sigma, lamTilde, pTilde, eta1Tilde, eta2Tilde, a, count, T, n, storage, U1);
    upsilon_levels(mu2, sigma, lamb, pb, eta1b, eta2b, a, count, T, n, storage, U2);
    const Bounded discount = exp(Bounded::exact(-r) * T);
    for (std::int32_t l = 0; l < count; ++l) {
        const Bounded discounted = K[l] * discount;
        const Bounded C =
            S[l] * Bounded{U1[l].value, U1[l].bound} - Bounded{U2[l].value, U2[l].bound} * discounted;
        const double bound = kBoundSafety * C.e;
        if (!std::isfinite(C.v) ||
            !in_model_domain(S[l], K[l], T, r, sigma, lam, p, eta1, eta2, n) ||
            bound <= kCertifiedFraction * (S[l] + discounted.v)) {
            out[l] = {C.v, C.v, bound, true, U1[l].value};
            continue;
        }
        const double V1 = upsilon_stable(mu1.v, sigma, lamTilde.v, pTilde.v, eta1Tilde.v,
                                         eta2Tilde.v, a[l].v, T, n);
        const double V2 = upsilon_stable(mu2.v, sigma, lam, p, eta1, eta2, a[l].v, T, n);
        out[l] = {S[l] * V1 - V2 * discounted.v, C.v, bound, false, V1};
    }
}

double kou_call_price(double T, double K, double S, double r, double sigma, double lam,
                      double p, double eta1, double eta2, std::int32_t n) {
    return kou_call_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, n).price;
}

// Put-call parity on the call with the same maturity and strike.
double kou_put_price(double T, double K, double S, double r, double sigma, double lam,
                     double p, double eta1, double eta2, std::int32_t n) {
    const double C = kou_call_price(T, K, S, r, sigma, lam, p, eta1, eta2, n);
    return (K * std::exp((-r) * T) + C) - S;
}

double EuropeanCall::priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                             double p, double eta1, double eta2,
                                             std::int32_t n) const {
    return kou_call_price(T_, K_, S, r, sigma, lam, p, eta1, eta2, n);
}

double EuropeanPut::priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                            double p, double eta1, double eta2,
                                            std::int32_t n) const {
    return kou_put_price(T_, K_, S, r, sigma, lam, p, eta1, eta2, n);
}

std::unique_ptr<EuropeanCall> create_european_call(double T, double K) {
    return std::make_unique<EuropeanCall>(T, K);
}

std::unique_ptr<EuropeanPut> create_european_put(double T, double K) {
    return std::make_unique<EuropeanPut>(T, K);
}

}  // namespace kou

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

namespace {

// The two measures' Upsilon parameters: the risk-neutral (mu2, lam, p, eta1, eta2) and the
// share measure's (mu1, lam~, p~, eta1~, eta2~).
struct Measures {
    Bounded pb, lamb, eta1b, eta2b, zeta, mu1, mu2, lamTilde, pTilde, eta1Tilde, eta2Tilde;
};

Measures measures(double r, double sigma, double lam, double p, double eta1, double eta2) {
    Measures m;
    m.pb = Bounded::exact(p);
    m.lamb = Bounded::exact(lam);
    m.eta1b = Bounded::exact(eta1);
    m.eta2b = Bounded::exact(eta2);
    m.zeta = (((1.0 - m.pb) * eta2) / (m.eta2b + 1.0) + (m.pb * eta1) / (m.eta1b - 1.0)) - 1.0;
    const Bounded zeta1 = 1.0 + m.zeta;
    const Bounded h = Bounded::exact(0.5 * sigma) * sigma;
    const Bounded lz = lam * m.zeta;
    m.mu1 = (r + h) - lz;
    m.mu2 = (r - h) - lz;
    m.lamTilde = zeta1 * lam;
    m.pTilde = (p / zeta1) * (m.eta1b / (m.eta1b - 1.0));
    m.eta1Tilde = m.eta1b - 1.0;
    m.eta2Tilde = m.eta2b + 1.0;
    return m;
}

// The levels a[l] = log(K[l] / S[l]).
void log_moneyness(const double *K, const double *S, std::int32_t count, Bounded *a) {
    for (std::int32_t l = 0; l < count; ++l) {
        a[l] = log(Bounded::exact(K[l]) / S[l]);
    }
}

}  // namespace

void kou_share_levels(double T, const double *K, const double *S, std::int32_t count, double r,
                      double sigma, double lam, double p, double eta1, double eta2, std::int32_t n,
                      InOrders *storage, UpsilonEstimate *U1) {
    const Measures m = measures(r, sigma, lam, p, eta1, eta2);
    Bounded a[kMaxLevels];
    log_moneyness(K, S, count, a);
    upsilon_levels(m.mu1, sigma, m.lamTilde, m.pTilde, m.eta1Tilde, m.eta2Tilde, a, count, T, n, storage, U1);
}

void kou_call_evaluations(double T, const double *K, const double *S, std::int32_t count,
                          double r, double sigma, double lam, double p, double eta1,
                          double eta2, std::int32_t n, InOrders *storage,
                          KouCallEvaluation *out, double *shifted1, double *shifted2) {
    const Measures m = measures(r, sigma, lam, p, eta1, eta2);
    Bounded a[kMaxLevels];
    log_moneyness(K, S, count, a);

    UpsilonEstimate U1[kMaxLevels], U2[kMaxLevels];
    upsilon_levels(m.mu1, sigma, m.lamTilde, m.pTilde, m.eta1Tilde, m.eta2Tilde, a, count, T, n, storage, U1,
                   HhZero::closed_form, shifted1);
    upsilon_levels(m.mu2, sigma, m.lamb, m.pb, m.eta1b, m.eta2b, a, count, T, n, storage, U2,
                   HhZero::closed_form, shifted2);
    const Bounded discount = exp(Bounded::exact(-r) * T);
    auto call = [&](const UpsilonEstimate *V1, const UpsilonEstimate *V2, std::int32_t l) {
        return S[l] * Bounded{V1[l].value, V1[l].bound} - Bounded{V2[l].value, V2[l].bound} * (K[l] * discount);
    };
    auto small = [&](double bound, std::int32_t l) {
        return bound <= kCertifiedFraction * (S[l] + (K[l] * discount).v);
    };
    // A second opinion where the bound fails: right of the origin the closed form's Hh(0,
    // x0) = (1 - erfc(-x0 / sqrt 2) / 2) sqrt(2 pi) is a small difference of numbers near 1
    // and the largest source of error (exactly 0 from x0 = 8.3), which the first-order
    // bound takes in each probability apart. The same evaluation started from the tail
    // erfc(x0 / sqrt 2) / 2 sqrt(2 pi) instead (no cancellation) gives C~ with its own,
    // sharper bound B~, and |C - exact| <= |C - C~| + B~: the observed difference carries
    // the errors of U1 and U2 with their signs, which largely cancel in S U1 - K e^-rT U2
    // (both start from the same x0, and the share measure's weights match the other's).
    // Run only where it can help: where the bound less Hh(0)'s share would certify.
    Bounded C[kMaxLevels];
    bool domain[kMaxLevels];
    bool second = false;
    for (std::int32_t l = 0; l < count; ++l) {
        C[l] = call(U1, U2, l);
        domain[l] = in_model_domain(S[l], K[l], T, r, sigma, lam, p, eta1, eta2, n);
        const double rest = C[l].e - S[l] * U1[l].tailShare - U2[l].tailShare * (K[l] * discount).v;
        second = second || (std::isfinite(C[l].v) && !small(kBoundSafety * C[l].e, l) &&
                            small(kBoundSafety * rest, l) && domain[l]);
    }
    UpsilonEstimate T1[kMaxLevels], T2[kMaxLevels];
    if (second) {
        upsilon_levels(m.mu1, sigma, m.lamTilde, m.pTilde, m.eta1Tilde, m.eta2Tilde, a, count, T, n, storage,
                       T1, HhZero::tail);
        upsilon_levels(m.mu2, sigma, m.lamb, m.pb, m.eta1b, m.eta2b, a, count, T, n, storage, T2,
                       HhZero::tail);
    }
    for (std::int32_t l = 0; l < count; ++l) {
        double bound = kBoundSafety * C[l].e;
        double shareBound = kBoundSafety * U1[l].bound;
        if (second && !small(bound, l)) {
            const Bounded Ct = call(T1, T2, l);
            const double alternative = std::fabs(C[l].v - Ct.v) * (1.0 + kUnitRoundoff) + kUnderflow +
                                       kBoundSafety * Ct.e;
            bound = std::fmin(bound, alternative);  // (a NaN alternative keeps the bound)
            shareBound = std::fmin(shareBound, std::fabs(U1[l].value - T1[l].value) * (1.0 + kUnitRoundoff) +
                                                   kUnderflow + kBoundSafety * T1[l].bound);
        }
        if (!std::isfinite(C[l].v) || !domain[l] || small(bound, l)) {
            out[l] = {C[l].v, C[l].v, bound, true, U1[l].value, shareBound};
            continue;
        }
        double V1;
        const double stable = kou_call_stable(T, K[l], S[l], r, sigma, lam, p, eta1, eta2, n, &V1);
        out[l] = {stable, C[l].v, bound, false, V1};
    }
}

// The parameters of kou_call_evaluations (measures(): their values are the doubles
// plain arithmetic gives), each probability summed as positive terms.
double kou_call_stable(double T, double K, double S, double r, double sigma, double lam,
                       double p, double eta1, double eta2, std::int32_t n, double *U1) {
    const Measures m = measures(r, sigma, lam, p, eta1, eta2);
    const double a = std::log(K / S);
    const double V1 = upsilon_stable(m.mu1.v, sigma, m.lamTilde.v, m.pTilde.v, m.eta1Tilde.v, m.eta2Tilde.v, a,
                                     T, n);
    const double V2 = upsilon_stable(m.mu2.v, sigma, lam, p, eta1, eta2, a, T, n);
    if (U1 != nullptr) *U1 = V1;
    return S * V1 - V2 * (K * std::exp((-r) * T));
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

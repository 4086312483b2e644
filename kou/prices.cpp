#include <cmath>

#include "options.h"

namespace kou {

// Kou's call: C = S U1 - K exp(-r T) U2, with U1 the exercise probability under the
// share measure (jump parameters tilted by the expected relative jump zeta) and U2
// under the risk-neutral measure.
double EuropeanCall::priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                             double p, double eta1, double eta2,
                                             std::int32_t n) const {
    const double T = T_;
    const double K = K_;
    const double zeta = (((1.0 - p) * eta2) / (eta2 + 1.0) + (p * eta1) / (eta1 - 1.0)) - 1.0;
    const double zeta1 = 1.0 + zeta;
    const double a = std::log(K / S);
    const double h = (0.5 * sigma) * sigma;
    const double lz = lam * zeta;
    const double mu1 = (r + h) - lz;
    const double mu2 = (r - h) - lz;
    const double lamTilde = zeta1 * lam;
    const double pTilde = (p / zeta1) * (eta1 / (eta1 - 1.0));
    const double eta1Tilde = eta1 - 1.0;
    const double eta2Tilde = eta2 + 1.0;

    const Option &base = *this;
    const double U1 = base.Upsilon(mu1, sigma, lamTilde, pTilde, eta1Tilde, eta2Tilde, a, T, n);
    const double U2 = base.Upsilon(mu2, sigma, lam, p, eta1, eta2, a, T, n);
    return S * U1 - U2 * (K * std::exp((-r) * T));
}

// Put-call parity on a temporary call with the same maturity and strike.
double EuropeanPut::priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                            double p, double eta1, double eta2,
                                            std::int32_t n) const {
    const EuropeanCall call(T_, K_);
    const double C = call.priceByKouJumpDiffusion(S, r, sigma, lam, p, eta1, eta2, n);
    return (K_ * std::exp((-r) * T_) + C) - S;
}

std::unique_ptr<EuropeanCall> create_european_call(double T, double K) {
    return std::make_unique<EuropeanCall>(T, K);
}

std::unique_ptr<EuropeanPut> create_european_put(double T, double K) {
    return std::make_unique<EuropeanPut>(T, K);
}

}  // namespace kou

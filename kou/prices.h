// The Kou call and put prices as free functions, with what the call's evaluation knows
// about its accuracy. The call is Kou's Theorem 1 (S. G. Kou, "A jump-diffusion model for
// option pricing", Management Science 48(8) (2002) 1086-1101):
//   C = S Upsilon(r + sigma^2/2 - lam zeta, sigma, lam~, p~, eta1~, eta2~; log(K/S), T)
//       - K exp(-rT) Upsilon(r - sigma^2/2 - lam zeta, sigma, lam, p, eta1, eta2; log(K/S), T)
// with zeta = p eta1 / (eta1 - 1) + q eta2 / (eta2 + 1) - 1, lam~ = lam (zeta + 1),
// p~ = p eta1 / ((eta1 - 1)(zeta + 1)), eta1~ = eta1 - 1, eta2~ = eta2 + 1; the put by
// put-call parity, P = (K exp(-rT) + C) - S.
#pragma once

#include <cmath>
#include <cstdint>

namespace kou {

struct KouCallEvaluation {
    double price;       // what the call returns
    double closedForm;  // Kou's closed form evaluated in double precision
    double bound;       // bound on the closed form's error against the exact truncated series
    bool certified;     // price is closedForm: out of the domain, not finite, or bound small
    double shareProbability;  // the Upsilon U1 the price was formed from (its delta in S)
    // bound on |shareProbability - exact U1| where certified, else +inf: the price's bound
    // may be far smaller, where the errors of U1 and U2 cancel in S U1 - K exp(-rT) U2
    double shareBound = HUGE_VAL;
};

// The call of maturity T and strike K under the Kou model with n jump terms per series
// (the EuropeanCall's pricing operation). Any doubles and any n are accepted; see
// EuropeanCall::priceByKouJumpDiffusion for what is returned where.
KouCallEvaluation kou_call_evaluation(double T, double K, double S, double r, double sigma,
                                      double lam, double p, double eta1, double eta2,
                                      std::int32_t n);

// The same truncated call with both probabilities summed as positive terms (upsilon_stable,
// from the share-measure parameters formed as above): what the evaluation returns where the
// closed form is not certified. U1, when given, receives the share probability.
double kou_call_stable(double T, double K, double S, double r, double sigma, double lam,
                       double p, double eta1, double eta2, std::int32_t n, double *U1 = nullptr);

// The call's and the put's prices: what EuropeanCall / EuropeanPut::priceByKouJumpDiffusion
// return for EuropeanCall(T, K) / EuropeanPut(T, K) (the classes forward here).
double kou_call_price(double T, double K, double S, double r, double sigma, double lam,
                      double p, double eta1, double eta2, std::int32_t n);
double kou_put_price(double T, double K, double S, double r, double sigma, double lam,
                     double p, double eta1, double eta2, std::int32_t n);

template <int W>
class InOrdersLanes;
using InOrders = InOrdersLanes<1>;

// The same for count (1 <= count <= kMaxLevels of upsilon.h) options of one maturity at
// strikes K[l] and spots S[l] with one model and truncation: out[l] is exactly
// kou_call_evaluation for (K[l], S[l]). The coefficients, powers and weights are formed
// once for all. storage holds 2 * count InOrders (some 7 KiB each; caller-provided, so
// that the pricing code allocates nothing and the stack stays modest).
// shifted1 and shifted2, where given, receive each level's share-measure and risk-neutral
// series after one more jump (upsilon_levels' shifted): with S' the spot and zeta the mean
// relative jump, S' (1 + zeta) shifted1 - K exp(-rT) shifted2 is the call after one more
// jump, whose difference from the call is its derivative in lam T at a fixed drift.
void kou_call_evaluations(double T, const double *K, const double *S, std::int32_t count,
                          double r, double sigma, double lam, double p, double eta1,
                          double eta2, std::int32_t n, InOrders *storage,
                          KouCallEvaluation *out, double *shifted1 = nullptr,
                          double *shifted2 = nullptr);

// The share-measure probabilities U1 alone at count levels: the U1 values and bounds that
// kou_call_evaluations forms for the same arguments (for differences in the spot).
struct UpsilonEstimate;
void kou_share_levels(double T, const double *K, const double *S, std::int32_t count, double r,
                      double sigma, double lam, double p, double eta1, double eta2, std::int32_t n,
                      InOrders *storage, UpsilonEstimate *U1);

}  // namespace kou

// Continuously monitored barrier calls and puts under Kou's model, by Laplace inversion in
// the maturity.
//
// Knock-in at an upper level b = log(H/S) > 0 for X (the log-spot; a lower level is the
// upper level of -X, kou_roots.h's mirrored law). At tau_b the process creeps (X = b) or
// overshoots by O, exponential of rate eta1 and independent of tau_b, and starts afresh
// (S. G. Kou and H. Wang, Adv. Appl. Prob. 35 (2003), Theorem 3.1):
//   E[exp(-alpha tau); X_tau = b] = a0 = E1 (e^z + (eta1 - beta1) b phi(z)),
//   E[exp(-alpha tau); O in dy]  = a1 eta1 exp(-eta1 y) dy, a1 = (eta1 - beta1)(beta2 - eta1)/eta1 E1 b phi(z),
// E1 = exp(-b beta1), z = -b (beta2 - beta1), phi(z) = (e^z - 1)/z (the creeping and jumping
// parts of the first passage's transform, kou_passage.h). With the strong Markov property the
// knock-in's value g(T) = E[payoff(S exp(X_T)); tau <= T] has the transform
//   L[g](alpha) = (a0 E[payoff(S exp(b + Z))] + a1 E[payoff(S exp(b + O + Z))]) / alpha,
// Z = X at an independent exponential time of rate alpha. E[exp(theta Z)] = alpha / (alpha -
// G(theta)) = alpha (eta1 - theta)(eta2 + theta) / ((sigma^2/2) prod_j (theta - rho_j)) over
// the four roots rho_j of G = alpha, so Z has the density
//   sum_i P_i exp(-beta_i z) (z > 0) + sum_j N_j exp(gamma_j z) (z < 0),
//   P_i = -w(beta_i), N_j = w(-gamma_j), w(rho) = alpha (eta1 - rho)(eta2 + rho) / ((sigma^2/2) prod_{l != rho} (rho - rho_l)),
// and O + Z the density
//   sum_i W_i exp(-beta_i z) + W_0 exp(-eta1 z) (z > 0) + sum_j V_j exp(gamma_j z) (z < 0),
//   W_i = P_i eta1 / (eta1 - beta_i) (formed without the factor eta1 - beta_i that cancels),
//   V_j = N_j eta1 / (gamma_j + eta1), W_0 = sum_j V_j - sum_i W_i
// (the convolution with eta1 exp(-eta1 y)). A payoff (S e^u - K)+ or (K - S e^u)+ against such
// a density is a sum of integrals of exponentials over half-lines and intervals, in closed
// form; the call's needs Re beta_i > 1, which holds for Re alpha > G(1) = r - q: the nodes are
// shifted so. The knock-out is the European (kou_price) less the knock-in.
//
// The inversion is kou_passage.h's (Euler at A = 18 less its aliasing, vouched for at A = 22
// and by the rule a term shorter).
#pragma once

#include "kou_passage.h"
#include "kou_roots.h"

namespace passage {

class UpKnockIn {
public:
    // law of the process whose upper level is crossed; sign +1 where S_T = S exp(X_T) (an up
    // barrier), -1 where S_T = S exp(-X_T) (a down barrier, X the mirrored process).
    UpKnockIn(const KouLaw &law, double T, double A, double shift, double sign, EulerRule rule = kStandard.rule);
    bool ok() const { return ok_; }
    // exp(-A - 2 shift T): the weight of the value at 3T in this inversion's discretisation error.
    double aliasing() const { return aliasing_; }
    // The undiscounted knock-in value E[payoff; tau <= T] at the level b >= 0 for spot S and
    // strike K (call or put).
    Inverse value(double b, double S, double K, bool call) const;

private:
    Complex beta_[kMaxEulerTerms][2], gamma_[kMaxEulerTerms][2], inverse_[kMaxEulerTerms];
    Complex P_[kMaxEulerTerms][2], N_[kMaxEulerTerms][2], W_[kMaxEulerTerms][3], V_[kMaxEulerTerms][2];
    double weight_[kMaxEulerTerms], shorter_[kMaxEulerTerms];
    double eta1_, scale_, sign_, aliasing_;
    int terms_;
    bool ok_ = true;
};

}  // namespace passage

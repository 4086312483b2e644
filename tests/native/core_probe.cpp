// What the Kou call's evaluation decided, for the Python tests: the closed form's value,
// its error bound and whether the price is the closed form. Not a reference: it calls
// the core itself.
#include <cstdint>

#include "black_scholes.h"
#include "prices.h"

extern "C" int probe_kou_call(double T, double K, double S, double r, double sigma, double lam,
                              double p, double eta1, double eta2, std::int32_t n,
                              double *closedForm, double *bound) {
    const kou::KouCallEvaluation e =
        kou::kou_call_evaluation(T, K, S, r, sigma, lam, p, eta1, eta2, n);
    *closedForm = e.closedForm;
    *bound = e.bound;
    return e.certified ? 1 : 0;
}

// The normalised Black-Scholes call b(x, s) of the toolkit's implied-volatility core, for
// comparison with high-precision evaluation at exactly these x and s.
extern "C" double probe_normalised_call(double x, double s) {
    return black_scholes::normalised_call(x, s);
}

// The Kou call by the positive-term evaluation of the same truncated series (what corvane
// returns where the closed form is not certified), for every input: a reference for how
// accurate the closed form is, where it is accurate itself (a few hundred ulp of 1 in each
// probability, measurably less at large lam T).
extern "C" double probe_kou_stable_call(double T, double K, double S, double r, double sigma,
                                        double lam, double p, double eta1, double eta2,
                                        std::int32_t n) {
    return kou::kou_call_stable(T, K, S, r, sigma, lam, p, eta1, eta2, n);
}

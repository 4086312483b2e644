// What the Kou call's evaluation decided, for the Python tests: the closed form's value,
// its error bound and whether the price is the closed form. Not a reference: it calls
// the core itself.
#include <cstdint>

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

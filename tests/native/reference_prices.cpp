// Prints the prices of a fixed set of reference cases, one per line, as
// "name value" with the value in C99 hexadecimal float notation, so that two
// builds (for example 64-bit and 32-bit x86) can be compared unit for unit.
#include <cstdio>

#include "merton_call.h"
#include "options.h"

int main() {
    struct Kou {
        double T, K, S, r, sigma, lam, p, eta1, eta2;
        int n;
    };
    const Kou kou[] = {
        {0.5, 90.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 40},
        {0.5, 98.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 40},
        {0.5, 110.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 40},
        {2.0, 100.0, 80.0, 0.02, 0.25, 2.5, 0.3, 6.0, 4.0, 60},
        {0.25, 100.0, 120.0, 0.0, 0.3, 0.5, 0.7, 15.0, 8.0, 20},
        {1.0, 100.0, 100.0, 0.05, 0.2, 0.0, 0.3, 7.0, 4.0, 10},
        {0.5, 98.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 170},
        {1.0, 100.0, 100.0, 0.05, 0.2, 3.0, 0.3, 40.0, 12.0, 60},  // ill-conditioned: last
    };
    const int count = sizeof kou / sizeof kou[0];
    for (int i = 0; i < count; ++i) {
        const Kou &c = kou[i];
        const char *suffix = i == count - 1 ? "_illcond" : "";
        const kou::EuropeanCall call(c.T, c.K);
        const kou::EuropeanPut put(c.T, c.K);
        std::printf("kou_call_%d%s %a\n", i, suffix,
                    call.priceByKouJumpDiffusion(c.S, c.r, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.n));
        std::printf("kou_put_%d%s %a\n", i, suffix,
                    put.priceByKouJumpDiffusion(c.S, c.r, c.sigma, c.lam, c.p, c.eta1, c.eta2, c.n));
    }
    struct Merton {
        double K, T, S, sigma, r, lam, m, s, n;
    };
    const Merton merton[] = {
        {100.0, 1.0, 100.0, 0.2, 0.05, 0.0, 0.0, 0.0, 0.0},
        {100.0, 1.0, 100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 60.0},
        {120.0, 0.5, 100.0, 0.3, 0.02, 0.25, 0.05, 0.4, 60.0},
        {75.0, 2.0, 80.0, 0.12, 0.03, 4.0, -0.02, 0.05, 60.0},
        {90.0, 0.1, 100.0, 0.4, 0.0, 2.0, 0.0, 0.25, 1e12},
    };
    int i = 0;
    for (const auto &c : merton) {
        std::printf("merton_%d %a\n", i++,
                    MertonEuropeanCall(c.K, c.T).JDAnalyticalPrice(c.S, c.sigma, c.r, c.lam, c.m, c.s, c.n));
    }
    return 0;
}

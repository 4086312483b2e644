// Kou parameter sets drawn at random for the native tests: each argument uniform in its
// range (the strike through log(K / S)), p uniform in [0, 1].
#pragma once

#include <cmath>
#include <random>

struct KouSet {
    double S, K, T, r, sigma, lam, p, eta1, eta2;
};

struct KouRanges {
    double S[2], logMoneyness[2], T[2], r[2], sigma[2], lam[2], eta1[2], eta2[2];
};

inline KouSet draw_kou_set(std::mt19937_64 &rng, const KouRanges &g) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto in = [&](const double (&range)[2]) { return range[0] + (range[1] - range[0]) * u(rng); };
    KouSet x;
    x.S = in(g.S);
    x.K = x.S * std::exp(in(g.logMoneyness));
    x.T = in(g.T);
    x.r = in(g.r);
    x.sigma = in(g.sigma);
    x.lam = in(g.lam);
    x.p = u(rng);
    x.eta1 = in(g.eta1);
    x.eta2 = in(g.eta2);
    return x;
}

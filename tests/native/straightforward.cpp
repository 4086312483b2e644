// Straightforward evaluations of both prices: a plain transcription of the
// formulas, term by term, with every library call made where the formula makes it
// and nothing reused between terms. The tests compare the modules against these
// bit for bit, and the benchmark times them; both are compiled with the same
// floating-point flags as the modules.
#include <cmath>
#include <cstdint>

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt2Pi = 2.5066282746310002;

double Hh(std::int32_t n, double x) {
    if (n < -1) {
        return NAN;
    }
    if (n == -1) {
        return std::exp((-0.5 * x) * x);
    }
    if (n == 0) {
        return (1.0 - std::erfc((-x) / kSqrt2) * 0.5) * kSqrt2Pi;
    }
    // (Hh(n - 2) - x Hh(n - 1)) / n, evaluated upward.
    double a = std::exp((-0.5 * x) * x);
    double b = (1.0 - std::erfc((-x) / kSqrt2) * 0.5) * kSqrt2Pi;
    for (std::int32_t k = 1; k <= n; ++k) {
        const double h = (a - x * b) / static_cast<double>(k);
        a = b;
        b = h;
    }
    return b;
}

double I_n(std::int32_t n, double c, double alpha, double beta, double delta) {
    if (n < 0) {
        return NAN;
    }
    bool caseA;
    if (beta > 0.0) {
        if (alpha == 0.0) {
            return 0.0;
        }
        caseA = true;
    } else if (beta < 0.0 && alpha < 0.0) {
        caseA = false;
    } else {
        return 0.0;
    }
    const double rho = beta / alpha;
    const double x0 = (beta * c) - delta;
    double sumH = 0.0;
    for (std::int32_t i = 0; i <= n; ++i) {
        sumH = sumH + std::pow(rho, static_cast<double>(n - i)) * Hh(i, x0);
    }
    const double expC = std::exp(c * alpha);
    const double rhoPow = std::pow(rho, static_cast<double>(n + 1));
    const double expTail =
        std::exp((alpha * alpha) / ((beta + beta) * beta) + (delta * alpha) / beta);
    const double scale = kSqrt2Pi / beta;
    if (caseA) {
        const double cdfTerm =
            1.0 - std::erfc((alpha / beta + (delta - beta * c)) / kSqrt2) * 0.5;
        return ((scale * rhoPow) * expTail) * cdfTerm - sumH * (expC / alpha);
    }
    const double cdfTerm = 1.0 - std::erfc((x0 - alpha / beta) / kSqrt2) * 0.5;
    return (-(expC / alpha)) * sumH - ((scale * rhoPow) * expTail) * cdfTerm;
}

double binom(std::int32_t xi, std::int32_t yi) {
    const double x = static_cast<double>(xi);
    const double y = static_cast<double>(yi);
    return std::tgamma(x + 1.0) / (std::tgamma(y + 1.0) * std::tgamma(x - y + 1.0));
}

// P(i, k) (up) or Q(i, k): the formulas' sums, every product in the order they write it.
double coefficient(bool up, std::int32_t i, std::int32_t k, double p, double q, double r1, double r2) {
    if (k == i) {
        return std::pow(up ? p : q, static_cast<double>(i));
    }
    double sum = 0.0;
    for (std::int32_t j = k; j <= i - 1; ++j) {
        const double x1 = std::pow(r1, double(up ? j - k : i - j));
        const double x2 = std::pow(r2, double(up ? i - j : j - k));
        const double y = up ? std::pow(p, double(j)) * std::pow(q, double(i - j))
                            : std::pow(q, double(j)) * std::pow(p, double(i - j));
        sum = sum + binom(i, j) * binom(i - k - 1, j - k) * x1 * x2 * y;
    }
    return sum;
}

double P(std::int32_t i, std::int32_t k, double p, double q, double r1, double r2) {
    return coefficient(true, i, k, p, q, r1, r2);
}

double Q(std::int32_t i, std::int32_t k, double p, double q, double r1, double r2) {
    return coefficient(false, i, k, p, q, r1, r2);
}

double Upsilon(double mu, double sigma, double lam, double p, double eta1, double eta2,
               double a, double T, std::int32_t n) {
    const double pi0 = std::exp((-lam) * T);
    const double muT = mu * T;
    double J1 = 0.0;
    double J2 = 0.0;
    if (n > 0) {
        for (std::int32_t i = 1; i <= n; ++i) {
            const double pi_i =
                (std::exp((-lam) * T) * std::pow(lam * T, double(i))) / std::tgamma(double(i + 1));
            const double q = 1.0 - p;
            const double s = sigma * std::sqrt(T);
            const double r1 = eta1 / (eta1 + eta2);
            const double r2 = eta2 / (eta1 + eta2);
            double sum1 = 0.0;
            double sum2 = 0.0;
            for (std::int32_t k = 1; k <= i; ++k) {
                const double Pik = P(i, k, p, q, r1, r2);
                sum1 = I_n(k - 1, a - muT, -eta1, -1.0 / s, std::sqrt(T) * (eta1 * (-sigma))) *
                           (Pik * std::pow(eta1 * s, double(k))) +
                       sum1;
                const double Qik = Q(i, k, p, q, r1, r2);
                sum2 = I_n(k - 1, a - muT, eta2, 1.0 / s, std::sqrt(T) * ((-sigma) * eta2)) *
                           (Qik * std::pow(eta2 * s, double(k))) +
                       sum2;
            }
            J1 = sum1 * pi_i + J1;
            J2 = sum2 * pi_i + J2;
        }
    }
    const double A1 = std::exp((eta1 * sigma) * (eta1 * sigma) * T * 0.5) /
                      (std::sqrt(6.283185307179586 * T) * sigma);
    const double A2 = std::exp((eta2 * sigma) * (eta2 * sigma) * T * 0.5) /
                      (std::sqrt(6.283185307179586 * T) * sigma);
    const double z = (-(a - muT)) / (std::sqrt(T) * sigma) / kSqrt2;
    return pi0 * (1.0 - std::erfc(z) * 0.5) + (A2 * J2 + A1 * J1);
}

double kou_call(double T, double K, double S, double r, double sigma, double lam, double p,
                double eta1, double eta2, std::int32_t n) {
    const double zeta = (((1.0 - p) * eta2) / (eta2 + 1.0) + (p * eta1) / (eta1 - 1.0)) - 1.0;
    const double zeta1 = 1.0 + zeta;
    const double a = std::log(K / S);
    const double h = (0.5 * sigma) * sigma;
    const double lz = lam * zeta;
    const double U1 = Upsilon((r + h) - lz, sigma, zeta1 * lam,
                              (p / zeta1) * (eta1 / (eta1 - 1.0)), eta1 - 1.0, eta2 + 1.0, a,
                              T, n);
    const double U2 = Upsilon((r - h) - lz, sigma, lam, p, eta1, eta2, a, T, n);
    return S * U1 - U2 * (K * std::exp((-r) * T));
}

}  // namespace

extern "C" {

// Kou's coefficient P(i, k) (upward) or Q(i, k) (downward), term by term.
double sf_kou_coefficient(std::int32_t i, std::int32_t k, double p, double eta1, double eta2,
                          std::int32_t upward) {
    const double q = 1.0 - p;
    const double r1 = eta1 / (eta1 + eta2);
    const double r2 = eta2 / (eta1 + eta2);
    return upward ? P(i, k, p, q, r1, r2) : Q(i, k, p, q, r1, r2);
}

double sf_kou_call(double T, double K, double S, double r, double sigma, double lam,
                   double p, double eta1, double eta2, std::int32_t n) {
    return kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n);
}

double sf_kou_put(double T, double K, double S, double r, double sigma, double lam, double p,
                  double eta1, double eta2, std::int32_t n) {
    const double C = kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n);
    return (K * std::exp((-r) * T) + C) - S;
}

// Merton call, terms i = 0 .. floor(n), the index capped at 2^31 - 1.
double sf_merton_call(double K, double T, double S, double sigma, double r, double lam,
                      double m, double s, double n) {
    const double k = std::exp(0.5 * (s * s) + m) - 1.0;
    const double a = 1.0 + k;
    const double L = (a * lam) * T;
    const double r0 = r - k * lam;
    const double g = std::log(a) / T;
    const double v = (s * s) / T;
    const double sigma2 = sigma * sigma;
    if (!(n >= 0.0)) {
        return 0.0;
    }
    double sum = 0.0;
    double F = 1.0;
    for (std::int32_t i = 0;; ++i) {
        const double x = static_cast<double>(i);
        const double sig_i = std::sqrt(v * x + sigma2);
        const double r_i = g * x + r0;
        double w = std::exp(-L) * std::pow(L, x);
        if (i >= 2) {
            F = F * x;
            w = w / F;
        }
        const double d1 =
            ((((sig_i * sig_i) * 0.5 + r_i) * T) + std::log(S / K)) / sig_i / std::sqrt(T);
        const double N1 = 1.0 - std::erfc(d1 / kSqrt2) * 0.5;
        const double D = std::exp(T * (-r_i));
        const double d2 = d1 - sig_i * std::sqrt(T);
        const double N2 = 1.0 - std::erfc(d2 / kSqrt2) * 0.5;
        const double c = N1 * S - (K * D) * N2;
        sum = c * w + sum;
        if (i == INT32_MAX || !(n >= static_cast<double>(i + 1))) {
            return sum;
        }
    }
}

}  // extern "C"

// Kou double-exponential jump-diffusion: the option family and its prices.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "numeric_constants.h"

namespace kou {

// Highest truncation with a finite result: from 171 jumps on, tgamma(172) overflows.
using numeric::kLastFiniteFactorial;

// Plain base holding the maturity. Not polymorphic: in an EuropeanOption the Option
// part follows the vtable pointer, so converting a pointer to it adjusts the address.
class Option {
public:
    explicit Option(double T) : T_(T) {}

    // P(X(T) >= a) for X(t) = mu t + sigma W(t) + compound Poisson double-exponential
    // jumps (intensity lam, up with probability p at rate eta1, down at rate eta2),
    // keeping the terms for 0, 1, ..., n jumps. Reads no member.
    double Upsilon(double mu, double sigma, double lam, double p, double eta1, double eta2,
                   double a, double T, std::int32_t n) const;

protected:
    double T_;  // maturity in years
};

class EuropeanOption : public Option {
public:
    EuropeanOption(double T, double K) : Option(T), K_(K) {}

    // Price under the Kou model truncated at n jumps per series.
    //   S spot, r risk-free rate, sigma diffusion volatility, lam jump intensity,
    //   p probability of an upward jump, eta1 / eta2 rates of the upward / downward
    //   exponential log-jump sizes.
    virtual double priceByKouJumpDiffusion(double S, double r, double sigma, double lam,
                                           double p, double eta1, double eta2,
                                           std::int32_t n) const = 0;

protected:
    double K_;  // strike
};

// The concrete options are final: they are destroyed only through handles typed to
// themselves, and no destructor in the family is virtual.
class EuropeanCall final : public EuropeanOption {
public:
    EuropeanCall(double T, double K) : EuropeanOption(T, K) {}
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, std::int32_t n) const override;
};

class EuropeanPut final : public EuropeanOption {
public:
    EuropeanPut(double T, double K) : EuropeanOption(T, K) {}
    double priceByKouJumpDiffusion(double S, double r, double sigma, double lam, double p,
                                   double eta1, double eta2, std::int32_t n) const override;
};

static_assert(!std::is_polymorphic<Option>::value, "Option carries no vtable");
static_assert(std::is_trivially_destructible<EuropeanCall>::value &&
                  std::is_trivially_destructible<EuropeanPut>::value,
              "the option family is trivially destructible");

std::unique_ptr<EuropeanCall> create_european_call(double T, double K);
std::unique_ptr<EuropeanPut> create_european_put(double T, double K);

}  // namespace kou

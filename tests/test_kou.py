import math
import random

import pytest

import corvane
from corvane import (EuropeanOption, KouEuropeanCall, KouEuropeanPut, Option,
                     create_european_call, create_european_put)
from fourier_kou import black_scholes_call, kou_call
from bitwise import same
from cases import random_kou_args


MARKET = dict(S=100.0, r=0.05, sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)


# ---- against an independent Fourier pricer ----

@pytest.mark.parametrize("S,K,T,r,sigma,lam,p,eta1,eta2", [
    (100.0, 90.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
    (100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
    (100.0, 110.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
    (80.0, 100.0, 2.0, 0.02, 0.25, 2.5, 0.3, 6.0, 4.0),    # frequent, large jumps
    (120.0, 100.0, 0.25, 0.0, 0.3, 0.5, 0.7, 15.0, 8.0),   # short maturity, mostly up
])
def test_call_and_put_against_fourier(S, K, T, r, sigma, lam, p, eta1, eta2):
    args = (S, r, sigma, lam, p, eta1, eta2, 40)
    want = float(kou_call(S, K, T, r, sigma, lam, p, eta1, eta2))
    assert KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args) == pytest.approx(want, rel=1e-10)
    put = want + K * math.exp(-r * T) - S
    assert KouEuropeanPut(T, K).priceByKouJumpDiffusion(*args) == pytest.approx(put, rel=1e-10)


@pytest.mark.parametrize("n", [0, 1, 5, 40, 170])
@pytest.mark.parametrize("K", [80.0, 100.0, 125.0])
def test_no_jumps_is_black_scholes(n, K):
    args = dict(S=100.0, r=0.05, sigma=0.2, lam=0.0, p=0.3, eta1=7.0, eta2=4.0, n=n)
    want = float(black_scholes_call(100.0, K, 1.0, 0.05, 0.2))
    call = KouEuropeanCall(1.0, K).priceByKouJumpDiffusion(**args)
    put = KouEuropeanPut(1.0, K).priceByKouJumpDiffusion(**args)
    assert call == pytest.approx(want, rel=1e-12, abs=1e-12)
    assert put == pytest.approx(want + K * math.exp(-0.05) - 100.0, rel=1e-12, abs=1e-12)


# ---- truncation and parity ----

def test_put_is_parity_of_the_call_bit_for_bit():
    rng = random.Random(7)
    for _ in range(300):
        T, K = rng.uniform(0.05, 3.0), rng.uniform(50.0, 150.0)
        args = random_kou_args(rng)
        c = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        p = KouEuropeanPut(T, K).priceByKouJumpDiffusion(*args)
        assert same(p, (K * math.exp((-args[1]) * T) + c) - args[0])


@pytest.mark.parametrize("T,sigma", [(0.0, 0.2), (-1.0, 0.2), (1.0, 0.0)])
def test_degenerate_inputs_are_nan(T, sigma):
    for n in (0, 3):
        assert math.isnan(KouEuropeanCall(T, 100.0).priceByKouJumpDiffusion(
            100.0, 0.05, sigma, 1.0, 0.4, 10.0, 5.0, n))


# ---- bit-for-bit against the straightforward evaluation ----

# ---- the Python boundary ----

def test_module_surface():
    public = [n for n in corvane.__dict__ if not n.startswith("__")]
    assert public == ["Option", "EuropeanOption", "KouEuropeanCall", "KouEuropeanPut",
                      "create_european_call", "create_european_put"]
    assert corvane.__doc__ is None
    assert EuropeanOption.__bases__ == (Option,)
    assert KouEuropeanCall.__bases__ == (EuropeanOption,) == KouEuropeanPut.__bases__
    assert not hasattr(Option, "priceByKouJumpDiffusion")
    assert "priceByKouJumpDiffusion" not in KouEuropeanCall.__dict__


@pytest.mark.parametrize("cls", [Option, EuropeanOption])
def test_abstract_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match=rf"^corvane\.{cls.__name__}: No constructor defined!$"):
        cls()

    class Sub(cls):
        pass

    with pytest.raises(TypeError, match="No constructor defined!$"):
        Sub()


def test_factories_and_constructors_agree():
    put = create_european_put(1.0, 100.0)
    assert type(put) is KouEuropeanPut
    assert isinstance(put, EuropeanOption) and isinstance(put, Option)
    call = create_european_call(K=100.0, T=1.0)
    assert type(call) is KouEuropeanCall
    want = KouEuropeanCall(1.0, 100.0).priceByKouJumpDiffusion(**MARKET, n=20)
    assert call.priceByKouJumpDiffusion(**MARKET, n=20) == want
    assert create_european_call(1.0, 100.0).priceByKouJumpDiffusion(**MARKET, n=20) == want
    # Maturity first: swapping the arguments is another option.
    assert KouEuropeanCall(100.0, 1.0).priceByKouJumpDiffusion(**MARKET, n=20) != want
    with pytest.raises(TypeError):
        KouEuropeanCall(T=1.0, K=100.0)


def test_method_through_the_class_dispatches_virtually():
    put = KouEuropeanPut(0.5, 98.0)
    call = KouEuropeanCall(0.5, 98.0)
    assert EuropeanOption.priceByKouJumpDiffusion(put, **MARKET, n=10) == \
        put.priceByKouJumpDiffusion(**MARKET, n=10)
    assert EuropeanOption.priceByKouJumpDiffusion(call, **MARKET, n=10) == \
        call.priceByKouJumpDiffusion(**MARKET, n=10)
    with pytest.raises(TypeError):
        EuropeanOption.priceByKouJumpDiffusion(object(), **MARKET, n=10)


def test_keyword_order_and_int_arguments():
    call = KouEuropeanCall(0.5, 98.0)
    positional = call.priceByKouJumpDiffusion(100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 12)
    assert call.priceByKouJumpDiffusion(n=12, eta2=5.0, eta1=10.0, p=0.4, lam=1.0, sigma=0.16,
                                        r=0.05, S=100.0) == positional
    assert call.priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, n=12) == positional


def test_instances_are_closed():
    for option in (KouEuropeanCall(1.0, 100.0), create_european_put(1.0, 100.0)):
        with pytest.raises(AttributeError):
            option.T = 2.0
        assert not hasattr(option, "__dict__")



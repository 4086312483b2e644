import math
import random

import pytest

import corvane
from corvane import (EuropeanOption, KouEuropeanCall, KouEuropeanPut, Option,
                     create_european_call, create_european_put)
from fourier_kou import black_scholes_call, kou_call
from bitwise import bits, check_kou_call, same


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

@pytest.mark.parametrize("cls", [KouEuropeanCall, KouEuropeanPut])
def test_truncation_edges(cls):
    option = cls(0.5, 98.0)
    at_zero = option.priceByKouJumpDiffusion(**MARKET, n=0)
    for n in (-1, -2, -1000, -2**31):
        assert bits(option.priceByKouJumpDiffusion(**MARKET, n=n)) == bits(at_zero)
    assert math.isfinite(option.priceByKouJumpDiffusion(**MARKET, n=170))
    for n in (171, 172, 10**6, 2**31 - 1):
        assert math.isnan(option.priceByKouJumpDiffusion(**MARKET, n=n))


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

def random_kou_args(rng, n_max=25):
    S = rng.uniform(50.0, 150.0)
    r = rng.uniform(-0.02, 0.1)
    sigma = rng.uniform(0.05, 0.6)
    lam = rng.choice([0.0, rng.uniform(0.0, 3.0), rng.uniform(3.0, 10.0)])
    p = rng.uniform(0.0, 1.0)
    eta1 = rng.uniform(1.5, 40.0)
    eta2 = rng.uniform(0.5, 30.0)
    n = rng.randint(-2, n_max)
    return S, r, sigma, lam, p, eta1, eta2, n


def test_bit_exact_against_straightforward(straightforward):
    rng = random.Random(20261208)
    for trial in range(3000):
        T, K = rng.uniform(0.02, 5.0), rng.uniform(50.0, 150.0)
        args = random_kou_args(rng)
        if trial % 10 == 0:   # some arguments outside the model's domain
            args = tuple(rng.uniform(-2.0, 2.0) if rng.random() < 0.3 else a for a in args[:-1]) + args[-1:]
        call = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        put = create_european_put(T, K).priceByKouJumpDiffusion(*args)
        check_kou_call(straightforward, T, K, args, call, put)


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


def test_signatures():
    f = "typing.SupportsFloat | typing.SupportsIndex"
    params = ", ".join(f"{p}: {f}" for p in ["S", "r", "sigma", "lam", "p", "eta1", "eta2"])
    assert EuropeanOption.priceByKouJumpDiffusion.__doc__ == (
        f"priceByKouJumpDiffusion(self: corvane.EuropeanOption, {params}, "
        "n: typing.SupportsInt | typing.SupportsIndex) -> float\n")
    assert KouEuropeanPut.__init__.__doc__ == (
        f"__init__(self: corvane.KouEuropeanPut, arg0: {f}, arg1: {f}) -> None\n")
    assert create_european_call.__doc__ == (
        f"create_european_call(T: {f}, K: {f}) -> corvane.KouEuropeanCall\n")


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


@pytest.mark.parametrize("n", [10.0, 2**31, -2**31 - 1, 2**70, "3", None, True + 0.5])
def test_truncation_must_be_a_32_bit_int(n):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        KouEuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(**MARKET, n=n)


@pytest.mark.parametrize("bad", [dict(S="100"), dict(r=None), dict(p=[0.4]), dict(lam=1j)])
def test_wrong_argument_types(bad):
    kwargs = dict(MARKET, n=5)
    kwargs.update(bad)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        KouEuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(**kwargs)
    with pytest.raises(TypeError):
        KouEuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(**MARKET)          # n missing


def test_instances_are_closed():
    for option in (KouEuropeanCall(1.0, 100.0), create_european_put(1.0, 100.0)):
        with pytest.raises(AttributeError):
            option.T = 2.0
        assert not hasattr(option, "__dict__")


def test_subclass_skipping_base_init():
    class Lazy(KouEuropeanCall):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"__init__\(\) must be called"):
        Lazy()


def test_uninitialised_instances_raise(subprocess_python):
    result = subprocess_python("""
        import corvane
        args = (100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 5)

        class Sub(corvane.KouEuropeanPut):
            pass

        for cls in (corvane.KouEuropeanCall, corvane.KouEuropeanPut, Sub):
            obj = cls.__new__(cls)
            for call in (obj.priceByKouJumpDiffusion,
                         lambda *a: corvane.EuropeanOption.priceByKouJumpDiffusion(obj, *a)):
                try:
                    call(*args)
                    print("priced")
                except TypeError as e:
                    print("TypeError:", e)
        print("alive")
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "alive"
    assert len(lines) == 7 and all("never initialised" in line for line in lines[:-1])

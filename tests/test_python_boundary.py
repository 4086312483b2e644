"""What the two modules' Python boundary accepts and refuses: argument types and
conversions, the Kou truncation n, missing and unknown arguments, and instances that
were never initialised. Every refusal is a TypeError; nothing crashes the interpreter."""
import math

from decimal import Decimal
from fractions import Fraction

import pytest

try:
    import numpy as np
except ImportError:   # the i386 musl interpreter has no numpy: its cases are left out there
    np = None

from corvane import KouEuropeanCall, KouEuropeanPut
from halvorn import MertonEuropeanCall
from bitwise import bits, same

class Raises:
    def __float__(self):
        raise ValueError("no float here")

    def __index__(self):
        raise ValueError("no index here")

class WrongFloat:
    def __float__(self):
        return "1.0"

class WrongIndex:
    def __index__(self):
        return 1.5

class FloatLike:
    def __float__(self):
        return 100.0

HOSTILE = ["100", None, b"1", [1.0], (1.0,), {}, 1j, Raises(), WrongFloat(), WrongIndex(),
           object(), 10**400, -(10**400)] + ([np.array([1.0, 2.0]), np.array("x")] if np else [])

ACCEPTED_AS_FLOAT = [Decimal("100.5"), Fraction(201, 2), True, 2**70, FloatLike()] + (
    [np.float64(100.5), np.float32(100.5), np.int64(100), np.array(100.5)] if np else [])

KOU_ARGS = [100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 10]

MERTON_ARGS = [100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 10.0]

def price_kou(args):
    return KouEuropeanCall(0.5, 98.0).priceByKouJumpDiffusion(*args)

def price_merton(args):
    return MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(*args)

# Types with no conversion at all are refused by the binding layer's overload resolution.
PLAIN_WRONG = ("100", None, b"1", [1.0], (1.0,), {}, 1j)


@pytest.mark.parametrize("pricer,base", [(price_kou, KOU_ARGS), (price_merton, MERTON_ARGS)],
                         ids=["kou", "merton"])
@pytest.mark.parametrize("bad", HOSTILE, ids=repr)
def test_wrong_argument_types_raise_type_error(pricer, base, bad):
    for position in range(len(base)):
        args = list(base)
        args[position] = bad
        plain = any(bad is wrong for wrong in PLAIN_WRONG)
        with pytest.raises(TypeError, match="incompatible function arguments" if plain else None):
            pricer(args)


def test_missing_extra_and_unknown_arguments_raise_type_error():
    kou, merton = KouEuropeanCall(0.5, 98.0), MertonEuropeanCall(100.0, 1.0)
    kou_kwargs = dict(zip(["S", "r", "sigma", "lam", "p", "eta1", "eta2"], KOU_ARGS[:-1]))
    merton_kwargs = dict(zip(["S", "sigma", "r", "lam", "m", "s", "n"], MERTON_ARGS))
    refused = [
        lambda: kou.priceByKouJumpDiffusion(**kou_kwargs),                       # n missing
        lambda: merton.JDAnalyticalPrice(*MERTON_ARGS[:-1]),                      # n missing
        lambda: merton.JDAnalyticalPrice(*MERTON_ARGS, 1.0),                      # one too many
        lambda: merton.JDAnalyticalPrice(**merton_kwargs, x=1.0),                 # unknown keyword
        lambda: MertonEuropeanCall.JDAnalyticalPrice(object(), **merton_kwargs),  # wrong self
    ]
    for attempt in refused:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            attempt()


@pytest.mark.parametrize("value", ACCEPTED_AS_FLOAT, ids=repr)
def test_float_like_arguments_price_as_their_float(value):
    for pricer, base in ((price_kou, KOU_ARGS), (price_merton, MERTON_ARGS)):
        for position in range(len(base) - 1):   # the float parameters
            args = list(base)
            args[position] = value
            want = list(base)
            want[position] = float(value)
            assert same(pricer(args), pricer(want))


# ---- the Kou truncation n ----

@pytest.mark.parametrize("cls", [KouEuropeanCall, KouEuropeanPut])
def test_truncation_edges(cls):
    option = cls(0.5, 98.0)
    at_zero = option.priceByKouJumpDiffusion(*KOU_ARGS[:-1], n=0)
    for n in (-1, -2, -1000, -2**31):
        assert bits(option.priceByKouJumpDiffusion(*KOU_ARGS[:-1], n=n)) == bits(at_zero)
    assert math.isfinite(option.priceByKouJumpDiffusion(*KOU_ARGS[:-1], n=170))
    for n in (171, 172, 10**6, 2**31 - 1):
        assert math.isnan(option.priceByKouJumpDiffusion(*KOU_ARGS[:-1], n=n))


TRUNCATIONS = [
    (True, True), (Decimal("7.5"), True), (Fraction(15, 2), True), (7.0, False),
    (2**31, False), (-2**31 - 1, False),
    (10.0, False), (2**70, False), ("3", False), (None, False), (True + 0.5, False),
] + ([(np.int32(7), True), (np.int64(7), True), (np.array(7), True), (np.float32(7.5), True),
      (np.float64(7.0), False), (np.int64(2**40), False)] if np else [])


@pytest.mark.parametrize("n,accepted", TRUNCATIONS)
def test_kou_truncation_conversions(n, accepted):
    if accepted:
        assert same(price_kou(KOU_ARGS[:-1] + [n]), price_kou(KOU_ARGS[:-1] + [int(n)]))
    else:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            price_kou(KOU_ARGS[:-1] + [n])


# ---- instances that were never initialised, and the wrong self ----

def test_uninitialised_instances_and_wrong_self_raise(subprocess_python):
    # In a fresh interpreter: each attempt prints the start of its TypeError's message.
    result = subprocess_python("""
        import corvane, halvorn
        kou_args = (100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, 5)
        merton_args = (100.0, 0.2, 0.05, 1.0, -0.1, 0.15, 5.0)

        class KouSub(corvane.KouEuropeanPut):
            pass

        class SkipsInit(corvane.KouEuropeanPut):
            def __init__(self):
                pass

        class LazyCall(corvane.KouEuropeanCall):
            def __init__(self):
                pass

        class MertonSkips(halvorn.MertonEuropeanCall):
            def __init__(self):
                pass

        attempts = []
        for cls in (corvane.KouEuropeanCall, corvane.KouEuropeanPut, KouSub):
            obj = cls.__new__(cls)
            attempts += [lambda obj=obj: obj.priceByKouJumpDiffusion(*kou_args),
                         lambda obj=obj: corvane.EuropeanOption.priceByKouJumpDiffusion(obj, *kou_args)]
        attempts += [
            lambda: halvorn.MertonEuropeanCall.__new__(halvorn.MertonEuropeanCall).JDAnalyticalPrice(*merton_args),
            lambda: MertonSkips.__new__(MertonSkips).JDAnalyticalPrice(*merton_args),
            lambda: SkipsInit.__new__(SkipsInit).priceByKouJumpDiffusion(*kou_args),
            lambda: MertonSkips(),
            lambda: SkipsInit(),
            lambda: LazyCall(),
            lambda: corvane.EuropeanOption.priceByKouJumpDiffusion(halvorn.MertonEuropeanCall(1.0, 1.0), *kou_args),
            lambda: halvorn.MertonEuropeanCall.JDAnalyticalPrice(corvane.KouEuropeanCall(1.0, 1.0), *merton_args),
            lambda: corvane.EuropeanOption.priceByKouJumpDiffusion(None, *kou_args),
            lambda: corvane.EuropeanOption.priceByKouJumpDiffusion(corvane.Option.__new__(corvane.Option), *kou_args),
            lambda: corvane.EuropeanOption.priceByKouJumpDiffusion(
                corvane.EuropeanOption.__new__(corvane.EuropeanOption), *kou_args),
        ]
        for attempt in attempts:
            try:
                attempt()
                print("no exception")
            except TypeError as e:
                print("never initialised" if "never initialised" in str(e) else
                      "init not called" if "__init__() must be called" in str(e) else "TypeError")
        print("alive")
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")[:-1]
    # Both modules are imported before the first instance is made: the construction guard is
    # installed once for the two, so __new__ of either module's classes still works.
    assert lines[:12] == ["never initialised"] * 9 + ["init not called"] * 3
    assert len(lines) == 18 and "no exception" not in lines and lines[-1] == "alive"

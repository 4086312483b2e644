import math

import mpmath as mp
import pytest

import halvorn
from halvorn import MertonEuropeanCall
from bitwise import bits


# ---- independent references, from the mathematics, at high precision ----

def bs_call(S, K, T, sigma, r):
    S, K, T, sigma, r = map(mp.mpf, (S, K, T, sigma, r))
    d1 = (mp.log(S / K) + (r + sigma**2 / 2) * T) / (sigma * mp.sqrt(T))
    d2 = d1 - sigma * mp.sqrt(T)
    return S * mp.ncdf(d1) - K * mp.exp(-r * T) * mp.ncdf(d2)


def merton_series(S, K, T, sigma, r, lam, m, s, terms=200):
    S, K, T, sigma, r, lam, m, s = map(mp.mpf, (S, K, T, sigma, r, lam, m, s))
    k = mp.exp(m + s**2 / 2) - 1
    lt = lam * (1 + k) * T
    total = mp.mpf(0)
    for i in range(terms):
        sig_i = mp.sqrt(sigma**2 + i * s**2 / T)
        r_i = r - lam * k + i * mp.log(1 + k) / T
        total += mp.exp(-lt) * lt**i / mp.factorial(i) * bs_call(S, K, T, sig_i, r_i)
    return total


@pytest.fixture(autouse=True, scope="module")
def _precision():
    with mp.workdps(40):
        yield


@pytest.mark.parametrize("S,K,T,sigma,r", [
    (100.0, 100.0, 1.0, 0.2, 0.05),
    (100.0, 80.0, 0.25, 0.35, 0.01),
    (50.0, 65.0, 3.0, 0.15, 0.03),
])
@pytest.mark.parametrize("n", [0, 1, 7, 60])
def test_no_jumps_is_black_scholes(S, K, T, sigma, r, n):
    got = MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, 0.0, -0.1, 0.3, n)
    assert got == pytest.approx(float(bs_call(S, K, T, sigma, r)), rel=1e-13)


@pytest.mark.parametrize("lam,T,n", [(0.5, 1.0, 0), (0.5, 1.0, 2), (3.0, 2.0, 4), (3.0, 2.0, 12)])
def test_zero_jump_size_is_poisson_cdf_times_black_scholes(lam, T, n):
    S, K, sigma, r = 100.0, 105.0, 0.25, 0.04
    got = MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, lam, 0.0, 0.0, n)
    mean = mp.mpf(lam) * T
    cdf = sum(mp.exp(-mean) * mean**i / mp.factorial(i) for i in range(n + 1))
    assert got == pytest.approx(float(cdf * bs_call(S, K, T, sigma, r)), rel=1e-13)


@pytest.mark.parametrize("S,K,T,sigma,r,lam,m,s", [
    (100.0, 100.0, 1.0, 0.2, 0.05, 1.0, -0.1, 0.15),   # equity crash jumps
    (100.0, 120.0, 0.5, 0.3, 0.02, 0.25, 0.05, 0.4),   # rare large jumps, out of the money
    (80.0, 75.0, 2.0, 0.12, 0.03, 4.0, -0.02, 0.05),   # frequent small jumps
    (100.0, 90.0, 0.1, 0.4, 0.0, 2.0, 0.0, 0.25),      # short maturity
])
def test_series_against_high_precision(S, K, T, sigma, r, lam, m, s):
    got = MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, lam, m, s, 60)
    assert got == pytest.approx(float(merton_series(S, K, T, sigma, r, lam, m, s)), rel=1e-12)


# ---- truncation rules ----

NAN = float("nan")


@pytest.mark.parametrize("n", [-1.0, -0.5, -1e300, -math.inf, NAN, -1])
@pytest.mark.parametrize("others", [
    (100.0, 0.2, 0.05, 1.0, -0.1, 0.1),
    (NAN, NAN, NAN, NAN, NAN, NAN),
])
def test_negative_or_nan_truncation_is_exactly_zero(n, others):
    for K, T in [(100.0, 1.0), (NAN, NAN), (100.0, 0.0)]:
        got = MertonEuropeanCall(K, T).JDAnalyticalPrice(*others, n)
        assert bits(got) == bits(0.0)


@pytest.mark.parametrize("n,terms", [
    (0.0, 0), (-0.0, 0), (0.999999, 0), (5e-324, 0), (2.7, 2), (2.0, 2), (2, 2), (10.9, 10),
])
def test_fractional_truncation_takes_the_integer_part(n, terms):
    call = MertonEuropeanCall(100.0, 1.0)
    args = (100.0, 0.2, 0.05, 1.0, -0.1, 0.15)
    assert bits(call.JDAnalyticalPrice(*args, n)) == bits(call.JDAnalyticalPrice(*args, terms))


def test_one_term_is_discounted_black_scholes():
    S, K, T, sigma, r, lam, m, s = 100.0, 95.0, 1.0, -0.2, 0.05, 1.5, -0.1, 0.2
    k = math.exp(m + s * s / 2) - 1
    got = MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, lam, m, s, -0.0)
    want = math.exp(-lam * (1 + k) * T) * float(bs_call(S, K, T, abs(sigma), r - lam * k))
    assert got == pytest.approx(want, rel=1e-13)


@pytest.mark.parametrize("K,T,S,n", [(100.0, 0.0, 100.0, 0), (100.0, -1.0, 100.0, 3)])
def test_non_positive_maturity_is_nan(K, T, S, n):
    assert math.isnan(MertonEuropeanCall(K, T).JDAnalyticalPrice(S, 0.2, 0.05, 1.0, 0.0, 0.1, n))


def test_zero_spot_is_worthless():
    assert MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(0.0, 0.2, 0.05, 1.0, 0.0, 0.1, 5) == 0.0


def test_large_intensity_overflows_to_nan():
    # L > 1: pow(L, i) overflows while i! is already infinite, inf/inf = NaN.
    assert math.isnan(MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(
        100.0, 0.2, 0.05, 50.0, 0.0, 0.1, 250))


# ---- the Python boundary ----

ARGS = dict(S=100.0, sigma=0.2, r=0.05, lam=1.0, m=-0.1, s=0.15, n=20)


def test_keyword_and_mixed_calls_agree():
    call = MertonEuropeanCall(100.0, 1.0)
    positional = call.JDAnalyticalPrice(*ARGS.values())
    assert call.JDAnalyticalPrice(**ARGS) == positional
    assert call.JDAnalyticalPrice(**dict(reversed(list(ARGS.items())))) == positional
    assert call.JDAnalyticalPrice(100.0, 0.2, 0.05, m=-0.1, s=0.15, n=20, lam=1.0) == positional


def test_ints_and_float_like_objects_convert():
    class Spot:
        def __float__(self):
            return 100.0

    class Count:
        def __index__(self):
            return 20

    call = MertonEuropeanCall(100, 1)
    want = call.JDAnalyticalPrice(**ARGS)
    assert call.JDAnalyticalPrice(Spot(), 0.2, 0.05, 1, -0.1, 0.15, Count()) == want
    assert call.JDAnalyticalPrice(100, 0.2, 0.05, 1, -0.1, 0.15, 20.5) == want


def test_constructor_is_positional_and_strike_first():
    with pytest.raises(TypeError):
        MertonEuropeanCall(K=100.0, T=1.0)
    with pytest.raises(TypeError):
        MertonEuropeanCall(100.0)
    with pytest.raises(TypeError):
        MertonEuropeanCall(100.0, 1.0, 2.0)
    no_jumps = dict(ARGS, lam=0.0)
    swapped = MertonEuropeanCall(1.0, 100.0).JDAnalyticalPrice(**no_jumps)
    # strike 1, maturity 100 years: nearly the whole spot
    assert swapped == pytest.approx(float(bs_call(100.0, 1.0, 100.0, 0.2, 0.05)), rel=1e-12)


def test_instances_are_closed_and_independent():
    a, b = MertonEuropeanCall(100.0, 1.0), MertonEuropeanCall(110.0, 2.0)
    before = b.JDAnalyticalPrice(**ARGS)
    with pytest.raises(AttributeError):
        a.K = 5.0
    with pytest.raises(AttributeError):
        a.__dict__
    a.JDAnalyticalPrice(**ARGS)
    assert b.JDAnalyticalPrice(**ARGS) == before


def test_module_surface():
    assert sorted(n for n in dir(halvorn) if not n.startswith("__")) == ["MertonEuropeanCall"]
    assert halvorn.__doc__ is None


@pytest.mark.parametrize("name", ["halvorn", "corvane"])
def test_modules_use_multi_phase_initialisation(subprocess_python, name):
    # A multi-phase init function returns its module definition, not a module: the
    # object it returns has the type PyModuleDef_Type.
    result = subprocess_python(f"""
        import ctypes, importlib
        module = importlib.import_module("{name}")
        init = getattr(ctypes.PyDLL(module.__file__), "PyInit_{name}")
        init.restype = ctypes.c_void_p
        returned = init()
        ob_type = ctypes.c_void_p.from_address(returned + ctypes.sizeof(ctypes.c_ssize_t)).value
        moduledef = ctypes.addressof(ctypes.c_char.in_dll(ctypes.pythonapi, "PyModuleDef_Type"))
        print(ob_type == moduledef)
    """)
    assert result.stdout.strip() == "True", result.stderr

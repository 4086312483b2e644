"""The vectorised toolkit: the same prices as the two modules, element by element."""
import math

import numpy as np
import pytest

import jumpdiffusion as jd
from corvane import KouEuropeanCall, KouEuropeanPut
from halvorn import MertonEuropeanCall
from bitwise import same

RNG = np.random.default_rng(2026)


def random_market(size):
    return dict(S=RNG.uniform(50, 150, size), K=RNG.uniform(50, 150, size),
                T=RNG.uniform(0.05, 3.0, size), r=RNG.uniform(-0.02, 0.1, size),
                sigma=RNG.uniform(0.05, 0.6, size), lam=RNG.uniform(0.0, 5.0, size))


def test_kou_bit_identical_to_corvane(straightforward):
    """corvane's bits, except where corvane's price is further than 1e-13 of S + K e^-rT
    from the toolkit's Fourier check (it is then outside a bound that large, and the toolkit
    returns the Fourier price, within that bound of corvane's)."""
    size = 300
    m = random_market(size)
    p, eta1, eta2 = RNG.uniform(0, 1, size), RNG.uniform(1.5, 40, size), RNG.uniform(0.5, 30, size)
    n = RNG.integers(0, 61, size)
    kind = np.where(RNG.uniform(size=size) < 0.5, "call", "put")
    got = jd.kou_price(kind, m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], p, eta1, eta2, n=n)
    for e in range(size):
        cls = KouEuropeanCall if kind[e] == "call" else KouEuropeanPut
        want = cls(m["T"][e], m["K"][e]).priceByKouJumpDiffusion(
            m["S"][e], m["r"][e], m["sigma"][e], m["lam"][e], p[e], eta1[e], eta2[e], int(n[e]))
        if same(got[e], max(want, 0.0)):   # a put that parity rounds below 0 is 0
            continue
        args = (m["T"][e], m["K"][e], m["S"][e], m["r"][e], m["sigma"][e], m["lam"][e], p[e], eta1[e], eta2[e], int(n[e]))
        _, _, bound = straightforward.kou_evaluation(*args)
        scale = m["S"][e] + m["K"][e] * np.exp(-m["r"][e] * m["T"][e])
        assert bound > 5e-14 * scale and abs(got[e] - want) <= bound, e


def test_merton_bit_identical_to_halvorn_and_put_by_parity():
    size = 300
    m = random_market(size)
    mj, sj, n = RNG.uniform(-0.5, 0.3, size), RNG.uniform(0, 0.5, size), RNG.integers(0, 200, size)
    call = jd.merton_price("call", m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], mj, sj, n=n)
    put = jd.merton_price("put", m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], mj, sj, n=n)
    for e in range(size):
        want = MertonEuropeanCall(m["K"][e], m["T"][e]).JDAnalyticalPrice(
            m["S"][e], m["sigma"][e], m["r"][e], m["lam"][e], mj[e], sj[e], float(n[e]))
        assert same(call[e], want), e
        assert same(put[e], max(0.0, (m["K"][e] * math.exp(-m["r"][e] * m["T"][e]) + want) - m["S"][e]))


def test_large_arrays_on_threads_match_small_ones():
    size = 20_000
    m = random_market(size)
    args = (m["S"], m["K"], m["T"], m["r"], m["sigma"], m["lam"], 0.4, 10.0, 5.0)
    whole = jd.kou_price("call", *args, n=10)
    pieces = np.concatenate([jd.kou_price("call", *(a[i:i + 1000] if np.ndim(a) else a for a in args), n=10)
                             for i in range(0, size, 1000)])
    assert whole.tobytes() == pieces.tobytes()


def test_broadcasting_and_scalars():
    one = jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=20)
    assert type(one) is float
    grid = jd.kou_price(["call", "put"], 100.0, [[90.0], [100.0], [110.0]], 0.5, 0.05, 0.16, 1.0,
                        0.4, 10.0, 5.0, n=20)
    assert grid.shape == (3, 2) and grid.dtype == np.float64
    assert grid[1, 0] == jd.kou_price("call", 100.0, 100.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=20)
    assert jd.merton_price("put", np.full((2, 3), 100.0), 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15).shape == (2, 3)


K3, T4 = np.array([90.0, 100.0, 110.0]), np.array([[0.25], [0.5], [1.0], [2.0]])


@pytest.mark.parametrize("price", ["kou", "merton"])
@pytest.mark.parametrize("S,K,T,n", [
    (100, 98.0, np.float64(0.5), 20),        # int, float, numpy scalar
    (np.array(100.0), K3, 0.5, None),         # 0-d array, strip, default n
    (np.full((1, 1), 100.0), K3, T4, None),   # (1, 1) and a surface by broadcasting
    (100.0, K3[::2], T4, None),               # a strided view: copied by the checks
    (100.0, np.arange(90, 93), 0.5, np.int64(7)),   # integer arrays and n: the checks convert
])
def test_native_intake_and_checked_path_agree(price, S, K, T, n):
    if price == "kou":
        model, f = (0.16, 1.0, 0.4, 10.0, 5.0), jd.kou_price
    else:
        model, f = (0.2, 1.0, -0.1, 0.15), jd.merton_price
    given = f("put", S, K, T, 0.05, *model, q=0.01, n=n)
    checked = f(np.array("put"), S, K, T, 0.05, *model, q=0.01, n=n)   # a 0-d kind: the checks run
    assert type(given) is type(checked) and np.shape(given) == np.shape(checked)
    assert np.asarray(given).tobytes() == np.asarray(checked).tobytes()


@pytest.mark.parametrize("price", ["kou", "merton"])
def test_dividend_yield_through_the_forward(price):
    T, q = 1.5, 0.03
    if price == "kou":
        f = lambda S, q: jd.kou_price("put", S, 95.0, T, 0.04, 0.2, 2.0, 0.35, 8.0, 4.0, q=q)
    else:
        f = lambda S, q: jd.merton_price("put", S, 95.0, T, 0.04, 0.2, 2.0, -0.1, 0.15, q=q)
    assert f(100.0, q) == f(100.0 * math.exp((-q) * T), 0.0)
    call = (jd.kou_price if price == "kou" else jd.merton_price)
    # put-call parity with the dividend: C - P = S exp(-qT) - K exp(-rT)
    args = (100.0, 95.0, T, 0.04, 0.2, 2.0) + ((0.35, 8.0, 4.0) if price == "kou" else (-0.1, 0.15))
    c, p = call("call", *args, q=q), call("put", *args, q=q)
    assert c - p == pytest.approx(100.0 * math.exp(-q * T) - 95.0 * math.exp(-0.04 * T), abs=1e-12)


# The default truncation's tail is below 2^-64 of S + K. Merton's price keeps its bits; a Kou
# price may change evaluation (the closed form's error bound grows with n, so n = 170 may
# take the stable evaluation where the default n is certified), within 1e-14 of S + K.
@pytest.mark.parametrize("lam,T", [(0.5, 0.25), (1.0, 1.0), (3.0, 2.0), (5.0, 5.0)])
def test_default_truncation_leaves_the_price_unchanged(lam, T):
    K = np.linspace(70.0, 130.0, 13)
    kou = jd.kou_price("call", 100.0, K, T, 0.03, 0.2, lam, 0.4, 10.0, 5.0)
    full = jd.kou_price("call", 100.0, K, T, 0.03, 0.2, lam, 0.4, 10.0, 5.0, n=170)
    assert np.all(np.abs(kou - full) <= 1e-14 * (100.0 + K))
    merton = jd.merton_price("call", 100.0, K, T, 0.03, 0.2, lam, -0.1, 0.15)
    assert merton.tobytes() == jd.merton_price("call", 100.0, K, T, 0.03, 0.2, lam, -0.1, 0.15, n=170).tobytes()


@pytest.mark.parametrize("call,message", [
    (lambda: jd.kou_price("call", 100.0, [98.0, -1.0], 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^K must be finite and in \[1e-100, 1e\+100\] \(the supported domain\); got -1.0 at index 1$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 1.0, 5.0),
     r"^eta1 must be finite and in \[1.01, 10000\] \(the supported domain\); got 1.0$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, [[0.4, 1.5]], 10.0, 5.0),
     r"^p must be finite and in \[0, 1\] \(the supported domain\); got 1.5 at index \(0, 1\)$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, math.nan, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^r must be finite and in \[-1, 1\] \(the supported domain\); got nan$"),
    (lambda: jd.kou_price("call", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0, n=171),
     r"^n must be between 0 and 170; got 171$"),
    (lambda: jd.kou_price("swap", 100.0, 98.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^kind must be 'call' or 'put'; got 'swap'$"),
    (lambda: jd.kou_price("call", 100.0, np.array([[98.0, np.inf]]), 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
     r"^K must be finite and in \[1e-100, 1e\+100\] \(the supported domain\); got inf at index \(0, 1\)$"),
    (lambda: jd.merton_price("put", [1.0, 2.0], [1.0, 2.0, 3.0], 1.0, 0.05, 0.2, 1.0, -0.1, 0.15),
     r"^the arguments' shapes do not broadcast: S \(2,\), K \(3,\)$"),
    (lambda: jd.merton_price("put", np.ones(2), np.ones(3), 1.0, 0.05, 0.2, 1.0, -0.1, 0.15),
     r"^the arguments' shapes do not broadcast: S \(2,\), K \(3,\)$"),
    (lambda: jd.merton_price("put", 100.0, 100.0, 1.0, 0.05, 0.2, -1.0, -0.1, 0.15),
     r"^lam must be finite and >= 0; got -1.0$"),
    (lambda: jd.merton_price("put", 100.0, 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15, n=2.5),
     r"^n must be an integer or an array of integers; got 2.5$"),
])
def test_bad_input_raises_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


# ---- Greeks against differences of independent high-precision references ----

def merton_series_mp(kind, S, K, T, r, sigma, lam, m, s, q, n):
    """The truncated Merton series in mpmath: sum over i <= n of Poisson weights times
    Black-Scholes prices with total variance sigma^2 T + i s^2."""
    import mpmath as mp
    k = mp.exp(m + s * s / 2) - 1
    L = lam * (1 + k) * T
    Sf = S * mp.exp(-q * T)
    total = mp.mpf(0)
    for i in range(n + 1):
        V = sigma**2 * T + i * s * s
        R = (r - lam * k) * T + i * mp.log(1 + k)
        d1 = (mp.log(Sf / K) + R + V / 2) / mp.sqrt(V)
        bs = Sf * mp.ncdf(d1) - K * mp.exp(-R) * mp.ncdf(d1 - mp.sqrt(V))
        total += mp.exp(-L) * L**i / mp.factorial(i) * bs
    return total if kind == "call" else total - Sf + K * mp.exp(-r * T)


GREEK_CASES = [("call", 0.0), ("put", 0.02)]


@pytest.mark.parametrize("kind,q", GREEK_CASES)
def test_merton_greeks_are_the_series_derivatives(kind, q):
    import mpmath as mp
    x = dict(S=100.0, K=95.0, T=0.75, r=0.04, sigma=0.2, lam=1.5, m=-0.1, s=0.15)
    got = jd.merton_greeks(kind, **x, q=q, n=30)
    with mp.workdps(30):
        f = lambda **kw: merton_series_mp(kind, **{**{k: mp.mpf(v) for k, v in x.items()}, **kw},
                                          q=mp.mpf(q), n=30)
        want = dict(delta=mp.diff(lambda v: f(S=v), x["S"]), gamma=mp.diff(lambda v: f(S=v), x["S"], 2),
                    vega=mp.diff(lambda v: f(sigma=v), x["sigma"]), theta=-mp.diff(lambda v: f(T=v), x["T"]),
                    rho=mp.diff(lambda v: f(r=v), x["r"]))
    for name, value in want.items():
        assert getattr(got, name) == pytest.approx(float(value), rel=1e-12, abs=1e-13), name


@pytest.mark.parametrize("kind,q", GREEK_CASES)
def test_kou_greeks_against_the_high_precision_series(kind, q):
    from kou_series_mp import kou_greeks
    x = dict(S=100.0, K=95.0, T=0.75, r=0.04, sigma=0.2, lam=1.5, p=0.35, eta1=9.0, eta2=5.0)
    got = jd.kou_greeks(kind, **x, q=q, n=12)
    for name, value in kou_greeks(kind, **x, n=12, q=q).items():
        assert getattr(got, name) == pytest.approx(value, rel=1e-8, abs=1e-10), name


def test_kou_closed_form_reports_what_the_price_is(straightforward):
    # eta1 sigma sqrt(T) from 0.6 to 24: the closed form goes from exact to useless.
    from kou_series_mp import kou_call
    eta1 = np.array([3.0, 30.0, 60.0, 120.0])
    args = (100.0, 100.0, 1.0, 0.05, 0.2, 3.0, 0.3, eta1, 12.0)
    form = jd.kou_closed_form(*args, n=40)
    price = jd.kou_price("call", *args, n=40)
    assert form.certified[0] and not form.certified[-1]
    for e in range(4):
        assert same(form.value[e], straightforward.sf_kou_call(1.0, 100.0, 100.0, 0.05, 0.2, 3.0, 0.3,
                                                               eta1[e], 12.0, 40))
        assert form.certified[e] == same(price[e], form.value[e])
        exact = kou_call(100.0, 100.0, 1.0, 0.05, 0.2, 3.0, 0.3, eta1[e], 12.0, 40)
        assert abs(form.value[e] - exact) <= form.bound[e]


def test_greeks_broadcast_like_prices():
    g = jd.kou_greeks(["call", "put"], 100.0, [[90.0], [110.0]], 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0)
    assert isinstance(g, jd.Greeks) and all(np.shape(v) == (2, 2) for v in g)
    # put delta = call delta - 1 (q = 0), the same gamma
    assert g.delta[0, 1] == pytest.approx(g.delta[0, 0] - 1.0, abs=1e-15)
    assert g.gamma[0, 1] == pytest.approx(g.gamma[0, 0], rel=1e-9)
    assert type(jd.merton_greeks("call", 100.0, 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15).delta) is float


def test_scenario_grid_on_a_two_process_cluster_matches_in_process():
    import importlib.util
    import pathlib
    from distributed import Client, LocalCluster
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "scenario_grid.py"
    spec = importlib.util.spec_from_file_location("scenario_grid", path)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    grid = example.scenario_grid(12, 9, chunk=4)          # 3 x 3 blocks
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        distributed = client.compute(grid).result()
    S, sigma = np.meshgrid(np.linspace(60.0, 140.0, 12), np.linspace(0.05, 0.60, 9), indexing="ij")
    assert distributed.tobytes() == example.price_block(S, sigma).tobytes()


def test_strips_share_work_and_keep_corvanes_bits():
    # Runs of equal parameters go through the shared evaluation, four strikes to a block
    # of lanes (37: nine blocks and one single strike); ill-conditioned sets take the stable
    # evaluation inside a run; n = 90 forms jump counts 1 and 2 one at a time, the rest four
    # at a time (or all one at a time, without AVX2).
    strikes = np.linspace(60.0, 140.0, 37)
    for sigma, eta1, n in [(0.16, 10.0, 20), (0.3, 40.0, 30), (0.5, 60.0, None), (0.2, 8.0, 90)]:
        got = jd.kou_price("call", 100.0, strikes, 1.0, 0.03, sigma, 2.0, 0.4, eta1, 5.0, n=n)
        terms = n if n is not None else int(jd._native.kou_default_terms(1.0, 2.0, 0.4, eta1, 5.0))
        for K, price in zip(strikes, got):
            want = KouEuropeanCall(1.0, K).priceByKouJumpDiffusion(100.0, 0.03, sigma, 2.0, 0.4, eta1, 5.0, terms)
            assert same(price, want), (sigma, eta1, K)

"""The toolkit over its supported domain: a right price or a ValueError, never NaN, an
infinity, a wrong number or a crash. Independent references: Lewis's Fourier formula with
the textbook exponent under scipy's quadrature (Kou), the untruncated series in mpmath
(Merton), Black-Scholes."""
import math

import numpy as np
import pytest

import jumpdiffusion as jd
from fourier_kou import kou_call_quad
from merton_series_mp import merton_call_mp

KOU = (100.0, 100.0, 1.0, 0.05, 0.2, 1.0, 0.4, 10.0, 5.0)
MERTON = (100.0, 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.15)


# ---- prices that used to be NaN, an infinity or wrong ----

@pytest.mark.parametrize("price,expected,tolerance", [
    # The closed form's A1 = exp((eta1 sigma)^2 T / 2) overflows.
    (lambda: jd.kou_price("call", 100, 100, 2.0, .03, .2, 1.0, .4, 200.0, 5.0), 17.9087024900, 1e-9),
    # lam T = 75: more jump terms than 170! allows.
    (lambda: jd.kou_price("call", 100, 100, 1.0, .03, .2, 75.0, .4, 10.0, 5.0), 65.28421037, 1e-8),
    (lambda: jd.merton_price("call", 100, 100, 1.0, .03, .2, 75.0, 0.0, .2), 62.56714901917, 1e-10),
    # Jumps of size zero are Black-Scholes at any intensity.
    (lambda: jd.merton_price("call", 120, 100, 1.0, .03, .2, 800.0, 0.0, 0.0, q=.01), 23.505867004864303, 1e-12),
    (lambda: jd.merton_greeks("call", 100, 100, 10.0, .03, .2, 20.0, 0.0, .2).delta, 0.94057065, 1e-8),
    (lambda: jd.merton_greeks("call", 100, 100, 10.0, .03, .2, 20.0, 0.0, .2).theta, -1.9137821, 1e-7),
])
def test_prices_that_overflowed_are_right(price, expected, tolerance):
    assert price() == pytest.approx(expected, abs=tolerance)


def test_a_closed_form_that_is_not_finite_is_not_certified():
    form = jd.kou_closed_form(100, 100, 2.0, .03, .2, 1.0, .4, 200.0, 5.0)
    assert math.isnan(form.value) and form.certified is False


def test_puts_are_never_negative():
    assert jd.merton_price("put", 100., 40., 0.15351453148789246, .03, .2, .05, -.05, .05) == 0.0
    assert jd.kou_price("put", 93.28, 96.54, 2.135, 0.068, 0.155, 2.487, 0.46, 5.73, 11.89, n=0) == 0.0


def test_kou_gamma_at_a_short_maturity():
    # -dU1/da / S, U1 the share-measure series in mpmath at 40 digits (kou_series_mp.upsilon,
    # n = 8), differentiated in a = log(K/S) by a central difference of step 1e-12.
    reference = 2.5169888395737416
    for n in (None, 170):
        greeks = jd.kou_greeks("call", 100., 100., 0.001, .03, .05, 1., .4, 10., 5., n=n)
        assert greeks.gamma == pytest.approx(reference, rel=1e-6)


def test_calibration_from_far_starts_returns_a_calibration():
    K, T = (a.ravel() for a in np.meshgrid([80.0, 100.0, 120.0], [0.5, 5.0]))
    kind = np.where(K >= 100, "call", "put")
    market = jd.kou_price(kind, 100.0, K, T, 0.03, 0.2, 1.0, 0.4, 60.0, 45.0)
    quotes = jd.Quotes(kind, K, T, S=100.0, r=0.03, price=market)
    for start in (jd.KouParameters(0.3, 0.3, 0.7, 5, 2), jd.KouParameters(0.3, 1.0, 0.4, 500, 5)):
        fit = jd.calibrate_kou(quotes, start=start, quiet=True, max_evaluations=15)
        assert isinstance(fit, jd.Calibration) and np.all(np.isfinite(fit.residuals))
        assert fit.converged or fit.status.startswith("did not converge")


# ---- the supported domain and the boundary ----

@pytest.mark.parametrize("call,message", [
    (lambda: jd.kou_price("call", 100., 100., 60., .03, .2, 1., .4, 10., 5.),
     r"^T must be finite and in \(0, 50\] \(the supported domain\); got 60.0$"),
    (lambda: jd.kou_price("call", 100., 100., 10., .03, .2, [1., 600.], .4, 10., 5.),
     r"^lam \* T, the expected number of jumps, must be at most 5000 \(the supported domain\); "
     r"got lam=600.0, T=10.0 at index 1$"),
    (lambda: jd.merton_price("call", 100., 100., 9., .05, .2, np.linspace(1e5, 1.1e5, 1000), -.1, .15),
     r"^lam \* exp\(m \+ s\^2/2\) \* T, the expected number of jumps, must be at most 5000"),
    (lambda: jd.merton_price("call", 100., 1e-5, 1., .03, .2, 1., 0., .1),
     r"^K / S must be between 1e-06 and 1e\+06 \(the supported domain\); got S=100.0, K=1e-05$"),
    (lambda: jd.merton_price("call", 1e308, 1e308, 1., .05, .2, 1., -.1, .15),
     r"^S must be finite and in \[1e-100, 1e\+100\]"),
    (lambda: jd.kou_price("call", 100., 100., 1., .05, .001, 1., .4, 10., 5.),
     r"^sigma must be finite and in \[0.005, 5\]"),
    (lambda: jd.kou_price("call", 100., 100., 1., .05, .2, 1., .4, 1.005, 5.),
     r"^eta1 must be finite and in \[1.01, 10000\]"),
    (lambda: jd.merton_price("call", 10**400, 100., 1., .05, .2, 1., -.1, .15), r"^S must be a finite real number"),
    (lambda: jd.kou_price("call", *KOU, n=1e20), r"^n must be between 0 and 170; got 1e\+20$"),
    (lambda: jd.kou_price(np.array([1, "put"], dtype=object), *KOU), r"^kind must be 'call' or 'put'"),
    (lambda: jd.black_scholes_vega(-100., 100., 1., .05, .2), r"^S must be finite and > 0; got -100.0$"),
    (lambda: jd.black_scholes_vega([100., 90.], [100., 90., 80.], 1., .05, .2),
     r"^the arguments' shapes do not broadcast: S \(2,\), K \(3,\)$"),
    (lambda: jd.Quotes("call", [90., 100.], 1., S=[100.] * 3, r=.03, price=[12., 6.]),
     r"^S must be one value or one per quote \(2\); got shape \(3,\)$"),
    (lambda: jd.kou_price("call", np.full((10**5, 1), 100.), np.full((1, 10**5), 100.), *KOU[2:]),
     r"^the arguments broadcast to shape \(100000, 100000\), 10000000000 elements; at most 2147483648"),
    (lambda: jd.kou_price("call", np.broadcast_to(100., (2**31,)), np.broadcast_to(100., (2**33, 1)), *KOU[2:]),
     r"18446744073709551616 elements"),
] + [(lambda v=v: jd.merton_price("call", v, *MERTON[1:]), r"^S must be a real number or an array of them")
     for v in (complex(100, 1), "100", b"1", np.datetime64("2020-01-01"), np.timedelta64(5, "D"),
               np.array([1 + 2j]), np.array([object()]))])
def test_outside_the_supported_domain_is_a_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_calibrators_take_only_quotes():
    with pytest.raises(TypeError, match="quotes must be a jumpdiffusion.Quotes; got dict"):
        jd.calibrate_kou({"K": [100.]})


@pytest.mark.parametrize("kinds", [np.array(["call", "put"], dtype=object),
                                   np.array(["call", "put"], dtype=np.dtypes.StringDType())])
def test_kinds_from_object_and_string_arrays(kinds):
    assert np.array_equal(jd.kou_price(kinds, *KOU), jd.kou_price(np.array(["call", "put"]), *KOU))


def test_any_byte_order_and_every_dimension_count(subprocess_python):
    want = jd.merton_price("call", *MERTON)
    big = np.array([100., 100.], ">f8")
    assert np.all(jd.merton_price("call", big, *MERTON[1:]) == want)
    assert np.all(jd.merton_price("call", *MERTON[:3], big * 5e-4, *MERTON[4:]) == want)
    # A broadcast view is checked without writing out its 10^10 repeats.
    assert jd.kou_price("call", np.broadcast_to(100., (10**10,))[:3], *KOU[1:]).shape == (3,)
    # More dimensions than the native intake once held (it crashed from 33 on).
    result = subprocess_python(f"""
        import numpy as np, jumpdiffusion as jd
        for kind in ("call", ["call", "put"]):
            deep = jd.merton_price(kind, np.full((1,) * 62 + (2,), 100.), *{MERTON[1:]!r})
            assert deep.shape == (1,) * 62 + (2,) and deep[(0,) * 63] == {want!r}
        print("ok")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


def test_thread_count_changed_while_pricing_is_safe(subprocess_python):
    result = subprocess_python("""
        import threading, numpy as np, jumpdiffusion as jd
        stop = threading.Event()
        def toggle():
            while not stop.is_set():
                jd._native.set_max_threads(1); jd._native.set_max_threads(0)
        t = threading.Thread(target=toggle); t.start()
        K = np.linspace(60.0, 140.0, 40000)
        first = jd.kou_price("call", 100.0, K, 1.0, 0.05, 0.2, 1.0, 0.4, 10.0, 5.0)
        for _ in range(5):
            assert np.array_equal(jd.kou_price("call", 100.0, K, 1.0, 0.05, 0.2, 1.0, 0.4, 10.0, 5.0), first)
        stop.set(); t.join(); print("ok")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


# ---- seeded sweeps over the supported domain against independent references ----

def _log_uniform(rng, low, high):
    return float(np.exp(rng.uniform(np.log(low), np.log(high))))


def test_kou_sweep_against_fourier_quadrature():
    rng = np.random.default_rng(24)
    for _ in range(120):
        T, sigma = _log_uniform(rng, 0.01, 50), _log_uniform(rng, 0.005, 5)
        lam = _log_uniform(rng, 0.01, 5000) / T
        p, eta1, eta2 = rng.uniform(), min(1e4, 1 + _log_uniform(rng, 0.01, 1e4)), _log_uniform(rng, 0.05, 1e4)
        r, q, K = rng.uniform(-0.2, 0.2), rng.uniform(-0.1, 0.1), 100 * math.exp(rng.uniform(-2, 2))
        args = (100.0, K, T, r, sigma, lam, p, eta1, eta2)
        call, put = jd.kou_price(["call", "put"], *args, q=q)
        ref = kou_call_quad(*args, q=q)
        spot, discounted = 100 * math.exp(-q * T), K * math.exp(-r * T)
        error = max(abs(call - ref), abs(put - max(0.0, ref - spot + discounted))) / (spot + discounted)
        assert error < 1e-11, args


def test_merton_sweep_against_the_untruncated_series():
    rng = np.random.default_rng(25)
    for _ in range(40):
        T, sigma = _log_uniform(rng, 0.01, 50), _log_uniform(rng, 0.005, 5)
        m, s = rng.uniform(-1, 0.5), rng.uniform(0, 1)
        lam = _log_uniform(rng, 0.01, 2000) / T / math.exp(m + s * s / 2)
        r, q, K = rng.uniform(-0.2, 0.2), rng.uniform(-0.1, 0.1), 100 * math.exp(rng.uniform(-2, 2))
        args = (100.0, K, T, r, sigma, lam, m, s)
        call, put = jd.merton_price(["call", "put"], *args, q=q)
        ref = float(merton_call_mp(*args, q=q, dps=25))
        spot, discounted = 100 * math.exp(-q * T), K * math.exp(-r * T)
        error = max(abs(call - ref), abs(put - max(0.0, ref - spot + discounted))) / (spot + discounted)
        assert error < 1e-13, args


@pytest.mark.parametrize("model", ["kou", "merton"])
def test_greeks_where_more_than_170_terms_are_needed(model):
    """Delta, vega, theta and rho against central differences of the prices (gamma of
    delta), for parameters whose series need more than 170 jump terms."""
    rng = np.random.default_rng(26)
    for _ in range(12):
        S, K, T = 100.0, 100 * math.exp(rng.uniform(-0.5, 0.5)), rng.uniform(0.5, 5)
        r, sigma, q = rng.uniform(0, 0.08), rng.uniform(0.1, 0.5), 0.01
        if model == "kou":
            jumps = (rng.uniform(150, 600) / T, rng.uniform(0.2, 0.8), rng.uniform(20, 60), rng.uniform(20, 60))
            price, greeks = jd.kou_price, jd.kou_greeks
        else:
            jumps = (rng.uniform(150, 600) / T, rng.uniform(-0.05, 0.02), rng.uniform(0.01, 0.05))
            price, greeks = jd.merton_price, jd.merton_greeks
        g = greeks("call", S, K, T, r, sigma, *jumps, q=q)

        def at(S=S, T=T, r=r, sigma=sigma):
            return price("call", S, K, T, r, sigma, *jumps, q=q)

        h = 1e-4
        assert g.delta == pytest.approx((at(S=S + h) - at(S=S - h)) / (2 * h), rel=1e-6, abs=1e-8)
        assert g.vega == pytest.approx((at(sigma=sigma + h) - at(sigma=sigma - h)) / (2 * h), rel=1e-5, abs=1e-6)
        assert g.theta == pytest.approx(-(at(T=T + h) - at(T=T - h)) / (2 * h), rel=1e-5, abs=1e-6)
        assert g.rho == pytest.approx((at(r=r + h) - at(r=r - h)) / (2 * h), rel=1e-5, abs=1e-6)

"""Random Kou arguments shared by the tests of parity and of bit-exactness."""


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

# dask and distributed publish no types for these calls; everything else is strict.
# mypy: disable-error-code="no-untyped-call"
"""A risk run over a scenario grid: Kou call prices for every pair of spot and volatility
shocks, on a dask.distributed cluster of worker processes.

The scalar modules hold the interpreter lock while they price, so threads alone would not
scale them; jumpdiffusion releases it, and a cluster of processes spreads the blocks of
the grid over machines as well as cores. Each block is priced by jumpdiffusion.kou_price,
unchanged, through dask.array.map_blocks. Needs the dask extra:
pip install ".[dask]" (or, beside an installed package, pip install "dask[array,distributed]");
run: python3 examples/scenario_grid.py [spot shocks] [vol shocks]
"""
from __future__ import annotations

import sys
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, progress

import jumpdiffusion as jd

# The option and the jump law; the grid shocks the spot and the diffusion volatility.
K, T, R = 100.0, 0.5, 0.03
LAM, P, ETA1, ETA2 = 1.0, 0.4, 10.0, 5.0


def price_block(S: np.ndarray, sigma: np.ndarray) -> np.ndarray:
    prices = jd.kou_price("call", S, K, T, R, sigma, LAM, P, ETA1, ETA2)
    return np.asarray(prices, dtype=np.float64)


def scenario_grid(spots: int, vols: int, chunk: int = 250) -> da.Array:
    S = da.from_array(np.linspace(60.0, 140.0, spots)[:, None], chunks=(chunk, 1))
    sigma = da.from_array(np.linspace(0.05, 0.60, vols)[None, :], chunks=(1, chunk))
    S, sigma = da.broadcast_arrays(S, sigma)
    prices: da.Array = da.map_blocks(price_block, S, sigma, dtype=np.float64)
    return prices


def main(spots: int = 1000, vols: int = 1000) -> None:
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, \
            Client(cluster) as client:
        grid = scenario_grid(spots, vols)
        started = time.perf_counter()
        future = client.compute(grid)
        progress(future)
        prices = future.result()
        elapsed = time.perf_counter() - started
    print(f"\n{prices.size:,} Kou prices ({spots} spots x {vols} volatilities) on 2 worker "
          f"processes in {elapsed:.2f} s: {prices.size / elapsed:,.0f} prices per second")
    print(f"at S = 100, sigma = 0.2: {float(jd.kou_price('call', 100.0, K, T, R, 0.2, LAM, P, ETA1, ETA2)):.10f}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))

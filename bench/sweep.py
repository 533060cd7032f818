"""Speed and memory of parameter sweeps: a loop, local threads and a Dask cluster.

Builds the package's synthetic market (about 1,500 trading days x 2,000 stocks
by default), writes it as a prepared-data store, loads it, and runs 120
strategy backtests (a grid of 12 rolling windows x 10 fee levels) three ways,
printed side by side in one run:

* a plain Python loop over ``morvane.backtest_strategy`` (no charts);
* ``morvane.sweep.run_strategy`` in local mode, one thread per usable CPU,
  with the peak memory it adds beyond the loaded data;
* the same on a ``LocalCluster`` with as many single-threaded worker
  processes, each loading the store once (memory-mapped) through the
  sweep's worker plugin; the cluster's start is timed apart.

It checks that the three tables agree and projects the time of 10,000
backtests on 8 workers from the measured cost per task.

Run: ``python bench/sweep.py [--stocks N] [--start YYYYMMDD] [--end YYYYMMDD]``.
"""

from __future__ import annotations

import argparse
import os
import platform
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

import morvane
from engine import peak_extra_mib
from from_tests import market_payload
from morvane import sweep
from morvane.backtest import _prepare
from morvane.backtest.result import BacktestData

GRID = sweep.grid(
    rolling_window=[0, 2, 3, 5, 8, 10, 13, 20, 30, 40, 60, 120], fee=[i * 1e-4 for i in range(10)]
)


def strategy_payload(stocks: int, start: str, end: str) -> dict:
    """The tests' synthetic store without the two datasets only the factor backtest reads."""
    payload = market_payload(n_stocks=stocks, start=start, end=end)
    for key in ("industry_matrix", "forward_return_rank_cache"):
        del payload["data"][key]
    return payload


def weekly_weights(close: pd.DataFrame, seed: int = 3) -> pd.DataFrame:
    """About 200 listed stocks, equal weight, drawn anew every fifth day."""
    rng = np.random.default_rng(seed)
    rebalance = (np.arange(len(close)) % 5 == 0)[:, None]
    pick = close.notna().to_numpy() & (rng.random(close.shape) < 0.1)
    # rebalance rows hold 1 or 0 for every stock, the others are carried forward
    held = np.where(rebalance, pick.astype(float), np.nan)
    held = pd.DataFrame(held, index=close.index, columns=close.columns).ffill()
    held = held.where(held > 0)
    return held.div(held.count(axis=1).replace(0, 1), axis=0)


def data_mib(data: BacktestData) -> float:
    total = sum(v.to_numpy().nbytes for k, v in data.data.items() if k != "benchmark_dict")
    return total / 2**20


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--stocks", type=int, default=2000)
    parser.add_argument("--start", default="20180102")
    parser.add_argument("--end", default="20240228")
    args = parser.parse_args()
    cpus = sweep._execution._usable_cpus()
    print(
        f"machine: {platform.machine()}, {cpus} usable CPUs, load average {os.getloadavg()[0]:.2f}"
    )

    with tempfile.TemporaryDirectory(prefix="morvane-bench-sweep-") as scratch:
        store_dir = Path(scratch) / "enviroment_data"
        payload = strategy_payload(args.stocks, args.start, args.end)
        _prepare.BinaryPreparedDataStore(store_dir).write(payload)
        del payload
        data = BacktestData(
            data=_prepare.BinaryPreparedDataStore(store_dir).load(mmap=False)["data"]
        )
        close = data.data["close_price"]
        weights = weekly_weights(close)
        start, end = close.index[0], close.index[-1]
        print(
            f"data: {close.shape[0]} days x {close.shape[1]} stocks, {data_mib(data):.0f} MiB loaded; "
            f"{len(GRID)} backtests (rolling window x fee)"
        )

        t0 = time.perf_counter()
        loop = [
            morvane.backtest_strategy(weights, data, start, end, None, "", plot=None, **p)
            for p in GRID
        ]
        loop_s = time.perf_counter() - t0

        tables: dict[str, pd.DataFrame] = {}

        def local() -> None:
            tables["local"] = sweep.run_strategy(weights, data, start, end, grid=GRID)

        t0 = time.perf_counter()
        extra = peak_extra_mib(local)
        local_s = time.perf_counter() - t0

        from distributed import Client, LocalCluster

        t0 = time.perf_counter()
        with (
            LocalCluster(
                n_workers=cpus, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            client.run(
                lambda: __import__("morvane.sweep")
            )  # the import is the workers' start, not the sweep's
            start_s = time.perf_counter() - t0
            t0 = time.perf_counter()
            tables["dask"] = sweep.run_strategy(
                weights, store_dir, start, end, grid=GRID, client=client
            )
            dask_s = time.perf_counter() - t0

        figures = [r.stats["annual_return"] for r in loop]
        for name, table in tables.items():
            assert table["error"].isna().all(), f"{name}: failed runs"
            np.testing.assert_array_equal(
                table["annual_return"].to_numpy(), np.array(figures), err_msg=name
            )
        pd.testing.assert_frame_equal(tables["local"], tables["dask"])

        per_task = dask_s * cpus / len(GRID)  # worker-seconds per backtest
        print(
            f"loop over backtest_strategy : {loop_s:7.2f} s  ({loop_s / len(GRID) * 1e3:.0f} ms per backtest)"
        )
        print(
            f"local mode, {cpus} threads      : {local_s:7.2f} s  ({loop_s / local_s:.2f}x the loop; goal >= 1.8x)"
        )
        print(
            f"dask mode, {cpus} workers       : {dask_s:7.2f} s  ({dask_s / local_s:.2f}x local; goal <= 1.25x), "
            f"cluster start {start_s:.2f} s apart"
        )
        print(
            f"local peak memory beyond the loaded data: {extra:.0f} MiB "
            f"({extra / data_mib(data) * 100:.1f}% of {data_mib(data):.0f} MiB; goal <= 10%)"
        )
        print(
            f"projected: 10,000 backtests on 8 workers ~ {10_000 * per_task / 8 / 60:.1f} min "
            f"(at {per_task * 1e3:.0f} worker-ms per backtest, as measured here)"
        )
        print("tables of the loop, local and dask modes agree")


if __name__ == "__main__":
    main()

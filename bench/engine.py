"""Speed and memory of the strategy daily return engine.

Builds aligned random market tables (2,500 days x 5,000 stocks by default) and
prints, measured side by side in one run:

* the native ``calc_strategy_vwap_daily_return``, end to end;
* the literal numpy/pandas transcription in ``tests/reference/engine.py``;
* a plain read of the eight market arrays (the memory-bandwidth floor);
* two engines on two threads against the same two run one after the other;
* the peak memory a run adds beyond its inputs, for tables whose labels
  already line up (read in place) and for shuffled ones (aligned into copies).

Run: ``python bench/engine.py [--days N] [--stocks N] [--repeat N]``.
"""

from __future__ import annotations

import argparse
import os
import platform
import threading
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path

import numpy as np
import pandas as pd

from from_tests import reference_daily_return
from morvane.backtest._ravelle import calc_strategy_vwap_daily_return


def build_inputs(
    days: int, stocks: int, seed: int = 0
) -> tuple[pd.DataFrame, dict[str, pd.DataFrame]]:
    rng = np.random.default_rng(seed)
    dates = pd.Index([f"{20000101 + k:08d}" for k in range(days)])
    codes = pd.Index([f"{k:06d}" for k in range(stocks)])
    shape = (days, stocks)
    prev = rng.uniform(3.0, 80.0, shape)

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=dates, columns=codes, copy=False)

    def sparse(rate: float, values: np.ndarray) -> np.ndarray:
        return np.where(rng.random(shape) < rate, values, np.nan)

    weights = np.where(rng.random(shape) < 0.1, rng.uniform(0, 2e-3, shape), np.nan)
    market = {
        "can_buy_stock": frame(rng.random(shape) < 0.95),
        "cant_sell_stock": frame(rng.random(shape) < 0.05),
        "split_factor": frame(sparse(0.001, np.full(shape, 2.0))),
        "dividend_factor": frame(sparse(0.004, rng.uniform(0, 1, shape))),
        "close_price": frame(prev * rng.uniform(0.9, 1.1, shape)),
        "prev_close": frame(prev),
        "buy_price": frame(prev * rng.uniform(0.9, 1.1, shape)),
        "sell_price": frame(prev * rng.uniform(0.9, 1.1, shape)),
    }
    return frame(weights), market


def size_options(
    description: str | None, *, days: int = 2500, stocks: int = 5000, **counts: int
) -> argparse.Namespace:
    """The benchmarks' command line: the size of the synthetic inputs and each script's own counts."""
    parser = argparse.ArgumentParser(
        description=description, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--days", type=int, default=days)
    parser.add_argument("--stocks", type=int, default=stocks)
    for name, default in counts.items():
        parser.add_argument(f"--{name}", type=int, default=default)
    return parser.parse_args()


def machine_line() -> str:
    return (
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}"
    )


def best_of(repeat: int, work: Callable[[], object]) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def plain_read(market: dict[str, pd.DataFrame]) -> float:
    total = 0.0
    for table in market.values():
        values = table.to_numpy()
        total += float(
            np.count_nonzero(values) if values.dtype == bool else np.add.reduce(values, axis=None)
        )
    return total


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def peak_extra_mib(work: Callable[[], object]) -> float:
    """Peak resident memory a call adds, from the kernel's high-water mark."""
    Path("/proc/self/clear_refs").write_text("5")  # reset VmHWM to the current RSS
    before = status_kib("VmRSS")
    work()
    return (status_kib("VmHWM") - before) / 1024


def main() -> None:
    args = size_options(__doc__, repeat=3)

    weights, market = build_inputs(args.days, args.stocks)
    input_mib = sum(t.to_numpy().nbytes for t in [weights, *market.values()]) / 2**20
    print(machine_line())
    print(f"inputs: {args.days} days x {args.stocks} stocks, {input_mib:.0f} MiB in 9 tables")

    def native() -> pd.Series:
        return calc_strategy_vwap_daily_return(weights, **market)

    native_out = native()
    reference_out = reference_daily_return(weights, **market)
    scale = np.abs(reference_out.to_numpy()).max()
    np.testing.assert_allclose(
        native_out.to_numpy(), reference_out.to_numpy(), rtol=1e-10, atol=1e-12 * scale
    )

    t_native = best_of(args.repeat, native)
    t_reference = best_of(1, lambda: reference_daily_return(weights, **market))
    t_read = best_of(args.repeat, lambda: plain_read(market))
    print(f"native engine, end to end     {t_native * 1e3:9.1f} ms")
    print(
        f"numpy transcription           {t_reference * 1e3:9.1f} ms"
        f"   ratio {t_reference / t_native:6.1f}x  (goal >= 8x)"
    )
    print(
        f"plain read of 8 market arrays {t_read * 1e3:9.1f} ms   native/read {t_native / t_read:5.2f}  (goal <= 3)"
    )

    column_major = {
        k: pd.DataFrame(np.asfortranarray(t.to_numpy()), t.index, t.columns)
        for k, t in [("signal_matrix", weights), *market.items()]
    }
    t_columns = best_of(args.repeat, partial(calc_strategy_vwap_daily_return, **column_major))
    print(
        f"native, column-major tables   {t_columns * 1e3:9.1f} ms"
        f"   native/read {t_columns / t_read:5.2f}  (as pandas operations lay tables out)"
    )
    del column_major

    other = weights.sample(frac=1.0, axis=1, random_state=1).set_axis(weights.columns, axis=1)

    def two_in_sequence() -> None:
        calc_strategy_vwap_daily_return(weights, **market)
        calc_strategy_vwap_daily_return(other, **market)

    def two_on_threads() -> None:
        threads = [
            threading.Thread(target=calc_strategy_vwap_daily_return, args=(w,), kwargs=market)
            for w in (weights, other)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_seq = best_of(args.repeat, two_in_sequence)
    t_par = best_of(args.repeat, two_on_threads)
    print(f"two engines one after other   {t_seq * 1e3:9.1f} ms")
    print(
        f"two engines on two threads    {t_par * 1e3:9.1f} ms   threads/serial {t_par / t_seq:5.2f}  (goal <= 0.65)"
    )

    aligned_copy_mib = sum(t.to_numpy().nbytes for t in market.values()) / 2**20
    in_place = peak_extra_mib(native)
    shuffled = {k: t.iloc[::-1, ::-1] for k, t in market.items()}
    gathered = peak_extra_mib(lambda: calc_strategy_vwap_daily_return(weights, **shuffled))
    print(f"one aligned copy of the market: {aligned_copy_mib:.0f} MiB")
    print(
        f"peak extra memory, labels aligned  {in_place:7.0f} MiB"
        f"   ratio {in_place / aligned_copy_mib:5.2f}  (goal <= 1)"
    )
    print(
        f"peak extra memory, labels shuffled {gathered:7.0f} MiB"
        f"   ratio {gathered / aligned_copy_mib:5.2f}  (goal <= 1)"
    )


if __name__ == "__main__":
    main()

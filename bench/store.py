"""Speed of the binary prepared-data store against parquet and numpy files.

Builds ``--matrices`` date x stock matrices (2,500 days x 5,000 stocks by
default; most float64 with NaN holes, some bool masks: about 4 GB) and
prints, measured side by side in one run:

* the store: ``write``, full load (``mmap=False``, every row verified), mapped
  load (``mmap=True``, every row verified, the default) and mapped load without
  verification (``verify=False``), a ``--tail``-day ``update_tail`` (two stored days
  rewritten, the rest appended, a few new codes after the stored ones), the
  same tail with a code that sorts among the stored ones (the datasets are
  then written anew, in code order) and a rewrite of the whole store with
  ``write``; the bytes the tail update wrote (``/proc/self/io``)
  against the store's size;
* pandas ``to_parquet`` / ``read_parquet`` (pyarrow) of the same matrices;
* ``numpy.save`` / ``numpy.load``, also with ``mmap_mode="r"``.

Loads are run twice and the second (warm page cache) figure is printed.
Memory is freed between methods. Run:
``python bench/store.py [--days N] [--stocks N] [--matrices N] [--tail N] [--dir PATH]``
(small machines: ``--days 500 --stocks 1000``).
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import shutil
import tempfile
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from morvane.backtest._store import BinaryPreparedDataStoreBase

BOOL_EVERY = 10  # one matrix in ten is a bool mask


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        import psutil

        memory = f"{psutil.virtual_memory().total / 2**30:.0f} GiB RAM"
    except ImportError:
        memory = "RAM unknown"
    return f"{platform.system()} {platform.release()}, {model}, {os.cpu_count()} cores, {memory}"


def io_counters() -> dict[str, int]:
    counters: dict[str, int] = {}
    for line in Path("/proc/self/io").read_text().splitlines():
        name, value = line.split(":")
        counters[name] = int(value)
    return counters


def keys_of(count: int) -> dict[str, str]:
    """Dataset keys and dtypes; the tail update needs a "close_price"."""
    keys = {
        f"m{k:02d}": "bool" if k % BOOL_EVERY == BOOL_EVERY - 1 else "float64"
        for k in range(1, count)
    }
    return {"close_price": "float64", **keys}


def build_payload(
    dtypes: dict[str, str], dates: list[str], codes: list[str], seed: int
) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(codes))
    data: dict[str, Any] = {}
    for key, dtype in dtypes.items():
        if dtype == "bool":
            values: np.ndarray = rng.random(shape, dtype=np.float32) < 0.9
        else:
            values = rng.standard_normal(shape)
            values[values > 2.0] = np.nan
        data[key] = pd.DataFrame(values, index=dates, columns=codes, copy=False)
    data["benchmark_dict"] = {
        code: pd.Series(rng.normal(0, 0.01, len(dates)), index=dates, name="index_daily_return")
        for code in ("000852", "000300", "000905")
    }
    return {"version": 1, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def timed(action: Callable[[], Any]) -> tuple[float, Any]:
    started = time.perf_counter()
    result = action()
    return time.perf_counter() - started, result


def warm(action: Callable[[], Any]) -> float:
    """Runs `action` twice, dropping its result, and returns the second time."""
    seconds = 0.0
    for _ in range(2):
        seconds, result = timed(action)
        del result
        gc.collect()
    return seconds


def directory_size(path: Path) -> int:
    return sum(p.stat().st_blocks * 512 for p in path.iterdir() if p.is_file())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--matrices", type=int, default=40)
    parser.add_argument("--tail", type=int, default=20)
    parser.add_argument("--dir", type=Path, default=None, help="scratch directory (removed after)")
    parser.add_argument("--skip-parquet", action="store_true")
    args = parser.parse_args()

    scratch = Path(tempfile.mkdtemp(prefix="morvane-bench-", dir=args.dir))
    all_dates = [
        d.strftime("%Y%m%d") for d in pd.bdate_range("2010-01-04", periods=args.days + args.tail)
    ]
    dates = all_dates[: args.days]
    codes = [f"{k:06d}" for k in range(args.stocks)]
    dtypes = keys_of(args.matrices)
    print(f"machine: {machine()}")
    print(
        f"data: {args.matrices} matrices of {args.days} x {args.stocks} "
        f"({sum(dt == 'bool' for dt in dtypes.values())} bool), tail of {args.tail} days"
    )
    rows: list[tuple[str, str, str]] = []
    try:
        payload = build_payload(dtypes, dates, codes, seed=1)
        raw_bytes = sum(
            t.to_numpy(copy=False).nbytes
            for k, t in payload["data"].items()
            if k != "benchmark_dict"
        )
        print(f"in-memory size: {raw_bytes / 2**30:.2f} GiB\n")

        store = BinaryPreparedDataStoreBase(scratch / "store", dtypes, 1, "float64")
        write_s, _ = timed(lambda: store.write(payload))
        size = directory_size(store.store_dir)
        full_s = warm(lambda: store.load(mmap=False))
        verified_s = warm(lambda: store.load(mmap=True))
        mmap_s = warm(lambda: store.load(mmap=True, verify=False))

        # The tail: the last two stored days again, then new days, with new codes.
        window = all_dates[args.days - 2 : args.days + args.tail - 2]
        tail = build_payload(dtypes, window, codes + [f"9{k:05d}" for k in range(5)], seed=2)
        before = io_counters()
        tail_s, applied = timed(partial(store.update_tail, tail))
        after = io_counters()
        assert applied, "update_tail refused the payload"
        # The same tail once more with a code that sorts among the stored ones
        # (as most new listings do): every dataset moves its cells into a new
        # file, in code order.
        tail = build_payload(dtypes, window, codes + ["0000005"], seed=3)
        inserted_s, applied = timed(partial(store.update_tail, tail))
        assert applied, "update_tail refused the payload"
        del tail
        gc.collect()
        rewrite_s, _ = timed(lambda: store.write(payload))
        rows += [
            ("store", "write", f"{write_s:8.2f} s"),
            ("store", "full load (verified)", f"{full_s:8.2f} s"),
            ("store", "mmap load (verified, the default)", f"{verified_s:8.2f} s"),
            ("store", "mmap load (verify=False)", f"{mmap_s * 1e3:8.1f} ms"),
            ("store", f"update_tail ({args.tail} days)", f"{tail_s * 1e3:8.1f} ms"),
            ("store", "update_tail, a code among the stored", f"{inserted_s:8.2f} s"),
            ("store", "rewrite with write", f"{rewrite_s:8.2f} s"),
        ]
        wrote = after["write_bytes"] - before["write_bytes"]
        passed = after["wchar"] - before["wchar"]
        shutil.rmtree(store.store_dir)

        numpy_dir = scratch / "numpy"
        numpy_dir.mkdir()
        arrays = {k: t.to_numpy() for k, t in payload["data"].items() if k != "benchmark_dict"}

        def np_save(arrays: dict[str, np.ndarray]) -> None:
            for key, array in arrays.items():
                np.save(numpy_dir / f"{key}.npy", array)

        save_s, _ = timed(partial(np_save, arrays))
        del arrays
        gc.collect()
        np_load_s = warm(lambda: [np.load(numpy_dir / f"{k}.npy") for k in dtypes])
        np_mmap_s = warm(lambda: [np.load(numpy_dir / f"{k}.npy", mmap_mode="r") for k in dtypes])
        rows += [
            ("numpy", "save", f"{save_s:8.2f} s"),
            ("numpy", "load", f"{np_load_s:8.2f} s"),
            ("numpy", "load mmap_mode='r'", f"{np_mmap_s * 1e3:8.1f} ms"),
        ]
        shutil.rmtree(numpy_dir)

        parquet_s = float("nan")
        if not args.skip_parquet:
            parquet_dir = scratch / "parquet"
            parquet_dir.mkdir()

            def pq_write() -> None:
                for key in dtypes:
                    payload["data"][key].to_parquet(parquet_dir / f"{key}.parquet")

            pq_write_s, _ = timed(pq_write)
            parquet_s = warm(
                lambda: [pd.read_parquet(parquet_dir / f"{k}.parquet") for k in dtypes]
            )
            rows += [
                ("parquet", "to_parquet", f"{pq_write_s:8.2f} s"),
                ("parquet", "read_parquet", f"{parquet_s:8.2f} s"),
            ]
            shutil.rmtree(parquet_dir)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    width = max(len(r[1]) for r in rows)
    for method, what, value in rows:
        print(f"{method:8s} {what:<{width}s} {value}")
    print(f"\nstore size on disk: {size / 2**30:.2f} GiB")
    print(
        f"tail update wrote {wrote / 2**20:.1f} MiB to storage ({wrote / size:.2%} of the store), "
        f"{passed / 2**20:.1f} MiB through write calls ({passed / size:.2%})"
    )
    print("\ngoals:")
    if not args.skip_parquet:
        print(f"  full load vs read_parquet: {parquet_s / full_s:5.1f}x faster (goal >= 3x)")
    print(f"  verified mmap load vs full load: {verified_s / full_s:5.2f}x the time (goal <= 1.5x)")
    print(f"  unverified mmap load of {args.matrices}: {mmap_s * 1e3:5.1f} ms (goal < 50 ms)")
    print(f"  tail vs rewrite: {rewrite_s / tail_s:5.1f}x faster (goal >= 20x)")
    print(
        f"  tail with a code among the stored vs rewrite: {inserted_s / rewrite_s:5.2f}x the time"
    )


if __name__ == "__main__":
    main()

"""The store against a pandas model over many updates, threads, manifest and metadata rules."""

from __future__ import annotations

import json
import pickle
import random
import threading
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._store import BinaryPreparedDataStoreBase
from morvane.exceptions import MorvaneError
from store_payloads import DTYPES, make_payload, snapshot, trading_dates

ALL_DATES = trading_dates("2023-01-02", 700)
FILLS = {
    "close_price": np.nan,
    "open_price": np.nan,
    "can_buy_stock": False,
    "cant_sell_stock": True,
}


def model_merge(old: pd.DataFrame, new: pd.DataFrame, fill: Any) -> pd.DataFrame:
    """What a tail update must give: rows of `new` win, nothing stored is lost."""
    columns = list(old.columns) + [c for c in new.columns if c not in old.columns]
    index = sorted(set(old.index) | set(new.index))
    dtype = bool if isinstance(fill, bool) else np.float64
    values = np.full((len(index), len(columns)), fill, dtype=dtype)
    row = {d: i for i, d in enumerate(index)}
    col = {c: j for j, c in enumerate(columns)}
    old_rows = [d for d in old.index if d not in set(new.index)]
    values[np.ix_([row[d] for d in old_rows], [col[c] for c in old.columns])] = old.loc[
        old_rows
    ].to_numpy()
    values[np.ix_([row[d] for d in new.index], [col[c] for c in new.columns])] = new.to_numpy()
    return pd.DataFrame(values, index=index, columns=columns)


@pytest.mark.parametrize("seed", range(4))
def test_many_updates_match_the_model(tmp_path: Path, seed: int) -> None:
    rng = random.Random(seed)
    codes = [f"{k:06d}" for k in range(40)]
    store = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    first = make_payload(ALL_DATES[:60], codes, seed=seed)
    store.write(first)
    model = {k: v for k, v in first["data"].items() if k != "benchmark_dict"}
    bench = dict(first["data"]["benchmark_dict"])
    end = 60
    for step in range(8):
        # mostly the usual tail (two days back, then new ones); sometimes long
        # jumps past the spare rows, inserted old dates or many new codes
        back = rng.choice([2, 2, 2, 5, 40])
        length = rng.choice([3, 20, 300])
        window = ALL_DATES[max(0, end - back) : min(len(ALL_DATES), end - back + length)]
        if rng.random() < 0.3:
            window = sorted(set(window) | {"20230107"})  # a Saturday inside the history
        new_codes = [f"9{step}{k:04d}" for k in range(rng.choice([1, 1, 30]))]
        picked = rng.sample(codes, 30) + new_codes
        payload = make_payload(window, picked, seed=100 * seed + step)
        assert store.update_tail(payload)
        for key, fill in FILLS.items():
            model[key] = model_merge(model[key], payload["data"][key], fill)
        for code, series in payload["data"]["benchmark_dict"].items():
            bench[code] = model_merge(bench[code].to_frame(), series.to_frame(), np.nan).iloc[:, 0]
        codes = list(dict.fromkeys(codes + new_codes))
        end = max(end, ALL_DATES.index(window[-1]) + 1)
    for mmap in (True, False):
        data = store.load(mmap=mmap)["data"]
        for key in FILLS:
            pd.testing.assert_frame_equal(data[key], model[key])
        for code, series in bench.items():
            pd.testing.assert_series_equal(data["benchmark_dict"][code], series)
    # no file is left behind by rewrites
    files = {d["file"] for d in store.load_metadata()["datasets"].values()}
    assert {p.name for p in store.store_dir.glob("*.mvd")} == files


def test_concurrent_loads_agree(tmp_path: Path) -> None:
    store = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    payload = make_payload(ALL_DATES[:200], [f"{k:06d}" for k in range(300)])
    store.write(payload)
    results: list[Any] = []
    errors: list[BaseException] = []

    def work(mmap: bool) -> None:
        try:
            for _ in range(5):
                results.append(store.load(mmap=mmap, start_date=ALL_DATES[10])["data"])
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k % 2 == 0,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    want = payload["data"]["close_price"].iloc[10:]
    for data in results:
        pd.testing.assert_frame_equal(data["close_price"], want)


def test_manifest_and_metadata_are_plain(tmp_path: Path) -> None:
    store = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    store.write(make_payload(ALL_DATES[:5], ["000001"], meta={"note": "全量", "n": (1, 2.5)}))
    manifest = json.loads(store.manifest_path.read_text(encoding="utf-8"))
    entry = manifest["datasets"]["close_price"]
    assert "index" not in entry
    assert (entry["rows"], entry["first_date"], entry["last_date"]) == (
        5,
        ALL_DATES[0],
        ALL_DATES[4],
    )
    assert manifest["meta"] == {"note": "全量", "n": [1, 2.5]}
    metadata = pickle.loads(store.metadata_path.read_bytes())  # an ordinary pickle
    assert metadata == store.load_metadata()

    before = snapshot(store.store_dir)
    with pytest.raises(TypeError, match=r"\['meta'\]\['bad'\]"):
        store._write_metadata({**metadata, "meta": {"bad": np.float64(1.0)}})
    assert snapshot(store.store_dir) == before


def test_default_dtype_and_numeric_columns(tmp_path: Path) -> None:
    store = BinaryPreparedDataStoreBase(tmp_path / "s", {"flags": "bool"}, 1, "float64")
    dates = ALL_DATES[:3]
    ints = pd.DataFrame({"000001": [1, 2, 3], "000002": [True, False, True]}, index=dates)
    flags = pd.DataFrame({"000001": [True, False, True]}, index=dates)
    store.write({"version": 1, "meta": {}, "data": {"other": ints, "flags": flags}})
    data = store.load(mmap=False)["data"]
    assert data["other"].dtypes.tolist() == [np.float64, np.float64]
    assert data["other"]["000002"].tolist() == [1.0, 0.0, 1.0]
    pd.testing.assert_frame_equal(data["flags"], flags)
    # a store whose version differs from the stored metadata refuses to read it
    with pytest.raises(MorvaneError, match="版本"):
        BinaryPreparedDataStoreBase(store.store_dir, {}, 2, "float64").load()


def test_reader_waits_for_a_working_writer(tmp_path: Path) -> None:
    store = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    store.write(make_payload(ALL_DATES[:5], ["000001"]))
    lock = store._writer_lock()
    (store.store_dir / "journal.wal").write_bytes(b"in progress")
    with pytest.raises(MorvaneError, match="写入者"):
        store.load()
    lock.release()
    with pytest.raises(MorvaneError, match="journal.wal"):  # no writer: a damaged journal
        store.load()

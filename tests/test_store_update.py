"""update_tail: merge by date, new columns, refusals that write nothing, the writer lock."""

from __future__ import annotations

import pickle
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._store import BinaryPreparedDataStoreBase
from morvane.exceptions import MorvaneError
from store_payloads import DTYPES, make_payload, snapshot, trading_dates

DATES = trading_dates("2024-01-02", 30)
CODES = [f"{k:06d}" for k in range(1, 9)]


@pytest.fixture
def store(tmp_path: Path) -> BinaryPreparedDataStoreBase:
    s = BinaryPreparedDataStoreBase(tmp_path / "store", DTYPES, 1, "float64")
    s.write(make_payload(DATES[:20], CODES))
    return s


# Datasets of each kind, with the value a cell of a new code takes on a stored day.
MERGE_FILLS = (
    ("close_price", np.nan),
    ("open_price", np.nan),
    ("can_buy_stock", False),
    ("cant_sell_stock", True),
)


def expected_merge(old: pd.DataFrame, new: pd.DataFrame, fill: Any) -> pd.DataFrame:
    columns = list(old.columns) + [c for c in new.columns if c not in old.columns]
    dates = sorted(set(old.index) | set(new.index))
    merged = old.reindex(index=dates, columns=columns)
    merged.loc[new.index] = new.reindex(columns=columns).to_numpy()
    if old.dtypes.iloc[0].kind == "b":
        merged = merged.where(merged.notna(), fill).astype(bool)
    return merged


@pytest.mark.parametrize("mmap", [True, False])
def test_tail_replaces_appends_and_adds_columns(
    store: BinaryPreparedDataStoreBase, mmap: bool
) -> None:
    old = store.load(mmap=False)["data"]
    window = DATES[18:25]  # the last two stored days and five new ones
    new_codes = CODES[2:] + ["900001", "900002"]  # two codes gone, two new ones
    payload = make_payload(window, new_codes, seed=7, meta={"updated_at": "now"})
    assert store.update_tail(payload) is True
    loaded = store.load(mmap=mmap)["data"]
    for key, fill in MERGE_FILLS:
        want = expected_merge(old[key], payload["data"][key], fill)
        pd.testing.assert_frame_equal(loaded[key], want, check_dtype=True)
    assert loaded["can_buy_stock"].loc[DATES[0], "900001"] == False  # noqa: E712
    assert loaded["cant_sell_stock"].loc[DATES[0], "900001"] == True  # noqa: E712
    series = loaded["benchmark_dict"]["000852"]
    assert list(series.index) == DATES[:25]
    assert series.loc[DATES[0]] == old["benchmark_dict"]["000852"].loc[DATES[0]]
    assert series.loc[DATES[19]] == payload["data"]["benchmark_dict"]["000852"].loc[DATES[19]]
    metadata = store.load_metadata()
    for description in metadata["datasets"].values():
        assert description["index"][-7:] == window
    assert metadata["meta"]["updated_at"] == "now" and metadata["meta"]["start_date"] == DATES[0]
    assert "updated_at" in metadata


def test_tail_inserts_missing_dates_and_keeps_absent_datasets(
    store: BinaryPreparedDataStoreBase,
) -> None:
    old = store.load(mmap=False)["data"]
    # a payload that fills a date inside the stored range and lacks open_price
    inner = make_payload(["20240106"] + DATES[19:21], CODES, seed=3)  # a Saturday
    del inner["data"]["open_price"]
    assert store.update_tail(inner)
    loaded = store.load(mmap=False)["data"]
    pd.testing.assert_frame_equal(loaded["open_price"], old["open_price"])
    assert "20240106" in loaded["close_price"].index
    assert list(loaded["close_price"].index) == sorted(set(DATES[:21]) | {"20240106"})
    pd.testing.assert_frame_equal(
        loaded["close_price"].loc[DATES[:3]], old["close_price"].loc[DATES[:3]]
    )


@pytest.mark.parametrize("mmap", [True, False])
def test_a_new_code_among_the_stored_ones_keeps_the_code_order(
    store: BinaryPreparedDataStoreBase, mmap: bool
) -> None:
    # A full build writes its columns in code order; a refreshed store keeps
    # it, so that it equals a rebuilt one column for column.
    old = store.load(mmap=False)["data"]
    files = {d["file"] for d in store.load_metadata()["datasets"].values()}
    payload = make_payload(DATES[19:22], ["000000", *CODES[2:], "0000045"], seed=4)
    assert store.update_tail(payload)
    loaded = store.load(mmap=mmap)["data"]
    for key, fill in MERGE_FILLS:
        want = expected_merge(old[key], payload["data"][key], fill)
        want = want[sorted(want.columns)]
        assert list(loaded[key].columns) == sorted(CODES + ["000000", "0000045"])
        pd.testing.assert_frame_equal(loaded[key], want, check_dtype=True)
    # the moved cells went to new files; series (one column) stayed in place
    renamed = {d["file"] for d in store.load_metadata()["datasets"].values()} - files
    assert {name.split(".")[0] for name in renamed} == {
        "close_price",
        "open_price",
        "can_buy_stock",
        "cant_sell_stock",
    }


def test_repeated_tails_outgrow_the_spare_capacity(store: BinaryPreparedDataStoreBase) -> None:
    old = store.load(mmap=False)["data"]["close_price"]
    mapped = store.load(mmap=True)["data"]["close_price"]
    many_codes = [f"{k:06d}" for k in range(300000, 300040)]  # more than the spare columns
    payload = make_payload(DATES[19:22], CODES + many_codes, seed=9)
    assert store.update_tail(payload)
    loaded = store.load(mmap=False)["data"]["close_price"]
    assert loaded.shape == (22, len(CODES) + 40)
    pd.testing.assert_frame_equal(loaded.loc[DATES[:19], CODES], old.loc[DATES[:19]])
    pd.testing.assert_frame_equal(mapped, old)  # the earlier mapping is untouched


def refusal_cases() -> list[tuple[str, Any]]:
    def no_close_rows(p: dict[str, Any]) -> None:
        p["data"]["close_price"] = p["data"]["close_price"].iloc[:0]

    def no_close(p: dict[str, Any]) -> None:
        del p["data"]["close_price"]

    def missing_benchmark(p: dict[str, Any]) -> None:
        del p["data"]["benchmark_dict"]["000300"]

    def empty_benchmark(p: dict[str, Any]) -> None:
        p["data"]["benchmark_dict"]["000852"] = p["data"]["benchmark_dict"]["000852"].iloc[:0]

    return [
        ("no close rows", no_close_rows),
        ("no close", no_close),
        ("missing benchmark", missing_benchmark),
        ("empty benchmark", empty_benchmark),
    ]


@pytest.mark.parametrize(("case", "spoil"), refusal_cases())
def test_refusals_write_nothing(store: BinaryPreparedDataStoreBase, case: str, spoil: Any) -> None:
    payload = make_payload(DATES[19:23], CODES, seed=1)
    spoil(payload)
    before = snapshot(store.store_dir)
    assert store.update_tail(payload) is False, case
    assert snapshot(store.store_dir) == before


@pytest.mark.parametrize("drop", ["datasets", "benchmarks", "close_price", "version"])
def test_incomplete_metadata_is_refused(store: BinaryPreparedDataStoreBase, drop: str) -> None:
    metadata = store.load_metadata()
    if drop == "close_price":
        del metadata["datasets"]["close_price"]
    else:
        del metadata[drop]
    store.metadata_path.write_bytes(pickle.dumps(metadata))
    before = snapshot(store.store_dir)
    assert store.update_tail(make_payload(DATES[19:23], CODES)) is False
    assert snapshot(store.store_dir) == before


def test_update_of_a_missing_store_is_refused(tmp_path: Path) -> None:
    s = BinaryPreparedDataStoreBase(tmp_path / "none", DTYPES, 1, "float64")
    assert s.update_tail(make_payload(DATES[:3], CODES)) is False
    assert not (tmp_path / "none").exists()


def test_tail_writes_only_a_small_part(tmp_path: Path) -> None:
    s = BinaryPreparedDataStoreBase(tmp_path / "big", DTYPES, 1, "float64")
    dates = trading_dates("2015-01-05", 400)
    codes = [f"{k:06d}" for k in range(300)]
    s.write(make_payload(dates[:380], codes))
    before = {p.name: p.stat().st_mtime_ns for p in s.store_dir.iterdir()}
    size = sum(p.stat().st_size for p in s.store_dir.glob("*.mvd"))
    blocks_before = {p.name: p.read_bytes() for p in s.store_dir.glob("*.mvd")}
    assert s.update_tail(make_payload(dates[378:400], codes + ["999999"], seed=2))
    changed = 0
    for name, old in blocks_before.items():
        new = (s.store_dir / name).read_bytes()  # same files, updated in place
        n = min(len(old), len(new))
        a, b = np.frombuffer(old[:n], np.uint8), np.frombuffer(new[:n], np.uint8)
        changed += int((a != b).sum()) + len(new) - n
    assert set(before) <= {p.name for p in s.store_dir.iterdir()}
    assert changed < size * 0.1


def test_second_writer_is_refused(store: BinaryPreparedDataStoreBase) -> None:
    lock = store._writer_lock()
    other = BinaryPreparedDataStoreBase(store.store_dir, DTYPES, 1, "float64")
    with pytest.raises(MorvaneError, match="写入者"):
        other.write(make_payload(DATES[:2], CODES))
    with pytest.raises(MorvaneError, match="写入者"):
        other.update_tail(make_payload(DATES[19:21], CODES))
    lock.release()
    assert other.update_tail(make_payload(DATES[19:21], CODES))

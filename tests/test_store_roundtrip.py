"""write() then load() of the binary store: equal tables, date cuts, keys, bad input."""

from __future__ import annotations

import pickle
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._store import BinaryPreparedDataStoreBase
from morvane.exceptions import MorvaneError
from store_payloads import DTYPES, assert_payload_data_equal, make_payload, snapshot, trading_dates

DATES = trading_dates("2024-01-02", 6)
CODES = ["000001", "000002", "600000"]


@pytest.fixture
def store(tmp_path: Path) -> BinaryPreparedDataStoreBase:
    return BinaryPreparedDataStoreBase(tmp_path / "store", DTYPES, 1, "float64")


@pytest.fixture
def payload() -> dict[str, Any]:
    return make_payload(DATES, CODES)


def test_constructor_does_not_touch_disk(tmp_path: Path) -> None:
    target = tmp_path / "missing" / "store"
    s = BinaryPreparedDataStoreBase(str(target), {"a": "bool"}, 1.0, "float64")
    assert not target.exists()
    assert s.store_dir == target and s.metadata_path == target / "metadata.pkl"
    assert s.version == 1 and s.matrix_dtype == {"a": "bool"} and s.default_dtype == "float64"
    assert s.load() is None
    with pytest.raises(FileNotFoundError, match="metadata.pkl"):
        s.load_metadata()
    with pytest.raises(ValueError, match="float64"):
        BinaryPreparedDataStoreBase(target, {"a": "int8"}, 1, "float64")
    with pytest.raises(TypeError, match="store_dir"):
        BinaryPreparedDataStoreBase(5, {}, 1, "float64")


@pytest.mark.parametrize("mmap", [True, False])
def test_round_trip(
    store: BinaryPreparedDataStoreBase, payload: dict[str, Any], mmap: bool
) -> None:
    store.write(payload)
    loaded = store.load(mmap=mmap)
    assert loaded["version"] == 1 and loaded["meta"] == payload["meta"]
    assert list(loaded["data"]) == [*DTYPES, "benchmark_dict"]
    assert_payload_data_equal(loaded["data"], payload["data"])
    metadata = store.load_metadata()
    assert metadata["benchmarks"] == {"000852": "benchmark__000852", "000300": "benchmark__000300"}
    assert metadata["datasets"]["close_price"]["index"] == DATES
    assert metadata["datasets"]["can_buy_stock"]["dtype"] == "bool"
    frame = loaded["data"]["close_price"]
    if mmap:  # built on the read-only mapping, no copy
        assert not frame.to_numpy(copy=False).flags.writeable
        assert not frame.to_numpy(copy=False).flags.owndata
    else:
        loaded["data"]["close_price"].iloc[0, 0] = -1.0  # a fresh, writable copy
        assert store.load(mmap=False)["data"]["close_price"].iloc[0, 0] != -1.0


@pytest.mark.parametrize(
    ("start", "end", "expected"),
    [
        (DATES[1], DATES[3], DATES[1:4]),  # inclusive at stored dates
        ("20240101", DATES[0], DATES[:1]),  # before the first date
        (int(DATES[2]), None, DATES[2:]),  # integer date, open end
        ("20240106", "20240107", []),  # a weekend between stored dates
        (DATES[4], DATES[1], []),  # start after end
    ],
)
def test_date_cuts(
    store: BinaryPreparedDataStoreBase,
    payload: dict[str, Any],
    start: Any,
    end: Any,
    expected: list[str],
) -> None:
    store.write(payload)
    for mmap in (True, False):
        data = store.load(start_date=start, end_date=end, mmap=mmap)["data"]
        assert list(data["cant_sell_stock"].index) == expected
        pd.testing.assert_frame_equal(
            data["close_price"], payload["data"]["close_price"].loc[expected]
        )
        assert list(data["benchmark_dict"]["000300"].index) == expected


def test_explicit_keys(store: BinaryPreparedDataStoreBase, payload: dict[str, Any]) -> None:
    store.write(payload)
    data = store.load(keys=["open_price"])["data"]
    assert list(data) == ["open_price", "benchmark_dict"]
    with pytest.raises(KeyError, match="rq_get_split"):
        store.load(keys=["open_price", "rq_get_split"])
    with pytest.raises(TypeError, match="keys"):
        store.load(keys="open_price")
    with pytest.raises(TypeError, match="mmap"):
        store.load(mmap="yes")


def test_empty_tables_and_write_replaces_everything(store: BinaryPreparedDataStoreBase) -> None:
    store.write(make_payload(DATES, CODES))
    first_files = set(p.name for p in store.store_dir.glob("*.mvd"))
    empty = make_payload([], ["000001"], benchmarks=("000852",))
    store.write(empty)
    loaded = store.load()
    assert loaded["data"]["close_price"].shape == (0, 1)
    assert list(loaded["data"]["benchmark_dict"]) == ["000852"]
    assert not first_files & set(p.name for p in store.store_dir.glob("*.mvd"))


def bad_payloads() -> list[tuple[Any, type[Exception], str]]:
    good = make_payload(DATES, CODES)
    cases: list[tuple[Any, type[Exception], str]] = [
        ([1], TypeError, "payload"),
        ({"version": 1}, ValueError, "data"),
        ({**good, "version": 2}, ValueError, "version"),
    ]

    def altered(key: str, table: Any) -> dict[str, Any]:
        return {**good, "data": {**good["data"], key: table}}

    close = good["data"]["close_price"]
    cases.append((altered("close_price", close.iloc[::-1]), ValueError, "close_price"))
    cases.append(
        (altered("close_price", close.set_axis(pd.to_datetime(DATES))), ValueError, "close_price")
    )
    cases.append(
        (
            altered(
                "open_price",
                close.set_axis([1, 2, 3] + CODES[3:], axis=1)
                if False
                else close.set_axis([1, 2, 3], axis=1),
            ),
            TypeError,
            "open_price",
        )
    )
    cases.append((altered("can_buy_stock", close), TypeError, "can_buy_stock"))
    cases.append(
        (
            altered("close_price", close.astype(object).assign(**{"000001": "x"})),
            ValueError,
            "close_price",
        )
    )
    cases.append((altered("close_price", close.to_numpy()), TypeError, "close_price"))
    cases.append(
        ({**good, "meta": {"created_at": pd.Timestamp("2024-01-01")}}, TypeError, "created_at")
    )
    return cases


@pytest.mark.parametrize(("bad", "error", "named"), bad_payloads())
def test_bad_payload_touches_nothing(
    store: BinaryPreparedDataStoreBase,
    payload: dict[str, Any],
    bad: Any,
    error: type[Exception],
    named: str,
) -> None:
    store.write(payload)
    before = snapshot(store.store_dir)
    with pytest.raises(error, match=named):
        store.write(bad)
    with pytest.raises(error, match=named):
        store.update_tail(bad)
    assert snapshot(store.store_dir) == before


def test_metadata_names_only_plain_files(
    store: BinaryPreparedDataStoreBase, payload: dict[str, Any], tmp_path: Path
) -> None:
    store.write(payload)
    outside = tmp_path / "outside.mvd"
    outside.write_bytes(b"x" * 4096)
    metadata = store.load_metadata()
    for name in ("../outside.mvd", str(outside), "sub/x.mvd", ".."):
        metadata["datasets"]["close_price"]["file"] = name
        store.metadata_path.write_bytes(pickle.dumps(metadata))
        with pytest.raises(MorvaneError, match="close_price"):
            store.load(keys=["close_price"])


def test_mapped_table_survives_rewrite(
    store: BinaryPreparedDataStoreBase, payload: dict[str, Any]
) -> None:
    store.write(payload)
    mapped = store.load(mmap=True)["data"]["close_price"]
    expected = mapped.copy()
    store.write(make_payload(DATES[:2], CODES, seed=5))  # old files are deleted
    pd.testing.assert_frame_equal(mapped, expected)
    assert np.isfinite(mapped.to_numpy()).sum() == np.isfinite(expected.to_numpy()).sum()

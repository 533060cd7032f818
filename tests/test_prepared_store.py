"""BinaryPreparedDataStore: dtype map, load by the held datasets, component supplement."""

from __future__ import annotations

import pickle
from pathlib import Path
from typing import Any

import pandas as pd
import pytest

from morvane.backtest._prepare import BinaryPreparedDataStore, build_matrix_dtype
from morvane.backtest._store import component_dataset_key
from store_payloads import make_payload, snapshot, trading_dates

DATES = trading_dates("2024-01-02", 5)
CODES = ["000001", "000002"]
A, B, C = (
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
)


def member(seed: int) -> pd.DataFrame:
    frame = pd.DataFrame(1.0, index=DATES, columns=CODES)
    frame.iloc[seed % len(DATES), 0] = float("nan")
    return frame


@pytest.fixture
def store(tmp_path: Path) -> BinaryPreparedDataStore:
    s = BinaryPreparedDataStore(tmp_path / "prepared")
    payload = make_payload(DATES, CODES)
    for name in (A, B):
        payload["data"][component_dataset_key(name)] = member(1)
    payload["meta"] = {
        "component_names": [A, B],
        "component_dataset_keys": {n: component_dataset_key(n) for n in (A, B)},
    }
    s.write(payload)
    return s


def test_construction(tmp_path: Path) -> None:
    s = BinaryPreparedDataStore(tmp_path / "x")
    assert s.matrix_dtype == build_matrix_dtype() and s.version == 1
    assert s.default_dtype == "float64" and not (tmp_path / "x").exists()
    assert list(BinaryPreparedDataStore(tmp_path, [A]).matrix_dtype)[-1] == component_dataset_key(A)
    with pytest.raises(TypeError, match="component_names"):
        BinaryPreparedDataStore(tmp_path, A)


def test_load_takes_held_datasets_in_dtype_order(store: BinaryPreparedDataStore) -> None:
    data = store.load()["data"]
    assert list(data) == [
        "close_price",
        "open_price",
        "can_buy_stock",
        "cant_sell_stock",
        component_dataset_key(A),
        component_dataset_key(B),
        "benchmark_dict",
    ]
    assert list(store.load(keys=["open_price"])["data"]) == ["open_price", "benchmark_dict"]
    with pytest.raises(TypeError, match="keys"):
        store.load(keys=("open_price",))


def test_load_without_datasets_asks_for_nothing(store: BinaryPreparedDataStore) -> None:
    metadata = store.load_metadata()
    del metadata["datasets"]
    metadata["benchmarks"] = {}
    store.metadata_path.write_bytes(pickle.dumps(metadata))
    assert store.load()["data"] == {"benchmark_dict": {}}


def test_all_present_leaves_metadata_byte_identical(store: BinaryPreparedDataStore) -> None:
    before = snapshot(store.store_dir)
    assert store.add_component_matrices({}, [A, B]) == []
    assert snapshot(store.store_dir) == before


def test_supplement_merges_names_and_keys(store: BinaryPreparedDataStore) -> None:
    written = store.add_component_matrices({C: member(2)}, [C, A, C])
    assert written == [C]
    metadata = store.load_metadata()
    meta = metadata["meta"]
    assert meta["component_names"] == [A, B, C]
    assert meta["component_dataset_keys"] == {n: component_dataset_key(n) for n in (A, B, C)}
    assert metadata["updated_at"] == meta["updated_at"] == meta["component_supplemented_at"]
    loaded = store.load(mmap=False)["data"]
    pd.testing.assert_frame_equal(loaded[component_dataset_key(C)], member(2))


@pytest.mark.parametrize(
    ("matrices", "error", "match"),
    [
        (
            {C: member(0)},
            ValueError,
            "缺失成分股矩阵为空，无法补充: rq_index_components_new_000905.XSHE",
        ),
        (
            {C: member(0), "rq_index_components_new_000905.XSHE": member(0).iloc[:0]},
            ValueError,
            "缺失成分股矩阵为空",
        ),
        (
            {
                C: member(0),
                "rq_index_components_new_000905.XSHE": member(0).set_axis(list(reversed(DATES))),
            },
            ValueError,
            "component__",
        ),
    ],
)
def test_failed_supplement_leaves_directory_as_it_was(
    store: BinaryPreparedDataStore, matrices: dict[str, Any], error: type[Exception], match: str
) -> None:
    before = snapshot(store.store_dir)
    with pytest.raises(error, match=match):
        store.add_component_matrices(matrices, [C, "rq_index_components_new_000905.XSHE"])
    assert snapshot(store.store_dir) == before


def test_supplement_argument_types(store: BinaryPreparedDataStore) -> None:
    with pytest.raises(TypeError, match="component_matrices"):
        store.add_component_matrices([member(0)], [C])
    with pytest.raises(TypeError, match="component_names"):
        store.add_component_matrices({C: member(0)}, C)
    with pytest.raises(FileNotFoundError):
        BinaryPreparedDataStore(store.store_dir / "empty").add_component_matrices({}, [C])

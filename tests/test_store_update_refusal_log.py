"""update_tail's refusals: each says why in the morvane log, and writes nothing."""

from __future__ import annotations

import logging
import pickle
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from morvane.backtest._store import BinaryPreparedDataStoreBase
from store_payloads import DTYPES, make_payload, snapshot
from test_store_update import CODES, DATES


@pytest.fixture
def store(tmp_path: Path) -> BinaryPreparedDataStoreBase:
    s = BinaryPreparedDataStoreBase(tmp_path / "store", DTYPES, 1, "float64")
    s.write(make_payload(DATES[:20], CODES))
    return s


def spoil_metadata(
    store: BinaryPreparedDataStoreBase, change: Callable[[dict[str, Any]], None]
) -> None:
    metadata = store.load_metadata()
    change(metadata)
    store.metadata_path.write_bytes(pickle.dumps(metadata))


def refusal_log(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == "morvane" and r.levelno == logging.WARNING and "未做增量更新" in r.getMessage()
    ]


PAYLOAD_CASES = [
    (
        "no close rows",
        lambda p: p["data"].__setitem__("close_price", p["data"]["close_price"].iloc[:0]),
        "close_price 没有行",
    ),
    ("missing benchmark", lambda p: p["data"]["benchmark_dict"].pop("000300"), "基准 000300"),
    (
        "empty benchmark",
        lambda p: p["data"]["benchmark_dict"].__setitem__(
            "000852", p["data"]["benchmark_dict"]["000852"].iloc[:0]
        ),
        "基准 000852",
    ),
]


@pytest.mark.parametrize(
    ("case", "spoil", "reason"), PAYLOAD_CASES, ids=[c[0] for c in PAYLOAD_CASES]
)
def test_a_refused_payload_logs_its_reason(
    store: BinaryPreparedDataStoreBase,
    caplog: pytest.LogCaptureFixture,
    case: str,
    spoil: Any,
    reason: str,
) -> None:
    payload = make_payload(DATES[19:23], CODES, seed=1)
    spoil(payload)
    before = snapshot(store.store_dir)
    with caplog.at_level(logging.WARNING, logger="morvane"):
        assert store.update_tail(payload) is False
    messages = refusal_log(caplog)
    assert len(messages) == 1, case
    assert reason in messages[0] and str(store.store_dir) in messages[0]
    assert snapshot(store.store_dir) == before


METADATA_CASES = [
    ("datasets", lambda m: m.pop("datasets"), "datasets 或 benchmarks"),
    ("benchmarks", lambda m: m.pop("benchmarks"), "datasets 或 benchmarks"),
    ("close_price", lambda m: m["datasets"].pop("close_price"), "没有 close_price"),
    ("version", lambda m: m.__setitem__("version", 7), "版本 7"),
    (
        "benchmark entry",
        lambda m: m["benchmarks"].__setitem__("000300", "no_such_dataset"),
        "'000300'",
    ),
]


@pytest.mark.parametrize(
    ("case", "change", "reason"), METADATA_CASES, ids=[c[0] for c in METADATA_CASES]
)
def test_incomplete_metadata_logs_its_reason(
    store: BinaryPreparedDataStoreBase,
    caplog: pytest.LogCaptureFixture,
    case: str,
    change: Any,
    reason: str,
) -> None:
    spoil_metadata(store, change)
    before = snapshot(store.store_dir)
    with caplog.at_level(logging.WARNING, logger="morvane"):
        assert store.update_tail(make_payload(DATES[19:23], CODES)) is False
    messages = refusal_log(caplog)
    assert len(messages) == 1, case
    assert reason in messages[0]
    assert snapshot(store.store_dir) == before


def test_a_missing_store_logs_that_it_was_never_written(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    s = BinaryPreparedDataStoreBase(tmp_path / "none", DTYPES, 1, "float64")
    with caplog.at_level(logging.WARNING, logger="morvane"):
        assert s.update_tail(make_payload(DATES[:3], CODES)) is False
    assert ["没有元信息文件" in m for m in refusal_log(caplog)] == [True]


def test_an_accepted_update_logs_no_refusal(
    store: BinaryPreparedDataStoreBase, caplog: pytest.LogCaptureFixture
) -> None:
    with caplog.at_level(logging.WARNING, logger="morvane"):
        assert store.update_tail(make_payload(DATES[19:23], CODES, seed=1)) is True
    assert refusal_log(caplog) == []

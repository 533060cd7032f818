"""The completeness probe, the strict package check and the dataset summary log."""

from __future__ import annotations

import logging
from pathlib import Path

import pytest

from morvane.backtest import _prepare
from morvane.backtest._service import BacktestService
from morvane.exceptions import MorvaneError

COMPONENT_KEYS = [_prepare.component_dataset_key(n) for n in _prepare.COMPONENT_FACTOR_NAMES]
REQUIRED = ["close_price", "open_price", "can_buy_stock", "cant_sell_stock"]
INCOMPLETE = "^回测基准数据包不完整,请删除回测数据目录后重新准备$"


class Store:
    """Just what the checks read of a store: its metadata file and mapping."""

    def __init__(self, metadata: dict, tmp_path: Path, *, present: bool = True) -> None:
        self.metadata = metadata
        self.metadata_path = tmp_path / "metadata.pkl"
        if present:
            self.metadata_path.write_bytes(b"")

    def load_metadata(self) -> dict:
        return self.metadata

    def damaged_datasets(self) -> list[str]:
        return []  # no dataset files behind this metadata


def datasets(*keys: str, index: list[str] | None = None) -> dict:
    return {key: {"index": list(index or ["20240102", "20240103"])} for key in keys}


class TestProbe:
    def test_empty_metadata_lists_everything_in_order(self, tmp_path):
        missing = BacktestService._find_missing_datasets(Store({}, tmp_path))
        assert missing == ["close_price 索引为空", *REQUIRED, "benchmarks", *COMPONENT_KEYS]

    def test_only_components_missing_passes_the_strict_check(self, tmp_path):
        store = Store({"datasets": datasets(*REQUIRED), "benchmarks": {"000852": "bm"}}, tmp_path)
        BacktestService._validate_metadata(store)
        assert BacktestService._find_missing_datasets(store) == COMPONENT_KEYS

    def test_complete(self, tmp_path):
        store = Store(
            {"datasets": datasets(*REQUIRED, *COMPONENT_KEYS), "benchmarks": {"000852": "bm"}},
            tmp_path,
        )
        assert BacktestService._find_missing_datasets(store) == []


class TestStrictCheck:
    def test_no_metadata_file(self, tmp_path):
        with pytest.raises(MorvaneError, match="^回测基准数据包解压后缺少元信息文件$"):
            BacktestService._validate_metadata(Store({}, tmp_path, present=False))

    @pytest.mark.parametrize(
        "metadata",
        [
            {
                "datasets": {**datasets(*REQUIRED), "close_price": {"index": []}},
                "benchmarks": {"000852": "bm"},
            },
            {
                "datasets": datasets("close_price", "open_price", "can_buy_stock"),
                "benchmarks": {"000852": "bm"},
            },
            {"datasets": datasets(*REQUIRED), "benchmarks": {}},
            {"datasets": datasets(*REQUIRED)},
        ],
        ids=["empty-close-index", "required-missing", "benchmarks-empty", "benchmarks-absent"],
    )
    def test_incomplete(self, tmp_path, metadata):
        with pytest.raises(MorvaneError, match=INCOMPLETE):
            BacktestService._validate_metadata(Store(metadata, tmp_path))


class TestSummary:
    def lines(self, caplog, metadata, tmp_path, action="已更新"):
        caplog.set_level(logging.INFO, logger="morvane")
        BacktestService._log_dataset_summary(Store(metadata, tmp_path), action=action)
        return [r.getMessage() for r in caplog.records]

    def test_rows_labels_and_padding(self, caplog, tmp_path):
        metadata = {
            "datasets": {
                "bm_000852": {"index": ["20240105"]},
                "close_price": {"index": ["20240102", "20240108"]},
                "component__rq_index_components_new_000300_xshg": {"index": ["20240103"]},
                "open_price": {"index": []},
            },
            "benchmarks": {"000852": "bm_000852"},
        }
        assert self.lines(caplog, metadata, tmp_path) == [
            "回测基准数据已更新,各数据集最新日期:",
            "  close_price                                 20240108",
            "  成分股 rq_index_components_new_000300_xshg  20240103",
            "  open_price                                  (空)",
            "  基准 000852                                 20240105",
        ]

    def test_chinese_labels_take_two_columns_each(self, caplog, tmp_path):
        # A terminal shows each Chinese character two columns wide: padding by
        # that width puts every date in the same column.
        metadata = {
            "datasets": {"x": {"index": ["20240102"]}, "bm": {"index": ["20240103"]}},
            "benchmarks": {"000300": "bm"},
        }
        lines = self.lines(caplog, metadata, tmp_path, "已就绪")[1:]
        assert lines == [
            "  x            20240102",
            "  基准 000300  20240103",
        ]
        columns = [unicodedata_width(line[: line.index("2024")]) for line in lines]
        assert columns == [15, 15]

    def test_nothing_stored_logs_only_the_header(self, caplog, tmp_path):
        assert self.lines(caplog, {}, tmp_path, "已是最新") == [
            "回测基准数据已是最新,各数据集最新日期:"
        ]

    def test_action_must_be_text(self, tmp_path):
        with pytest.raises(TypeError, match="action"):
            BacktestService._log_dataset_summary(Store({}, tmp_path), action=None)


def unicodedata_width(text: str) -> int:
    import unicodedata

    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)

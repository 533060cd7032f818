"""日志器、数据客户端槽位、回测结果记录与包入口 init 的行为。"""

from __future__ import annotations

import io
import logging
import pickle
import sys
from collections.abc import Iterator
from typing import Any

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane import singleton
from morvane._http import HttpClient
from morvane.backtest.result import BacktestData, BacktestResult, StrategyBacktestResult
from morvane.exceptions import MorvaneError
from morvane.logger import disable_console, enable_console, logger

# ------------------------------------------------------------------ logger


@pytest.fixture
def console() -> Iterator[None]:
    level = logger.level
    disable_console()
    yield
    disable_console()
    logger.setLevel(level)


def test_logger_is_silent_library_logger() -> None:
    assert logger.name == "morvane"
    assert any(isinstance(h, logging.NullHandler) for h in logger.handlers)


@pytest.mark.usefixtures("console")
def test_enable_console_is_idempotent_and_updates_level() -> None:
    first = enable_console("info")
    second = enable_console(logging.DEBUG)
    assert first is second
    assert sum(h is first for h in logger.handlers) == 1
    assert logger.level == logging.DEBUG and first.level == logging.DEBUG
    assert isinstance(first, logging.StreamHandler) and first.stream is sys.stderr
    disable_console()
    assert first not in logger.handlers
    assert enable_console() is not first  # 移除后再开启是一个新的处理器


@pytest.mark.usefixtures("console")
def test_records_reach_console_with_percent_args() -> None:
    handler = enable_console("INFO")
    assert isinstance(handler, logging.StreamHandler)
    buffer = io.StringIO()
    handler.setStream(buffer)
    logger.info("读取 %d 只股票, 区间 %s", 5000, "20150105..20241231")
    logger.debug("不应出现")
    lines = buffer.getvalue().splitlines()
    assert len(lines) == 1
    assert lines[0].endswith("INFO morvane: 读取 5000 只股票, 区间 20150105..20241231")


# --------------------------------------------------------------- singleton


class _Client:
    def get_factors(
        self, *, factor: str | list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None:
        return None

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None:
        return None


class _HalfClient:
    def get_factors(self, **kwargs: Any) -> None:
        return None

    get_index_daily = "not callable"


@pytest.fixture
def empty_slot() -> Iterator[None]:
    singleton.set_instance(None)
    yield
    singleton.set_instance(None)


@pytest.mark.usefixtures("empty_slot")
def test_get_instance_before_init_explains_how_to_initialise() -> None:
    with pytest.raises(MorvaneError, match=r"morvane\.init\(client=\.\.\.\)") as info:
        singleton.get_instance()
    assert "set_instance" in str(info.value)


@pytest.mark.usefixtures("empty_slot")
def test_set_get_and_clear() -> None:
    client = _Client()
    singleton.set_instance(client)
    assert singleton.get_instance() is client
    singleton.set_instance(None)
    with pytest.raises(MorvaneError):
        singleton.get_instance()


@pytest.mark.parametrize(
    ("bad", "type_name", "missing"),
    [(object(), "object", "get_factors"), (_HalfClient(), "_HalfClient", "get_index_daily")],
)
@pytest.mark.usefixtures("empty_slot")
def test_set_instance_rejects_incomplete_clients(bad: object, type_name: str, missing: str) -> None:
    singleton.set_instance(_Client())
    with pytest.raises(TypeError) as info:
        singleton.set_instance(bad)
    assert (
        "client" in str(info.value) and type_name in str(info.value) and missing in str(info.value)
    )
    assert isinstance(singleton.get_instance(), _Client)  # 失败的安装不动已有客户端


def test_protocol_isinstance() -> None:
    assert isinstance(_Client(), singleton.DataClient)
    assert not isinstance(object(), singleton.DataClient)


# ------------------------------------------------------------ result records


def _frame(rows: int = 3, cols: int = 2, start: str = "2015-01-05") -> pd.DataFrame:
    index = pd.bdate_range(start, periods=rows)
    data = np.arange(rows * cols, dtype=float).reshape(rows, cols) + 123456.789
    return pd.DataFrame(data, index=index, columns=[f"{600000 + i:06d}" for i in range(cols)])


def _records() -> list[Any]:
    frame = _frame(rows=40)
    series = frame.iloc[:, 0]
    summary = pd.DataFrame({"excess": [0.1, 0.2]}, index=["000300", "000852"])
    return [
        BacktestData(
            data={
                "close_price": frame,
                "open_price": frame,
                "benchmark_dict": {"000300": series, "000852": series},
            }
        ),
        BacktestResult(
            factor_name="mom_20d",
            best_group=5,
            group_daily_return=frame,
            group_cumulative_return=frame,
            rank_ic=series,
            benchmark_summary=summary,
            plot_paths={"nav": "out/nav.png"},
        ),
        StrategyBacktestResult(
            strategy_name="top50",
            daily_return=series,
            cumulative_return=series,
            stats={"sharpe": 1.23456, "max_drawdown": -0.2},
            benchmark_summary=summary,
        ),
    ]


@pytest.mark.parametrize("cls", [BacktestData, BacktestResult, StrategyBacktestResult])
def test_records_are_keyword_only(cls: type) -> None:
    with pytest.raises(TypeError):
        cls({})


@pytest.mark.parametrize("record", _records(), ids=lambda r: type(r).__name__)
def test_repr_summarises_without_table_bodies(record: Any) -> None:
    text = repr(record)
    assert "123456" not in text and "\n" not in text
    assert text.startswith(type(record).__name__ + "(")
    assert "20150105.." in text
    if isinstance(record, StrategyBacktestResult):
        assert (
            "sharpe=1.235" in text and "max_drawdown=-0.2" in text
        )  # keys it has no unit for: plain
    assert record == record and record != pickle.loads(
        pickle.dumps(record)
    )  # 身份相等, 不会抛歧义错误


def test_backtest_data_repr_counts() -> None:
    assert repr(_records()[0]) == (
        "BacktestData(datasets=2, dates=20150105..20150227, stocks=2, benchmarks=['000300', '000852'])"
    )


@pytest.mark.parametrize("data", [{}, {"close_price": pd.DataFrame()}, {"benchmark_dict": None}])
def test_backtest_data_repr_without_usable_close(data: dict[str, Any]) -> None:
    assert "dates=None" in repr(BacktestData(data=data))


def test_backtest_data_pickle_round_trip() -> None:
    original = _records()[0]
    restored = pickle.loads(pickle.dumps(original))
    assert set(restored.data) == set(original.data)
    pd.testing.assert_frame_equal(restored.data["close_price"], original.data["close_price"])
    pd.testing.assert_series_equal(
        restored.data["benchmark_dict"]["000852"], original.data["benchmark_dict"]["000852"]
    )


# --------------------------------------------------------------- morvane.init


@pytest.fixture
def fresh_init() -> Iterator[None]:
    singleton.set_instance(None)
    morvane._http_client = None
    yield
    singleton.set_instance(None)
    morvane._http_client = None


@pytest.mark.usefixtures("fresh_init")
def test_init_installs_client_and_http() -> None:
    client = _Client()
    morvane.init(client, base_url="https://data.example/api", token="t")
    assert singleton.get_instance() is client
    http = morvane.get_http_client()
    assert isinstance(http, HttpClient) and http.base_url == "https://data.example/api/"
    morvane.init(_Client())  # 只换数据客户端, HTTP 客户端保持不变
    assert morvane.get_http_client() is http


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"token": "t"}, ValueError),
        ({"http": "x"}, TypeError),
        ({"http": HttpClient("https://a"), "base_url": "https://b"}, ValueError),
        ({"client": object(), "base_url": "https://b"}, TypeError),
        ({"client": _Client(), "base_url": "ftp://b"}, ValueError),
    ],
)
@pytest.mark.usefixtures("fresh_init")
def test_init_validates_everything_before_applying(
    kwargs: dict[str, Any], error: type[Exception]
) -> None:
    with pytest.raises(error):
        morvane.init(**kwargs)
    assert morvane.get_http_client() is None
    with pytest.raises(MorvaneError):
        singleton.get_instance()


def test_import_keeps_backtest_lazy() -> None:
    import os
    import subprocess
    from pathlib import Path

    # The subpackage itself is light (it is the callable factor backtest); its
    # native modules load only when first used.
    code = "import sys, morvane; print(any(m.startswith('morvane.backtest.') for m in sys.modules))"
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "PYTHONPATH": str(Path(morvane.__file__).parents[1])},
    )
    assert out.stdout.strip() == "False"

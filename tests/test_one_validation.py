"""One validation: the API, a parameter sweep and the command line refuse the same bad input alike.

Each case is a bad input (a table that cannot mean what it says, or an argument
the backtest cannot use) given to all three entry points the way each takes
it; all refuse it with the same exception type and message (the command line:
exit status 1 and that message on one stderr line), before any work.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane import sweep
from morvane.backtest.result import BacktestData
from morvane.cli import main
from morvane.exceptions import MorvaneError
from service_world import write_store

START, END = "20240102", "20240315"
Table = Callable[[pd.DataFrame], pd.DataFrame]


def _same(table: pd.DataFrame) -> pd.DataFrame:
    return table


def _dates_twice(table: pd.DataFrame) -> pd.DataFrame:
    return pd.concat([table.iloc[:4], table.iloc[3:4]])


def _infinite(table: pd.DataFrame) -> pd.DataFrame:
    out = table.copy()
    out.iloc[5, 2] = np.inf
    return out


def _as_datetimes(table: pd.DataFrame) -> pd.DataFrame:
    return table.apply(lambda column: pd.to_datetime(column * 1e9))


def _as_durations(table: pd.DataFrame) -> pd.DataFrame:
    return table.apply(lambda column: pd.to_timedelta(column, unit="s"))


def _two_level_columns(table: pd.DataFrame) -> pd.DataFrame:
    return table.set_axis(pd.MultiIndex.from_product([["w"], table.columns]), axis=1)


def _two_level_rows(table: pd.DataFrame) -> pd.DataFrame:
    return table.set_axis(pd.MultiIndex.from_product([["w"], table.index]), axis=0)


def _lone_surrogate(table: pd.DataFrame) -> pd.DataFrame:
    return table.set_axis(pd.Index(["\ud800", *table.columns[1:]], dtype=object), axis=1)


@dataclass
class Case:
    error: type[BaseException]
    message: str  # a regular expression found in every refusal's message
    table: Table = _same
    options: dict[str, Any] = field(default_factory=dict)  # API keywords; see run_api
    cli: list[str] | None = None  # the command line's way to say it; None: it cannot
    drop: str | None = None  # a dataset missing from the loaded data
    kinds: tuple[str, ...] = ("strategy", "factor")


def _inf_cell(table: pd.DataFrame) -> str:
    return f"含无穷大的值: {table.index[5]} 行 {table.columns[2]} 列为 inf"


CASES: dict[str, Case] = {
    # tables that cannot mean what they say
    "dates given twice": Case(
        ValueError,
        r"参数 {name} 的行标签整理后重复: \d{{8}} \(同一日期出现在多行\)",
        table=_dates_twice,
        cli=[],
    ),
    "an infinite cell": Case(ValueError, "参数 {name} {inf}", table=_infinite, cli=[]),
    "date values": Case(
        TypeError,
        r"参数 {name} 的值须为数值: 列 '\d{{6}}' 的类型是 datetime64",
        table=_as_datetimes,
    ),
    "duration values": Case(
        TypeError,
        r"参数 {name} 的值须为数值: 列 '\d{{6}}' 的类型是 timedelta64",
        table=_as_durations,
    ),
    "two-level columns": Case(
        TypeError, r"参数 {name} 的列索引是多层索引", table=_two_level_columns
    ),
    "two-level rows": Case(TypeError, r"参数 {name} 的行索引是多层索引", table=_two_level_rows),
    "a code with a lone surrogate": Case(
        ValueError, r"参数 {name} 的列标签 '\\ud800' 不是有效的文本", table=_lone_surrogate
    ),
    # arguments the backtest cannot use
    "a dataset missing from the data": Case(
        MorvaneError,
        "回测数据缺少数据集 prev_close.*prepare_backtest_data",
        drop="prev_close",
        cli=[],
    ),
    "an output_dir that is a file": Case(
        NotADirectoryError,
        "参数 output_dir 不能用作图片目录",
        options={"output_dir": "FILE"},
        cli=["--out", "FILE"],
    ),
    "a NUL in plot_filename": Case(
        ValueError,
        r"参数 plot_filename 不能含 NUL 字符",
        options={"plot_filename": "a\0b"},
        cli=["--name", "a\0b"],
    ),
    # a byte the file system or the shell could not decode
    "a lone surrogate in plot_filename": Case(
        ValueError,
        r"参数 plot_filename 不是有效的文本",
        options={"plot_filename": "a\udcff"},
        cli=["--name", "a\udcff"],
    ),
    "an impossible start_date": Case(
        ValueError,
        r"参数 start_date 不是有效日期: 收到 '2024-13-01'",
        options={"start_date": "2024-13-01"},
    ),
    "a start_date of another type": Case(
        TypeError, r"参数 start_date 类型错误: 期望 str \| int", options={"start_date": 20240102.5}
    ),
    "a negative rolling_window": Case(
        ValueError, r"参数 rolling_window 不能为负数, 收到 -3", options={"rolling_window": -3}
    ),
    "a money range": Case(ValueError, r"参数 fee 取值范围 \[0, 1\)", options={"fee": 1.5}),
    "universe=300": Case(
        TypeError,
        r"参数 universe 类型错误: 期望 str \| list\[str\] \| None, 收到 int",
        options={"universe": 300},
        kinds=("factor",),
    ),
    "an unknown universe": Case(
        ValueError,
        "不支持的选股范围: 123456",
        options={"universe": "123456"},
        cli=["--universe", "123456"],
        kinds=("factor",),
    ),
    "one group": Case(
        ValueError,
        r"group_num 取值范围 \[2, 100\]",
        options={"group_num": 1},
        cli=["--groups", "1"],
        kinds=("factor",),
    ),
    "an unknown factor benchmark": Case(
        ValueError,
        r"参数 benchmark 的基准 399999 不在 benchmark_dict 中",
        options={"benchmark": "399999"},
        cli=["--benchmark", "399999"],
        kinds=("factor",),
    ),
    "a benchmark that is no text": Case(
        TypeError,
        r"参数 benchmark_names 类型错误: 期望 str, 收到 NoneType",
        options={"benchmark": None},
        kinds=("strategy",),
    ),
}
PAIRS = [(name, kind) for name, case in CASES.items() for kind in case.kinds]


@pytest.fixture
def weights(payload) -> pd.DataFrame:
    close = payload["data"]["close_price"]
    held = close.notna() & (np.arange(close.shape[1]) % 3 == 0)
    return held.astype(float).div(held.sum(axis=1).replace(0, 1), axis=0)


def _expected(case: Case, kind: str, table: pd.DataFrame) -> str:
    infinite = re.escape(_inf_cell(table)) if "{inf}" in case.message else ""
    return case.message.format(name=kind, inf=infinite)


def _loaded(data: BacktestData, case: Case) -> BacktestData:
    if case.drop is None:
        return data
    return BacktestData(data={k: v for k, v in data.data.items() if k != case.drop})


def _resolved(options: dict[str, Any], tmp_path: Path) -> dict[str, Any]:
    """The case's options with the file placeholder made real."""
    out = dict(options)
    if out.get("output_dir") == "FILE":
        (tmp_path / "taken").write_text("a file where the chart folder would go")
        out["output_dir"] = tmp_path / "taken"
    return out


def run_api(
    kind: str, table: pd.DataFrame, data: BacktestData, options: dict[str, Any], tmp_path: Path
) -> None:
    args = {
        "start_date": START,
        "end_date": END,
        "output_dir": tmp_path / "charts",
        "plot_filename": "s",
    }
    args.update(options)
    run = morvane.backtest_strategy if kind == "strategy" else morvane.backtest
    run(table, data, **args)


def run_sweep(
    kind: str, table: pd.DataFrame, data: BacktestData, options: dict[str, Any], tmp_path: Path
) -> None:
    options = dict(options)
    start = options.pop("start_date", START)
    output_dir = options.pop("output_dir", tmp_path / "charts")
    name = options.pop("plot_filename", "s")
    run = sweep.run_strategy if kind == "strategy" else sweep.run_factor
    run(
        {name: table},
        data,
        start,
        END,
        grid=[options],
        plot=True,
        output_dir=output_dir,
        errors="raise",
    )


@pytest.mark.parametrize("name, kind", PAIRS, ids=[f"{kind}: {name}" for name, kind in PAIRS])
def test_api_and_sweep_refuse_alike(data, weights, tmp_path, name, kind):
    case = CASES[name]
    table, loaded = case.table(weights), _loaded(data, case)
    options = _resolved(case.options, tmp_path)
    expected = _expected(case, kind, table)
    with pytest.raises(case.error, match=expected):
        run_api(kind, table, loaded, options, tmp_path)
    with pytest.raises(case.error, match=expected):
        run_sweep(kind, table, loaded, options, tmp_path)
    assert not (tmp_path / "charts").exists()  # refused before any work


CLI_PAIRS = [(name, kind) for name, kind in PAIRS if CASES[name].cli is not None]


@pytest.mark.parametrize(
    "name, kind", CLI_PAIRS, ids=[f"{kind}: {name}" for name, kind in CLI_PAIRS]
)
def test_the_command_line_refuses_alike(capsys, payload, weights, tmp_path, name, kind):
    case = CASES[name]
    table = case.table(weights)
    store = tmp_path / "store"
    write_store(
        store, {**payload, "data": {k: v for k, v in payload["data"].items() if k != case.drop}}
    )
    path = tmp_path / "table.csv"
    table.to_csv(path)
    options = _resolved(case.options, tmp_path)
    extra = [str(options["output_dir"]) if arg == "FILE" else arg for arg in case.cli or []]
    command = "strategy" if kind == "strategy" else "backtest"
    argv = [command, str(path), "--store", str(store), "--out", str(tmp_path / "charts"), *extra]
    assert main(argv) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert re.search(_expected(case, kind, table), captured.err), captured.err
    assert not (tmp_path / "charts").exists()


def test_a_time_zone_aware_index_is_read_as_shanghai_dates(data, weights):
    shanghai = weights.set_axis(pd.to_datetime(weights.index).tz_localize("Asia/Shanghai"), axis=0)
    utc = shanghai.set_axis(
        shanghai.index.tz_convert("UTC"), axis=0
    )  # the same instants, dated a day earlier
    assert utc.index[0].day == 1
    want = morvane.backtest_strategy(weights, data, START, END, None, "", plot=None)
    for table in (shanghai, utc):
        got = morvane.backtest_strategy(table, data, START, END, None, "", plot=None)
        pd.testing.assert_series_equal(got.daily_return, want.daily_return)

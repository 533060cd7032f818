"""`morvane backtest` and `morvane strategy`: backtests of a table file on the prepared data."""

from __future__ import annotations

import argparse
import contextlib
import logging
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, cast

from ..backtest._params import parameters
from ._command import Command
from ._common import (
    CliError,
    align_codes,
    load_prepared,
    print_table,
    read_wide_table,
    refused_as_cli_error,
    resolve_range,
)
from ._report import (
    chart_rows,
    factor_rows,
    ledger_rows,
    research_rows,
    run_factor_backtest,
    strategy_rows,
)

if TYPE_CHECKING:
    import pandas as pd

    from ..backtest.result import BacktestData

__all__ = ["FACTOR_COMMAND", "STRATEGY_COMMAND", "run_backtest", "run_strategy"]

UNIVERSES = ("000300", "000905", "000852", "399303", "932000")

# The arguments the package's request checks name, and what carries each on
# the command line (the table's own name is added per command).
_OPTIONS = {
    "group_num": "--groups",
    "universe": "--universe",
    "benchmark": "--benchmark",
    "benchmark_names": "--benchmark",
    "start_date": "--start",
    "end_date": "--end",
    "output_dir": "--out",
    "plot_filename": "--name",
    "horizons": "--horizons",
    "rebalance_every": "--rebalance-every",
    "选股范围": "--universe",  # the universe messages are fixed texts that do not name the argument
}


def _horizon_list(text: str) -> tuple[int, ...]:
    """--horizons 1,5,10,20 as a tuple of integers (the backtest checks their range)."""
    parts = [part.strip() for part in text.split(",") if part.strip()]
    try:
        return tuple(int(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"应为逗号分隔的交易日数, 例如 1,5,10,20, 收到 {text!r}"
        ) from None


_FACTOR = "BacktestService.backtest"
_STRATEGY = "BacktestService.backtest_strategy"


def _default(method: str, name: str) -> object:
    """A backtest's default of a parameter, as its binding declares it."""
    return parameters("_service", method)[name]["default"]


def _data_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--start", metavar="DATE", help="首日 YYYYMMDD 或 YYYY-MM-DD, 默认取表与数据的共同首日"
    )
    parser.add_argument("--end", metavar="DATE", help="末日, 默认取表与数据的共同末日")
    parser.add_argument("--out", default=".", metavar="DIR", help="图片目录, 默认当前目录")
    parser.add_argument(
        "--name", metavar="NAME", help="图片文件名 (不含扩展名) 与图标题, 默认取文件名"
    )
    parser.add_argument(
        "--store", metavar="DIR", help="预备数据目录, 默认为 morvane prepare 准备的目录"
    )


def _add_factor_arguments(factor: argparse.ArgumentParser) -> None:
    factor.add_argument("factor_file", metavar="FACTOR_FILE", help="因子表文件 (.csv 或 .parquet)")
    groups = parameters("_service", _FACTOR)["group_num"]
    factor.add_argument(
        "--groups",
        type=int,
        default=groups["default"],
        metavar="N",
        help=f"分组数, {groups['range']}, 默认 {groups['default']}",
    )
    factor.add_argument(
        "--universe",
        metavar="CODES",
        help=f"选股范围, 指数代码, 多个用逗号分隔 ({', '.join(UNIVERSES)}); 默认全市场",
    )
    benchmark, layout = _default(_FACTOR, "benchmark"), _default(_FACTOR, "plot")
    factor.add_argument(
        "--benchmark", default=benchmark, metavar="CODE", help=f"对比基准, 默认 {benchmark}"
    )
    factor.add_argument("--ascending", action="store_true", help="因子值越小越好 (默认越大越好)")
    factor.add_argument(
        "--layout", choices=("long", "large"), default=layout, help=f"图形版式, 默认 {layout}"
    )
    horizons = cast("tuple[int, ...]", _default(_FACTOR, "horizons"))
    factor.add_argument(
        "--horizons",
        type=_horizon_list,
        default=horizons,
        metavar="DAYS",
        help="IC 衰减的持有期 (交易日), 逗号分隔, 例如 1,5,10,20; 默认 "
        + ",".join(str(days) for days in horizons),
    )
    every = _default(_FACTOR, "rebalance_every")
    factor.add_argument(
        "--rebalance-every",
        type=int,
        default=every,
        metavar="N",
        help=f"每 N 个交易日重新分组, 其间持有调仓日的分组; 默认 {every} (每日)",
    )
    factor.add_argument(
        "--tear-sheet", action="store_true", help="另画因子分析图 (IC 衰减、月度 IC 热图、各组换手)"
    )
    _data_options(factor)


def _add_strategy_arguments(strategy: argparse.ArgumentParser) -> None:
    strategy.add_argument(
        "weights_file", metavar="WEIGHTS_FILE", help="权重表文件 (.csv 或 .parquet)"
    )
    benchmark, layout = _default(_STRATEGY, "benchmark"), _default(_STRATEGY, "plot")
    strategy.add_argument(
        "--benchmark", default=benchmark, metavar="CODE", help=f"对比基准, 默认 {benchmark}"
    )
    strategy.add_argument(
        "--layout", choices=("large", "long"), default=layout, help=f"图形版式, 默认 {layout}"
    )
    strategy.add_argument(
        "--ffill",
        action="store_true",
        help="权重只在调仓日给出时, 沿用到之后的每个交易日 (否则中间的交易日不计收益)",
    )
    strategy.add_argument(
        "--trades",
        metavar="FILE.csv",
        help="把交易流水 (买入、卖出与隔夜持有, 每行的费用与盈亏) 写成 CSV 文件",
    )
    _data_options(strategy)


# The package's remedy for weights given on rebalance days only is a line of
# Python; on the command line it is an option.
_PYTHON_FFILL = '请先 weights.reindex(trading_days, method="ffill")'
_OPTION_FFILL = "请加 --ffill (把调仓日的权重沿用到之后的每个交易日)"


@contextlib.contextmanager
def _ffill_suggested() -> Iterator[None]:
    """Rewrites the package's sparse-weights warning to name --ffill while the command runs."""
    from ..logger import logger

    def rewrite(record: logging.LogRecord) -> bool:
        if isinstance(record.msg, str) and _PYTHON_FFILL in record.msg:
            record.msg = record.msg.replace(_PYTHON_FFILL, _OPTION_FFILL)
        return True

    logger.addFilter(rewrite)
    try:
        yield
    finally:
        logger.removeFilter(rewrite)


def _prepared_input(
    path: str,
    what: str,
    store: str | None,
    start: str | None,
    end: str | None,
) -> tuple[pd.DataFrame, BacktestData, str, str]:
    """Reads the table, loads the data and settles the date range, all before any backtest."""
    source = f"{what} {path}"
    table = read_wide_table(path, what=what)
    data = load_prepared(store)
    close = data.data.get("close_price")
    if close is None:
        raise CliError("预备数据缺少 close_price: 请重新运行 morvane prepare")
    table = align_codes(table, close.columns, source=source)
    first, last = resolve_range(list(table.index), list(close.index), start, end, source=source)
    return table, data, first, last


def _universe(text: str | None) -> list[str] | None:
    if text is None:
        return None
    return [part.strip() for part in text.split(",") if part.strip()] or None


def _benchmark(code: str, data: BacktestData) -> str:
    # The strategy backtest measures a code the data lacks against a zero
    # benchmark, with a warning; on the command line a mistyped --benchmark
    # stops the run instead, since a warning line would go by unread.
    known = list(data.data.get("benchmark_dict", {}))
    if code not in known:
        raise CliError(f"--benchmark: 预备数据里没有基准 {code}, 可选 {', '.join(map(str, known))}")
    return code


def run_backtest(args: argparse.Namespace) -> int:
    """Runs `morvane backtest FACTOR_FILE`."""
    from ..backtest import _service

    universe = _universe(args.universe)
    factor, data, first, last = _prepared_input(
        args.factor_file, "因子文件", args.store, args.start, args.end
    )
    benchmark = args.benchmark
    name = args.name or Path(args.factor_file).stem
    # The backtest's own check, before anything is drawn or printed; the run
    # is given the same request.
    where = (first, last, Path(args.out), name)
    options = {
        "group_num": args.groups,
        "benchmark": benchmark,
        "universe": universe,
        "ascending": args.ascending,
        "plot": args.layout,
    }
    with refused_as_cli_error({**_OPTIONS, "factor": f"因子文件 {args.factor_file}"}):
        _service._check_factor_request(
            factor,
            data,
            *where,
            **options,
            horizons=args.horizons,
            rebalance_every=args.rebalance_every,
        )
    research = {}
    if args.horizons != (1,) or args.rebalance_every != 1 or args.tear_sheet:
        research = {
            "horizons": args.horizons,
            "rebalance_every": args.rebalance_every,
            "tear_sheet": args.tear_sheet,
        }
    result = run_factor_backtest(
        factor.rename_axis(columns=name), data, *where, **options, **research
    )
    scope = f"选股范围 {','.join(universe)}" if universe else "全市场"
    rows = factor_rows(result, benchmark=benchmark)
    if result.group_daily_return.shape[0] == 0:
        # No group returns (for instance fewer stocks than groups on every
        # day, which the warning above explains): say so once rather than
        # print a column of n/a.
        rows = [(label, value) for label, value in rows if value != "n/a"]
        rows.append(("分组收益", "无, 原因见上方的警告"))
    every = f", 每 {args.rebalance_every} 个交易日调仓" if args.rebalance_every != 1 else ""
    print_table(
        f"因子回测 {name}: {first} 到 {last}, {args.groups} 组{every}, {scope}, 基准 {benchmark}",
        rows,
    )
    if research:
        print()
        print_table("IC 衰减与换手", research_rows(result))
    charts = chart_rows(result.plot_paths)
    if charts:
        print()
        print_table("图片", charts)
    return 0


def run_strategy(args: argparse.Namespace) -> int:
    """Runs `morvane strategy WEIGHTS_FILE`."""
    import morvane

    from ..backtest import _service

    weights, data, first, last = _prepared_input(
        args.weights_file, "权重文件", args.store, args.start, args.end
    )
    name = args.name or Path(args.weights_file).stem
    # The backtest's own check, before anything is drawn or printed; the run
    # is given the same request.
    where = (first, last, Path(args.out), name)
    with refused_as_cli_error({**_OPTIONS, "strategy": f"权重文件 {args.weights_file}"}):
        _service._check_strategy_request(
            weights, data, *where, benchmark=args.benchmark, plot=args.layout
        )
    benchmark = _benchmark(args.benchmark, data)
    if args.ffill:
        days = data.data["close_price"].index
        days = days[(days >= weights.index[0]) & (days <= last)]
        # Whole rows are carried: a cell-wise ffill would revive the stocks a
        # later rebalance dropped (NaN means no position).
        weights = weights.reindex(days, method="ffill")
    ledger = {"record_trades": True} if args.trades else {}
    with _ffill_suggested():
        result = morvane.backtest_strategy(
            weights, data, *where, benchmark=benchmark, plot=args.layout, **ledger
        )
    print_table(f"策略回测 {name}: {first} 到 {last}, 基准 {benchmark}", strategy_rows(result))
    if args.trades:
        trades_file = Path(args.trades)
        trades_file.parent.mkdir(parents=True, exist_ok=True)
        result.trades.to_csv(trades_file, index=False)
        print()
        print_table("交易流水", ledger_rows(result) + [("流水文件", str(trades_file))])
    print()
    print_table("图片", chart_rows(result.plot_paths))
    return 0


FACTOR_COMMAND = Command(
    "backtest",
    help="因子分组回测 (因子表: CSV 或 Parquet)",
    description=(
        "对因子宽表跑分组回测: 文件第一列是日期, 其余列是 6 位股票代码, 值是因子值。"
        "每天按因子值分组, 计算各组收益、Rank IC 与相对基准的表现, 并出图。"
    ),
    add_arguments=_add_factor_arguments,
    run=run_backtest,
)

STRATEGY_COMMAND = Command(
    "strategy",
    help="策略回测 (目标权重表: CSV 或 Parquet)",
    description=(
        "对目标权重表跑策略回测: 文件第一列是日期, 其余列是 6 位股票代码, 值是目标权重 "
        "(空或 0 表示不持有)。T 日的权重在 T+1 日按早盘 VWAP 成交, 200 股整手, "
        "涨跌停与停牌不能成交, 扣佣金与印花税。"
    ),
    add_arguments=_add_strategy_arguments,
    run=run_strategy,
)

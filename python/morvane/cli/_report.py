"""The key figures of a backtest result as printed rows, and the two backtest calls."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from ._common import CliError

if TYPE_CHECKING:
    from ..backtest.result import BacktestResult, StrategyBacktestResult

__all__ = ["run_factor_backtest", "factor_rows", "research_rows", "strategy_rows", "ledger_rows", "chart_rows"]


def run_factor_backtest(*args: Any, **kwargs: Any) -> BacktestResult:
    """Calls morvane.backtest, which a build without the factor backtest lacks."""
    import morvane

    function = getattr(morvane, "backtest", None)
    if not callable(function):
        raise CliError("这个版本的 morvane 没有因子回测 morvane.backtest(...)")
    return function(*args, **kwargs)


def _number(value: Any, digits: int = 4) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    return "n/a" if not math.isfinite(number) else f"{number:.{digits}f}"


def _percent(value: Any, *, points: bool = False) -> str:
    """A fraction (or a number already in percentage points) as "12.34%"."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    if not math.isfinite(number):
        return "n/a"
    return f"{number if points else number * 100.0:.2f}%"


def factor_rows(result: BacktestResult, *, benchmark: str) -> list[tuple[str, str]]:
    """因子回测的关键数字: Rank IC、最佳分组、最高与最低分组净值和相对基准的超额。

    Args:
        result (BacktestResult): morvane.backtest 的结果。
        benchmark (str): 基准代码, 例如 "000300"。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    import pandas as pd

    rows: list[tuple[str, str]] = []
    ic = result.rank_ic
    series = ic["rank_ic"] if isinstance(ic, pd.DataFrame) and "rank_ic" in ic.columns else ic
    if isinstance(series, pd.DataFrame):
        series = series.iloc[:, 0]
    series = pd.to_numeric(series, errors="coerce").dropna()
    mean = series.mean() if len(series) else float("nan")
    std = series.std() if len(series) > 1 else float("nan")
    rows.append(("平均 Rank IC", _number(mean)))
    rows.append(("Rank IC IR", _number(mean / std if std and math.isfinite(std) else float("nan"), 3)))
    rows.append(("Rank IC > 0 的天数占比", _percent((series > 0).mean() if len(series) else float("nan"))))
    cumulative = result.group_cumulative_return
    if cumulative.shape[0] > 0:
        last = cumulative.iloc[-1]
        top, bottom = last.index[-1], last.index[0]
        rows.append((f"第 {top} 组 (因子最高) 期末净值", _number(last.iloc[-1])))
        rows.append((f"第 {bottom} 组 (因子最低) 期末净值", _number(last.iloc[0])))
        rows.append(("交易日", str(cumulative.shape[0])))
    rows.append(("最佳分组", str(result.best_group) if result.best_group != -1 else "n/a"))
    summary = result.benchmark_summary
    if summary is not None and summary.shape[0] > 0:
        row = summary.iloc[0]
        if "benchmark_name" in summary.columns:
            matching = summary[summary["benchmark_name"].astype(str) == benchmark]
            row = matching.iloc[0] if len(matching) else row
        name = row.get("benchmark_name", benchmark)
        rows.append((f"最佳分组相对 {name} 年化超额", _percent(row.get("excess_annual_return"))))
        rows.append((f"最佳分组相对 {name} 超额夏普", _number(row.get("excess_sharpe"), 2)))
        rows.append((f"最佳分组相对 {name} 超额最大回撤", _percent(row.get("excess_max_dd"))))
    return rows


def research_rows(result: BacktestResult) -> list[tuple[str, str]]:
    """IC 衰减、因子秩自相关与最高、最低分组的平均换手。

    Args:
        result (BacktestResult): morvane.backtest 的结果。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    rows: list[tuple[str, str]] = []
    decay = result.ic_decay
    autocorrelation = result.rank_autocorrelation.mean() if len(result.rank_autocorrelation) else None
    for horizon in decay.index:
        ir = _number(decay.loc[horizon, "ir"], 3)
        rows.append((f"{horizon} 日 Rank IC (IR)", f"{_number(decay.loc[horizon, 'mean'])} ({ir})"))
    if autocorrelation is not None:
        for lag, value in autocorrelation.items():
            rows.append((f"因子秩自相关, 滞后 {lag} 日", _number(value, 3)))
    turnover = result.group_turnover
    if len(turnover) > 1:
        mean = turnover.mean()
        rows.append((f"第 {mean.index[-1]} 组 (因子最高) 平均换手", _percent(mean.iloc[-1])))
        rows.append((f"第 {mean.index[0]} 组 (因子最低) 平均换手", _percent(mean.iloc[0])))
    return rows


def ledger_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    """交易流水的合计: 佣金、印花税、成交额、买卖笔数与平均持有天数。

    Args:
        result (StrategyBacktestResult): record_trades=True 的 morvane.backtest_strategy 结果。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    totals = result.trade_totals or {}
    return [
        ("佣金合计", _number(totals.get("commission"), 2)),
        ("印花税合计", _number(totals.get("stamp_duty"), 2)),
        ("成交额合计", _number(totals.get("traded_value"), 2)),
        ("买卖笔数", str(totals.get("trade_count", "n/a"))),
        ("平均持有天数", _number(totals.get("average_holding_days"), 1)),
    ]


def strategy_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    """策略回测的关键数字: 收益、夏普、回撤、超额、胜率、持仓数与换手。

    Args:
        result (StrategyBacktestResult): morvane.backtest_strategy 的结果。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    stats = result.stats
    rows: list[tuple[str, str]] = []
    if len(result.cumulative_return) > 0:
        rows.append(("期末净值", _number(result.cumulative_return.iloc[-1])))
        rows.append(("交易日", str(len(result.daily_return))))
    labels = [
        ("annual_return", "年化收益", lambda v: _percent(v, points=True)),
        ("long_sharp", "夏普比率", lambda v: _number(v, 2)),
        ("max_dd", "最大回撤", _percent),
        ("benchmark_annual_return", "基准年化收益", lambda v: _percent(v, points=True)),
        ("extra_annual_return", "年化超额收益", lambda v: _percent(v, points=True)),
        ("extra_sharp", "超额夏普", lambda v: _number(v, 2)),
        ("extra_max_dd", "超额最大回撤", _percent),
        ("win_rate", "日胜率", _percent),
        ("holding_count", "日均持仓数", lambda v: _number(v, 1)),
        ("turnover", "日均单边换手", _percent),
    ]
    for key, label, fmt in labels:
        if key in stats:
            rows.append((label, fmt(stats[key])))
    return rows


def chart_rows(plot_paths: dict[str, Any], *, prefix: str = "") -> list[tuple[str, str]]:
    """Chart name -> file rows; a factor backtest maps each benchmark to its files."""
    rows: list[tuple[str, str]] = []
    for name, path in plot_paths.items():
        if isinstance(path, dict):
            path = path.get("primary", "")
        if path:
            rows.append((f"{prefix}{name}", str(path)))
    return rows

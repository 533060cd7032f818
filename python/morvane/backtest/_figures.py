"""The key figures of a backtest result: labelled rows, a one-line text and an HTML view.

The command line prints the rows, the result records show the text as their
repr and the HTML in a notebook, so each figure reads the same everywhere.
"""

from __future__ import annotations

import base64
import html
import math
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from .result import BacktestResult, StrategyBacktestResult

__all__ = [
    "factor_rows",
    "research_rows",
    "strategy_rows",
    "ledger_rows",
    "chart_rows",
    "STATS_UNITS",
    "stat_text",
    "html_view",
    "group_label",
]

# The strategy statistics and the scale each is reported in: annual returns
# are percentage points (12.3 means 12.3%), drawdowns, win rates and turnover
# are fractions (0.123 means 12.3%), Sharpe ratios and the correlation are
# plain numbers, the holding count is a number of stocks.
STATS_UNITS: dict[str, str] = {
    "annual_return": "points",
    "long_sharp": "ratio",
    "max_dd": "fraction",
    "benchmark_annual_return": "points",
    "benchmark_sharp": "ratio",
    "extra_annual_return": "points",
    "extra_sharp": "ratio",
    "extra_max_dd": "fraction",
    "return_corr": "ratio",
    "win_rate": "fraction",
    "excess_win_rate": "fraction",
    "holding_count": "count",
    "turnover": "fraction",
}


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


def stat_text(key: str, value: Any) -> str:
    """One statistic in its unit: percentages for points and fractions, plain numbers otherwise."""
    unit = STATS_UNITS.get(key)
    if unit == "points":
        return _percent(value, points=True)
    if unit == "fraction":
        return _percent(value)
    if unit == "count":
        return _number(value, 1)
    if unit == "ratio":
        return _number(value, 2)
    try:
        number = float(value)
    except (TypeError, ValueError):
        return repr(value)
    return f"{number:.4g}" if math.isfinite(number) else "n/a"


def group_label(group: object) -> str:
    """A group's column label in the returns frame: "G1" for group 1."""
    return f"G{group}"


def _rank_ic_series(rank_ic: object) -> pd.Series:
    series = (
        rank_ic["rank_ic"]
        if isinstance(rank_ic, pd.DataFrame) and "rank_ic" in rank_ic.columns
        else rank_ic
    )
    if isinstance(series, pd.DataFrame):
        series = series.iloc[:, 0] if series.shape[1] else pd.Series(dtype="float64")
    if not isinstance(series, pd.Series):
        return pd.Series(dtype="float64")
    return pd.to_numeric(series, errors="coerce").dropna()


def _rank_ic_figures(rank_ic: object) -> tuple[float, float]:
    series = _rank_ic_series(rank_ic)
    mean = float(series.mean()) if len(series) else float("nan")
    std = float(series.std()) if len(series) > 1 else float("nan")
    return mean, (mean / std if std and math.isfinite(std) else float("nan"))


def _primary_summary_row(summary: object, benchmark: str | None) -> pd.Series | None:
    if not isinstance(summary, pd.DataFrame) or summary.shape[0] == 0:
        return None
    row = summary.iloc[0]
    if benchmark is not None and "benchmark_name" in summary.columns:
        matching = summary[summary["benchmark_name"].astype(str) == benchmark]
        row = matching.iloc[0] if len(matching) else row
    return row


def factor_rows(result: BacktestResult, *, benchmark: str | None = None) -> list[tuple[str, str]]:
    """因子回测的关键数字: Rank IC、最佳分组、最高与最低分组净值和相对基准的超额。

    Args:
        result (BacktestResult): morvane.backtest 的结果。
        benchmark (str | None): 基准代码, 例如 "000300"; 默认 None 表示汇总表的第一个基准。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    rows: list[tuple[str, str]] = []
    series = _rank_ic_series(result.rank_ic)
    mean, ir = _rank_ic_figures(result.rank_ic)
    rows.append(("平均 Rank IC", _number(mean)))
    rows.append(("Rank IC IR", _number(ir, 3)))
    rows.append(
        ("Rank IC > 0 的天数占比", _percent((series > 0).mean() if len(series) else float("nan")))
    )
    cumulative = result.group_cumulative_return
    if isinstance(cumulative, pd.DataFrame) and cumulative.shape[0] > 0 and cumulative.shape[1] > 0:
        last = cumulative.iloc[-1]
        top, bottom = last.index[-1], last.index[0]
        rows.append((f"第 {top} 组 (因子最高) 期末净值", _number(last.iloc[-1])))
        rows.append((f"第 {bottom} 组 (因子最低) 期末净值", _number(last.iloc[0])))
        rows.append(("交易日", str(cumulative.shape[0])))
    rows.append(("最佳分组", str(result.best_group) if result.best_group != -1 else "n/a"))
    row = _primary_summary_row(result.benchmark_summary, benchmark)
    if row is not None:
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
        list[tuple[str, str]]: (标签, 数值文本) 行; 记录里没有这些表时为空。
    """
    rows: list[tuple[str, str]] = []
    decay = result.ic_decay
    if isinstance(decay, pd.DataFrame) and {"mean", "ir"} <= set(decay.columns):
        for horizon in decay.index:
            ir = _number(decay.loc[horizon, "ir"], 3)
            rows.append(
                (f"{horizon} 日 Rank IC (IR)", f"{_number(decay.loc[horizon, 'mean'])} ({ir})")
            )
    autocorrelation = result.rank_autocorrelation
    if isinstance(autocorrelation, pd.DataFrame) and len(autocorrelation):
        for lag, value in autocorrelation.mean().items():
            rows.append((f"因子秩自相关, 滞后 {lag} 日", _number(value, 3)))
    turnover = result.group_turnover
    if isinstance(turnover, pd.DataFrame) and len(turnover) > 1 and turnover.shape[1] > 0:
        mean = turnover.mean()
        rows.append((f"第 {mean.index[-1]} 组 (因子最高) 平均换手", _percent(mean.iloc[-1])))
        rows.append((f"第 {mean.index[0]} 组 (因子最低) 平均换手", _percent(mean.iloc[0])))
    return rows


def strategy_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    """策略回测的关键数字: 收益、夏普、回撤、超额、胜率、持仓数与换手。

    Args:
        result (StrategyBacktestResult): morvane.backtest_strategy 的结果。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行。
    """
    stats = result.stats if isinstance(result.stats, Mapping) else {}
    rows: list[tuple[str, str]] = []
    if isinstance(result.cumulative_return, pd.Series) and len(result.cumulative_return) > 0:
        rows.append(("期末净值", _number(result.cumulative_return.iloc[-1])))
        rows.append(("交易日", str(len(result.daily_return))))
    labels = [
        ("annual_return", "年化收益"),
        ("long_sharp", "夏普比率"),
        ("max_dd", "最大回撤"),
        ("benchmark_annual_return", "基准年化收益"),
        ("extra_annual_return", "年化超额收益"),
        ("extra_sharp", "超额夏普"),
        ("extra_max_dd", "超额最大回撤"),
        ("win_rate", "日胜率"),
        ("holding_count", "日均持仓数"),
        ("turnover", "日均单边换手"),
    ]
    for key, label in labels:
        if key in stats:
            rows.append((label, stat_text(key, stats[key])))
    return rows


def ledger_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    """交易流水的合计: 佣金、印花税、成交额、买卖笔数与平均持有天数。

    Args:
        result (StrategyBacktestResult): record_trades=True 的 morvane.backtest_strategy 结果。
    Returns:
        list[tuple[str, str]]: (标签, 数值文本) 行; 没有流水时为空。
    """
    totals = result.trade_totals
    if totals is None:
        return []
    return [
        ("佣金合计", _number(totals.get("commission"), 2)),
        ("印花税合计", _number(totals.get("stamp_duty"), 2)),
        ("成交额合计", _number(totals.get("traded_value"), 2)),
        ("买卖笔数", str(totals.get("trade_count", "n/a"))),
        ("平均持有天数", _number(totals.get("average_holding_days"), 1)),
    ]


def chart_rows(plot_paths: Mapping[str, Any], *, prefix: str = "") -> list[tuple[str, str]]:
    """Chart name -> file rows; a factor backtest's core maps each benchmark to its files."""
    rows: list[tuple[str, str]] = []
    for name, path in plot_paths.items():
        if isinstance(path, dict):
            path = path.get("primary", "")
        if path:
            rows.append((f"{prefix}{name}", str(path)))
    return rows


# ------------------------------------------------------------------ repr text


def _span(index: object) -> str | None:
    """ "20210105..20240116 (747 days)" of a result's date index, or None when empty."""
    if not isinstance(index, pd.Index) or len(index) == 0:
        return None
    first, last = index[0], index[-1]
    text = [
        value.strftime("%Y%m%d") if hasattr(value, "strftime") else str(value)
        for value in (first, last)
    ]
    return f"{text[0]}..{text[1]} ({len(index)} days)"


def _chart_names(plot_paths: object) -> str:
    return repr([str(k) for k in plot_paths]) if isinstance(plot_paths, Mapping) else "[]"


# The statistics a strategy's repr shows, in this order; the HTML view shows all.
_REPR_STATS = (
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "win_rate",
    "turnover",
)


def strategy_repr(result: StrategyBacktestResult) -> str:
    """One line: name, dates, final net value, the key statistics in their units, chart names."""
    parts = [f"strategy_name={result.strategy_name!r}"]
    span = _span(getattr(result.daily_return, "index", None))
    parts.append(f"dates={span}" if span else "dates=None")
    if isinstance(result.cumulative_return, pd.Series) and len(result.cumulative_return) > 0:
        parts.append(f"final_net_value={_number(result.cumulative_return.iloc[-1])}")
    stats = result.stats if isinstance(result.stats, Mapping) else {}
    shown = [key for key in _REPR_STATS if key in stats]
    others = [key for key in stats if key not in STATS_UNITS]
    parts += [f"{key}={stat_text(key, stats[key])}" for key in [*shown, *others]]
    hidden = len(stats) - len(shown) - len(others)
    if hidden:
        parts.append(f"...(+{hidden} stats)")
    parts.append(f"plot_paths={_chart_names(result.plot_paths)}")
    return f"StrategyBacktestResult({', '.join(parts)})"


def factor_repr(result: BacktestResult) -> str:
    """One line: name, dates, groups, best group, rank IC, the primary excess figures, chart names."""
    parts = [f"factor_name={result.factor_name!r}"]
    daily = result.group_daily_return
    span = _span(getattr(daily, "index", None))
    parts.append(f"dates={span}" if span else "dates=None")
    if isinstance(daily, pd.DataFrame):
        parts.append(f"groups={daily.shape[1]}")
    parts.append(f"best_group={result.best_group}")
    mean, ir = _rank_ic_figures(result.rank_ic)
    parts.append(f"rank_ic_mean={_number(mean)}")
    parts.append(f"rank_ic_ir={_number(ir, 3)}")
    row = _primary_summary_row(result.benchmark_summary, None)
    if row is not None:
        parts.append(f"benchmark={str(row.get('benchmark_name', '?'))!r}")
        parts.append(f"excess_annual_return={_percent(row.get('excess_annual_return'))}")
        parts.append(f"excess_sharpe={_number(row.get('excess_sharpe'), 2)}")
    parts.append(f"plot_paths={_chart_names(result.plot_paths)}")
    return f"BacktestResult({', '.join(parts)})"


# ------------------------------------------------------------------ HTML view


def _png_data_uri(path: object) -> str | None:
    """The chart file as a data URI, or None when it is not a readable PNG file."""
    try:
        file = Path(str(path))
        if file.suffix.lower() != ".png" or not file.is_file():
            return None
        payload = file.read_bytes()
    except OSError:
        return None
    if not payload.startswith(b"\x89PNG\r\n\x1a\n"):
        return None
    return "data:image/png;base64," + base64.b64encode(payload).decode("ascii")


def html_view(title: str, rows: list[tuple[str, str]], plot_paths: object) -> str:
    """The figures as a two-column table and each existing PNG chart inline; every text is escaped."""
    cells = "".join(
        f'<tr><th style="text-align:left">{html.escape(label)}</th>'
        f'<td style="text-align:right">{html.escape(value)}</td></tr>'
        for label, value in rows
    )
    parts = [f"<div><strong>{html.escape(title)}</strong>", f"<table>{cells}</table>"]
    charts = chart_rows(plot_paths) if isinstance(plot_paths, Mapping) else []
    for name, path in charts:
        uri = _png_data_uri(path)
        caption = f"{name}: {path}"
        if uri is None:
            parts.append(f"<p>{html.escape(caption)} (文件不存在)</p>")
        else:
            parts.append(
                f'<figure><img src="{uri}" alt="{html.escape(caption, quote=True)}" style="max-width:100%">'
                f"<figcaption>{html.escape(caption)}</figcaption></figure>"
            )
    parts.append("</div>")
    return "".join(parts)


def strategy_html(result: StrategyBacktestResult) -> str:
    stats = result.stats if isinstance(result.stats, Mapping) else {}
    rows = strategy_rows(result)
    shown = {label for label, _ in rows}
    extra = [
        ("基准夏普", "benchmark_sharp"),
        ("与基准日收益相关系数", "return_corr"),
        ("超额日胜率", "excess_win_rate"),
    ]
    rows += [
        (label, stat_text(key, stats[key]))
        for label, key in extra
        if key in stats and label not in shown
    ]
    rows += ledger_rows(result)
    span = _span(getattr(result.daily_return, "index", None))
    title = f"策略回测 {result.strategy_name}" + (f": {span}" if span else "")
    return html_view(title, rows, result.plot_paths)


def factor_html(result: BacktestResult) -> str:
    span = _span(getattr(result.group_daily_return, "index", None))
    title = f"因子回测 {result.factor_name}" + (f": {span}" if span else "")
    return html_view(title, factor_rows(result) + research_rows(result), result.plot_paths)

"""回测的数据与结果记录: 预备数据包、因子分组回测结果与策略回测结果。"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from .ledger import TradeLedger

__all__ = ["BacktestData", "BacktestResult", "StrategyBacktestResult"]

_BENCHMARK_KEY = "benchmark_dict"
_CLOSE_KEY = "close_price"
_MAX_STATS_IN_REPR = 8

# 三个记录都设 eq=False: 字段里是 DataFrame/Series, 它们的 == 逐元素比较并
# 返回一张表, dataclass 生成的 __eq__ 会在 bool(表) 处抛 "truth value is
# ambiguous"。退回到按对象身份比较, 需要比较内容时请对字段用 pandas 的
# .equals 或 pandas.testing。


def _fmt_label(value: object) -> str:
    """日期标签统一成 YYYYMMDD: 索引可能是 Timestamp、整数 20240102 或文本。"""
    if hasattr(value, "strftime"):
        try:
            return value.strftime("%Y%m%d")  # type: ignore[no-any-return]
        except ValueError:  # NaT
            return str(value)
    return str(value)


def _index_range(index: pd.Index) -> str | None:
    """索引首尾的 "a..b" 文本; 空索引返回 None。"""
    if len(index) == 0:
        return None
    try:
        first, last = index.min(), index.max()
    except TypeError:  # 混合类型无法排序时按原顺序取首尾
        first, last = index[0], index[-1]
    return f"{_fmt_label(first)}..{_fmt_label(last)}"


def _describe(obj: object, *, span: bool = True) -> str:
    """表格的一行摘要: 类型、形状与 (按日期索引时的) 索引范围, 绝不输出表体。"""
    if isinstance(obj, pd.DataFrame):
        text = f"DataFrame({obj.shape[0]}x{obj.shape[1]}"
    elif isinstance(obj, pd.Series):
        text = f"Series({len(obj)}"
    elif obj is None:
        return "None"
    else:
        return f"<{type(obj).__name__}>"
    limits = _index_range(obj.index) if span else None
    return f"{text}, {limits})" if limits else f"{text})"


def _fmt_scalar(value: object) -> str:
    if isinstance(value, bool) or value is None:
        return repr(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        number = float(value)
        return repr(number) if not math.isfinite(number) else f"{number:.4g}"
    if isinstance(value, str):
        return repr(value) if len(value) <= 40 else repr(value[:37] + "...")
    return f"<{type(value).__name__}>"


def _series_last(series: object) -> str | None:
    if isinstance(series, pd.Series) and len(series) > 0:
        return _fmt_scalar(series.iloc[-1])
    return None


def _series_mean(obj: object) -> str | None:
    if isinstance(obj, pd.DataFrame) and obj.shape[1] == 1:
        obj = obj.iloc[:, 0]
    if isinstance(obj, pd.Series) and len(obj) > 0 and pd.api.types.is_numeric_dtype(obj):
        return _fmt_scalar(obj.mean())
    return None


def _plot_keys(plot_paths: object) -> str:
    if isinstance(plot_paths, Mapping):
        return repr([str(k) for k in plot_paths])
    return _describe(plot_paths)


@dataclass(kw_only=True, eq=False)
class BacktestData:
    """预备好的回测数据包: 数据集名 -> 日期 x 股票的表, 外加基准收益。

    Args:
        data (dict): 数据集名到 pandas.DataFrame (行是日期, 列是股票) 的映射,
            例如 {"close_price": df, ...}; 键 "benchmark_dict" 对应
            {指数代码: pandas.Series 日收益率}, 例如 {"000300": s}。
    Returns:
        BacktestData: 可 pickle 的数据包, repr 只给出规模摘要。
    Raises:
        TypeError: data 不是映射。
    """

    data: dict[str, Any]

    def __post_init__(self) -> None:
        if not isinstance(self.data, Mapping):
            raise TypeError(f"data 应为 dict, 实际为 {type(self.data).__name__}")

    def __repr__(self) -> str:
        datasets = sum(1 for key in self.data if key != _BENCHMARK_KEY)
        close = self.data.get(_CLOSE_KEY)
        dates: str | None = None
        stocks: int | None = None
        if isinstance(close, pd.DataFrame):
            dates = _index_range(close.index)
            stocks = close.shape[1]
        benchmarks = self.data.get(_BENCHMARK_KEY)
        names = [str(k) for k in benchmarks] if isinstance(benchmarks, Mapping) else []
        return (
            f"BacktestData(datasets={datasets}, dates={dates}, "
            f"stocks={stocks}, benchmarks={names!r})"
        )


@dataclass(kw_only=True, eq=False)
class BacktestResult:
    """单因子分组回测的结果。

    Args:
        factor_name (str): 因子名, 例如 "momentum_20d"。
        best_group (int | float): 表现最好的分组编号, 例如 10。
        group_daily_return (pd.DataFrame): 日期 x 分组的日收益率。
        group_cumulative_return (pd.DataFrame): 日期 x 分组的累计收益。
        rank_ic (pd.DataFrame | pd.Series): 逐日 Rank IC。
        benchmark_summary (pd.DataFrame): 相对各基准的汇总指标。
        plot_paths (dict): 图名到图片文件路径的映射, 默认空, 例如 {"nav": "out/nav.png"};
            画了因子分析图 (tear_sheet=True) 时另有 "tear_sheet"。
        rank_ic_by_horizon (pd.DataFrame): 日期 x 持有期 (列名 "horizon", 交易日) 的 Rank IC:
            因子与次日开盘到 h 日后开盘收益的 Spearman 相关; 持有期 1 即 rank_ic。默认空表。
        ic_decay (pd.DataFrame): 按持有期的 IC 衰减表, 列 "mean"、"std"、"ir"、"t_stat"、"count"
            (t 值按逐日 IC 计算, 持有期重叠时偏高)。默认空表。
        monthly_ic (pd.DataFrame): 年 x 月 (1..12) 的平均 Rank IC。默认空表。
        rank_autocorrelation (pd.DataFrame): 日期 x 滞后期 (列名 "lag": 1 与各持有期) 的因子秩自相关:
            当日与 lag 个交易日前因子的 Spearman 相关。默认空表。
        group_turnover (pd.DataFrame): 调仓日 x 分组: 组内新进股票占比 (首个调仓日为 NaN)。默认空表。
        group_counts (pd.DataFrame): 调仓日 x 分组的股票数。默认空表。
    Returns:
        BacktestResult: 结果记录, repr 只给出形状与日期范围。
    Raises:
        TypeError: 未按关键字传参或缺少必填字段。
    """

    factor_name: str
    best_group: int | float
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.DataFrame | pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, Any] = field(default_factory=dict)
    rank_ic_by_horizon: pd.DataFrame = field(default_factory=pd.DataFrame)
    ic_decay: pd.DataFrame = field(default_factory=pd.DataFrame)
    monthly_ic: pd.DataFrame = field(default_factory=pd.DataFrame)
    rank_autocorrelation: pd.DataFrame = field(default_factory=pd.DataFrame)
    group_turnover: pd.DataFrame = field(default_factory=pd.DataFrame)
    group_counts: pd.DataFrame = field(default_factory=pd.DataFrame)

    def __repr__(self) -> str:
        parts = [
            f"factor_name={_fmt_scalar(self.factor_name)}",
            f"best_group={_fmt_scalar(self.best_group)}",
            f"group_daily_return={_describe(self.group_daily_return)}",
            f"group_cumulative_return={_describe(self.group_cumulative_return)}",
            f"rank_ic={_describe(self.rank_ic)}",
        ]
        mean = _series_mean(self.rank_ic)
        if mean is not None:
            parts.append(f"rank_ic_mean={mean}")
        parts.append(f"benchmark_summary={_describe(self.benchmark_summary, span=False)}")
        parts.append(f"plot_paths={_plot_keys(self.plot_paths)}")
        return f"BacktestResult({', '.join(parts)})"


@dataclass(kw_only=True, eq=False)
class StrategyBacktestResult:
    """策略回测的结果。

    Args:
        strategy_name (str): 策略名, 例如 "top50_equal_weight"。
        daily_return (pd.Series): 按日期索引的组合日收益率。
        cumulative_return (pd.Series): 按日期索引的组合累计收益。
        stats (dict): 汇总指标, 例如 {"annual_return": 0.12, "max_drawdown": -0.2}。
        benchmark_summary (pd.DataFrame): 相对各基准的汇总指标。
        plot_paths (dict): 图名到图片文件路径的映射, 默认空。
        ledger (TradeLedger | None): 交易流水 (record_trades=True 时), 默认 None。属性 trades
            (每行一笔买入、卖出或隔夜持有: "date"、"code"、"side"、"shares"、"price"、"commission"、
            "stamp_duty"、"dividend"、"split_effect"、"pnl"; 每日 pnl 之和 / total_money 等于当日
            daily_return)、positions (日期 x 股票的每日持股数) 与 trade_totals (佣金、印花税、成交额、
            平均持有天数与买卖笔数) 即它的 trades、positions 与 totals, 没有流水时为 None。
    Returns:
        StrategyBacktestResult: 结果记录, repr 只给出长度、日期范围与标量指标。
    Raises:
        TypeError: 未按关键字传参或缺少必填字段。
    """

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, Any]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, Any] = field(default_factory=dict)
    ledger: TradeLedger | None = None

    @property
    def trades(self) -> pd.DataFrame | None:
        """交易流水表 (ledger.trades), 没有流水时为 None。"""
        return None if self.ledger is None else self.ledger.trades

    @property
    def positions(self) -> pd.DataFrame | None:
        """日期 x 股票的每日持股数 (ledger.positions), 没有流水时为 None。"""
        return None if self.ledger is None else self.ledger.positions

    @property
    def trade_totals(self) -> dict[str, Any] | None:
        """交易合计 (ledger.totals), 没有流水时为 None。"""
        return None if self.ledger is None else self.ledger.totals

    def __repr__(self) -> str:
        parts = [
            f"strategy_name={_fmt_scalar(self.strategy_name)}",
            f"daily_return={_describe(self.daily_return)}",
            f"cumulative_return={_describe(self.cumulative_return)}",
        ]
        final = _series_last(self.cumulative_return)
        if final is not None:
            parts.append(f"final={final}")
        if isinstance(self.stats, Mapping):
            items = list(self.stats.items())
            shown = ", ".join(f"{k!r}: {_fmt_scalar(v)}" for k, v in items[:_MAX_STATS_IN_REPR])
            more = f", ...(+{len(items) - _MAX_STATS_IN_REPR})" if len(items) > _MAX_STATS_IN_REPR else ""
            parts.append(f"stats={{{shown}{more}}}")
        else:
            parts.append(f"stats={_describe(self.stats)}")
        parts.append(f"benchmark_summary={_describe(self.benchmark_summary, span=False)}")
        parts.append(f"plot_paths={_plot_keys(self.plot_paths)}")
        return f"StrategyBacktestResult({', '.join(parts)})"

"""回测的数据与结果记录: 预备数据包、因子分组回测结果与策略回测结果。"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from . import _figures
from .ledger import TradeLedger

__all__ = ["BacktestData", "BacktestResult", "StrategyBacktestResult"]

_BENCHMARK_KEY = "benchmark_dict"
_CLOSE_KEY = "close_price"

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


def _with_date_index(frame: pd.DataFrame) -> pd.DataFrame:
    """The frame on calendar dates: "YYYYMMDD" labels become a naive DatetimeIndex named "date"."""
    index = frame.index
    if isinstance(index, pd.DatetimeIndex):
        dates = index.tz_localize(None) if index.tz is not None else index
    else:
        dates = pd.to_datetime(pd.Index(index).astype(str), format="%Y%m%d")
    frame.index = pd.DatetimeIndex(dates, name="date")
    frame.columns.name = None
    return frame


def _returns_frame(
    frame: pd.DataFrame, benchmark_return: pd.Series | None, measured: str
) -> pd.DataFrame:
    """A record's returns_frame: `frame` (its daily returns) with, when the record has a
    benchmark, "benchmark" on the frame's dates and "excess", column `measured` minus it
    (NaN without that column), then on calendar dates."""
    if benchmark_return is not None:
        benchmark = benchmark_return.reindex(frame.index).astype("float64")
        frame["benchmark"] = benchmark.to_numpy()
        if measured in frame.columns:
            frame["excess"] = frame[measured] - frame["benchmark"]
        else:
            frame["excess"] = float("nan")
    return _with_date_index(frame)


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

    收益都是以各组模拟资金为分母的日收益率 (小数, 0.01 即 1%), 行标签是 "YYYYMMDD" 文本;
    returns_frame() 给出按日期时间索引的同一组数, 可以直接交给 pyfolio、quantstats、empyrical。

    Args:
        factor_name (str): 因子名, 例如 "momentum_20d"。
        best_group (int | float): 表现最好的分组编号, 例如 10; 没有时为 -1。
        group_daily_return (pd.DataFrame): 日期 x 分组 (1 到 group_num) 的日收益率。
        group_cumulative_return (pd.DataFrame): 日期 x 分组的累计净值。
        rank_ic (pd.DataFrame | pd.Series): 逐日 Rank IC ("rank_ic" 与行业中性的
            "industry_neutral_rank_ic" 两列)。
        benchmark_summary (pd.DataFrame): 最佳分组相对各基准的汇总指标, 每个基准一行:
            "benchmark_name"、"benchmark_annual_return" (小数)、"excess_annual_return" (小数)、
            "excess_sharpe"、"excess_max_dd" (小数, 0 或负数); 第一行是主基准。
        plot_paths (dict): 基准代码到图片文件路径的映射, 默认空, 例如 {"000300": "out/alpha.png"};
            画了因子分析图 (tear_sheet=True) 时另有 "tear_sheet"。
        benchmark_return (pd.Series | None): 主基准在同样日期上的日收益率 (名为基准代码),
            数据缺少的日期为 NaN; 默认 None 表示没有。
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
        BacktestResult: 结果记录; repr 给出日期、分组数、最佳分组、Rank IC 与主基准超额等关键数字,
            Jupyter 里另显示关键数字表与内嵌的图片。
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
    benchmark_return: pd.Series | None = None

    def returns_frame(self) -> pd.DataFrame:
        """按日期时间索引的日收益表, pyfolio、quantstats、empyrical 可以直接使用。

        列: 每组一列 ("G1" 到 "G{group_num}"), "benchmark" (主基准, 记录里有主基准时),
        "excess" (最佳分组减主基准)。值都是日收益率的小数 (0.01 即 1%), 以各组固定的模拟资金
        为分母 (不复利); 索引是不带时区的 pandas.DatetimeIndex, 名为 "date"。例如
        ``empyrical.sharpe_ratio(result.returns_frame()["G10"])``。

        Args:
            无。
        Returns:
            pandas.DataFrame: 新表, 改动它不影响记录。
        Raises:
            ValueError: 日期标签无法识别。
        """
        groups = self.group_daily_return.astype("float64")
        frame = groups.set_axis([_figures.group_label(g) for g in groups.columns], axis=1)
        best = _figures.group_label(self.best_group)
        return _returns_frame(frame, self.benchmark_return, best)

    def __repr__(self) -> str:
        return _figures.factor_repr(self)

    def _repr_html_(self) -> str:
        return _figures.factor_html(self)


@dataclass(kw_only=True, eq=False)
class StrategyBacktestResult:
    """策略回测的结果。

    收益都是以固定资金 total_money 为分母的日收益率 (小数, 0.01 即 1%; 不复利), 行标签是
    "YYYYMMDD" 文本; returns_frame() 给出按日期时间索引的同一组数, 可以直接交给 pyfolio、
    quantstats、empyrical。

    stats 的 13 个键与单位 (年化收益是百分点, 回撤、胜率、换手是小数):

    - "annual_return": 策略年化收益, 百分点 (12.3 即 12.3%), 总收益 / 年数 (每年 252 个交易日)。
    - "long_sharp": 策略日收益的年化夏普比率。
    - "max_dd": 策略最大回撤, 小数, 正数 (0.2 即净值从高点回落 20%)。
    - "benchmark_annual_return": 基准年化收益, 百分点。
    - "benchmark_sharp": 基准的年化夏普比率。
    - "extra_annual_return": 超额 (策略减基准) 年化收益, 百分点。
    - "extra_sharp": 超额日收益的年化夏普比率。
    - "extra_max_dd": 超额最大回撤, 小数, 正数。
    - "return_corr": 策略与基准日收益的相关系数, [-1, 1]。
    - "win_rate": 策略日收益为正的天数占比, 小数。
    - "excess_win_rate": 超额日收益为正的天数占比, 小数。
    - "holding_count": 平均每天有权重的股票数 (只)。
    - "turnover": 平均每天的单边换手, 小数 (权重变化绝对值之和的一半)。

    没有可回测的数据时 13 个值都是 NaN。例如 {"annual_return": 12.3, "max_dd": 0.2, ...}
    表示年化收益 12.3%、最大回撤 20%。

    Args:
        strategy_name (str): 策略名, 例如 "top50_equal_weight"。
        daily_return (pd.Series): 按日期索引的组合日收益率。
        cumulative_return (pd.Series): 按日期索引的组合净值, 首日为 1。
        stats (dict): 上面的 13 个汇总指标。
        benchmark_summary (pd.DataFrame): 相对各基准的汇总指标, 每个基准一行: "benchmark_name"、
            "benchmark_annual_return" (小数)、"excess_annual_return" (小数)、"excess_sharpe"、
            "excess_max_dd" (小数, 0 或负数)。注意单位与 stats 不同。
        plot_paths (dict): 图名到图片文件路径的映射, 默认空, 例如
            {"main": "out/top.png", "weekly_net_value": "out/top_weekly_net_value.png"}。
        benchmark_return (pd.Series | None): 所选基准在同样日期上的日收益率 (名为基准代码);
            数据里没有该基准时为 0 (回测也按 0 计算); 默认 None 表示没有。
        ledger (TradeLedger | None): 交易流水 (record_trades=True 时), 默认 None。属性 trades
            (每行一笔买入、卖出或隔夜持有: "date"、"code"、"side"、"shares"、"price"、"commission"、
            "stamp_duty"、"dividend"、"split_effect"、"pnl"; 每日 pnl 之和 / total_money 等于当日
            daily_return)、positions (日期 x 股票的每日持股数) 与 trade_totals (佣金、印花税、成交额、
            平均持有天数与买卖笔数) 即它的 trades、positions 与 totals, 没有流水时为 None;
            positions_frame() 给出 pyfolio 所要的每日持仓市值与现金。
    Returns:
        StrategyBacktestResult: 结果记录; repr 给出日期、期末净值与主要指标 (按各自单位),
            Jupyter 里另显示关键数字表与内嵌的图片。
    Raises:
        TypeError: 未按关键字传参或缺少必填字段。
    """

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, Any]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, Any] = field(default_factory=dict)
    benchmark_return: pd.Series | None = None
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

    def returns_frame(self) -> pd.DataFrame:
        """按日期时间索引的日收益表, pyfolio、quantstats、empyrical 可以直接使用。

        列: "strategy" (策略), "benchmark" (所选基准, 记录里有基准时), "excess" (策略减基准)。
        值都是日收益率的小数 (0.01 即 1%), 以固定资金为分母 (不复利); 索引是不带时区的
        pandas.DatetimeIndex, 名为 "date"。例如
        ``frame = result.returns_frame(); quantstats.reports.html(frame["strategy"], frame["benchmark"])``。

        Args:
            无。
        Returns:
            pandas.DataFrame: 新表, 改动它不影响记录。
        Raises:
            ValueError: 日期标签无法识别。
        """
        strategy = self.daily_return.astype("float64")
        frame = pd.DataFrame({"strategy": strategy.to_numpy()}, index=strategy.index)
        return _returns_frame(frame, self.benchmark_return, "strategy")

    def positions_frame(self) -> pd.DataFrame:
        """按日期时间索引的每日持仓市值与现金, 即 pyfolio 的 positions 布局 (需要 record_trades=True)。

        列: 回测中持有过的每只股票 (代码), 值为当日收盘时持仓的市值 (元, 持股数 x 收盘价; 停牌没有
        收盘价的日子用最近的收盘价, 不持有为 0), 最后一列 "cash" 为现金: total_money 加上至今各日的
        盈亏, 减去股票市值 (分红与拆分带来的价值都在其中)。每行之和是组合当日的总值, 即
        total_money x (1 + 至今 daily_return 之和); 索引与 returns_frame() 相同。例如
        ``pyfolio.create_full_tear_sheet(frame["strategy"], positions=result.positions_frame())``,
        其中 ``frame = result.returns_frame()``; 成交记录可由 trades 中 side 不是 "hold" 的行得到。

        Args:
            无。
        Returns:
            pandas.DataFrame: 新表, 改动它不影响记录。
        Raises:
            ValueError: 回测时没有记录交易流水 (record_trades=False), 或日期标签无法识别。
        """
        if self.ledger is None:
            raise ValueError("没有交易流水: positions_frame() 需要回测时传 record_trades=True")
        return _with_date_index(self.ledger.values.astype("float64"))

    def __repr__(self) -> str:
        return _figures.strategy_repr(self)

    def _repr_html_(self) -> str:
        return _figures.strategy_html(self)

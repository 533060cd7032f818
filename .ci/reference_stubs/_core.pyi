"""因子分组回测核心与策略回测共用的辅助函数。"""

from collections.abc import Sequence
import os

import pandas


def safe_sharpe(series: object, periods: float = 252) -> float:
    """
    年化夏普比率: 均值 / 样本标准差 (ddof=1) × sqrt(periods)。

    Args:
        series (pandas.Series | numpy.ndarray | Sequence[float]): 日收益序列, 例如 [0.01, -0.002]。
        periods (float): 每年期数, 默认 252。

    Returns:
        float: 年化夏普比率; 少于两个值、标准差为 0 或非有限时为 NaN。对空序列或常数序列不报错。

    Raises:
        TypeError: periods 不是数值。
        ValueError: series 含无法转换为数值的数据。
    """

def run_alpha_vwap_backtest_core(*, factor_matrix: pandas.DataFrame, industry_matrix: pandas.DataFrame | None = None, close_price_valid: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, benchmark_dict: dict[str, pandas.Series] | None = None, forward_return_rank_cache: pandas.DataFrame | None = None, open_price: pandas.DataFrame | None = None, benchmark_names: str | list[str] | None = '000852', rolling_window: int = 0, ascending: bool = False, group_num: int = 20, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot_image_kind: str | None = 'long', plot_save_path: str | os.PathLike | None = None, factor_name: str = 'factor', plot_title: str | None = None, horizons: int | Sequence[int] = (1,), rebalance_every: int = 1, tear_sheet: bool = False) -> object:
    """
    因子分组回测: 每日按因子把股票分组, 各组等权持仓按早盘 VWAP 成交, 并计算 Rank IC 与基准对比。

    因子先按 close_price 的日期与股票对齐; 没有因子行的日期不分组。每日可入组的股票为因子有限且
    close_price_valid 非 NaN 者; 共 k 只、n 组, k < n 时当日不分组, 否则按因子排序 (ascending 为
    False 时因子越大组号越大; 相同因子按列顺序), 第 r 名进入第 floor((r-1)n/k)+1 组。每组是资金为
    total_money 的等权组合 (组内每只 1/k_g), 与 calc_strategy_vwap_daily_return 同样交易: 次日
    成交、200 股整手、涨跌停与停牌、拆分、分红、费用。收益从首个分组日的下一日起, 到最后一个分组
    日为止。Rank IC: 第 T 日因子与 T+1 开盘到 T+2 开盘收益的 Spearman 相关, 只用当日可入组且有远期
    收益的股票 (forward_return_rank_cache 在该集合内重新排序; 无缓存时由 open_price 计算)。

    Args:
        factor_matrix (pandas.DataFrame): 日期 × 股票因子值, 例如行 "20240102"、列 "000001"。
        industry_matrix (pandas.DataFrame | None): 日期 × 股票行业代码; 给出时另算行业中性 IC。
        close_price_valid (pandas.DataFrame): 日期 × 股票, 非 NaN 表示在选股范围内且有收盘价。
        can_buy_stock (pandas.DataFrame): True 表示当日可买入。
        cant_sell_stock (pandas.DataFrame): True 表示当日不可卖出。
        split_factor (pandas.DataFrame): 每股拆分后股数, NaN 表示无拆分。
        dividend_factor (pandas.DataFrame): 每股现金分红, NaN 表示无分红。
        close_price (pandas.DataFrame): 收盘价; 其日期与股票决定回测范围。
        prev_close (pandas.DataFrame): 前收盘价。
        buy_price (pandas.DataFrame): 买入成交价 (早盘 VWAP)。
        sell_price (pandas.DataFrame): 卖出成交价 (早盘 VWAP)。
        benchmark_dict (dict[str, pandas.Series] | None): 基准代码 → 日收益序列。
        forward_return_rank_cache (pandas.DataFrame | None): 每日远期开盘收益的全市场排名。
        open_price (pandas.DataFrame | None): 开盘价, 无排名缓存时用来计算远期收益。
        benchmark_names (str | list[str] | None): "all" 或 None 表示全部基准; 文本为单个代码;
            列表为多个代码 (去重)。benchmark_dict 为 None 时不使用。默认 "000852"。
        rolling_window (int): 因子滚动均值窗口, 0 或 1 不平滑, 默认 0。
        ascending (bool): True 时因子越大组号越小, 默认 False。
        group_num (int): 分组数, 取值 [2, 100], 默认 20。
        total_money (float): 每组资金, 默认 1e8。
        fee (float): 佣金费率, [0, 1), 默认 1e-4。
        rule_fee (float): 卖出印花税率, [0, 1), 默认 5e-4。
        plot_image_kind (str | None): 图表版式 "long" (默认) 或 "large"; None 不出图。
        plot_save_path (str | os.PathLike | None): 图表文件; None 不出图。多个基准时每个基准
            写到同目录的 "{stem}_{code}.png"。目录不存在时创建。
        factor_name (str): 因子名称, 默认 "factor"。
        plot_title (str | None): 图表标题, None 或空文本时用 factor_name。

    Returns:
        _GroupBacktestResult: plot_paths ({名称: {"primary": 路径}}), best_group (平均日收益最高的
        组号, 相同时取小号; 无收益时为 NaN), group_daily_return 与 group_cumulative_return (日期 ×
        组号 1..n; 累计为 1 + 累加, 不复利), rank_ic (按日期, 列 "rank_ic" 以及有行业时的
        "industry_neutral_rank_ic"; 无远期收益数据时为空表), group_matrix (日期 × 股票组号, 不在组内为
        NaN), 以及方法 benchmark_summary()。

    Raises:
        TypeError: 某张表不是 DataFrame, benchmark_dict 不是 dict, 或其它参数类型错误。
        ValueError: group_num 不在 [2, 100] ("group_num 取值范围 [2, 100]"); total_money 非正或非有限;
            fee、rule_fee 为 NaN、负数或不小于 1; rolling_window 为负; 因子含非数值列; 基准代码不在
            benchmark_dict 中; plot_image_kind 不是 "long" 或 "large"。
        MorvaneError: 计算失败。
    """

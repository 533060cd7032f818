// Docstrings of morvane.backtest._ravelle.
#pragma once

namespace morvane::doc {

inline constexpr const char* kRavelleModule =
    "策略回测计算核心: 早盘 VWAP 成交的每日收益引擎、统计、年度指标与图表。";

inline constexpr const char* kRavelleResult = R"(策略回测核心的结果记录 (包内部使用)。

字段依次为 strategy_name (str)、daily_return (pandas.Series)、cumulative_return (pandas.Series,
净值, 从 1.0 开始)、stats (dict)、benchmark_summary (pandas.DataFrame)、plot_paths (dict[str, str])。
所有字段都必须给出, 按关键字传入。
)";

inline constexpr const char* kDailyReturn = R"(按早盘 VWAP 成交计算一个策略组合的每日收益。

T-1 日的目标权重在 T 日以 VWAP 成交: 目标股数 = floor(total_money × 权重 / (前收盘价 × lot_size))
× lot_size (向下取整到整手, 负权重为空头); 可买掩码为 False 时不买入、不可卖掩码为 True 时不卖出,
差额在之后的交易日重新计算。持仓按前收盘价估值到收盘价, 拆分日按拆分系数放大, 持有或卖出的股份
获得当日现金分红 (当日买入的不获得)。买卖付佣金 fee, 卖出另付印花税 rule_fee。资金不复利: 每日
收益 = 当日盈亏 / total_money。

权重表开头整行缺失的日期不产生收益; 之后整行缺失的日期表示空仓: 全部目标为 0, 可卖的持仓卖出,
该日照常计算收益。

Args:
    signal_matrix (pandas.DataFrame): 日期 × 股票的目标权重 (占 total_money 的比例), NaN 表示不持仓。
    can_buy_stock (pandas.DataFrame): 日期 × 股票, True 表示当日可买入。
    cant_sell_stock (pandas.DataFrame): 日期 × 股票, True 表示当日不可卖出。
    split_factor (pandas.DataFrame): 日期 × 股票, 每股拆分后的股数, NaN 表示无拆分, 例如 2.0。
    dividend_factor (pandas.DataFrame): 日期 × 股票, 每股现金分红, NaN 表示无分红。
    close_price (pandas.DataFrame): 日期 × 股票, 收盘价。
    prev_close (pandas.DataFrame): 日期 × 股票, 前收盘价 (持仓估值基准与下单价)。
    buy_price (pandas.DataFrame): 日期 × 股票, 买入成交价 (早盘 VWAP)。
    sell_price (pandas.DataFrame): 日期 × 股票, 卖出成交价 (早盘 VWAP)。
    total_money (float): 名义资金, 默认 1e8, 须为正的有限数。
    fee (float): 佣金费率, 买卖双向收取, 默认 1e-4, 取值 [0, 1)。
    rule_fee (float): 印花税率, 仅卖出收取, 默认 5e-4, 取值 [0, 1)。
    lot_size (int): 每手股数, 默认 200, 须不小于 1, 例如 100。

Returns:
    pandas.Series: 以交易日为索引的 float64 日收益 (无名称); 没有可交易的权重时为空的 float64 序列。
    输入表不会被修改。

Raises:
    TypeError: 某个矩阵不是 pandas.DataFrame, 或某个数值参数不是数值。
    ValueError: 权重含非数值数据 (消息中给出列名)、某张表的标签有重复, 或 total_money、fee、
        rule_fee、lot_size 超出取值范围。
)";

inline constexpr const char* kSmoothWeights = R"(对目标权重做滚动平均平滑。

Args:
    strategy_matrix (pandas.DataFrame): 日期 × 股票的目标权重。
    rolling_window (int): 窗口长度; 不大于 1 时不平滑, 例如 5。

Returns:
    pandas.DataFrame: rolling_window <= 1 时返回输入本身 (同一对象); 否则缺失权重按 0 计, 取最近
    rolling_window 行的均值, 去掉前 rolling_window - 1 个整行缺失的日期, 均值恰为 0 的位置为 NaN。

Raises:
    TypeError: strategy_matrix 不是 pandas.DataFrame, 或 rolling_window 不是数值。
)";

}  // namespace morvane::doc

// Docstrings of morvane.backtest._core.
#pragma once

namespace morvane::doc {

inline constexpr const char* kCoreModule = "因子分组回测核心与策略回测共用的辅助函数。";

inline constexpr const char* kBuildMarketArrays =
    R"(把八张行情矩阵按标签对齐到给定的交易日与股票, 返回引擎使用的数组。

Args:
    index (pandas.Index | Sequence): 交易日行标签, 例如 ["20240102", "20240103"]。
    columns (pandas.Index | Sequence): 股票代码列标签, 例如 ["000001", "600000"]。
    can_buy_stock (pandas.DataFrame): 日期 × 股票, True 表示当日可买入。
    cant_sell_stock (pandas.DataFrame): 日期 × 股票, True 表示当日不可卖出。
    split_factor (pandas.DataFrame): 日期 × 股票, 每股拆分后的股数, NaN 表示无拆分。
    dividend_factor (pandas.DataFrame): 日期 × 股票, 每股现金分红, NaN 表示无分红。
    close_price (pandas.DataFrame): 日期 × 股票, 收盘价。
    prev_close (pandas.DataFrame): 日期 × 股票, 前收盘价 (估值基准与下单价)。
    buy_price (pandas.DataFrame): 日期 × 股票, 买入成交价 (早盘 VWAP)。
    sell_price (pandas.DataFrame): 日期 × 股票, 卖出成交价 (早盘 VWAP)。

Returns:
    dict[str, numpy.ndarray]: 键依次为 "prev_close_arr"、"can_buy_arr"、"cant_sell_arr"、
    "close_arr"、"buy_price_arr"、"sell_price_arr"、"split_arr"、"dividend_arr",
    每个数组形状为 (len(index), len(columns))。两个标志数组为 bool, 其余为 float64,
    缺失值为 NaN。某张表缺少的日期或股票视为不可交易: can_buy_arr 为 False,
    cant_sell_arr 为 True, 数值为 NaN。若某张表的标签恰好与目标一致, 返回的是该表数据的
    只读视图, 不复制; 否则返回新数组。非 bool 的标志表按数值读取: 非零为 True, 缺失值按
    不可交易处理。

Raises:
    TypeError: 某张行情表不是 pandas.DataFrame。
    ValueError: 某张表含非数值数据, 或其行/列标签有重复。
)";

inline constexpr const char* kWithDatetimeIndex =
    R"(把以 "YYYYMMDD" 文本为行标签的表换成按日期升序的 DatetimeIndex。

Args:
    table (pandas.DataFrame | pandas.Series): 行标签为 "YYYYMMDD" 文本 (或同样数字的整数) 的表。

Returns:
    pandas.DataFrame | pandas.Series: 列不变、行索引为同样日期的 DatetimeIndex (升序) 的新对象,
    与输入共享数据 (只读使用); 输入为空时返回空表。

Raises:
    TypeError: table 不是 DataFrame 或 Series。
    ValueError: 行标签不是有效的 YYYYMMDD 日期。
)";

inline constexpr const char* kSafeSharpe =
    R"(年化夏普比率: 均值 / 样本标准差 (ddof=1) × sqrt(periods)。

Args:
    series (pandas.Series | numpy.ndarray | Sequence[float]): 日收益序列, 例如 [0.01, -0.002]。
    periods (float): 每年期数, 默认 252。

Returns:
    float: 年化夏普比率; 少于两个值、标准差为 0 或非有限时为 NaN。对空序列或常数序列不报错。

Raises:
    TypeError: periods 不是数值。
    ValueError: series 含无法转换为数值的数据。
)";

}  // namespace morvane::doc

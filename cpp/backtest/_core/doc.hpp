// Docstrings of morvane.backtest._core.
#pragma once

#include "pyglue/backtest_params.hpp"

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

inline constexpr pyglue::FunctionDoc kRunAlphaVwapBacktestCore{
    R"(因子分组回测: 每日按因子把股票分组, 各组等权持仓按早盘 VWAP 成交, 并计算 Rank IC 与基准对比。

因子先按 close_price 的日期与股票对齐; 没有因子行的日期不分组。每日可入组的股票为因子有限且
close_price_valid 非 NaN 者; 共 k 只、n 组, k < n 时当日不分组, 否则按因子排序 (ascending 为
False 时因子越大组号越大; 相同因子按列顺序), 第 r 名进入第 floor((r-1)n/k)+1 组。每组是资金为
total_money 的等权组合 (组内每只 1/k_g), 与 calc_strategy_vwap_daily_return 同样交易: 次日
成交、200 股整手、涨跌停与停牌、拆分、分红、费用。收益从首个分组日的下一日起, 到最后一个分组
日为止。Rank IC: 第 T 日因子与 T+1 开盘到 T+2 开盘收益的 Spearman 相关, 只用当日可入组且有远期
收益的股票 (forward_return_rank_cache 在该集合内重新排序; 无缓存时由 open_price 计算)。)",
    R"(Returns:
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
)"};

namespace params = pyglue::params;

inline constexpr const char* kFrame = "pandas.DataFrame";
inline constexpr const char* kOptionalFrame = "pandas.DataFrame | None";

// Every argument is keyword-only.
inline constexpr pyglue::ParamTable<28> kRunAlphaVwapBacktestCoreParams{
    "run_alpha_vwap_backtest_core",
    {{
        {"factor_matrix", kFrame, pyglue::required(), nullptr,
         "日期 × 股票因子值, 例如行 \"20240102\"、列 \"000001\""},
        {"industry_matrix", kOptionalFrame, pyglue::none_default(), nullptr,
         "日期 × 股票行业代码; 给出时另算行业中性 IC"},
        {"close_price_valid", kFrame, pyglue::required(), nullptr,
         "日期 × 股票, 非 NaN 表示在选股范围内且有收盘价"},
        {"can_buy_stock", kFrame, pyglue::required(), nullptr, "True 表示当日可买入"},
        {"cant_sell_stock", kFrame, pyglue::required(), nullptr, "True 表示当日不可卖出"},
        {"split_factor", kFrame, pyglue::required(), nullptr, "每股拆分后股数, NaN 表示无拆分"},
        {"dividend_factor", kFrame, pyglue::required(), nullptr, "每股现金分红, NaN 表示无分红"},
        {"close_price", kFrame, pyglue::required(), nullptr, "收盘价; 其日期与股票决定回测范围"},
        {"prev_close", kFrame, pyglue::required(), nullptr, "前收盘价"},
        {"buy_price", kFrame, pyglue::required(), nullptr, "买入成交价 (早盘 VWAP)"},
        {"sell_price", kFrame, pyglue::required(), nullptr, "卖出成交价 (早盘 VWAP)"},
        {"benchmark_dict", "dict[str, pandas.Series] | None", pyglue::none_default(), nullptr,
         "基准代码 → 日收益序列"},
        {"forward_return_rank_cache", kOptionalFrame, pyglue::none_default(), nullptr,
         "每日远期开盘收益的全市场排名"},
        {"open_price", kOptionalFrame, pyglue::none_default(), nullptr,
         "开盘价, 无排名缓存时用来计算远期收益"},
        {"benchmark_names", "str | list[str] | None",
         pyglue::text_default(params::kDefaultBenchmark), nullptr,
         "\"all\" 或 None 表示全部基准; 文本为单个代码; 列表为多个代码 (去重); benchmark_dict 为 "
         "None 时不使用"},
        described(params::kRollingWindow, "因子滚动均值窗口, 0 或 1 不平滑"),
        params::kAscending,
        params::kGroupNum,
        described(params::kTotalMoney, "每组资金"),
        described(params::kFee, "佣金费率"),
        described(params::kRuleFee, "卖出印花税率"),
        {"plot_image_kind", "str | None", pyglue::text_default(params::kFactorLayout), nullptr,
         "图表版式 \"long\" 或 \"large\"; None 不出图"},
        {"plot_save_path", "str | os.PathLike | None", pyglue::none_default(), nullptr,
         "图表文件; None 不出图",
         "多个基准时每个基准写到同目录的 \"{stem}_{code}.png\"。目录不存在时创建。"},
        {"factor_name", "str", pyglue::text_default("factor"), nullptr, "因子名称"},
        {"plot_title", "str | None", pyglue::none_default(), nullptr,
         "图表标题, None 或空文本时用 factor_name"},
        params::kHorizons,
        params::kRebalanceEvery,
        params::kTearSheet,
    }},
    0,
    "object"};

inline constexpr const char* kGroupBacktestResult =
    R"(因子分组回测结果。

属性 plot_paths、best_group、group_daily_return、group_cumulative_return、rank_ic、group_matrix;
方法 benchmark_summary() 返回最优组对各基准的超额表。
)";

inline constexpr const char* kBenchmarkSummaryMethod =
    R"(最优组相对各所选基准的表现。

Returns:
    pandas.DataFrame: 每个与收益有共同日期的基准一行, 列依次为 "best_group"、"benchmark_name"、
    "benchmark_annual_return"、"excess_annual_return" (小数, 日均 × 252)、"excess_sharpe"、
    "excess_max_dd" (0 或负数); 无收益或无基准时为空表。每次调用返回新副本。
)";

inline constexpr const char* kSetThreadCount =
    R"(设置因子分组回测使用的线程数 (供测试与性能测试使用)。

Args:
    count (int): 线程数; 0 表示每个可用 CPU 一个线程。

Returns:
    int: 之前的设置。

Raises:
    TypeError: count 不是数值。
    ValueError: count 为负数。
)";

inline constexpr const char* kEncodePng =
    R"(把图表像素编码成 PNG 文件内容 (全不透明时存 RGB, 否则 RGBA), 附带 dpi。

图表大片同色: 只与左边像素和上一行匹配的 deflate 压缩, 按行分段多线程编码; 文件与线程数无关。

Args:
    rgba (numpy.ndarray): 高 x 宽 x 4 的 uint8 像素, C 连续。
    dpi (float): 写进文件的每英寸点数, 例如 165。

Returns:
    bytes: 完整的 PNG 文件内容。

Raises:
    TypeError: rgba 不是 C 连续的 uint8 三维数组, 或 dpi 不是数值。
    ValueError: rgba 的最后一维不是 4, 或 dpi 不是正数。
)";

}  // namespace morvane::doc

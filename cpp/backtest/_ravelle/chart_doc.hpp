// Docstrings of the strategy chart functions of morvane.backtest._ravelle.
#pragma once

#include "pyglue/backtest_params.hpp"

namespace morvane::doc {

namespace format_args {

// The decimals of every number formatter, refused outside the range by
// checked_digits (chart_format.cpp).
inline constexpr pyglue::Range kDigitsRange{"取值 [0, 30]", 0, 30};
inline constexpr pyglue::Param kDigits{
    "digits", "int", pyglue::int_default(2), &kDigitsRange, "小数位数", "", false};

}  // namespace format_args

// What every number formatter raises.
inline constexpr const char* kFormatterRaises = R"(
Raises:
    TypeError: value 不是数值, 或 digits 不是数值。
    ValueError: digits 超出取值范围。
)";

// The table of a number formatter bound as `name`: the value, described by
// `value_doc`, and the decimals.
[[nodiscard]] constexpr pyglue::ParamTable<2> formatter_table(const char* name,
                                                              const char* value_doc) {
  return {
      name,
      {{{"value", "float | None", pyglue::required(), nullptr, value_doc}, format_args::kDigits}},
      2,
      "str"};
}

inline constexpr pyglue::FunctionDoc kFormatNum{R"(把数值格式化为定点小数文本, 缺失值为 "--"。

按 double 的精确值正确舍入 (恰好的一半舍入到偶数), 例如 2.675 → "2.67"; 无穷大为 "inf" / "-inf"。)",
                                                R"(Returns:
    str: 例如 "1.23"、"-0.50"、"--"。
)",
                                                kFormatterRaises};
inline constexpr pyglue::ParamTable<2> kFormatNumParams =
    formatter_table("_format_num", "数值; None、NaN 与 pandas 的缺失值记号都视为缺失");

inline constexpr pyglue::FunctionDoc kFormatPct{
    R"(把比例格式化为百分数文本 (乘以 100 后加 "%"), 缺失值为 "--"。)",
    "Returns:\n    str: 例如 0.05 → \"5.00%\", -0.1234 → \"-12.34%\", 正无穷 → \"inf%\"。\n",
    kFormatterRaises};
inline constexpr pyglue::ParamTable<2> kFormatPctParams =
    formatter_table("_format_pct", "比例, 例如 0.05");

inline constexpr pyglue::FunctionDoc kFormatPctPoints{
    R"(把已经是百分点的数值格式化为文本并加 "%" (不再乘 100), 缺失值为 "--"。)",
    "Returns:\n    str: 例如 5.0 → \"5.00%\"。\n", kFormatterRaises};
inline constexpr pyglue::ParamTable<2> kFormatPctPointsParams =
    formatter_table("_format_pct_points", "百分点数值, 例如 5.0");

inline constexpr const char* kFormatAnnualExcess =
    R"(把逐年超额收益格式化为一行文本, 例如 "2022: 5.12% | 2023: -3.10%"。

Args:
    annual_excess (pandas.Series | dict | None): 以年份为索引的超额收益比例; 缺失的年份被略过。

Returns:
    str: 各年 "年份: 百分数" 以 " | " 连接, 按输入顺序; 没有有效值时为 "--"。

Raises:
    TypeError: 某个值不是数值。
)";

inline constexpr const char* kConfigureStyle = R"(设置策略图表的全局 matplotlib 样式。

依次: 尝试使用 "seaborn-v0_8-whitegrid" 样式 (不可用时忽略), 设置无衬线字体列表 (先 Latin 字体,
再中文字体, 最后 DejaVu Sans)、ASCII 负号、粗体标题、白色画布与 "#fbfbfd" 坐标区背景。

Args:
    plt (module): 已导入的 matplotlib.pyplot。

Returns:
    None
)";

inline constexpr pyglue::FunctionDoc kPlotPerformance{R"(画策略绩效总览图并保存为图片 (持有图表锁)。

包含标题、九张指标卡、累计收益、超额收益与回撤、年度收益、滚动超额稳定性、回撤五个面板,
以及汇总表与年度指标表。年度指标表中数据只覆盖一部分的首年或末年标 "*", 表下注明其交易日数。
标题等文字在已安装字体中缺字形 (如服务器上的中文策略名) 时, 若装了 morvane[cjk] 就用它的
Noto Sans CJK SC, 否则发出一条 MorvaneWarning 说明安装方法, 缺字形的字显示为方框。)",
                                                      R"(Returns:
    dict[str, str]: {"main": save_path 的文本}; total 为空时不写文件, 仍返回该字典。

Raises:
    TypeError: 参数类型错误 (消息中给出参数名)。
    KeyError: total 缺少需要的列。
    OSError: 文件无法写入。
)"};

namespace chart_args {

using pyglue::Param;
using pyglue::required;
using pyglue::text_default;
namespace params = pyglue::params;

// None reaches only plot_title; the others are refused by nanobind, as before.
inline constexpr Param kTotal{"total",
                              "pandas.DataFrame",
                              required(),
                              nullptr,
                              "每日回测总表 (列 long、close_net_value、extra_return、max_drowdown、"
                              "extra_max_drowdown、daily_return、index_daily_return、"
                              "extra_daily_return)",
                              "",
                              false};
inline constexpr Param kStats{
    "stats", "dict", required(), nullptr, "统计量字典; 缺少的键显示为 \"--\"", "", false};
inline constexpr Param kStrategyName{"strategy_name",
                                     "str",
                                     text_default(params::kDefaultStrategyName),
                                     nullptr,
                                     "策略名, 未给标题时用于标题",
                                     "",
                                     false};
inline constexpr Param kPlotTitle{"plot_title", "str | None", pyglue::none_default(), nullptr,
                                  "图标题, None (或空文本) 表示用 strategy_name"};
inline constexpr Param kImageKind{"image_kind",
                                  "str",
                                  text_default(params::kStrategyLayout),
                                  nullptr,
                                  "\"large\" 为横版宽图, 其他值 (如 \"long\") 为竖版长图",
                                  "",
                                  false};
inline constexpr Param kBenchmarkName{
    "benchmark_name", "str", text_default(params::kDefaultBenchmark), nullptr, "基准名", "", false};

}  // namespace chart_args

inline constexpr pyglue::ParamTable<8> kPlotPerformanceParams{
    "plot_strategy_performance",
    {{chart_args::kTotal,
      chart_args::kStats,
      chart_args::kStrategyName,
      chart_args::kPlotTitle,
      {"save_path", "str | os.PathLike", pyglue::text_default("./strategy_backtest.png"), nullptr,
       "输出文件, 格式由扩展名决定", "", false},
      chart_args::kImageKind,
      chart_args::kBenchmarkName,
      {"rolling_window", "int", pyglue::int_default(0), nullptr,
       "本次回测的权重平滑窗口, 只显示在汇总表中", "", false}}},
    8,
    "dict[str, str]"};

inline constexpr const char* kPlotPerformanceUnlocked =
    R"(画策略绩效总览图 (不加锁; 调用方必须已持有 _MATPLOTLIB_PLOT_LOCK)。

参数与 plot_strategy_performance 相同, 全部必填。

Args:
    total (pandas.DataFrame): 每日回测总表。
    stats (dict): 统计量字典。
    strategy_name (str): 策略名。
    plot_title (str | None): 图标题。
    save_path (str | os.PathLike): 输出文件。
    image_kind (str): "large" 或其他 (竖版)。
    benchmark_name (str): 基准名。
    rolling_window (int): 权重平滑窗口。

Returns:
    None

Raises:
    TypeError: 参数类型错误。
)";

inline constexpr const char* kDrawYearlyTable = R"(在给定坐标区画年度策略与超额指标表。

Args:
    ax (matplotlib.axes.Axes): 目标坐标区 (会被隐藏坐标轴)。
    yearly_metrics (pandas.DataFrame): 年度指标表, 每年一行, 列 strategy_return、strategy_sharpe、
        strategy_max_dd、strategy_calmar、excess_return、excess_sharpe、excess_max_dd、excess_calmar。
    compact (bool): 仅限关键字; True 用缩写表头 (横版), 默认 False。
    fontsize (float | None): 仅限关键字; 想要的更大字号, 例如 11; 会缩小到各列宽度容得下的字号,
        但不小于版式的字号 (横版 7.8, 竖版 8.4), 行高随字号增加。默认 None 用版式的字号。
    partial_years (dict[int, int] | None): 仅限关键字; 数据只覆盖一部分的年份到其交易日数,
        例如 {2024: 11}; 这些年份标 "*", 表下注明年份与交易日数, 例如 * Partial year: 2024 (11 trading days)。
        指标数值本身不变。默认 None。

Returns:
    None

Raises:
    TypeError: yearly_metrics 不是 pandas.DataFrame, fontsize 不是数值, 或 partial_years 不是 dict。
    KeyError: 缺少某个指标列。
)";

inline constexpr const char* kBuildWeeklyFrame = R"(把每日回测总表按周五采样为周度净值表。

Args:
    total (pandas.DataFrame): 每日回测总表 (列 long、close_net_value、extra_return)。

Returns:
    pandas.DataFrame: 以周五日期为索引, 列 long、close_net_value、extra_return、extra_net_value;
    无穷值视为缺失, 每周取最后一个非缺失值, 全缺失的周被去掉; 输入为空时为空表。

Raises:
    TypeError: total 不是 pandas.DataFrame。
    KeyError: total 缺少需要的列。
)";

inline constexpr pyglue::FunctionDoc kPlotWeekly{R"(画周度净值图并保存为图片 (持有图表锁)。

年度指标表与缺字形时的字体处理同 plot_strategy_performance。)",
                                                 R"(Returns:
    dict[str, str]: {"weekly_net_value": save_path 的文本}; 没有周度数据时不写文件, 仍返回该字典。

Raises:
    TypeError: 参数类型错误 (消息中给出参数名)。
    KeyError: total 缺少需要的列。
    OSError: 文件无法写入。
)"};

inline constexpr pyglue::ParamTable<6> kPlotWeeklyParams{
    "plot_weekly_net_value",
    {{{"total", "pandas.DataFrame", pyglue::required(), nullptr, "每日回测总表", "", false},
      chart_args::kStrategyName,
      chart_args::kPlotTitle,
      {"save_path", "str | os.PathLike", pyglue::text_default("./strategy_weekly_net_value.png"),
       nullptr, "输出文件", "", false},
      chart_args::kImageKind,
      chart_args::kBenchmarkName}},
    6,
    "dict[str, str]"};

inline constexpr const char* kPlotWeeklyUnlocked =
    R"(画周度净值图 (不加锁; 调用方必须已持有 _MATPLOTLIB_PLOT_LOCK)。

Args:
    total (pandas.DataFrame): 每日回测总表。
    strategy_name (str): 策略名。
    plot_title (str | None): 图标题。
    save_path (str | os.PathLike): 输出文件。
    image_kind (str): "large" 或其他 (竖版)。
    benchmark_name (str): 基准名。

Returns:
    None

Raises:
    TypeError: 参数类型错误。
)";

}  // namespace morvane::doc

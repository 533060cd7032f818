// Docstrings of morvane.backtest._ravelle.
#pragma once

#include <array>

#include "pyglue/backtest_params.hpp"

namespace morvane::doc {

inline constexpr const char* kRavelleModule =
    "策略回测计算核心: 早盘 VWAP 成交的每日收益引擎、统计、年度指标与图表。";

inline constexpr const char* kRavelleResult = R"(策略回测核心的结果记录 (包内部使用)。

字段依次为 strategy_name (str)、daily_return (pandas.Series)、cumulative_return (pandas.Series,
净值, 从 1.0 开始)、stats (dict)、benchmark_summary (pandas.DataFrame)、plot_paths (dict[str, str])。
所有字段都必须给出, 按关键字传入。
)";

inline constexpr const char* kRavelleLedgerResult = R"(记录了交易流水的策略回测结果 (包内部使用)。

_RavelleResult 的字段之后是 ledger (morvane.backtest.ledger.TradeLedger): 交易流水, 其 trades、
positions、totals 在第一次读取时生成。
)";

inline constexpr pyglue::FunctionDoc kDailyReturn{
    R"(按早盘 VWAP 成交计算一个策略组合的每日收益。

T-1 日的目标权重在 T 日以 VWAP 成交: 目标股数 = floor(total_money × 权重 / (前收盘价 × lot_size))
× lot_size (向下取整到整手, 负权重为空头); 可买掩码为 False 时不买入、不可卖掩码为 True 时不卖出,
差额在之后的交易日重新计算。持仓按前收盘价估值到收盘价, 拆分日按拆分系数放大, 持有或卖出的股份
获得当日现金分红 (当日买入的不获得)。买卖付佣金 fee, 卖出另付印花税 rule_fee。资金不复利: 每日
收益 = 当日盈亏 / total_money。

权重表开头整行缺失的日期不产生收益; 之后整行缺失的日期表示空仓: 全部目标为 0, 可卖的持仓卖出,
该日照常计算收益。)",
    R"(Returns:
    pandas.Series: 以交易日为索引的 float64 日收益 (无名称); 没有可交易的权重时为空的 float64 序列。
    输入表不会被修改。

Raises:
    TypeError: 某个矩阵不是 pandas.DataFrame, 或某个数值参数不是数值。
    ValueError: 权重含非数值数据 (消息中给出列名)、某张表的标签有重复, 或 total_money、fee、
        rule_fee、lot_size 超出取值范围。
)"};

namespace params = pyglue::params;

inline constexpr const char* kFrame = "pandas.DataFrame";

// The market tables both strategy entry points take, described alike.
inline constexpr pyglue::Param kCanBuyStock{"can_buy_stock", kFrame, pyglue::required(), nullptr,
                                            "日期 × 股票, True 表示当日可买入"};
inline constexpr pyglue::Param kCantSellStock{"cant_sell_stock", kFrame, pyglue::required(),
                                              nullptr, "日期 × 股票, True 表示当日不可卖出"};
inline constexpr pyglue::Param kSplitFactor{"split_factor", kFrame, pyglue::required(), nullptr,
                                            "日期 × 股票, 每股拆分后的股数, NaN 表示无拆分"};
inline constexpr pyglue::Param kDividendFactor{"dividend_factor", kFrame, pyglue::required(),
                                               nullptr,
                                               "日期 × 股票, 每股现金分红, NaN 表示无分红"};
inline constexpr pyglue::Param kBuyPrice{"buy_price", kFrame, pyglue::required(), nullptr,
                                         "日期 × 股票, 买入成交价 (早盘 VWAP)"};
inline constexpr pyglue::Param kSellPrice{"sell_price", kFrame, pyglue::required(), nullptr,
                                          "日期 × 股票, 卖出成交价 (早盘 VWAP)"};

// The market tables both strategy entry points take, in their order, with
// the close and the previous close described as the entry point reads them.
[[nodiscard]] constexpr std::array<pyglue::Param, 8> market_params(const char* close_doc,
                                                                   const char* prev_close_doc) {
  return {kCanBuyStock,
          kCantSellStock,
          kSplitFactor,
          kDividendFactor,
          {"close_price", kFrame, pyglue::required(), nullptr, close_doc},
          {"prev_close", kFrame, pyglue::required(), nullptr, prev_close_doc},
          kBuyPrice,
          kSellPrice};
}

inline constexpr pyglue::ParamTable<13> kDailyReturnParams{
    "calc_strategy_vwap_daily_return",
    pyglue::joined_params(
        std::array<pyglue::Param, 1>{
            {{"signal_matrix", kFrame, pyglue::required(), nullptr,
              "日期 × 股票的目标权重 (占 total_money 的比例), NaN 表示不持仓"}}},
        market_params("日期 × 股票, 收盘价", "日期 × 股票, 前收盘价 (持仓估值基准与下单价)"),
        std::array{params::kTotalMoney, params::kFee, params::kRuleFee, params::kLotSize}),
    13, "pandas.Series"};

inline constexpr pyglue::FunctionDoc kSmoothWeights{R"(对目标权重做滚动平均平滑。)", R"(Returns:
    pandas.DataFrame: rolling_window <= 1 时返回输入本身 (同一对象); 否则缺失权重按 0 计, 取最近
    rolling_window 行的均值, 去掉前 rolling_window - 1 个整行缺失的日期, 均值恰为 0 的位置为 NaN。

Raises:
    TypeError: strategy_matrix 不是 pandas.DataFrame, 或 rolling_window 不是数值。
)"};

inline constexpr pyglue::ParamTable<2> kSmoothWeightsParams{
    "_smooth_strategy_weights",
    {{{"strategy_matrix", "pandas.DataFrame", pyglue::required(), nullptr, "日期 × 股票的目标权重",
       "", false},
      {"rolling_window", "int", pyglue::required(), nullptr, "窗口长度; 不大于 1 时不平滑, 例如 5",
       "", false}}},
    2,
    "pandas.DataFrame"};

inline constexpr pyglue::FunctionDoc kBuildTotalFrame{
    R"(由策略与基准的日收益构建逐日回测表 (净值、回撤、超额收益)。

收益不复利: 累计收益是日收益之和。)",
    R"(Returns:
    pandas.DataFrame: 去掉任一列缺失的行后的新表, 依次追加 "extra_daily_return" (超额日收益)、
    "long" (策略净值 (1 + 累计收益) / 首值, 首行为 1.0)、"close_net_value" (基准净值: 有 "close"
    且首值非 0 时为 close / 首值, 否则为 1 + 累计基准收益)、"close" (仅输入没有该列时追加,
    1 + 累计基准收益)、"max_drowdown" (long 减其历史最高, 0 或负)、"extra_return" (累计超额收益,
    首行为 0.0)、"extra_max_drowdown" ((1 + extra_return) 减其历史最高)。去掉缺失行后为空时原样
    返回空表, 不追加列。输入表不会被修改。

Raises:
    TypeError: total_backtesting 不是 pandas.DataFrame。
    KeyError: 缺少 "daily_return" 或 "index_daily_return" 列。
    ValueError: 所需的列含非数值数据或列名重复。
)"};

inline constexpr pyglue::ParamTable<1> kBuildTotalFrameParams{
    "_build_total_backtesting_frame",
    {{{"total_backtesting", "pandas.DataFrame", pyglue::required(), nullptr,
       "以交易日为索引, 至少含 \"daily_return\" (策略日收益) 与 \"index_daily_return\" "
       "(基准日收益) 两列, 可选 \"close\" (基准点位); 其他列原样保留"}}},
    1,
    "pandas.DataFrame"};

inline constexpr pyglue::FunctionDoc kStrategyStats{R"(计算策略回测的十三项汇总统计。

年化按 252 个交易日、线性 (总收益 / 年数) 计算; 年数 = 行数 / 252。夏普比率与胜率只用有限的
日收益, 无穷值仍计入净值与年化收益。)",
                                                    R"(Returns:
    dict[str, float]: 依次为 "annual_return" (策略年化收益, 百分数)、"long_sharp" (策略夏普)、
    "max_dd" (策略最大回撤, 正数)、"benchmark_annual_return" (基准年化收益, 百分数)、
    "benchmark_sharp"、"extra_annual_return" (超额年化收益, 百分数)、"extra_sharp"、
    "extra_max_dd" (超额最大回撤, 正数)、"return_corr" (策略与基准日收益的相关系数)、
    "win_rate" (策略日收益为正的比例)、"excess_win_rate" (超额日收益为正的比例)、
    "holding_count" (每日有限权重个数的均值, 0 权重也计入)、"turnover" (权重单边日均换手,
    缺失按 0 计; 只有一行时为 NaN)。表为空时十三项均为 NaN, 顺序为 annual_return、long_sharp、
    max_dd、extra_annual_return、extra_sharp、extra_max_dd、benchmark_annual_return、
    benchmark_sharp、return_corr、win_rate、excess_win_rate、holding_count、turnover。

Raises:
    TypeError: total_frame 不是 pandas.DataFrame, 或 signal_df 既不是 DataFrame 也不是 None。
    KeyError: 缺少逐日回测表的某一列。
    ValueError: 某列或权重表含非数值数据。
)"};

inline constexpr pyglue::ParamTable<2> kStrategyStatsParams{
    "calc_strategy_stats",
    {{{"total_frame", "pandas.DataFrame", pyglue::required(), nullptr,
       "_build_total_backtesting_frame 的结果; 先去掉任一列缺失的行"},
      {"signal_df", "pandas.DataFrame | None", pyglue::required(), nullptr,
       "策略实际交易的权重表 (日期 × 股票), 用于持股数与换手率; None 时这两项为 NaN"}}},
    2,
    "dict[str, float]"};

inline constexpr pyglue::FunctionDoc kYearlyMetrics{
    R"(按自然年计算策略与超额收益的年度收益、夏普、最大回撤与卡玛比率。

收益不复利: 年度收益为当年日收益之和, 回撤在累计收益上计算, 起点 0 视为高点 (只亏不赚的
一年回撤等于其累计亏损)。每年先去掉非有限的日收益; 两侧都没有数据的年份跳过。)",
    R"(Returns:
    pandas.DataFrame: 以整数年份 "year" 为索引 (升序), 依次为 "strategy_return"、"strategy_sharpe"、
    "strategy_max_dd" (正数)、"strategy_calmar" (年化收益 / 最大回撤, 无回撤时为 NaN)、
    "excess_return"、"excess_sharpe"、"excess_max_dd"、"excess_calmar"。没有任何年份时为
    无列、无索引名的空表。

Raises:
    TypeError: daily 不是 pandas.DataFrame, 或其索引不是日期索引。
    KeyError: 缺少 "daily_return" 或 "extra_daily_return" 列。
    ValueError: 这两列含非数值数据。
)"};

inline constexpr pyglue::ParamTable<1> kYearlyMetricsParams{
    "_calc_yearly_performance_metrics",
    {{{"daily", "pandas.DataFrame", pyglue::required(), nullptr,
       "以日期 (DatetimeIndex) 为索引, 至少含 \"daily_return\" 与 \"extra_daily_return\" 两列; "
       "其他列忽略"}}},
    1,
    "pandas.DataFrame"};

inline constexpr const char* kPeriodFigures = R"(一段日收益的区间收益、最大回撤与卡玛比率。

Args:
    daily_return (pandas.Series | Sequence[float] | None): 日收益, 缺失值跳过, 例如
        [0.01, -0.02, 0.01]。

Returns:
    tuple[float, float, float]: (区间收益 = 日收益之和, 最大回撤 (正数, 起点 0 视为高点),
    卡玛比率 = 均值 × 252 / 最大回撤; 最大回撤不超过 1e-12 时为 NaN)。None 或空序列返回三个 NaN。

Raises:
    ValueError: daily_return 含非数值数据或不是一维序列。
)";

inline constexpr pyglue::FunctionDoc kRunner{
    R"(策略回测入口: 对齐并平滑权重, 计算每日收益, 与基准比较并汇总。

权重只保留行情 (close_price) 中也有的交易日与股票, 并去掉没有任何权重的股票; T-1 日的权重在
T 日以 VWAP 成交 (每手 200 股), 只保留不晚于最后一个有权重日期的收益。权重表在其日期范围内
缺少交易日时会通过 morvane 日志器给出警告 (每行权重在下一行的日期成交, 缺少的日期不调仓也
不计收益)。没有可回测的数据 (无共同日期、无权重、与主基准无重叠) 不是错误: 返回空结果。
输入表不会被修改。)",
    R"(Returns:
    _RavelleResult: strategy_name; daily_return (日收益, 与主基准对齐后); cumulative_return (策略
    净值, 从 1.0 开始); stats (calc_strategy_stats 的十三项统计); benchmark_summary (每个与回测有
    共同日期的基准一行: "benchmark_name"、"benchmark_annual_return" (基准日均收益 × 252, 小数)、
    "excess_annual_return" (超额日均收益 × 252)、"excess_sharpe"、"excess_max_dd" (累计超额收益
    的最大回撤, 0 或负)); plot_paths (画图时为 {"main": 主图路径, "weekly_net_value": 同目录下
    文件名加 "_weekly_net_value" 的周净值图路径}, 否则为 {})。没有可回测的数据时两个序列为空、
    统计全为 NaN、汇总为空表、plot_paths 为 {}。record_trades=True 时为其子类
    _RavelleLedgerResult, 另有交易流水 ledger (morvane.backtest.ledger.TradeLedger)。

Raises:
    TypeError: 某个矩阵不是 pandas.DataFrame; benchmark_dict 不是 dict 或 None, 或其中的值不是
        pandas.Series; benchmark_names、strategy_name 不是 str; plot_image_kind、plot_title 不是
        str 或 None; rolling_window、total_money、fee、rule_fee 不是数值。
    ValueError: 权重表含非数值数据 (消息中给出第一列出错的列名)、权重表或行情表标签重复, 或
        total_money、fee、rule_fee 超出取值范围。
    OSError: 请求了图表 (plot_image_kind 与 plot_save_path 都不为 None) 而图片文件无法写入。
)"};

// Every argument admits None so that the runner's own checks name the
// argument and both types.
inline constexpr pyglue::ParamTable<20> kRunnerParams{
    "run_strategy_backtest_core",
    pyglue::joined_params(
        std::array<pyglue::Param, 1>{{{"strategy_matrix", kFrame, pyglue::required(), nullptr,
                                       "日期 × 股票的目标权重, NaN 表示不持仓"}}},
        market_params("日期 × 股票, 收盘价; 其行列标签定义交易日与股票池", "日期 × 股票, 前收盘价"),
        std::array<pyglue::Param, 11>{{
            {"benchmark_dict", "dict[str, pandas.Series] | None", pyglue::none_default(), nullptr,
             "基准代码 → 基准日收益序列, 例如 {\"000852\": 序列}; {} 与 None 相同"},
            {"benchmark_names", "str", pyglue::text_default(params::kDefaultBenchmark), nullptr,
             "主基准代码; 不在 benchmark_dict 中时基准收益按 0 计"},
            described(params::kRollingWindow, "权重平滑窗口, 0 或 1 不平滑"),
            params::kTotalMoney,
            params::kFee,
            params::kRuleFee,
            {"plot_image_kind", "str | None", pyglue::text_default(params::kStrategyLayout),
             nullptr, "图表版式; None 表示不画图"},
            {"plot_save_path", "str | os.PathLike[str] | None", pyglue::none_default(), nullptr,
             "主图文件路径, None 不画图"},
            {"strategy_name", "str", pyglue::text_default(params::kDefaultStrategyName), nullptr,
             "策略名称"},
            {"plot_title", "str | None", pyglue::none_default(), nullptr, "图表标题"},
            described(params::kRecordTrades,
                      "仅限关键字; True 时另记交易流水, 返回 _RavelleLedgerResult",
                      "不记录时引擎的速度不受影响。"),
        }}),
    19, "_RavelleResult"};

}  // namespace morvane::doc

// Documentation texts of morvane.backtest._service. The two backtest methods
// take theirs from the package functions of the same contract
// (morvane.backtest_strategy, morvane.backtest), which hold the one text.
#pragma once

#include "pyglue/backtest_params.hpp"

namespace morvane::doc {

inline constexpr const char* kServiceModule =
    "因子回测的服务编排。\n\n"
    "两条主流程: 数据准备 (下载参考数据包、校验、增量刷新到今天) 与回测 (加载预备数据、"
    "按日期裁剪、调用计算核心并整理结果)。";

inline constexpr const char* kServiceClass = "因子回测服务,组合数据准备与计算两层。";

inline constexpr const char* kInit =
    "初始化回测服务。\n\n"
    "Args:\n"
    "    http (HttpClient | None): 下载参考数据包用的 HTTP 客户端, 例如\n"
    "        HttpClient(\"https://data.example.com/api/v1\", token); None 表示尚未配置,\n"
    "        此时需要下载时报错。\n"
    "Returns:\n"
    "    None: 无返回值; 不创建目录也不读取任何文件。\n"
    "Raises:\n"
    "    TypeError: http 既不是 HttpClient 也不是 None。";

inline constexpr const char* kPrepare =
    "准备回测基准数据(无参数)。\n\n"
    "首次调用时下载并解压参考数据包; 本地数据缺失关键数据集或成分股矩阵, 或有数据文件\n"
    "缺失、损坏 (每个文件都校验大小、文件头与逐行校验和) 时重新下载; 之后按 close_price\n"
    "尾部两行起的窗口从数据客户端增量刷新到今天, 最后打印各数据集的最新日期。新数据包先\n"
    "解压到临时目录并校验, 通过后才替换原目录, 所以下载失败、中断或数据包有问题时原有数据\n"
    "保持不变; 上次替换中途被中断时先放回原来的目录; 多个进程同时准备时依次进行。\n\n"
    "Args:\n"
    "    无。\n"
    "Returns:\n"
    "    None: 无返回值。\n"
    "Raises:\n"
    "    NetworkError: 数据包下载失败 (重试之后) 或内容不完整。\n"
    "    MorvaneError: 没有 HTTP 客户端、下载地址无效、数据包不合法 (含普通文件与目录以外的\n"
    "        成员、解包后过大) 或不完整、校验和不符, 或增量更新失败。\n"
    "    DataFileError: 磁盘空间不足或文件无法写入 (也是 OSError)。";

inline constexpr const char* kRefresh =
    "比对 ``close_price`` 尾日与今天;落后则 write-window 增量更新。\n\n"
    "Args:\n"
    "    store (BinaryPreparedDataStore): 回测数据目录上的存储。\n"
    "    after_download (bool): 是否刚下载完数据包, 只决定日志里的状态词, 例如 True。\n"
    "Returns:\n"
    "    None: 无返回值。\n"
    "Raises:\n"
    "    KeyError: 元信息没有 \"datasets\"。\n"
    "    MorvaneError: close_price 日期索引为空, 或 update_tail 未能写入。";

inline constexpr const char* kFindMissing =
    "检测本地数据缺失的关键数据集 / 成分股矩阵(用于判断是否需重新下载)。\n\n"
    "Args:\n"
    "    store (BinaryPreparedDataStore): 要检查的存储。\n"
    "Returns:\n"
    "    list[str]: 缺失项, 为空表示完整, 例如\n"
    "        [\"component__rq_index_components_new_000300_xshg\"]; 之后是每个缺失或损坏的数据\n"
    "        文件一条说明 (store.damaged_datasets(), 约读一遍整个存储)。\n"
    "Raises:\n"
    "    MorvaneError: 元信息文件无法读取 (原样传出)。";

inline constexpr const char* kValidate =
    "校验下载解压后的数据包结构完整(元信息 + 关键数据集齐全)。\n\n"
    "Args:\n"
    "    store (BinaryPreparedDataStore): 解压目录上的存储。\n"
    "Returns:\n"
    "    None: 通过时无返回值。\n"
    "Raises:\n"
    "    MorvaneError: 缺少元信息文件, 或 close_price 索引为空、缺少关键数据集或基准。";

inline constexpr const char* kSummary =
    "打印各数据集(因子 / 指数 / 基准)名称与最新更新日期。\n\n"
    "Args:\n"
    "    store (BinaryPreparedDataStore): 要汇总的存储。\n"
    "    action (str): 状态词, 填入标题, 例如 \"已更新\"。\n"
    "Returns:\n"
    "    None: 无返回值, 结果写入 morvane 日志 (info 级)。\n"
    "Raises:\n"
    "    TypeError: action 不是 str。";

inline constexpr const char* kLoad =
    "加载本地完整回测基准数据到内存(供多进程 / 多线程并发回测复用)。\n\n"
    "Args:\n"
    "    无。\n"
    "Returns:\n"
    "    BacktestData: data 为数据集名到日期 x 股票表的映射, 外加 \"benchmark_dict\"。\n"
    "Raises:\n"
    "    FileNotFoundError: 尚未准备回测数据, 请先调用 morvane.prepare_backtest_data()。\n"
    "    MorvaneError: 数据文件损坏或缺失 (每一行都比对校验和); 消息给出文件, 以及修复的办法:\n"
    "        重新调用 morvane.prepare_backtest_data()。";

inline constexpr const char* kSlice =
    "把全量基准数据按日期区间裁剪(矩阵按 index 切片,benchmark_dict 同理)。\n\n"
    "Args:\n"
    "    data (dict): 数据集名到表的映射, 含 \"benchmark_dict\"。\n"
    "    start_date (str): 首日 \"YYYYMMDD\" (含), 例如 \"20200102\"。\n"
    "    end_date (str): 末日 \"YYYYMMDD\" (含), 例如 \"20231229\"。\n"
    "Returns:\n"
    "    dict: 新映射; 表与基准序列只保留区间内的行, 其它值原样保留。原映射不变。\n"
    "Raises:\n"
    "    TypeError: data 不是 dict, 或日期不是 str。";

inline constexpr pyglue::FunctionDoc kCheckStrategyRequest{
    "校验一次策略回测请求 (与 backtest_strategy 同一套规则与消息), 不做任何计算。\n\n"
    "参数扫描与命令行在开始计算前用它拒绝不合法的输入。",
    "Returns:\n"
    "    dict: 转换后的取值: \"strategy\" (整理后的权重表或 None)、\"start_date\"、\n"
    "    \"end_date\" (\"YYYYMMDD\")、\"rolling_window\"、\"total_money\"、\"fee\"、\n"
    "    \"rule_fee\"。\n"
    "Raises:\n"
    "    TypeError: 同 backtest_strategy。\n"
    "    ValueError: 同 backtest_strategy。\n"
    "    NotADirectoryError: 同 backtest_strategy。\n"
    "    MorvaneError: 同 backtest_strategy。"};

inline constexpr pyglue::FunctionDoc kCheckFactorRequest{
    "校验一次因子分组回测请求 (与 backtest 同一套规则与消息), 不做任何计算。\n\n"
    "参数扫描与命令行在开始计算前用它拒绝不合法的输入。",
    "Returns:\n"
    "    dict: 转换后的取值: \"factor\" (整理后的因子表或 None)、\"start_date\"、\"end_date\"、\n"
    "    \"group_num\"、\"rolling_window\"、\"ascending\"、\"total_money\"、\"fee\"、\n"
    "    \"rule_fee\"。\n"
    "Raises:\n"
    "    TypeError: 同 backtest。\n"
    "    ValueError: 同 backtest。\n"
    "    NotADirectoryError: 同 backtest。\n"
    "    MorvaneError: 同 backtest。"};

// The parameters of the two backtest methods (BacktestService.backtest_strategy
// and .backtest) and of their request checks. The methods' documentation is
// the package functions' (morvane.backtest_strategy, morvane.backtest), whose
// Args lines a test holds to these one-line docs.
namespace args {

namespace params = pyglue::params;
using pyglue::described;
using pyglue::none_default;
using pyglue::Param;
using pyglue::required;
using pyglue::text_default;

inline constexpr const char* kData = "morvane.backtest.result.BacktestData";
inline constexpr const char* kFolder = "str | os.PathLike[str]";
inline constexpr const char* kOptionalFolder = "str | os.PathLike[str] | None";

inline constexpr Param kStartDate{"start_date", "DateLike", required(), nullptr,
                                  "回测首日 (含), 例如 \"20190102\" 或 20190102"};
inline constexpr Param kEndDate{"end_date", "DateLike", required(), nullptr,
                                "回测末日 (含), 例如 \"20231229\""};
inline constexpr Param kCheckedTableData{
    "data", "morvane.backtest.result.BacktestData | None", required(), nullptr,
    "回测数据; None 表示不校验数据 (例如数据在 Dask worker 上)"};

// The strategy flow.
inline constexpr Param kStrategy{
    "strategy", "pandas.DataFrame", required(), nullptr,
    "目标权重, 行为 \"YYYYMMDD\" 日期, 列为股票代码 (如 \"000001\"), 值为目标权重; NaN 或 0 "
    "表示不持有"};
inline constexpr Param kStrategyData{"data", kData, required(), nullptr,
                                     "load_backtest_data() 的结果, 必填"};
inline constexpr Param kStrategyFolder{"output_dir", kOptionalFolder, required(), nullptr,
                                       "图片目录, 出图时必填, 不存在时创建, 例如 \"out\""};
inline constexpr Param kStrategyFilename{
    "plot_filename", "str", required(), nullptr,
    "不带目录和扩展名的图片文件名, 也用作策略名与图标题, 例如 \"my_strategy\"; 出图时不能为空, "
    "不能含 NUL 字符"};
inline constexpr Param kStrategyBenchmark{
    "benchmark",
    "str",
    text_default(params::kDefaultBenchmark),
    nullptr,
    "对比基准代码, \"000300\"、\"000905\" 或 \"000852\"",
    "数据中没有的代码按基准收益为 0 计算并发出 MorvaneWarning。"};
inline constexpr Param kStrategyPlot{"plot", "str | None", text_default(params::kStrategyLayout),
                                     nullptr, "图形版式 \"large\" 或 \"long\", None 不出图"};
inline constexpr Param kStrategyRecordTrades =
    described(params::kRecordTrades,
              "True 时结果另带交易流水 trades、每日持股 positions 与合计 trade_totals, 以及 "
              "positions_frame() (pyfolio 所要的每日持仓市值与现金)");
inline constexpr Param kStrategyRolling =
    described(params::kRollingWindow, "权重平滑窗口 (交易日), 0 或 1 表示不平滑");
inline constexpr Param kStrategyMoney = described(params::kTotalMoney, "初始资金");
inline constexpr Param kStrategyFee = described(params::kFee, "买卖佣金费率");
inline constexpr Param kStrategyRuleFee = described(params::kRuleFee, "卖出印花税率");

// The factor flow.
inline constexpr Param kFactor{
    "factor", "pandas.DataFrame", required(), nullptr,
    "因子宽表, 行为 \"YYYYMMDD\" 日期, 列为股票代码 (如 \"000001\"), 值为因子值 (有限数, NaN "
    "表示没有)"};
inline constexpr Param kFactorData{
    "data", kData, required(), nullptr,
    "load_backtest_data() 的结果, 必填; 同一份数据可供多个回测 (包括其它线程与进程中的) 共用"};
inline constexpr Param kFactorFolder{"output_dir", kFolder, required(), nullptr,
                                     "图片目录, 必填, 不存在时创建, 例如 \"out\""};
inline constexpr Param kFactorFilename{
    "plot_filename", "str", required(), nullptr,
    "不带目录和扩展名的图片文件名, 也用作图标题, 例如 \"alpha1\"; 不能为空, 不能含 NUL 字符; "
    "多个基准时作为各基准图片 \"{plot_filename}_{code}.png\" 的前缀"};
inline constexpr Param kFactorGroupNum =
    described(params::kGroupNum, "分组数",
              "某日可分组的股票少于 group_num 时当日不分组, 并发出 MorvaneWarning。");
inline constexpr Param kFactorBenchmark{
    "benchmark", "str | list[str] | None", text_default(params::kDefaultBenchmark), nullptr,
    "对冲基准, \"000300\"、\"000905\"、\"000852\", 或 \"all\" / None 表示全部"};
inline constexpr Param kUniverse{
    "universe", "str | list[str] | None", none_default(), nullptr,
    "选股范围指数代码, \"000300\"、\"000905\"、\"000852\"、\"399303\"、\"932000\" 之一或列表 "
    "(取并集), None 为全市场"};
inline constexpr Param kFactorPlot{"plot", "str", text_default(params::kFactorLayout), nullptr,
                                   "图形版式 \"long\" 或 \"large\""};
inline constexpr Param kChart{"chart", "bool", pyglue::flag_default(true), nullptr,
                              "是否出图 (backtest 总是出图); False 时不校验 output_dir 与 "
                              "plot_filename 是否可用"};
inline constexpr Param kFactorRolling =
    described(params::kRollingWindow, "因子滚动均值窗口 (交易日), 0 或 1 不平滑");
inline constexpr Param kFactorAscending =
    described(params::kAscending, "排序方向, False 时因子值越大组号越大");
inline constexpr Param kFactorMoney = described(params::kTotalMoney, "每组的模拟资金");
inline constexpr Param kFactorFee = described(params::kFee, "佣金费率");
inline constexpr Param kFactorRuleFee = described(params::kRuleFee, "卖出印花税率");
inline constexpr Param kFactorHorizons =
    described(params::kHorizons, "IC 衰减的持有期 (交易日)",
              "例如 (1, 5, 10, 20)。多于 1 天的远期收益取次日开盘到 h 日后开盘。");
inline constexpr Param kFactorRebalance =
    described(params::kRebalanceEvery, "每隔几个交易日重新分组, 1 为每日",
              "其间持有调仓日的分组, 目标股数在调仓后首个交易日定下。");
inline constexpr Param kFactorTearSheet = described(
    params::kTearSheet,
    "另画因子分析图 \"{plot_filename}_tear_sheet.png\" (IC 衰减、月度 IC 热图、各组换手)");

}  // namespace args

inline constexpr pyglue::ParamTable<13> kBacktestStrategyParams{
    "BacktestService.backtest_strategy",
    {{args::kStrategy, args::kStrategyData, args::kStartDate, args::kEndDate, args::kStrategyFolder,
      args::kStrategyFilename, args::kStrategyBenchmark, args::kStrategyRolling,
      args::kStrategyMoney, args::kStrategyFee, args::kStrategyRuleFee, args::kStrategyPlot,
      args::kStrategyRecordTrades}},
    6,
    "morvane.backtest.result.StrategyBacktestResult"};

inline constexpr pyglue::ParamTable<18> kBacktestParams{
    "BacktestService.backtest",
    {{args::kFactor, args::kFactorData, args::kStartDate, args::kEndDate, args::kFactorFolder,
      args::kFactorFilename, args::kFactorGroupNum, args::kFactorBenchmark, args::kUniverse,
      args::kFactorRolling, args::kFactorAscending, args::kFactorMoney, args::kFactorFee,
      args::kFactorRuleFee, args::kFactorPlot, args::kFactorHorizons, args::kFactorRebalance,
      args::kFactorTearSheet}},
    6,
    "morvane.backtest.result.BacktestResult"};

// A request check takes its backtest's parameters, but the user's table
// (`table`) and the data may be None: only the other parameters are then
// checked. It returns the checked values.
template <std::size_t N>
[[nodiscard]] constexpr pyglue::ParamTable<N> check_table(pyglue::ParamTable<N> backtest,
                                                          const char* name, pyglue::Param table) {
  backtest.name = name;
  backtest.returns = "dict[str, typing.Any]";
  backtest.params[0] = table;
  backtest.params[1] = args::kCheckedTableData;
  return backtest;
}

inline constexpr pyglue::ParamTable<13> kCheckStrategyRequestParams =
    check_table(kBacktestStrategyParams, "_check_strategy_request",
                {"strategy", "pandas.DataFrame | None", pyglue::required(), nullptr,
                 "权重表; None 表示只校验其它参数"});

// The factor check also takes whether the chart will be drawn (the service
// always draws it; a sweep may not), so that output_dir is needed, as in the
// strategy flow, only for a chart.
inline constexpr pyglue::ParamTable<19> kCheckFactorRequestParams = [] {
  pyglue::ParamTable<18> table =
      check_table(kBacktestParams, "_check_factor_request",
                  {"factor", "pandas.DataFrame | None", pyglue::required(), nullptr,
                   "因子表; None 表示只校验其它参数"});
  table.params[4] = args::kStrategyFolder;
  return pyglue::with_param_inserted(table, 15, args::kChart);
}();

inline constexpr const char* kFactorName =
    "因子宽表的显示名。\n\n"
    "Args:\n"
    "    factor (pandas.DataFrame): 因子宽表。\n"
    "Returns:\n"
    "    str: 列索引的 name, 其次是表本身的 name, 都没有时为 \"factor\"。";

inline constexpr const char* kToPublicResult =
    "把分组回测核心的结果整理成 BacktestResult。\n\n"
    "Args:\n"
    "    core_result (_GroupBacktestResult): run_alpha_vwap_backtest_core 的结果。\n"
    "    factor_name (str): 因子名, 例如 \"alpha1\"。\n"
    "Returns:\n"
    "    BacktestResult: plot_paths 只保留每张图的 \"primary\" 路径; 没有最优组时 best_group 为 "
    "-1。\n"
    "Raises:\n"
    "    TypeError: factor_name 不是 str。";

inline constexpr const char* kParseUniverse =
    "把选股范围参数整理成指数代码列表。\n\n"
    "Args:\n"
    "    universe (str | Iterable | None): None、一个代码 (如 \" 000300 \") 或代码的可迭代对象。\n"
    "Returns:\n"
    "    list[str]: 去掉首尾空白后的非空代码, 保持顺序 (重复保留); 空列表表示全市场。\n"
    "Raises:\n"
    "    TypeError: universe 既不是 None、str 也不可迭代。";

inline constexpr const char* kApplyUniverse =
    "按选股范围就地收窄裁剪后数据的 \"close_price_valid\"。\n\n"
    "不在所选指数成分股并集中的 (日期, 股票) 置为 NaN, 分组回测不会选中它们。\n\n"
    "Args:\n"
    "    data (dict): _slice_data 返回的裁剪副本, 就地修改。\n"
    "    universe (str | Iterable | None): 选股范围, 见 _parse_universe。\n"
    "    start_date (str): 首日 \"YYYYMMDD\", 例如 \"20190102\" (仅为调用对称)。\n"
    "    end_date (str): 末日 \"YYYYMMDD\", 例如 \"20231229\" (仅为调用对称)。\n"
    "Returns:\n"
    "    None: 无返回值; 出错时 data 不变。\n"
    "Raises:\n"
    "    ValueError: 不支持的选股范围, 或该范围没有成分股数据。\n"
    "    KeyError: data 缺少 \"close_price_valid\"。\n"
    "    TypeError: data 不是 dict, 或日期不是 str。";

}  // namespace morvane::doc

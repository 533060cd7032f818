// Chinese documentation texts of GroupPreparedDataBuilder and the window
// functions (the stubs and help() show them).
#pragma once

#include "pyglue/joined_text.hpp"
#include "pyglue/params.hpp"

namespace morvane::doc {

inline constexpr const char* kBuilder = R"(回测准备数据的增量构建器。

通过已初始化的数据客户端单例拉取因子与指数数据, 透视为日期 × 股票宽表, 派生回测所需矩阵,
并组装成可写入二进制存储的 payload。
)";

inline constexpr const char* kBuilderInit = R"(创建一个覆盖 [start_date, end_date] 的构建器。

Args:
    start_date (str): 第一个日期, "YYYYMMDD" (或可被 normalize_yyyymmdd 识别的文本)。
    end_date (str): 最后一个日期, 同上。
    close_before_start (pandas.Series | None): 每只股票在 start_date 之前最后一个收盘价
        (索引为股票代码), 默认 None。给出时 prev_close 从它接续 (包括区间内没有收盘价的
        股票), 与从更早日期起构建的结果相同; 增量写入窗口用已存储的收盘价给出它。

Raises:
    TypeError: start_date 或 end_date 不是文本, 或 close_before_start 不是 Series。
    ValueError: 日期无法识别。
)";
inline constexpr pyglue::ParamTable<3> kBuilderInitParams{
    "GroupPreparedDataBuilder.__init__",
    {{{"start_date", "str", pyglue::required(), nullptr,
       "第一个日期, \"YYYYMMDD\" (或可被 normalize_yyyymmdd 识别的文本)"},
      {"end_date", "str", pyglue::required(), nullptr, "最后一个日期, 同上"},
      {"close_before_start", "pandas.Series | None", pyglue::none_default(), nullptr,
       "每只股票在 start_date 之前最后一个收盘价 (索引为股票代码)",
       "给出时 prev_close 从它接续 (包括区间内没有收盘价的股票), 与从更早日期起构建的结果相同; "
       "增量写入窗口用已存储的收盘价给出它。"}}},
    2,
    "None"};

inline constexpr pyglue::FunctionDoc kNormalizeDdbDate{R"(把日期规范为数据服务的回测日期文本。)",
                                                       R"(Returns:
    str | None: 七位数字文本在第七位后补 "0"; 其他文本原样返回; None 返回 None。
)"};
inline constexpr pyglue::ParamTable<1> kNormalizeDdbDateParams{
    "GroupPreparedDataBuilder._normalize_ddb_backtest_date",
    {{{"date_value", "object", pyglue::required(), nullptr, "日期值或 None"}}},
    1,
    "str | None"};

inline constexpr pyglue::FunctionDoc kMvFactorDate{R"(把日期转为因子查询用的 "YYYY-MM-DD" 文本。)",
                                                   R"(Returns:
    str | None: "YYYY-MM-DD" 文本; None 返回 None。

Raises:
    TypeError: 规范化结果不是文本。
)"};
inline constexpr pyglue::ParamTable<1> kMvFactorDateParams{
    "GroupPreparedDataBuilder._mv_factor_date",
    {{{"date_value", "str | None", pyglue::required(), nullptr, "\"YYYYMMDD\" 日期或 None"}}},
    1,
    "str | None"};

inline constexpr const char* kEmptyLike = R"(与参考表同标签、全部为 fill_value 的新表。

Args:
    reference (pandas.DataFrame): 参考表。
    fill_value (float): 填充值, 默认 NaN。

Returns:
    pandas.DataFrame: 新表。

Raises:
    TypeError: reference 不是 DataFrame。
)";

inline constexpr pyglue::FunctionDoc kReadFactorMatrix{
    R"(单独查询一个因子并透视为日期 × 股票矩阵。)", R"(Returns:
    pandas.DataFrame: 矩阵; 没有数据时为空表。

Raises:
    TypeError: name 不是文本, 或数据客户端返回的不是表或 None。
    NetworkError: 数据客户端传输失败。
)"};
inline constexpr pyglue::ParamTable<1> kReadFactorMatrixParams{
    "GroupPreparedDataBuilder._read_normal_factor_matrix",
    {{{"name", "str", pyglue::required(), nullptr, "因子名"}}},
    1,
    "pandas.DataFrame"};

inline constexpr pyglue::FunctionDoc kFactorsToMatrices{
    R"(把原始因子表 (长表或宽表) 转为各因子的矩阵。

同一股票与日期的重复行保留最后一行; 非数值的值视为缺失并丢弃。)",
    R"(Returns:
    dict[str, pandas.DataFrame]: 因子名 → 矩阵, 没有数据的因子为空表。

Raises:
    TypeError: 参数类型错误。
    KeyError: 表缺少 ukey 或日期列, 消息为 "因子查询返回结果缺少 ukey/date 列"。
)"};
inline constexpr pyglue::ParamTable<2> kFactorsToMatricesParams{
    "GroupPreparedDataBuilder._mv_factors_to_matrices",
    {{{"df", "pandas.DataFrame | None", pyglue::required(), nullptr, "数据客户端的原始表"},
      {"names", "list[str]", pyglue::required(), nullptr, "要取的因子名"}}},
    2,
    "dict[str, pandas.DataFrame]"};

inline constexpr pyglue::FunctionDoc kReadFactorBatch{
    R"(一次批量查询多个因子, 批量结果为空的因子再单独查询。)", R"(Returns:
    dict[str, pandas.DataFrame]: 因子名 → 矩阵。

Raises:
    TypeError: names 不是 list, 或数据客户端返回的不是表或 None。
    NetworkError: 单独查询传输失败 (批量查询的 NetworkError 会被吸收并改为单独查询)。
)"};
inline constexpr pyglue::ParamTable<1> kReadFactorBatchParams{
    "GroupPreparedDataBuilder._read_normal_factor_batch",
    {{{"names", "list[str]", pyglue::required(), nullptr, "因子名"}}},
    1,
    "dict[str, pandas.DataFrame]"};

inline constexpr const char* kReadOrEmpty = R"(取一个可选因子, 没有数据时返回参考形状的全缺失表。

Args:
    name (str): 因子名。
    reference (pandas.DataFrame): 参考表 (给出占位表的形状)。
    batch (dict[str, pandas.DataFrame] | None): 批量结果; None 时单独查询。

Returns:
    pandas.DataFrame: 矩阵或全缺失占位表。

Raises:
    TypeError: 参数类型错误。
    NetworkError: 单独查询传输失败。
)";
inline constexpr pyglue::ParamTable<3> kReadOrEmptyParams{
    "GroupPreparedDataBuilder._read_or_empty",
    {{{"name", "str", pyglue::required(), nullptr, "因子名"},
      {"reference", "pandas.DataFrame", pyglue::required(), nullptr, "参考表 (给出占位表的形状)"},
      {"batch", "dict[str, pandas.DataFrame] | None", pyglue::none_default(), nullptr,
       "批量结果; None 时单独查询"}}},
    3,
    "pandas.DataFrame"};

inline constexpr pyglue::FunctionDoc kBatchOrRead{R"(取批量结果中的因子, 为空时单独查询。)",
                                                  R"(Returns:
    pandas.DataFrame: 按日期排序的矩阵 (可能为空)。

Raises:
    TypeError: 参数类型错误。
    NetworkError: 单独查询传输失败。
)"};
inline constexpr pyglue::ParamTable<2> kBatchOrReadParams{
    "GroupPreparedDataBuilder._batch_or_read",
    {{{"batch", "dict[str, pandas.DataFrame]", pyglue::required(), nullptr, "批量结果"},
      {"name", "str", pyglue::required(), nullptr, "因子名"}}},
    2,
    "pandas.DataFrame"};

inline constexpr const char* kComponentMatrices = R"(读取成分股因子并转为 1.0 或缺失的成员矩阵。

0、无穷与缺失都视为非成员; 查询抛出 NetworkError 或没有数据的成分股不出现在结果中。

Args:
    component_names (list[str]): 成分股因子名。
    batch (dict[str, pandas.DataFrame] | None): 批量结果; 为空的条目单独查询。

Returns:
    dict[str, pandas.DataFrame]: 成分股因子名 → 成员矩阵。

Raises:
    TypeError: 参数类型错误。
)";
inline constexpr pyglue::ParamTable<2> kComponentMatricesParams{
    "GroupPreparedDataBuilder._component_matrices",
    {{{"component_names", "list[str]", pyglue::required(), nullptr, "成分股因子名"},
      {"batch", "dict[str, pandas.DataFrame] | None", pyglue::none_default(), nullptr,
       "批量结果; 为空的条目单独查询"}}},
    2,
    "dict[str, pandas.DataFrame]"};

inline constexpr pyglue::FunctionDoc kFormatBenchmark{R"(把指数日行情整理为一个基准的日收益序列。

先稳定排序并去重 (保留最后一行), 再在需要时由收盘价计算收益 (不填补缺口)。)",
                                                      R"(Returns:
    pandas.Series: 名为 "index_daily_return" 的收益序列, 以 "YYYYMMDD" 升序为索引。

Raises:
    TypeError: 参数类型错误。
    KeyError: 没有数据、缺少日期列或缺少收益与收盘价列。
)"};
inline constexpr pyglue::ParamTable<3> kFormatBenchmarkParams{
    "GroupPreparedDataBuilder._format_benchmark_daily_return",
    {{{"df", "pandas.DataFrame", pyglue::required(), nullptr, "数据客户端的指数日行情"},
      {"benchmark_name", "str", pyglue::required(), nullptr, "短代码, 例如 \"000300\""},
      {"index_code", "str", pyglue::required(), nullptr, "带后缀的代码, 例如 \"000300.XSHG\""}}},
    3,
    "pandas.Series"};

inline constexpr const char* kReadBenchmarkDict = R"(一次查询三个基准指数并整理为日收益序列。

Returns:
    dict[str, pandas.Series]: 短代码 → 日收益序列, 顺序同 BENCHMARK_INDEX_CODES。

Raises:
    TypeError: 数据客户端返回的不是表或 None。
    KeyError: 某个基准没有数据或缺少列。
    NetworkError: 数据客户端传输失败。
)";
inline constexpr pyglue::ParamTable<0> kReadBenchmarkDictParams{
    "GroupPreparedDataBuilder._read_benchmark_dict", {{}}, 0, "dict[str, pandas.Series]"};

inline constexpr pyglue::FunctionDoc kReadSourceData{R"(读取构建所需的全部原始数据。)", R"(Returns:
    tuple: (来源矩阵映射, 成分股矩阵映射, 基准映射, 成分股因子名列表)。

Raises:
    NetworkError: 数据客户端传输失败 (批量查询除外)。
)"};
inline constexpr pyglue::ParamTable<1> kReadSourceDataParams{
    "GroupPreparedDataBuilder._read_source_data",
    {{{"incremental", "bool", pyglue::required(), nullptr,
       "True 时一次批量查询全部因子, 否则每个因子单独查询", "", false}}},
    1,
    "tuple[dict[str, pandas.DataFrame], dict[str, pandas.DataFrame], dict[str, pandas.Series], "
    "list[str]]"};

inline constexpr pyglue::FunctionDoc kBuildFromMatrices{R"(由来源矩阵派生十二个回测矩阵。

停牌 (rq_is_suspended 为 1) 或没有成交价的股票日不可买也不可卖, 其他日按涨跌停规则;
prev_close 为该行之前最近一个已知收盘价 (构建器给出 close_before_start 时从它接续)。)",
                                                        R"(Returns:
    dict[str, pandas.DataFrame]: 十二个派生矩阵, 按 BASE_MATRIX_DTYPE 的顺序。

Raises:
    TypeError: source 不是 dict 或其中的值不是 DataFrame。
    KeyError: 缺少某个输入名。
)"};
inline constexpr pyglue::ParamTable<1> kBuildFromMatricesParams{
    "GroupPreparedDataBuilder._build_from_matrices",
    {{{"source", "dict[str, pandas.DataFrame]", pyglue::required(), nullptr,
       "因子名 → 矩阵, 需含全部十个输入"}}},
    1,
    "dict[str, pandas.DataFrame]"};

inline constexpr pyglue::FunctionDoc kAssemblePayload{R"(组装准备数据 payload。)", R"(Returns:
    dict: {"version", "meta", "data"}。

Raises:
    TypeError: 参数类型错误。
)"};
inline constexpr pyglue::ParamTable<5> kAssemblePayloadParams{
    "GroupPreparedDataBuilder._assemble_payload",
    {{{"data", "dict[str, pandas.DataFrame]", pyglue::required(), nullptr, "派生矩阵"},
      {"component_matrices", "dict[str, pandas.DataFrame]", pyglue::required(), nullptr,
       "成分股矩阵"},
      {"benchmark_dict", "dict[str, pandas.Series]", pyglue::required(), nullptr, "基准收益序列"},
      {"component_names", "list[str]", pyglue::required(), nullptr, "本次构建使用的成分股因子名"},
      {"meta_time_key", "str", pyglue::required(), nullptr,
       "时间戳键, \"created_at\" 或 \"updated_at\""}}},
    5,
    "dict[str, typing.Any]"};

inline constexpr pyglue::FunctionDoc kBuildPayload{R"(读取、派生并组装 payload。)", R"(Returns:
    dict: payload。

Raises:
    ValueError: 成分股矩阵缺失, 消息以 "成分股矩阵缺失，无法精确生成二进制缓存: " 开头。
    NetworkError: 数据客户端传输失败。
)"};
inline constexpr pyglue::ParamTable<2> kBuildPayloadParams{
    "GroupPreparedDataBuilder._build_payload",
    {{{"incremental", "bool", pyglue::required(), nullptr, "是否批量读取 (增量构建)", "", false},
      {"meta_time_key", "str", pyglue::required(), nullptr, "时间戳键"}}},
    2,
    "dict[str, typing.Any]"};

// What the full and the incremental build return and raise, but for the
// transfer failure, which each names in its own words.
inline constexpr char kBuildOutcome[] = R"(
Returns:
    dict: {"version", "meta", "data"} 形式的 payload。

Raises:
    ValueError: 成分股矩阵缺失。
    TypeError: 数据客户端返回的不是表或 None。
    KeyError: 基准数据缺失或原始表缺少列。
)";

inline constexpr char kBuildSummary[] =
    R"(全量构建 payload (每个因子单独查询), 元信息记 "created_at"。
)";
inline constexpr char kBuildIncrementalSummary[] =
    R"(增量构建 payload (一次批量查询), 元信息记 "updated_at"。
)";
inline constexpr char kBuildTransfer[] = "    NetworkError: 数据客户端传输失败。\n";
inline constexpr char kBuildIncrementalTransfer[] = "    NetworkError: 单独查询传输失败。\n";

inline constexpr const char* kBuild =
    pyglue::joined_text<kBuildSummary, kBuildOutcome, kBuildTransfer>;
inline constexpr const char* kBuildIncremental =
    pyglue::joined_text<kBuildIncrementalSummary, kBuildOutcome, kBuildIncrementalTransfer>;

// Both builds take nothing but the builder.
inline constexpr pyglue::ParamTable<0> kBuildParams{
    "GroupPreparedDataBuilder.build", {}, 0, "dict[str, typing.Any]"};
inline constexpr pyglue::ParamTable<0> kBuildIncrementalParams{
    "GroupPreparedDataBuilder.build_incremental", {}, 0, "dict[str, typing.Any]"};

inline constexpr const char* kBuildWindow = R"(构建增量写入窗口的 payload。

写入后的存储与从头整体构建的逐格相同: 从窗口前两个已存储日期开始构建, 每只股票的
prev_close 从 stored_close 中最后一个已知收盘价接续 (包括窗口内没有收盘价的股票);
forward_return_rank_cache 依赖其后两日的开盘价, 所以窗口前两个已存储日期的这一行也重写;
其余矩阵截回要写入的日期。

Args:
    base_index (list[str]): 已存储的 close_price 日期, 严格升序的 "YYYYMMDD" 文本。
    write_start_date (str): 窗口第一个日期。
    write_end_date (str): 窗口最后一个日期。
    stored_close (pandas.DataFrame | None): 已存储的 close_price (日期 × 股票, 可以是内存
        映射读取的), 默认 None。不给时 prev_close 只能从读取起点接续, 读取起点之前最后一个
        收盘价不在那两日的股票会得到 NaN。

Returns:
    dict: 截取到写入窗口的 payload, 元信息另含 "requested_write_start_date"、
        "write_end_date"、"read_start_date"。

Raises:
    TypeError: 参数类型错误。
    ValueError: base_index 为空、不是升序唯一的日期文本, 日期为空, 或窗口起点晚于终点。
    NetworkError: 数据客户端传输失败。
)";

inline constexpr const char* kPayloadSlice = R"(把 payload 截取到 write_start_date 及以后的日期。

Args:
    payload (dict): payload, 必须含 "data"。
    write_start_date (str): 第一个保留日期。

Returns:
    dict: 新 payload; 元信息的 "start_date" 改为起点, 另含 "write_start_date" 与
        "read_start_date" (原 "start_date")。输入不被修改。

Raises:
    TypeError: 参数类型错误。
    KeyError: payload 缺少 "data"。
)";

}  // namespace morvane::doc

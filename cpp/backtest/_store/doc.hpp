// Docstrings of morvane.backtest._store.
#pragma once

namespace morvane::doc {

inline constexpr const char* kStoreModule = "预备数据的二进制存储, 以及日期与矩阵的整理函数。";

inline constexpr const char* kNormalizeYyyymmdd = R"(把一个日期整理为 8 位 "YYYYMMDD" 文本。

Args:
    value (str | int | datetime.date | pandas.Timestamp | numpy.datetime64 | None):
        "YYYYMMDD" 或 "YYYY-MM-DD" 文本、同样数字的 8 位整数 (例如 20240102)、日期对象, 或 None。

Returns:
    str | None: 8 位 "YYYYMMDD" 文本 (精确的 str 类型); 输入为 None 时返回 None。

Raises:
    TypeError: value 的类型不是上述之一 (例如 float 或 bool)。
    ValueError: value 不是真实存在的日期, 例如 20231345。
)";

inline constexpr const char* kComponentDatasetKey = R"(成分股因子名对应的数据集键。

Args:
    name (str): 成分股因子名, 例如 "rq_index_components_new_000300.XSHG"。

Returns:
    str: "component__" 加上转换后的名字: ASCII 字母小写化, 数字保留, 其他 ASCII 字符替换为 "_",
    非 ASCII 字符写成 "u<十六进制码点>_" (不同的中文名得到不同的键),
    例如 "component__rq_index_components_new_000300_xshg"。

Raises:
    TypeError: name 不是 str。
)";

inline constexpr const char* kCleanMatrix =
    R"(整理一张日期 × 股票表: 行标签统一为升序的 "YYYYMMDD" 文本, 列标签统一为股票代码文本。

行标签可以是 "YYYYMMDD" 文本、"YYYY-MM-DD" 文本、8 位整数或时间戳; 同一日期出现多次时保留最后一行。
列标签为整数时补零到 6 位 (CSV 读入会把 000001 变成 1); 带交易所后缀的代码 ("000001.XSHE")
保留前 6 个字符。

Args:
    table (pandas.DataFrame): 日期 × 股票的因子表、权重表或行情矩阵。

Returns:
    pandas.DataFrame: 新表 (不与输入共享数据), 数值为 float64; 输入全部为 bool 列时保持 bool。
    输入不会被修改。

Raises:
    TypeError: table 不是 pandas.DataFrame。
    ValueError: 某列含非数值数据 (消息中给出列名)、某个行标签不是有效日期, 或两个列标签整理后
        成为同一代码。
)";

}  // namespace morvane::doc

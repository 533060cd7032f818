// Docstrings of morvane.backtest._prepare.
#pragma once

#include "pyglue/store_params.hpp"

namespace morvane::doc {

inline constexpr const char* kPrepareModule =
    "预备回测数据: 数据格式的常量与辅助函数, 以及带成分股扩展的二进制预备数据存储。";

inline constexpr const char* kParseNameList = R"(把名字参数整理为文本列表。

Args:
    raw_values (None | str | Iterable): None; 或一段文本, 其中的全角逗号 "，"、全角分号 "；"、
        分号 ";" 与换行都视为逗号分隔, 例如 "a，b；c"; 或任意可迭代对象 (元素不再拆分),
        例如 ["a ", 5, ""]。

Returns:
    list[str]: 每个元素的文本形式去掉首尾空白后的非空项, 保持输入顺序, 保留重复项;
    None 得到空列表。

Raises:
    TypeError: raw_values 既不是 None、文本, 也不可迭代。
)";

inline constexpr const char* kGetComponentFactorNames = R"(内置的成分股因子名。

Returns:
    list[str]: COMPONENT_FACTOR_NAMES 的新副本 (每次调用都是新列表)。

Raises:
    无。
)";

inline constexpr const char* kBuildMatrixDtype = R"(预备数据存储的数据集类型表。

Args:
    component_names (list[str] | None): 成分股因子名, 默认 None 表示内置的五个, 例如
        ["rq_index_components_new_000300.XSHG"]; [] 表示不含成分股数据集。

Returns:
    dict[str, str]: 先是 BASE_MATRIX_DTYPE 的十二项, 再是每个成分股的
    component_dataset_key(name) → "float64"。

Raises:
    TypeError: component_names 既不是 list 也不是 None。
)";

inline constexpr const char* kSeriesToYyyymmdd = R"(把一列日期值转换为 "YYYYMMDD" 文本。

8 位整数和 8 位的整值浮点数 (CSV 读入的日期, 例如 20240102 或 20240102.0) 按 YYYYMMDD 读取;
其他值交给 pandas.to_datetime (errors="coerce") 解析。

Args:
    values (pandas.Series | array-like): 日期值, 例如 pd.Series(["2024-01-02", 20240103])。

Returns:
    pandas.Series: "YYYYMMDD" 文本; 无法解析的值为缺失。输入为 Series 时保留其索引,
    否则使用默认整数索引; 不删除也不重排行。

Raises:
    无: 无法解析的值输出为缺失。
)";

inline constexpr const char* kPreparedStore =
    R"(带成分股扩展的二进制预备数据存储: 在基类之上, 按内置成分股因子名扩展矩阵类型表,
并可按需补充成分股矩阵。)";

inline constexpr const char* kPreparedStoreInit = R"(创建存储对象 (不读写磁盘)。

Args:
    store_dir (str | os.PathLike): 存储目录, 可以尚不存在,
        例如 Path.home() / ".morvane" / "backtest_data" / "enviroment_data"。
    component_names (list[str] | None): 成分股因子名, 默认 None 表示内置的五个。

Returns:
    None: 无返回值。

Raises:
    TypeError: store_dir 不是文本或路径, 或 component_names 既不是 list 也不是 None。
)";

inline constexpr pyglue::FunctionDoc kPreparedLoad{R"(读取预备数据。

keys 为 None 时读取 matrix_dtype 中、且存储确实持有的数据集 (按 matrix_dtype 的顺序),
旧存储缺少的成分股数据集因此被跳过而不报错。)",
                                                   R"(Returns:
    dict | None: {"version", "meta", "data"} 形式的 payload; 没有元信息文件时为 None。

Raises:
    TypeError: keys 既不是 list 也不是 None, 或其他参数类型错误。
    KeyError: keys 中有存储没有的数据集。
    MorvaneError: 文件损坏或缺失 (消息给出文件与修复的命令), 或另一个写入者正在写入。
)"};

inline constexpr pyglue::ParamTable<5> kPreparedLoadParams =
    pyglue::params::load_table("BinaryPreparedDataStore.load");

inline constexpr const char* kAddComponentMatrices = R"(向已有存储补充成分股矩阵, 不重建存储。

已存在的数据集从不覆盖。先检查全部新成分股, 再写文件; 元信息原子替换, 之后重写清单。
任一成分股缺失或为空时不写任何文件。

Args:
    component_matrices (dict[str, pandas.DataFrame]): 成分股因子名 → 日期 × 股票矩阵
        (属于该指数为 1.0, 否则缺失)。
    component_names (list[str]): 要补充的成分股因子名, 例如 ["rq_index_components_new_000300.XSHG"]。

Returns:
    list[str]: 实际写入的成分股因子名; 全部已存在时为空列表, 元信息文件保持不变。

Raises:
    TypeError: component_matrices 不是映射, component_names 不是 list, 或矩阵不是 DataFrame。
    ValueError: 某个成分股的矩阵缺失或没有行, 消息为 "缺失成分股矩阵为空，无法补充: " 加名字;
        或矩阵的行标签、数值不合规。
    FileNotFoundError: 存储没有元信息文件。
    MorvaneError: 另一个写入者正在写入, 或文件损坏。
)";

}  // namespace morvane::doc

// Docstrings of morvane.backtest._store.
#pragma once

#include "pyglue/store_params.hpp"

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

行标签可以是 "YYYYMMDD" 文本、"YYYY-MM-DD" 文本、8 位整数或时间戳 (带时区的时间戳取上海时间的
日历日期); 同一日期出现多次时保留最后一行。
列标签为整数时补零到 6 位 (CSV 读入会把 000001 变成 1); 带交易所后缀的代码 ("000001.XSHE")
保留前 6 个字符。

Args:
    table (pandas.DataFrame): 日期 × 股票的因子表、权重表或行情矩阵。
    copy (bool): 默认 True, 结果总是新表; False 时, 已经整理好的 float64 表 (标签不变、行已升序
        且无重复) 直接以只读视图返回, 不复制数据 (回测在一次调用内只读它, 省去一次整表复制)。
    name (str): 错误消息里对这张表的称呼, 默认 "table", 例如回测传入 "strategy"。

Returns:
    pandas.DataFrame: 新表 (copy=True 时不与输入共享数据), 数值为 float64; 输入全部为 bool 列时
    保持 bool。输入不会被修改。

Raises:
    TypeError: table 不是 pandas.DataFrame, 或某列的值是日期、时长等转换成数字也没有意义的类型
        (消息中给出列名)。
    ValueError: 某列含非数值数据 (消息中给出列名)、某个行标签不是有效日期、某个列标签不是有效
        文本, 或两个列标签整理后成为同一代码。
)";

inline constexpr const char* kStoreBase =
    R"(预备数据的二进制矩阵存储 (日期 × 标签矩阵, 每个数据集一个文件)。

目录内: 元信息文件 metadata.pkl (提交点, 最后写入)、由它派生的 manifest.json、每个数据集一个
.mvd 文件、写入锁 writer.lock, 以及写入过程中短暂存在的写前日志 journal.wal。
格式见 docs/storage.md。构造时不访问磁盘, 目录可以尚不存在。

属性:
    store_dir (pathlib.Path): 存储目录。
    matrix_dtype (dict[str, str]): 数据集键 → "float64" 或 "bool", 保持给定顺序。
    version (int): 数据版本, 写入元信息的 "version"。
    default_dtype (str): matrix_dtype 未列出的数据集使用的类型。
    metadata_path (pathlib.Path): 元信息文件路径, exists() 表示存储中是否有数据。
    manifest_path (pathlib.Path): 清单文件路径。
)";

inline constexpr const char* kStoreInit = R"(创建存储对象 (不读写磁盘)。

Args:
    store_dir (str | os.PathLike): 存储目录, 例如 Path.home() / ".morvane" / "data"; 可以尚不存在。
    matrix_dtype (dict[str, str]): 数据集键 → "float64" 或 "bool", 例如 {"close_price": "float64"}。
    version (int): 数据版本, 例如 1; 任意数值会转换为整数。
    default_dtype (str): 未列出的数据集的类型, "float64" 或 "bool"。

Returns:
    None: 无返回值。

Raises:
    TypeError: store_dir 不是文本或路径, matrix_dtype 不是 dict, version 不是数值, default_dtype 不是 str。
    ValueError: 某个类型不是 "float64" 或 "bool"。
)";

inline constexpr const char* kLoadMetadata =
    R"(读取元信息 (只还原普通值的 pickle, 不执行文件中的任何代码)。

Returns:
    dict: 元信息, 含 "version"、"datasets" (数据集键 → {"file", "dtype", "shape", "checksum",
    "index": 升序 "YYYYMMDD" 日期列表})、"benchmarks" (基准代码 → 数据集键) 与 "meta"。

Raises:
    FileNotFoundError: 元信息文件不存在 (消息给出路径)。
    MorvaneError: 元信息文件损坏、引用了任何对象或含普通值以外的类型; 或另一个写入者正在写入,
        而上次被中断的写入需要先恢复。
)";

inline constexpr pyglue::FunctionDoc kLoad{R"(读取预备数据, 可按日期裁剪、按键选择。

keys 为 None 时读取除基准序列外的全部数据集。)",
                                           R"(Returns:
    dict | None: {"version", "meta", "data"}; "data" 含每个数据集的日期 × 标签表与 "benchmark_dict"
    (基准代码 → 日收益序列); 元信息文件不存在时返回 None。映射得到的表格会看到之后 update_tail
    就地改写的末尾行; 需要固定快照时用 mmap=False。

Raises:
    TypeError: 日期、keys、mmap 或 verify 的类型错误。
    ValueError: 日期不是有效日期。
    KeyError: keys 中有存储没有的数据集 (消息给出键)。
    MorvaneError: 元信息或数据文件损坏 (文件头、大小、校验和不符, 或文件处是一个目录), 文件名
        不安全, 或另一个写入者正在写入; 消息给出文件与修复的命令。
    DataFileError: 数据文件缺失或无法读取 (也是 MorvaneError 与 OSError), 消息给出文件与修复的命令。
)"};

inline constexpr pyglue::ParamTable<5> kLoadParams =
    pyglue::params::load_table("BinaryPreparedDataStoreBase.load");

inline constexpr const char* kDamagedDatasets =
    R"(逐个校验元信息记录的数据文件, 列出缺失或损坏的文件。

每个文件都检查大小、文件头、与元信息记录的校验和以及每一行的校验和, 代价约为读一遍整个存储
(释放 GIL)。准备数据时用它判断目录是否完整。

Returns:
    list[str]: 每个缺失或损坏的数据文件一条说明 (给出数据集与文件); 全部完好时为空列表。

Raises:
    FileNotFoundError: 元信息文件不存在。
    MorvaneError: 元信息文件无法读取, 或另一个写入者正在写入。
)";

inline constexpr const char* kWrite = R"(整体写入一个 payload, 替换存储原有的全部内容 (一次提交)。

先检查整个 payload, 再写新文件; 元信息文件最后原子替换, 之后才删除旧文件。进程在任何时刻被杀,
存储都保持旧内容或新内容之一。目录不存在时创建。

Args:
    payload (dict): {"version": 存储的版本, "meta": dict, "data": {键: 日期 × 标签表,
        "benchmark_dict": {代码: pandas.Series}}}; 行标签为严格升序的 "YYYYMMDD" 文本, 列标签为 str。

Returns:
    None: 无返回值。

Raises:
    TypeError: payload 不是映射, 某个表不是 DataFrame, 列标签不是 str, bool 数据集含非 bool 列,
        或 meta 含普通值以外的类型。
    ValueError: 缺少 "data" 或 "version"、版本不符、行标签不是升序唯一的日期文本、float 数据集含非数值数据
        (消息给出数据集)。
    MorvaneError: 另一个写入者正在写入。
    OSError: 磁盘写入失败 (原有内容不受影响)。
)";

inline constexpr const char* kUpdateTail = R"(按日期把 payload 合并进存储 (增量更新尾部)。

payload 的行替换同日期的已存行, 更晚的日期追加在后, 已存的行不会被删除; 新股票代码成为新列
(旧行读出为缺失, bool 掩码读出为 "不可交易": can_buy_stock 为 False, cant_sell_stock 为 True);
payload 没有的数据集保持不变; 基准序列同样合并。文件有余量时只写改动的行与标签, 改写已提交内容时
先写写前日志, 所以进程被杀后存储保持旧状态或新状态之一。

Args:
    payload (dict): 与 write 相同格式的 payload, 通常只含最近若干个交易日。

Returns:
    bool: 写入成功为 True; payload 的 "close_price" 没有行、某个已存基准在 payload 中没有序列,
    或已存元信息不完整 (不存在、缺 "datasets"/"benchmarks"/"close_price"、版本不符) 时为 False,
    且不写任何文件。

Raises:
    TypeError / ValueError: 与 write 相同的 payload 检查, 或数据集的存储类型与已存的不同。
    MorvaneError: 已存文件损坏, 或另一个写入者正在写入。
)";

inline constexpr const char* kWriteMatrix = R"(把一个矩阵写成新的数据集文件 (尚未登记到元信息)。

Args:
    store_dir (str | os.PathLike): 存储目录。
    key (str): 数据集键, 例如 "component__rq_index_components_new_000300_xshg"。
    matrix (pandas.DataFrame): 日期 × 标签矩阵。
    dtype (str): "float64" 或 "bool"。

Returns:
    dict: 数据集描述 {"file", "dtype", "shape", "checksum", "index"}, 供元信息 "datasets"[key] 使用。

Raises:
    TypeError / ValueError: 与 write 相同的表格检查。
    OSError: 磁盘写入失败。
)";

inline constexpr const char* kCheckMatrix = R"(只检查一个矩阵能否写成数据集, 不写文件。

Args:
    key (str): 数据集键。
    matrix (pandas.DataFrame): 日期 × 标签矩阵。
    dtype (str): "float64" 或 "bool"。

Returns:
    None: 无返回值。

Raises:
    TypeError / ValueError: 与 write 相同的表格检查。
)";

inline constexpr const char* kWriteManifest = R"(由元信息重写清单 manifest.json (原子替换)。

Args:
    store_dir (str | os.PathLike): 存储目录。
    metadata (dict): 元信息; 每个数据集的日期列表在清单中写成行数与首末日期。

Returns:
    None: 无返回值。

Raises:
    TypeError: metadata 不是 dict。
    OSError: 磁盘写入失败。
)";

inline constexpr const char* kWriteMetadata =
    R"(原子替换元信息文件 (pickle, 最高协议): 临时文件、fsync、重命名、目录 fsync。

Args:
    metadata (dict): 只含 dict、list、tuple、str、int、float、bool 与 None 的元信息。

Returns:
    None: 无返回值。

Raises:
    TypeError: metadata 不是 dict, 或含其他类型的值 (消息给出位置)。
    OSError: 磁盘写入失败 (原文件不受影响)。
)";

inline constexpr const char* kWriterLockMethod = R"(取得存储的独占写入锁, 并恢复被中断的写入。

Returns:
    _WriterLock: 锁对象, 可用于 with 语句, 或调用 release() 释放。

Raises:
    MorvaneError: 另一个写入者 (本进程或其他进程) 正持有锁。
)";

inline constexpr const char* kWriterLock = "存储目录的独占写入锁; 进程退出时由系统自动释放。";

}  // namespace morvane::doc

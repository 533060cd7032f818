// Documentation texts of morvane.backtest._service.
#pragma once

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
    "首次调用时下载并解压参考数据包; 本地数据缺失关键数据集或成分股矩阵时重新下载;\n"
    "之后按 close_price 尾部两行起的窗口从数据客户端增量刷新到今天, 最后打印各数据集的\n"
    "最新日期。新数据包先解压到临时目录并校验, 通过后才替换原目录, 所以下载失败、中断\n"
    "或数据包有问题时原有数据保持不变; 多个进程同时准备时依次进行。\n\n"
    "Args:\n"
    "    无。\n"
    "Returns:\n"
    "    None: 无返回值。\n"
    "Raises:\n"
    "    NetworkError: 数据包下载失败 (重试之后) 或内容不完整。\n"
    "    MorvaneError: 没有 HTTP 客户端、下载地址无效、数据包不合法或不完整、校验和不符,\n"
    "        或增量更新失败。";

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
    "        [\"component__rq_index_components_new_000300_xshg\"]。\n"
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
    "    MorvaneError: 数据文件损坏。";

inline constexpr const char* kStrategy =
    "对目标权重矩阵跑策略回测并出图。\n\n"
    "Args:\n"
    "    strategy (pandas.DataFrame): 目标权重, 行为 \"YYYYMMDD\" 日期, 列为股票代码\n"
    "        (如 \"000001\"), 值为目标权重; NaN 或 0 表示不持有。\n"
    "    data (BacktestData): load_backtest_data() 的结果, 必填。\n"
    "    start_date (str | int): 回测首日 (含), 例如 \"20200102\" 或 20200102。\n"
    "    end_date (str | int): 回测末日 (含), 例如 \"20231229\"。\n"
    "    output_dir (str | PathLike | None): 图片目录, 出图时必填, 不存在时创建, 例如 \"out\"。\n"
    "    plot_filename (str): 不带目录和扩展名的图片文件名, 也用作策略名与图标题, 例如\n"
    "        \"my_strategy\"; 出图时不能为空。\n"
    "    benchmark (str): 对比基准代码, \"000300\"、\"000905\" 或 \"000852\", 默认 \"000852\";\n"
    "        数据中没有的代码按基准收益为 0 计算并给出警告。\n"
    "    rolling_window (int): 权重平滑窗口 (交易日), 默认 0; 0 或 1 表示不平滑。\n"
    "    total_money (float): 初始资金, 取值 (0, 1e12], 默认 1e8。\n"
    "    fee (float): 买卖佣金费率, 取值 [0, 1), 默认 1e-4。\n"
    "    rule_fee (float): 卖出印花税率, 取值 [0, 1), 默认 5e-4。\n"
    "    plot (str | None): 图形版式 \"large\" (宽) 或 \"long\" (长), 默认 \"large\";\n"
    "        None 不出图。出图时写 \"{plot_filename}.png\" 与\n"
    "        \"{plot_filename}_weekly_net_value.png\"。\n"
    "Returns:\n"
    "    StrategyBacktestResult: 日收益、净值、统计指标、基准汇总与图片路径。\n"
    "Raises:\n"
    "    TypeError: 参数类型不符 (strategy 不是 DataFrame、data 不是 BacktestData 等),\n"
    "        或 benchmark 不是 str (由计算核心以 benchmark_names 报出)。\n"
    "    ValueError: 权重矩阵为空, 或出图时 output_dir / plot_filename 为空, 或日期无效。\n"
    "    KeyError: 回测数据缺少所需的矩阵。";

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

}  // namespace morvane::doc

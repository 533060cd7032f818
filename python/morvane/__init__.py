"""morvane: A 股量化研究工具包, C++ 计算核心加 Python 胶水层。"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

__version__ = "0.1.0"

# 顶层只导入轻量模块: C++ 扩展与 pandas 按需导入 (回测子包的 __init__ 不加载扩展), 这样
# `import morvane` 在扩展尚未编译时也能用, 且不为只取数的用户付出加载扩展的代价。
from . import logger, singleton
from .exceptions import MorvaneError, MorvaneWarning, NetworkError

if TYPE_CHECKING:
    import os
    from pathlib import Path

    import pandas as pd

    from . import sweep
    from ._http import HttpClient
    from .backtest import _CallableBacktestPackage
    from .backtest._service import BacktestService
    from .backtest.result import BacktestData, BacktestResult, StrategyBacktestResult
    from .singleton import DataClient

    # The subpackage is callable as the factor backtest; said so, type checkers
    # see `morvane.backtest(...)` return a BacktestResult.
    backtest: _CallableBacktestPackage
else:
    from . import backtest

__all__ = [
    "__version__",
    "init",
    "get_http_client",
    "prepare_backtest_data",
    "load_backtest_data",
    "backtest",
    "backtest_strategy",
    "BacktestData",
    "BacktestResult",
    "StrategyBacktestResult",
    "MorvaneError",
    "MorvaneWarning",
    "NetworkError",
    "logger",
    "singleton",
    "sweep",
]

# Loaded on first use, so that `import morvane` stays light (they bring pandas).
_RECORDS = ("BacktestData", "BacktestResult", "StrategyBacktestResult")


def __getattr__(name: str) -> object:
    """Loads morvane.sweep and the result records on first use."""
    import importlib

    if name == "sweep":
        return importlib.import_module(".sweep", __name__)
    if name in _RECORDS:
        return getattr(importlib.import_module(".backtest.result", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


_http_lock = threading.Lock()
_http_client: HttpClient | None = None
# The one service of the package, rebuilt when init configures another HTTP client.
_service: BacktestService | None = None


def init(
    client: DataClient | None = None,
    *,
    http: HttpClient | None = None,
    base_url: str | None = None,
    token: str | None = None,
) -> None:
    """初始化 morvane: 安装数据客户端, 并配置数据包下载用的 HTTP 客户端。

    未给出的部分保持原样, 例如只传 client 不会清掉已配置的 HTTP 客户端。
    先完成全部校验再生效, 任何一步出错都不会只改了一半。

    Args:
        client (DataClient | None): 数据客户端, 默认 None 表示不更改, 例如用户实现的 API 封装。
        http (HttpClient | None): 现成的 HTTP 客户端, 默认 None; 与 base_url 二选一。
        base_url (str | None): 用它构造 HttpClient 的服务根地址, 默认 None,
            例如 "https://data.example.com/api/v1"。
        token (str | None): 与 base_url 一起使用的访问令牌, 默认 None。
    Returns:
        None: 无返回值。
    Raises:
        TypeError: client 不满足 DataClient 协议, 或 http 不是 HttpClient。
        ValueError: 同时给出 http 与 base_url, 或只给了 token 而没有 base_url,
            或 base_url 不是 http/https 地址。
    """
    global _http_client, _service
    from ._http import HttpClient

    new_http: HttpClient | None = None
    if http is not None:
        if not isinstance(http, HttpClient):
            raise TypeError(f"http 应为 HttpClient, 实际为 {type(http).__name__}")
        if base_url is not None or token is not None:
            raise ValueError("http 与 base_url/token 只能二选一")
        new_http = http
    elif base_url is not None:
        new_http = HttpClient(base_url, token)
    elif token is not None:
        raise ValueError("给出 token 时必须同时给出 base_url")

    if client is not None:
        singleton.set_instance(client)  # 不满足协议时在这里抛 TypeError, HTTP 槽位尚未改动
    if new_http is not None:
        with _http_lock:
            _http_client = new_http
            _service = None  # the next call builds the service over the new client
    logger.logger.debug(
        "morvane 已初始化: client=%s, http=%r",
        type(client).__name__ if client is not None else "(未更改)",
        new_http if new_http is not None else "(未更改)",
    )


def get_http_client() -> HttpClient | None:
    """取出 init 配置的 HTTP 客户端。

    Returns:
        HttpClient | None: 已配置的客户端; 从未配置时为 None。
    """
    with _http_lock:
        return _http_client


def _backtest_service() -> BacktestService:
    """The package's service over the configured HTTP client (built on first use)."""
    global _service
    with _http_lock:
        if _service is None:
            from .backtest._service import BacktestService

            _service = BacktestService(_http_client)
        return _service


def _folder(store_dir: object) -> Path | None:
    import os
    from pathlib import Path

    if store_dir is None:
        return None
    if isinstance(store_dir, bool) or not isinstance(store_dir, (str, os.PathLike)):
        raise TypeError(
            f"store_dir 应为 str、os.PathLike 或 None, 实际为 {type(store_dir).__name__}"
        )
    text = os.fspath(store_dir)
    if not isinstance(text, str) or not text.strip():
        raise ValueError(f"store_dir 应为非空的目录路径, 收到 {store_dir!r}")
    return Path(text)


def _date_or(value: object, name: str, default: str) -> str:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise TypeError(f'{name} 应为 "YYYYMMDD" 文本或 8 位整数, 实际为 {type(value).__name__}')
    from .backtest import _store

    try:
        return str(_store.normalize_yyyymmdd(value))
    except ValueError as error:
        raise ValueError(f"{name}: {error}") from None


def _installed_client() -> DataClient | None:
    try:
        return singleton.get_instance()
    except MorvaneError:
        return None


def _data_source(client: object) -> DataClient:
    """The client given, or the installed one; a clear word when there is neither."""
    if client is not None:
        if not isinstance(client, singleton.DataClient):
            raise TypeError(
                f"client 应满足 DataClient 协议 (get_factors 与 get_index_daily 方法), 实际为 {type(client).__name__}"
            )
        return client
    try:
        return singleton.get_instance()
    except MorvaneError:
        raise MorvaneError(
            "没有数据来源: 用 morvane.init(client=...) 装入数据客户端 (SyntheticMarketClient、"
            "LocalFileClient(目录) 或自己的客户端) 从它构建, 或用 morvane.init(base_url=..., token=...) "
            "配置下载参考数据包的 HTTP 客户端"
        ) from None


def prepare_backtest_data(
    store_dir: str | os.PathLike[str] | None = None,
    *,
    client: DataClient | None = None,
    start_date: str | int | None = None,
    end_date: str | int | None = None,
    replace: bool = False,
) -> None:
    """准备或刷新回测基准数据, 最后在日志里给出各数据集的最新日期。

    两种来源:

    - 参考数据包 (配置了 HTTP 客户端, 且没有给出 store_dir、client、日期或 replace): 包的标准流程,
      目录固定为用户主目录下的 ~/.morvane/backtest_data/enviroment_data。首次调用时下载并解压参考
      数据包; 本地数据缺失关键数据集或成分股矩阵, 或有数据文件缺失、损坏时重新下载; 之后从数据
      客户端增量刷新到今天。
    - 数据客户端 (给出 client, 或 morvane.init(client=...) 装入的客户端, 例如合成市场
      SyntheticMarketClient、本地文件 LocalFileClient("my_files") 或自己的客户端): 目录没有完整
      数据 (或 replace 为 True) 时从客户端整体构建; 已有完整数据时从同一个客户端重建末尾两个已存储
      交易日及之后的数据。本地文件目录缺少必需的文件时什么也不写。

    两种来源都先写进目录旁的临时目录并校验, 通过后才替换原目录, 所以失败、中断或数据有问题时
    原有数据不变; 同一目录上的多个准备 (其他进程、命令行) 依次进行, 加载只会看到替换前或替换后的数据。

    Args:
        store_dir (str | PathLike | None): 预备数据目录, 不存在时创建, 例如 "my_store";
            默认 None 表示包的目录 (load_backtest_data() 读的那个)。
        client (DataClient | None): 数据来源, 默认 None 表示 morvane.init 装入的客户端;
            只在构建期间使用, 不改变装入的客户端。
        start_date (str | int | None): 从客户端整体构建时的首日, 例如 "20150105";
            默认 None 表示不限 (客户端有多早就从多早)。
        end_date (str | int | None): 末日, 例如 20240116; 默认 None 表示今天。
        replace (bool): 已有完整数据时也从客户端整体重建, 默认 False。换用另一个数据来源
            (例如另一个种子的合成市场) 时要给 True, 否则末尾会接上另一个来源的数据。
    Returns:
        None: 无返回值; 用 load_backtest_data(store_dir) 加载结果。
    Raises:
        TypeError: store_dir、client、日期或 replace 的类型不符。
        ValueError: 日期无效或首日晚于末日, store_dir 为空; 数据客户端的数据不全 (例如没有收盘价
            或基准指数行情)。
        FileNotFoundError: LocalFileClient 的目录缺少必需的输入文件 (消息列出全部缺少的文件)。
        NetworkError: 数据包下载失败 (重试之后) 或内容不完整。
        MorvaneError: 既没有数据客户端也没有 HTTP 客户端 (消息说明如何用 morvane.init 配置)、
            下载地址无效、数据包不合法或不完整、校验和不符, 或增量更新失败; 磁盘空间不足时为
            DataFileError (也是 OSError)。
    """
    folder = _folder(store_dir)
    if not isinstance(replace, bool):
        raise TypeError(f"replace 应为 bool, 实际为 {type(replace).__name__}")
    from .backtest import _folders

    package_folder = folder is None or _folders._is_package_folder(folder)
    installed = _installed_client()
    # The package's own flow, unless a data client is there to build from
    # while no data service is: a store in place is then brought up to date
    # by the service as ever, and with no store and no source the message
    # names both ways to get one.
    from_package = (
        client is None
        and package_folder
        and start_date is None
        and end_date is None
        and not replace
        and (get_http_client() is not None or installed is None)
    )
    if from_package:
        if get_http_client() is None and not _folders.has_store(_folders.default_store_dir()):
            _data_source(None)
        _backtest_service().prepare_backtest_data()
        return
    _prepare_from_client(_data_source(client), folder, start_date, end_date, replace)


def _prepare_from_client(
    source: DataClient, folder: Path | None, start_date: object, end_date: object, replace: bool
) -> None:
    """Builds or refreshes the store in `folder` (None: the package's) from a data client."""
    from .backtest import _folders, _service

    first = _date_or(start_date, "start_date", _folders.FIRST_DATE)
    last = _date_or(end_date, "end_date", str(_service._today()))
    if first > last:
        raise ValueError(f"start_date {first} 晚于 end_date {last}")
    target = _folders.default_store_dir() if folder is None else folder
    _folders.prepare_from_client(
        source,
        target,
        start=first,
        end=last,
        replace=replace,
        source=f"数据客户端 {type(source).__name__}",
    )


def load_backtest_data(store_dir: str | os.PathLike[str] | None = None) -> BacktestData:
    """加载完整的回测基准数据到内存 (供多进程 / 多线程并发回测复用)。

    Args:
        store_dir (str | PathLike | None): 预备数据目录, 例如 "my_store" 或命令行
            morvane demo 写的 "morvane-demo/prepared-data"; 默认 None 表示包的目录。
    Returns:
        BacktestData: data 为数据集名到日期 x 股票表的映射, 外加 "benchmark_dict"。
    Raises:
        TypeError: store_dir 不是 str、os.PathLike 或 None。
        FileNotFoundError: 目录里还没有回测数据, 请先调用 morvane.prepare_backtest_data()。
        MorvaneError: 数据文件损坏或缺失 (每一行都比对校验和); 消息给出文件与修复办法
            (重新调用 morvane.prepare_backtest_data())。
    """
    folder = _folder(store_dir)
    if folder is None:
        return _backtest_service().load_backtest_data()
    from .backtest import _folders

    return _folders.load_store(folder)


def backtest_strategy(
    strategy: pd.DataFrame,
    data: BacktestData,
    start_date: str | int,
    end_date: str | int,
    output_dir: str | os.PathLike[str] | None,
    plot_filename: str,
    *,
    benchmark: str = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 1e-4,
    rule_fee: float = 5e-4,
    plot: str | None = "large",
    record_trades: bool = False,
) -> StrategyBacktestResult:
    """对目标权重矩阵跑策略回测并出图。

    Args:
        strategy (pandas.DataFrame): 目标权重, 行为 "YYYYMMDD" 日期, 列为股票代码 (如 "000001"),
            值为目标权重; NaN 或 0 表示不持有。行、列都是单层索引, 每个日期只出现一次;
            带时区的时间戳行标签按上海时间的日历日期读。
        data (BacktestData): load_backtest_data() 的结果, 必填。
        start_date (str | int): 回测首日 (含), 例如 "20190102" 或 20190102。
        end_date (str | int): 回测末日 (含), 例如 "20231229"。
        output_dir (str | PathLike | None): 图片目录, 出图时必填, 不存在时创建, 例如 "out"。
        plot_filename (str): 不带目录和扩展名的图片文件名, 也用作策略名与图标题, 例如 "my_strategy";
            出图时不能为空, 不能含 NUL 字符。
        benchmark (str): 对比基准代码, "000300"、"000905" 或 "000852", 默认
            "000852"。数据中没有的代码按基准收益为 0 计算并发出 MorvaneWarning。
        rolling_window (int): 权重平滑窗口 (交易日), 0 或 1 表示不平滑, 须不小于 0, 默认 0。
        total_money (float): 初始资金, 须为正的有限数, 默认 1e8。
        fee (float): 买卖佣金费率, 取值 [0, 1), 默认 1e-4。
        rule_fee (float): 卖出印花税率, 取值 [0, 1), 默认 5e-4。
        plot (str | None): 图形版式 "large" 或 "long", None 不出图, 默认 "large"。
        record_trades (bool): True 时结果另带交易流水 trades、每日持股 positions 与合计
            trade_totals, 以及 positions_frame() (pyfolio 所要的每日持仓市值与现金), 默认 False。
    Returns:
        StrategyBacktestResult: 日收益、净值、统计指标、基准汇总、基准日收益与图片路径;
            returns_frame() 给出 pyfolio、quantstats、empyrical 可直接用的日收益表。区间内没有可回测的
            权重时结果为空, 并发出 MorvaneWarning。
    Raises:
        TypeError: 参数类型不符, 表的行或列是多层索引, 或某列的值是日期、时长等非数值;
            benchmark 不是 str 时报为 benchmark_names。
        ValueError: 权重矩阵为空、日期重复、含无穷大的值 (指出第一个单元格)、rolling_window 为负、
            资金或费率越界, 出图时 output_dir / plot_filename 为空, 或日期无效。
        NotADirectoryError: 出图时 output_dir 处已有同名文件。
        MorvaneError: 回测数据缺少所需的数据集 (消息说明如何重新准备)。
    """
    return _backtest_service().backtest_strategy(
        strategy,
        data,
        start_date,
        end_date,
        output_dir,
        plot_filename,
        benchmark=benchmark,
        rolling_window=rolling_window,
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        plot=plot,
        record_trades=record_trades,
    )

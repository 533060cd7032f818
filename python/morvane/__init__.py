"""morvane: A 股量化研究工具包, C++ 计算核心加 Python 胶水层。"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

__version__ = "0.1.0"

# 顶层只导入轻量模块: C++ 扩展按需导入 (回测子包的 __init__ 不加载扩展), 这样
# `import morvane` 在扩展尚未编译时也能用, 且不为只取数的用户付出加载扩展的代价。
from . import backtest, logger, singleton
from .exceptions import MorvaneError, MorvaneWarning, NetworkError

if TYPE_CHECKING:
    import os

    import pandas as pd

    from ._http import HttpClient
    from .backtest._service import BacktestService
    from .backtest.result import BacktestData, StrategyBacktestResult
    from .singleton import DataClient
    from . import sweep

__all__ = [
    "__version__",
    "init",
    "get_http_client",
    "prepare_backtest_data",
    "load_backtest_data",
    "backtest",
    "backtest_strategy",
    "MorvaneError",
    "MorvaneWarning",
    "NetworkError",
    "logger",
    "singleton",
    "sweep",
]

def __getattr__(name: str) -> object:
    """Loads morvane.sweep on first use, so `import morvane` stays light."""
    if name == "sweep":
        import importlib

        return importlib.import_module(".sweep", __name__)
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


def prepare_backtest_data() -> None:
    """准备回测基准数据(无参数)。

    首次调用时下载并解压参考数据包; 本地数据缺失关键数据集或成分股矩阵, 或有数据文件
    缺失、损坏时重新下载; 之后从数据客户端增量刷新到今天, 最后打印各数据集的最新日期。
    新数据包先解压到临时目录并校验, 通过后才替换原目录, 所以下载失败、中断或数据包有问题
    时原有数据不变; 多个进程同时准备时依次进行。

    Args:
        无。
    Returns:
        None: 无返回值。
    Raises:
        NetworkError: 数据包下载失败 (重试之后) 或内容不完整。
        MorvaneError: 没有 HTTP 客户端 (请先 morvane.init(base_url=..., token=...))、
            下载地址无效、数据包不合法或不完整、校验和不符, 或增量更新失败; 磁盘空间不足时为
            DataFileError (也是 OSError)。
    """
    _backtest_service().prepare_backtest_data()


def load_backtest_data() -> BacktestData:
    """加载本地完整回测基准数据到内存(供多进程 / 多线程并发回测复用)。

    Args:
        无。
    Returns:
        BacktestData: data 为数据集名到日期 x 股票表的映射, 外加 "benchmark_dict"。
    Raises:
        FileNotFoundError: 尚未准备回测数据, 请先调用 morvane.prepare_backtest_data()。
        MorvaneError: 数据文件损坏或缺失 (每一行都比对校验和); 消息给出文件与修复办法
            (重新调用 morvane.prepare_backtest_data())。
    """
    return _backtest_service().load_backtest_data()


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
) -> StrategyBacktestResult:
    """对目标权重矩阵跑策略回测并出图。

    Args:
        strategy (pandas.DataFrame): 目标权重, 行为 "YYYYMMDD" 日期, 列为股票代码
            (如 "000001"), 值为目标权重; NaN 或 0 表示不持有。
        data (BacktestData): load_backtest_data() 的结果, 必填。
        start_date (str | int): 回测首日 (含), 例如 "20200102" 或 20200102。
        end_date (str | int): 回测末日 (含), 例如 "20231229"。
        output_dir (str | PathLike | None): 图片目录, 出图时必填, 不存在时创建, 例如 "out"。
        plot_filename (str): 不带目录和扩展名的图片文件名, 也用作策略名与图标题,
            例如 "my_strategy"; 出图时不能为空。
        benchmark (str): 对比基准代码, "000300"、"000905" 或 "000852", 默认 "000852";
            数据中没有的代码按基准收益为 0 计算并给出警告。
        rolling_window (int): 权重平滑窗口 (交易日), 默认 0; 0 或 1 表示不平滑。
        total_money (float): 初始资金, 取值 (0, 1e12], 默认 1e8。
        fee (float): 买卖佣金费率, 取值 [0, 1), 默认 1e-4。
        rule_fee (float): 卖出印花税率, 取值 [0, 1), 默认 5e-4。
        plot (str | None): 图形版式 "large" 或 "long", 默认 "large"; None 不出图。
    Returns:
        StrategyBacktestResult: 日收益、净值、统计指标、基准汇总与图片路径。
    Raises:
        TypeError: 参数类型不符, 或 benchmark 不是 str (报为 benchmark_names)。
        ValueError: 权重矩阵为空, 或出图时 output_dir / plot_filename 为空, 或日期无效。
        KeyError: 回测数据缺少所需的矩阵。
    """
    return _backtest_service().backtest_strategy(
        strategy, data, start_date, end_date, output_dir, plot_filename,
        benchmark=benchmark, rolling_window=rolling_window, total_money=total_money,
        fee=fee, rule_fee=rule_fee, plot=plot,
    )

"""morvane 的数据客户端槽位: 全包共用一个由用户注入的数据客户端。"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Protocol, runtime_checkable

from .exceptions import MorvaneError

if TYPE_CHECKING:  # pandas 只在类型标注里出现, 导入本模块不需要它
    import pandas as pd

__all__ = ["DataClient", "set_instance", "get_instance"]

_REQUIRED_METHODS: tuple[str, ...] = ("get_factors", "get_index_daily")

_NOT_INITIALISED = (
    "数据客户端尚未初始化: 请先调用 morvane.init(client=...) "
    "或 morvane.singleton.set_instance(client)"
)


@runtime_checkable
class DataClient(Protocol):
    """morvane 取数所依赖的数据客户端协议, 由用户实现后通过 set_instance 注入。

    任何对象只要提供下面两个方法 (只接受关键字参数) 即满足协议, 无需继承本类。
    传输层失败 (连不上、连接中断、服务端持续出错) 时两个方法都应抛出
    morvane.exceptions.NetworkError, 以便调用方统一处理; "查无数据"
    不是错误, 返回 None 或空表即可。

    get_factors(*, factor, start_date, end_date) -> pandas.DataFrame | None
        按因子名取个股因子值。

        - factor (str | list[str]): 一个或多个因子名, 例如 "momentum_20d"。
        - start_date / end_date (str): 闭区间起止日期, "YYYY-MM-DD" 文本,
          例如 "2024-01-02"。
        - 返回长表或宽表二者之一:
          长表: 列 "ukey" (股票代码)、"date"、"value"; 取多个因子时另有一列
          因子名, 列名为 "factor"、"factor_name" 或 "factorname" 之一。
          宽表: 列 "ukey"、"date", 其余每个因子各占一列, 列名即因子名。
        - 区间内没有数据时返回 None 或空表。

    get_index_daily(*, ukeys, start_date, end_date) -> pandas.DataFrame | None
        取指数日行情, 用作基准。

        - ukeys (list[str]): 带交易所后缀的指数代码, 例如 ["000300.XSHG"]。
        - start_date / end_date (str): 闭区间起止日期, "YYYYMMDD" 文本,
          例如 "20240102"。
        - 返回一张表: 日期列名为 "date" 或 "DataDate"; 请求多个指数时带
          "ukey" 列区分指数; 另有日收益率列 ("daily_return"、"return"、
          "returns"、"pct_change" 或 "change_rate" 之一) 或收盘价列 "close"
          (此时由收盘价推算日收益率)。
        - 没有数据时返回 None。

    Args:
        无: 协议类本身不实例化, 只用于类型标注与 isinstance 检查。
    Returns:
        DataClient: 满足协议的对象可通过 isinstance(obj, DataClient) 判定。
    Raises:
        NetworkError: 由实现方在传输失败时抛出。
    """

    def get_factors(
        self, *, factor: str | list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None:
        """取 start_date..end_date ("YYYY-MM-DD") 区间的一个或多个因子值。"""
        ...

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None:
        """取 start_date..end_date ("YYYYMMDD") 区间的指数日行情。"""
        ...


_lock = threading.Lock()
_instance: DataClient | None = None


def _missing_methods(client: object) -> list[str]:
    return [name for name in _REQUIRED_METHODS if not callable(getattr(client, name, None))]


def set_instance(client: DataClient | None) -> None:
    """安装全包共用的数据客户端; 传 None 清空槽位。

    Args:
        client (DataClient | None): 实现了 get_factors 与 get_index_daily 的对象,
            例如用户自己的 API 封装; None 表示清空。
    Returns:
        None: 无返回值。
    Raises:
        TypeError: client 缺少 get_factors 或 get_index_daily 方法。
    """
    global _instance
    if client is not None:
        missing = _missing_methods(client)
        if missing:
            raise TypeError(
                f"client 应实现 DataClient 协议 (get_factors 与 get_index_daily), "
                f"实际为 {type(client).__name__}, 缺少 {', '.join(missing)}"
            )
    with _lock:
        _instance = client


def get_instance() -> DataClient:
    """取出已安装的数据客户端。

    Returns:
        DataClient: 通过 set_instance 或 morvane.init 安装的客户端。
    Raises:
        MorvaneError: 尚未安装任何客户端。
    """
    with _lock:
        client = _instance
    if client is None:
        raise MorvaneError(_NOT_INITIALISED)
    return client

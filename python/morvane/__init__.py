"""morvane: A 股量化研究工具包, C++ 计算核心加 Python 胶水层。"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

__version__ = "0.1.0"

# 顶层只导入轻量模块: 回测子包和 C++ 扩展按需导入, 这样 `import morvane`
# 在扩展尚未编译时也能用, 且不为只取数的用户付出加载扩展的代价。
from . import logger, singleton
from .exceptions import MorvaneError, NetworkError

if TYPE_CHECKING:
    from ._http import HttpClient
    from .singleton import DataClient

__all__ = [
    "__version__",
    "init",
    "get_http_client",
    "MorvaneError",
    "NetworkError",
    "logger",
    "singleton",
]

_http_lock = threading.Lock()
_http_client: HttpClient | None = None


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
    global _http_client
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

"""标准库实现的 HTTP(S) 客户端: JSON 接口、字节读取、流式读取与有界重试。

流式读取响应体 (摘要、截断与超长的判断) 在 _http_stream 中, 令牌只发往同源地址的判断与重定向处理在
_http_origin 中; 这里是请求与重试策略。
"""

from __future__ import annotations

import hashlib
import http.client
import json
import ssl
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
from typing import TypeVar

from ._http_origin import _origin, _redact_url, _SameOriginAuthRedirect
from ._http_stream import (
    Progress,
    StreamedBody,
    _BodyReader,
    _OversizedBody,
    _TruncatedBody,
    read_streamed,
)
from .exceptions import NetworkError

__all__ = ["HttpClient", "StreamedBody"]

_T = TypeVar("_T")

# 单次退避的上限: 指数增长很快, 不设上限时重试几次就要等上分钟级。
_MAX_BACKOFF = 8.0

# 这些异常说明连接本身出了问题 (拒绝、重置、超时、响应被截断), 值得重试。
# 不能笼统捕获 OSError: 下载时写盘失败 (磁盘满、无权限) 也是 OSError,
# 重试只会重复失败, 应原样抛给调用方。
_RETRYABLE = (
    urllib.error.URLError,
    ConnectionError,
    TimeoutError,
    http.client.HTTPException,
    ssl.SSLError,
)


def _package_version() -> str:
    try:
        from . import __version__
    except ImportError:
        return "0"
    return str(__version__) or "0"


_DEFAULT_USER_AGENT = f"morvane/{_package_version()}"


def _check_number(name: str, value: object, *, integer: bool = False) -> None:
    # bool 是 int 的子类, 但 retries=True 几乎总是写错了参数, 所以单独拒绝。
    expected: tuple[type, ...] = (int,) if integer else (int, float)
    if isinstance(value, bool) or not isinstance(value, expected):
        wanted = "int" if integer else "int 或 float"
        raise TypeError(f"{name} 应为 {wanted}, 实际为 {type(value).__name__}")


def _check_str(name: str, value: object) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} 应为 str, 实际为 {type(value).__name__}")


class HttpClient:
    """只依赖标准库的 HTTP(S) 客户端, 带令牌认证与有界指数退避重试。

    连接错误、超时、响应截断与 HTTP 5xx 会重试, 最多 retries 次, 第 n 次重试前
    等待 min(backoff * 2**n, 8) 秒; HTTP 4xx 立即失败。所有传输失败都抛出
    NetworkError, 信息里给出 URL、状态码或原因和尝试次数, 但绝不包含令牌。
    令牌只发给与 base_url 同源 (协议、主机、端口都相同) 的地址, 包括重定向之后。

    Args:
        base_url (str): 服务根地址, 必须是 http 或 https, 例如 "https://data.example.com/api/v1"。
        token (str | None): 访问令牌, 默认 None 表示不认证。
        timeout (float): 单次连接与读取的超时秒数, 默认 30.0, 必须大于 0。
        retries (int): 首次失败后的最多重试次数, 默认 3, 必须大于等于 0。
        backoff (float): 退避基数秒数, 默认 0.5, 必须大于等于 0。
        token_header (str): 放令牌的请求头, 默认 "Authorization" (此时发送
            "Bearer <token>"), 其它头名直接发送令牌原文, 例如 "X-Api-Key"。
        user_agent (str): User-Agent 请求头, 默认 "morvane/<版本号>"。
        _sleep (Callable[[float], None]): 退避等待函数, 默认 time.sleep, 测试时可替换。
    Returns:
        HttpClient: 可在多线程间共享的客户端。
    Raises:
        TypeError: 参数类型不符, 信息中给出参数名、期望类型与实际类型。
        ValueError: base_url 不是 http/https 地址, 或 timeout、retries、backoff 取值越界。
    """

    def __init__(
        self,
        base_url: str,
        token: str | None = None,
        *,
        timeout: float = 30.0,
        retries: int = 3,
        backoff: float = 0.5,
        token_header: str = "Authorization",
        user_agent: str = _DEFAULT_USER_AGENT,
        _sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        _check_str("base_url", base_url)
        if token is not None:
            _check_str("token", token)
        _check_number("timeout", timeout)
        _check_number("retries", retries, integer=True)
        _check_number("backoff", backoff)
        _check_str("token_header", token_header)
        _check_str("user_agent", user_agent)
        if not callable(_sleep):
            raise TypeError(f"_sleep 应为可调用对象, 实际为 {type(_sleep).__name__}")

        parts = urllib.parse.urlsplit(base_url.strip())
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(
                f"base_url 必须是 http 或 https 地址, 实际为 {_redact_url(base_url)!r}"
            )
        if not timeout > 0:
            raise ValueError(f"timeout 必须大于 0, 实际为 {timeout!r}")
        if retries < 0:
            raise ValueError(f"retries 必须大于等于 0, 实际为 {retries!r}")
        if not backoff >= 0:
            raise ValueError(f"backoff 必须大于等于 0, 实际为 {backoff!r}")
        if not token_header.strip():
            raise ValueError("token_header 不能为空")
        # 换行会让令牌拆出额外的请求头; 信息里故意不回显令牌。
        if token is not None and ("\r" in token or "\n" in token):
            raise ValueError("token 不能包含换行符")

        # 末尾统一带 "/", 拼接相对路径时才不会吃掉 base_url 的最后一段。
        self._base_url = urllib.parse.urlunsplit(parts._replace(fragment="")).rstrip("/") + "/"
        self._token = token or None
        self._base_origin = _origin(self._base_url)
        self._timeout = float(timeout)
        self._retries = retries
        self._backoff = float(backoff)
        self._token_header = token_header.strip()
        self._user_agent = user_agent
        self._sleep = _sleep
        self._opener = urllib.request.build_opener(_SameOriginAuthRedirect(self._token_header))

    @property
    def base_url(self) -> str:
        """服务根地址 (末尾带 "/")。"""
        return self._base_url

    @property
    def timeout(self) -> float:
        """单次请求的超时秒数。"""
        return self._timeout

    @property
    def retries(self) -> int:
        """首次失败后的最多重试次数。"""
        return self._retries

    def __repr__(self) -> str:
        token = "'***'" if self._token else "None"
        return (
            f"HttpClient(base_url={_redact_url(self._base_url)!r}, token={token}, "
            f"timeout={self._timeout}, retries={self._retries})"
        )

    # ------------------------------------------------------------------ URL

    def url(self, path: str) -> str:
        """把相对路径拼到 base_url 后; 完整的 http(s) 地址原样返回。

        开头的 "/" 被视为相对 base_url 而不是站点根目录, 这样
        base_url="https://h/api/v1" 时 url("/factors") 得到 "https://h/api/v1/factors"。

        Args:
            path (str): 相对路径或完整地址, 例如 "factors/daily" 或 "https://cdn.example.com/a.zip"。
        Returns:
            str: 完整的请求地址。
        Raises:
            TypeError: path 不是 str。
            ValueError: path 是 http/https 以外协议的地址。
        """
        _check_str("path", path)
        if "://" in path:
            scheme = urllib.parse.urlsplit(path).scheme.lower()
            if scheme not in ("http", "https"):
                raise ValueError(f"只支持 http/https 地址, 实际为 {_redact_url(path)!r}")
            return path
        return self._base_url + path.lstrip("/")

    def _full_url(self, path: str, params: Mapping[str, object] | None) -> str:
        url = self.url(path)
        if params is None:
            return url
        if not isinstance(params, Mapping):
            raise TypeError(f"params 应为 dict, 实际为 {type(params).__name__}")
        # 值为 None 的参数直接省略, 方便调用方写 {"end": end or None} 这类可选条件。
        pairs = {str(k): v for k, v in params.items() if v is not None}
        if not pairs:
            return url
        query = urllib.parse.urlencode(pairs, doseq=True)
        return f"{url}{'&' if '?' in url else '?'}{query}"

    # -------------------------------------------------------------- request

    def _request(self, url: str, accept: str) -> urllib.request.Request:
        req = urllib.request.Request(url, method="GET")
        req.add_header("User-Agent", self._user_agent)
        req.add_header("Accept", accept)
        # 令牌只属于 base_url 所在的服务: 别的源 (另一主机、端口或协议, 例如镜像或
        # 对象存储上的数据包地址) 的完整地址一律不带令牌。
        if self._token and _origin(url) == self._base_origin:
            value = (
                f"Bearer {self._token}"
                if self._token_header.lower() == "authorization"
                else self._token
            )
            req.add_unredirected_header(self._token_header.capitalize(), value)
        return req

    def _scrub(self, text: str) -> str:
        # 兜底: 万一服务端把令牌回显进错误原因, 也不让它出现在异常信息里。
        if self._token and self._token in text:
            text = text.replace(self._token, "***")
        return text

    def _fail(self, url: str, reason: str, attempts: int) -> NetworkError:
        return NetworkError(
            self._scrub(f"请求失败: {_redact_url(url)} ({reason}), 共尝试 {attempts} 次")
        )

    def _delay(self, attempt: int) -> float:
        return min(self._backoff * (2.0**attempt), _MAX_BACKOFF)

    def _with_retries(
        self, url: str, accept: str, consume: Callable[[http.client.HTTPResponse], _T]
    ) -> _T:
        """发起 GET 并用 consume 读取响应, 按重试策略处理传输失败。"""
        total = self._retries + 1
        last_error: BaseException | None = None
        reason = ""
        for attempt in range(total):
            if attempt:
                self._sleep(self._delay(attempt - 1))
            try:
                with self._opener.open(self._request(url, accept), timeout=self._timeout) as resp:
                    return consume(resp)
            except urllib.error.HTTPError as exc:
                status = exc.code
                exc.close()
                if not 500 <= status < 600:
                    raise self._fail(url, f"HTTP {status} {exc.reason}", attempt + 1) from exc
                last_error, reason = exc, f"HTTP {status} {exc.reason}"
            except _TruncatedBody as exc:
                last_error, reason = exc, f"连接中断: {exc}"
            except _RETRYABLE as exc:
                cause = exc.reason if isinstance(exc, urllib.error.URLError) else exc
                # 证书校验失败不会因为重试而好转。
                if isinstance(cause, ssl.SSLCertVerificationError):
                    raise self._fail(url, f"证书校验失败: {cause}", attempt + 1) from exc
                last_error, reason = exc, f"{type(cause).__name__}: {cause}"
        raise self._fail(url, reason, total) from last_error

    # ------------------------------------------------------------------ API

    def get_bytes(self, path: str, *, params: Mapping[str, object] | None = None) -> bytes:
        """GET 一个地址并返回完整的响应体。

        Args:
            path (str): 相对 base_url 的路径或完整地址, 例如 "files/universe.csv"。
            params (dict | None): 查询参数, 默认 None; 值为 None 的项被省略, 列表值会展开为重复参数。
        Returns:
            bytes: 响应体。
        Raises:
            TypeError: path 或 params 类型不符。
            NetworkError: 连接失败、响应被截断、HTTP 4xx, 或重试耗尽后仍为 5xx。
        """
        url = self._full_url(path, params)
        return self._with_retries(url, "*/*", lambda resp: resp.read())

    def get_json(self, path: str, *, params: Mapping[str, object] | None = None) -> object:
        """GET 一个 JSON 接口并返回解码后的对象。

        Args:
            path (str): 相对 base_url 的路径或完整地址, 例如 "factors"。
            params (dict | None): 查询参数, 默认 None, 例如 {"start": "2024-01-02"}。
        Returns:
            object: json.loads 的结果 (dict、list 等)。
        Raises:
            TypeError: path 或 params 类型不符。
            NetworkError: 传输失败, 或响应体不是合法 JSON。
        """
        url = self._full_url(path, params)
        body = self._with_retries(url, "application/json", lambda resp: resp.read())
        try:
            return json.loads(body)
        except (ValueError, UnicodeDecodeError) as exc:
            # 常见于代理或网关返回的 HTML 错误页; 重试不会让它变成 JSON。
            raise NetworkError(
                self._scrub(f"响应不是合法 JSON: {_redact_url(url)} ({exc})")
            ) from exc

    def stream_with_digest(
        self,
        url_or_path: str,
        consume: Callable[[_BodyReader], _T],
        *,
        algorithm: str = "sha256",
        progress: Progress | None = None,
        expected_size: int | None = None,
    ) -> StreamedBody[_T]:
        """GET 一个地址, 把响应体作为只读文件对象交给 consume, 边读边算摘要。

        consume(reader) 用 reader.read(n) 读取响应体; 它返回后剩下的字节也会读完, 所以大小与
        摘要总是覆盖整个响应体。失败按重试策略处理, 每次尝试都从头开始 (新的摘要、新的
        reader, consume 被再次调用), 所以 consume 必须在开头丢弃上一次尝试的产出。响应体在
        consume 途中提前结束时, consume 抛出的任何异常都按连接中断处理 (会重试)。

        Args:
            url_or_path (str): 相对 base_url 的路径或完整地址, 例如 "packs/2024.tar"。
            consume (Callable[[reader], T]): 读取响应体的函数, 其返回值放在结果的 value 中。
            algorithm (str): hashlib 的算法名, 默认 "sha256"。
            progress (Callable[[int, int | None], None] | None): 每读一块调用一次
                progress(已读字节数, 总字节数或 None), 默认 None。
            expected_size (int | None): 预期的总字节数, 默认 None; 收到的字节多于它时立即失败。
        Returns:
            StreamedBody: 响应体的字节数、十六进制小写摘要与 consume 的返回值。
        Raises:
            TypeError: 参数类型不符。
            ValueError: expected_size 为负, 或 hashlib 不认识 algorithm。
            NetworkError: 传输失败 (重试之后)、响应体少于 Content-Length 或 expected_size,
                或多于 expected_size。
            Exception: consume 自己抛出的异常 (响应体完整时) 原样抛出, 不重试。
        """
        _check_str("algorithm", algorithm)
        try:
            hashlib.new(algorithm)
        except ValueError as exc:
            raise ValueError(f"不支持的摘要算法: {algorithm!r}") from exc
        if not callable(consume):
            raise TypeError(f"consume 应为可调用对象, 实际为 {type(consume).__name__}")
        if expected_size is not None:
            _check_number("expected_size", expected_size, integer=True)
            if expected_size < 0:
                raise ValueError(f"expected_size 必须大于等于 0, 实际为 {expected_size!r}")
        if progress is not None and not callable(progress):
            raise TypeError(f"progress 应为可调用对象, 实际为 {type(progress).__name__}")
        url = self.url(url_or_path)

        def attempt(resp: http.client.HTTPResponse) -> StreamedBody[_T]:
            return read_streamed(resp, consume, algorithm, progress, expected_size)

        try:
            return self._with_retries(url, "*/*", attempt)
        except _OversizedBody as exc:
            raise self._oversized(url, exc) from exc

    def _oversized(self, url: str, exc: _OversizedBody) -> NetworkError:
        return NetworkError(
            self._scrub(
                f"下载内容多于预期: {_redact_url(url)} (已收到 {exc.args[0]} 字节, 预期 {exc.args[1]} 字节)"
            )
        )

"""HttpClient 对本机真实 HTTP 服务的行为: 认证、重试、截断与下载。"""

from __future__ import annotations

import hashlib
import json
import random
import threading
from collections import Counter
from collections.abc import Callable, Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

import pytest

from morvane._http import HttpClient
from morvane.exceptions import NetworkError

TOKEN = "s3cr3t-token-value"
FILE_BODY = bytes(range(256)) * 40  # 10240 字节, 跨多个块
# 不重复的内容: 缓冲区被提前覆盖或块的哈希顺序错了, 摘要都会变
MIXED_BODY = random.Random(0).randbytes(300_000)


class _Handler(BaseHTTPRequestHandler):
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:  # 保持测试输出干净
        pass

    def _send(
        self,
        status: int,
        body: bytes,
        *,
        ctype: str = "application/json",
        reason: str | None = None,
        length: int | None = None,
    ) -> None:
        self.send_response(status, reason)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self) -> None:
        parts = urlsplit(self.path)
        path = parts.path
        with self.server.lock:
            self.server.hits[path] += 1
            hits = self.server.hits[path]
            self.server.headers.append(dict(self.headers))
        auth = self.headers.get("Authorization")
        if path == "/api/echo":
            payload = {
                "query": parse_qs(parts.query),
                "auth": auth,
                "x_key": self.headers.get("X-Api-Key"),
                "ua": self.headers.get("User-Agent"),
            }
            self._send(200, json.dumps(payload).encode())
        elif path == "/api/flaky":
            if hits == 1:
                self._send(500, b"{}")
            else:
                self._send(200, b'{"ok": true}')
        elif path == "/api/down":
            # 把收到的认证头写进状态行原因里, 检验客户端不会把令牌带进异常信息
            self._send(503, b"", reason=f"down for {auth}")
        elif path == "/api/missing":
            self._send(404, b"", reason=f"no such thing {auth}")
        elif path == "/api/html":
            self._send(200, b"<html>gateway</html>", ctype="text/html")
        elif path == "/api/truncated":
            self._send(200, FILE_BODY[:10], length=len(FILE_BODY))
            self.close_connection = True
        elif path == "/api/file":
            self._send(200, FILE_BODY, ctype="application/octet-stream")
        elif path == "/api/mixed":
            self._send(200, MIXED_BODY, ctype="application/octet-stream")
        elif path == "/api/truncated-once":
            if hits == 1:
                self._send(200, FILE_BODY[:100], length=len(FILE_BODY))
                self.close_connection = True
            else:
                self._send(200, FILE_BODY, ctype="application/octet-stream")
        elif path == "/api/redirect":
            target = parse_qs(parts.query)["to"][0]
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self._send(418, b"")


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.lock = threading.Lock()
        self.hits: Counter[str] = Counter()
        self.headers: list[dict[str, str]] = []

    @property
    def root(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}"


def _start() -> tuple[_Server, threading.Thread]:
    server = _Server()
    thread = threading.Thread(
        target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
    )
    thread.start()
    return server, thread


@pytest.fixture(autouse=True)
def _no_proxy(monkeypatch: pytest.MonkeyPatch) -> None:
    # 本机服务不能经由环境里可能配置的代理访问
    for name in (
        "http_proxy",
        "https_proxy",
        "all_proxy",
        "HTTP_PROXY",
        "HTTPS_PROXY",
        "ALL_PROXY",
    ):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def servers() -> Iterator[Callable[[], _Server]]:
    started: list[tuple[_Server, threading.Thread]] = []

    def start() -> _Server:
        started.append(_start())
        return started[-1][0]

    yield start
    for srv, thread in started:
        srv.shutdown()
        srv.server_close()
        thread.join(timeout=5)


@pytest.fixture
def server(servers: Callable[[], _Server]) -> _Server:
    return servers()


@pytest.fixture
def sleeps() -> list[float]:
    return []


@pytest.fixture
def make_client(server: _Server, sleeps: list[float]) -> Callable[..., HttpClient]:
    def make(**kwargs: Any) -> HttpClient:
        kwargs.setdefault("token", TOKEN)
        kwargs.setdefault("timeout", 5.0)
        return HttpClient(server.root + "/api", _sleep=sleeps.append, **kwargs)

    return make


@pytest.mark.parametrize(
    ("header", "auth", "x_key"),
    [("Authorization", f"Bearer {TOKEN}", None), ("X-Api-Key", None, TOKEN)],
)
def test_get_json_sends_token_params_and_user_agent(
    make_client: Callable[..., HttpClient], header: str, auth: str | None, x_key: str | None
) -> None:
    data = make_client(token_header=header).get_json(
        "/echo", params={"ukey": ["000001", "600000"], "date": "20240102", "skip": None}
    )
    assert isinstance(data, dict) and data["ua"].startswith("morvane/")
    assert data == {
        "query": {"ukey": ["000001", "600000"], "date": ["20240102"]},
        "auth": auth,
        "x_key": x_key,
        "ua": data["ua"],
    }


def test_one_server_error_then_success(
    make_client: Callable[..., HttpClient], server: _Server, sleeps: list[float]
) -> None:
    assert make_client().get_json("flaky") == {"ok": True}
    assert server.hits["/api/flaky"] == 2
    assert sleeps == [0.5]


@pytest.mark.parametrize(
    ("retries", "backoff", "expected_sleeps"),
    [(0, 0.5, []), (2, 0.5, [0.5, 1.0]), (4, 3.0, [3.0, 6.0, 8.0, 8.0])],
)
def test_persistent_5xx_exhausts_retries(
    make_client: Callable[..., HttpClient],
    server: _Server,
    sleeps: list[float],
    retries: int,
    backoff: float,
    expected_sleeps: list[float],
) -> None:
    with pytest.raises(NetworkError) as info:
        make_client(retries=retries, backoff=backoff).get_json("down")
    message = str(info.value)
    assert server.hits["/api/down"] == retries + 1
    assert sleeps == expected_sleeps
    assert "503" in message and f"{retries + 1} 次" in message and "/api/down" in message
    assert TOKEN not in message
    assert info.value.__cause__ is not None


def test_4xx_fails_without_retry(
    make_client: Callable[..., HttpClient], server: _Server, sleeps: list[float]
) -> None:
    with pytest.raises(NetworkError, match="404") as info:
        make_client(retries=3).get_bytes("missing")
    assert server.hits["/api/missing"] == 1 and sleeps == []
    assert TOKEN not in str(info.value)


def test_truncated_body_is_network_error(
    make_client: Callable[..., HttpClient], server: _Server
) -> None:
    client = make_client(retries=1)
    with pytest.raises(NetworkError, match="2 次"):
        client.get_bytes("truncated")
    assert server.hits["/api/truncated"] == 2


class TestStreamWithDigest:
    def test_consume_reads_while_hashing_and_the_rest_is_drained(
        self, make_client: Callable[..., HttpClient]
    ) -> None:
        seen: list[int] = []
        result = make_client().stream_with_digest(
            "mixed",
            lambda reader: reader.read(1000),
            progress=lambda done, total: seen.append(done),
        )
        assert (
            result.value == MIXED_BODY[:1000]
        )  # consume stopped early; size and digest still cover all
        assert result.size == len(MIXED_BODY)
        assert result.digest == hashlib.sha256(MIXED_BODY).hexdigest()
        assert seen[0] == 1000 and seen[-1] == len(MIXED_BODY)

    # Reads of 4096 bytes and more are hashed on the worker thread, smaller ones in place:
    # the digest must be the body's whichever way each block went.
    @pytest.mark.parametrize("piece", [64, 4096, 5000, 1 << 20])
    def test_digest_whatever_the_read_size(
        self, make_client: Callable[..., HttpClient], piece: int
    ) -> None:
        def consume(reader: Any) -> bytes:
            return b"".join(iter(lambda: reader.read(piece), b""))

        result = make_client().stream_with_digest("mixed", consume)
        assert result.value == MIXED_BODY and result.size == len(MIXED_BODY)
        assert result.digest == hashlib.sha256(MIXED_BODY).hexdigest()
        md5 = make_client().stream_with_digest("mixed", consume, algorithm="md5")
        assert md5.digest == hashlib.md5(MIXED_BODY).hexdigest()

    def test_each_attempt_starts_over(
        self, make_client: Callable[..., HttpClient], server: _Server
    ) -> None:
        attempts: list[bytes] = []

        def consume(reader: Any) -> int:
            attempts.append(reader.read())
            return len(attempts)

        result = make_client().stream_with_digest("truncated-once", consume)
        assert server.hits["/api/truncated-once"] == 2
        assert attempts == [FILE_BODY[:100], FILE_BODY]
        assert result.value == 2 and result.digest == hashlib.sha256(FILE_BODY).hexdigest()

    def test_error_of_consume_on_a_cut_body_is_a_retried_cut(
        self, make_client: Callable[..., HttpClient], server: _Server
    ) -> None:
        def consume(reader: Any) -> None:
            if len(reader.read(len(FILE_BODY))) < len(FILE_BODY):
                raise ValueError("unexpected end of data")

        with pytest.raises(NetworkError, match="连接中断.*2 次"):
            make_client(retries=1).stream_with_digest("truncated", consume)
        assert server.hits["/api/truncated"] == 2

    def test_error_of_consume_on_a_whole_body_is_not_retried(
        self, make_client: Callable[..., HttpClient], server: _Server
    ) -> None:
        def consume(reader: Any) -> None:
            reader.read(10)
            raise ValueError("bad content")

        with pytest.raises(ValueError, match="bad content"):
            make_client().stream_with_digest("file", consume)
        assert server.hits["/api/file"] == 1

    @pytest.mark.parametrize(
        ("expected_size", "fragment"),
        [(len(MIXED_BODY) - 1, "多于预期"), (len(MIXED_BODY) + 1, "连接中断")],
    )
    def test_expected_size(
        self, make_client: Callable[..., HttpClient], expected_size: int, fragment: str
    ) -> None:
        with pytest.raises(NetworkError, match=fragment):
            make_client(retries=0).stream_with_digest(
                "mixed", lambda reader: reader.read(), expected_size=expected_size
            )

    def test_bad_arguments(self, make_client: Callable[..., HttpClient]) -> None:
        with pytest.raises(TypeError, match="consume"):
            make_client().stream_with_digest("mixed", None)  # type: ignore[arg-type]
        with pytest.raises(ValueError, match="摘要算法"):
            make_client().stream_with_digest("mixed", lambda reader: None, algorithm="no-such-hash")
        with pytest.raises(ValueError, match="expected_size"):
            make_client().stream_with_digest("mixed", lambda reader: None, expected_size=-1)


def test_refused_connection_is_retried(sleeps: list[float]) -> None:
    srv = _Server()  # 取一个空闲端口后立刻关闭, 该端口上不再有人监听
    root = srv.root
    srv.server_close()
    client = HttpClient(root, TOKEN, retries=2, timeout=2.0, _sleep=sleeps.append)
    with pytest.raises(NetworkError, match="3 次"):
        client.get_json("x")
    assert len(sleeps) == 2


def test_invalid_json_is_network_error(make_client: Callable[..., HttpClient]) -> None:
    with pytest.raises(NetworkError, match="JSON"):
        make_client().get_json("html")


@pytest.mark.parametrize("same_origin", [True, False])
def test_token_follows_redirect_only_to_same_origin(
    make_client: Callable[..., HttpClient],
    server: _Server,
    servers: Callable[[], _Server],
    same_origin: bool,
) -> None:
    target = (server if same_origin else servers()).root + "/api/echo"
    data = make_client().get_json("redirect", params={"to": target})
    assert data["auth"] == (f"Bearer {TOKEN}" if same_origin else None)


@pytest.mark.parametrize(
    ("base", "path", "expected"),
    [
        ("http://h:8080/api/v1", "/factors", "http://h:8080/api/v1/factors"),
        ("http://h:8080/api/v1/", "factors/daily", "http://h:8080/api/v1/factors/daily"),
        ("https://h", "", "https://h/"),
        ("https://h/api", "https://cdn.example/p.zip", "https://cdn.example/p.zip"),
        ("https://h/api", "ftp://h/file", ValueError),
    ],
)
def test_url_joining(base: str, path: str, expected: str | type[Exception]) -> None:
    if isinstance(expected, str):
        assert HttpClient(base).url(path) == expected
    else:
        with pytest.raises(expected):
            HttpClient(base).url(path)


@pytest.mark.parametrize(
    "base_url", ["ftp://h/x", "h.example/api", "file:///etc/passwd", "http://"]
)
def test_bad_base_url(base_url: str) -> None:
    with pytest.raises(ValueError, match="base_url"):
        HttpClient(base_url)


@pytest.mark.parametrize(
    ("kwargs", "error", "fragments"),
    [
        ({"base_url": 42}, TypeError, ("base_url", "str", "int")),
        ({"timeout": "5"}, TypeError, ("timeout", "float", "str")),
        ({"retries": 2.0}, TypeError, ("retries", "int", "float")),
        ({"retries": True}, TypeError, ("retries", "int", "bool")),
        ({"backoff": None}, TypeError, ("backoff", "NoneType")),
        ({"token": 123}, TypeError, ("token", "int")),
        ({"timeout": 0}, ValueError, ("timeout",)),
        ({"retries": -1}, ValueError, ("retries",)),
        ({"backoff": -0.1}, ValueError, ("backoff",)),
    ],
)
def test_bad_arguments(
    kwargs: dict[str, Any], error: type[Exception], fragments: tuple[str, ...]
) -> None:
    kwargs = {"base_url": "http://127.0.0.1", **kwargs}
    with pytest.raises(error) as info:
        HttpClient(**kwargs)
    for fragment in fragments:
        assert fragment in str(info.value)


def test_token_never_in_repr_and_rejects_header_injection() -> None:
    assert TOKEN not in repr(HttpClient("https://h", TOKEN))
    with pytest.raises(ValueError) as info:
        HttpClient("https://h", "abc\r\nX-Evil: 1")
    assert "abc" not in str(info.value)

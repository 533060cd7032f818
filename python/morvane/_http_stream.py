"""HTTP 响应体的流式读取: 边读边算摘要 (与网络读取重叠), 并发现被截断或超长的响应体。"""

from __future__ import annotations

import hashlib
import http.client
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Generic, TypeVar

_T = TypeVar("_T")

# 至少这么大的块才把哈希交给工作线程, 与下一块的网络读取并行。hashlib 只在
# 2 KiB 以上的数据上释放 GIL, 块再小时线程交接比哈希本身还贵, 不如就地计算。
_THREADED_HASH_MIN = 1 << 12

# 读完 consume 剩下的响应体时每次读的字节数 (通常只剩 tar 末尾的几个填充块)。
_DRAIN_BYTES = 1 << 20

Progress = Callable[[int, "int | None"], None]


@dataclass(frozen=True)
class StreamedBody(Generic[_T]):
    """一次流式读取的结果: 响应体的字节数、摘要与 consume 的返回值。"""

    size: int
    digest: str
    value: _T


class _TruncatedBody(Exception):
    """流式读取收到的字节少于公布的长度: 连接中途被切断。"""


class _OversizedBody(Exception):
    """收到的字节多于 expected_size: 服务端给的不是预期的文件, 重试无益。"""


def read_streamed(
    resp: http.client.HTTPResponse,
    consume: Callable[[_BodyReader], _T],
    algorithm: str,
    progress: Progress | None,
    expected_size: int | None,
) -> StreamedBody[_T]:
    """一次尝试: 把响应体交给 consume, 读完剩下的字节, 检查长度并给出摘要。

    Raises:
        _TruncatedBody: 响应体少于 Content-Length 或 expected_size (consume 因此抛出的异常也算)。
        _OversizedBody: 响应体多于 expected_size。
        Exception: consume 在完整的响应体上抛出的异常, 原样抛出。
    """
    announced = _content_length(resp)
    # 每次尝试都新建摘要与计数: 上一次收到的那部分字节不能留在里面。
    with _BackgroundHash(hashlib.new(algorithm)) as hasher:
        reader = _BodyReader(resp, hasher, announced, expected_size, progress)
        try:
            value = consume(reader)
            reader.drain()
        except _OversizedBody:
            raise
        except Exception as exc:
            # 响应体提前结束时, 解析它的一方看到的是"数据不完整"之类的错误;
            # 真正的原因是连接中断, 应当重试。
            if reader.cut_short():
                raise _TruncatedBody(reader.shortfall()) from exc
            raise
        if reader.cut_short():
            raise _TruncatedBody(reader.shortfall())
        return StreamedBody(size=reader.received, digest=hasher.hexdigest(), value=value)


class _BodyReader:
    """交给 stream_with_digest 的 consume 的响应体读取器: 计数、哈希并报告进度。

    每块读出的是新的 bytes 对象, 不可变, 所以它在哈希线程里被算的同时调用方可以随意使用。
    """

    def __init__(
        self,
        resp: http.client.HTTPResponse,
        hasher: _BackgroundHash,
        announced: int | None,
        expected_size: int | None,
        progress: Progress | None,
    ) -> None:
        self._resp = resp
        self._hasher = hasher
        self._announced = announced
        self._expected = expected_size
        self._total = announced if announced is not None else expected_size
        self._progress = progress
        self._ended = False
        self.received = 0

    def readable(self) -> bool:
        return True

    def read(self, size: int | None = -1) -> bytes:
        """读至多 size 字节 (负数或 None: 读到末尾); 返回 b"" 表示响应体已结束。"""
        if size is None or size < 0:
            return b"".join(iter(lambda: self.read(1 << 20), b""))
        if size == 0 or self._ended:
            return b""
        block = self._resp.read(size)
        if not block:
            # HTTPResponse.read 在连接提前关闭时只返回 b"", 不抛 IncompleteRead:
            # 截断只能靠和公布的长度比对来发现 (cut_short)。
            self._ended = True
            return b""
        count = len(block)
        # HTTPResponse.read(n) 只在响应体结束时才返回少于 n 字节 (它读满 n 或读到末尾)。
        self._ended = count < size
        if self._expected is not None and self.received + count > self._expected:
            raise _OversizedBody(self.received + count, self._expected)
        self._hasher.hash(memoryview(block))
        self.received += count
        if self._progress is not None:
            self._progress(self.received, self._total)
        return block

    def drain(self) -> None:
        """读完 consume 没读的字节, 让大小与摘要覆盖整个响应体。"""
        while self.read(_DRAIN_BYTES):
            pass

    def cut_short(self) -> bool:
        """响应体已结束, 但少于 Content-Length 或 expected_size。"""
        return self._ended and any(
            limit is not None and self.received < limit
            for limit in (self._announced, self._expected)
        )

    def shortfall(self) -> str:
        limit = max(limit for limit in (self._announced, self._expected) if limit is not None)
        return f"收到 {self.received} / {limit} 字节"


class _BackgroundHash:
    """与读取重叠的哈希: 够大的块交给一个工作线程, 主线程同时去读下一块。

    交出下一块之前先等上一块算完, 所以块按顺序进入摘要; 块是不可变的 bytes,
    在线程里被算时调用方照常使用。
    """

    def __init__(self, digest: hashlib._Hash) -> None:
        self._digest = digest
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="morvane-hash")
        self._pending: Future[None] | None = None

    def __enter__(self) -> _BackgroundHash:
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            self._wait()
        finally:
            self._pool.shutdown(wait=True)

    def hash(self, block: memoryview) -> None:
        self._wait()
        if len(block) < _THREADED_HASH_MIN:
            self._digest.update(block)  # 小块 (例如 tar 头) 交给线程比就地哈希还贵
            return
        self._pending = self._pool.submit(self._digest.update, block)

    def hexdigest(self) -> str:
        self._wait()
        return self._digest.hexdigest()

    def _wait(self) -> None:
        pending, self._pending = self._pending, None
        if pending is not None:
            pending.result()


def _content_length(resp: http.client.HTTPResponse) -> int | None:
    raw = resp.headers.get("Content-Length")
    if raw is None:
        return None
    try:
        value = int(raw.strip())
    except ValueError:
        return None
    return value if value >= 0 else None

"""参考数据包的下载与解包。

服务端在 `PACKAGE_INDEX_PATH` (相对 HTTP 客户端的 base_url) 给出一段 JSON 描述:
{"url": 数据包地址, "sha256": 可选的十六进制校验和, "size": 可选的字节数,
"unpacked_size": 可选的解包后字节数}。数据包是一个 tar 归档 (任意压缩), 解包后即预处理
数据目录的内容。

归档来自网络, 一律按不可信处理 (见 `_untar`): 只接受普通文件与目录, 绝对路径、".." 路径段、
过长或过深的名字、链接、设备文件、FIFO、稀疏文件、超出上限的成员数或字节数都会让整个包
被拒绝, 解包目录之外的文件绝不会被写到。
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import tarfile
import uuid
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from ..exceptions import DataFileError, MorvaneError, NetworkError
from ._untar import UnpackBudget, unpack_members

if TYPE_CHECKING:
    from .._http import HttpClient

__all__ = [
    "MAX_PACKAGE_BYTES",
    "MAX_PACKAGE_MEMBERS",
    "MAX_UNPACK_RATIO",
    "PACKAGE_INDEX_PATH",
    "PackageDescription",
    "describe_benchmark_package",
    "download_benchmark_package",
    "flatten_single_subdir",
]

PACKAGE_INDEX_PATH = "backtest/benchmark-package"
MAX_PACKAGE_MEMBERS = 100_000
MAX_PACKAGE_BYTES = 64 * 2**30  # unpacked bytes, whatever the index declares
# Without an unpacked size in the index, a package may unpack to this many times
# its compressed size, or to _UNPACK_FLOOR when that is more. Stores compress
# about tenfold (a tiny one, mostly spare rows, about sixtyfold); zeros packed
# as a decompression bomb reach a thousandfold and more.
MAX_UNPACK_RATIO = 200
_UNPACK_FLOOR = 64 << 20
# Free space wanted before a download without an unpacked size, as a multiple
# of the archive's size; each member's own size is checked again before it is
# written.
_SPACE_FACTOR = 2.2
# Read size of the stream. Every block costs a few Python-level calls (read,
# hash hand-off, progress); with 64 KiB blocks they showed on a fast local link.
_CHUNK_BYTES = 16 << 20
# Members are copied in pieces of this size; on virtualised disks a 16 MiB write
# into the page cache costs a third of sixteen 1 MiB writes.
_COPY_BYTES = 16 << 20
_SHA256 = re.compile(r"^[0-9a-fA-F]{64}$")


@dataclass(frozen=True)
class PackageDescription:
    """服务端对参考数据包的描述。"""

    url: str
    sha256: str | None
    size: int | None
    unpacked_size: int | None = None


def _no_http() -> MorvaneError:
    return MorvaneError(
        "没有可用的 HTTP 客户端, 无法下载参考数据包: 请先调用 "
        "morvane.init(base_url=..., token=...) 或 morvane.init(http=HttpClient(...))"
    )


def describe_benchmark_package(http: HttpClient | None) -> PackageDescription:
    """向服务端查询参考数据包的地址、校验和与大小。

    Args:
        http (HttpClient | None): 包的 HTTP 客户端。

    Returns:
        PackageDescription: 校验过的描述。

    Raises:
        MorvaneError: 没有 HTTP 客户端, 或描述中的下载地址缺失、不是 http(s), 或校验和、大小无效。
        NetworkError: 查询失败。
    """
    if http is None:
        raise _no_http()
    answer = http.get_json(PACKAGE_INDEX_PATH)
    if not isinstance(answer, dict):
        raise MorvaneError(f"参考数据包描述无效: 期望 JSON 对象, 收到 {type(answer).__name__}")
    url = answer.get("url")
    if (
        not isinstance(url, str)
        or urlsplit(url).scheme not in ("http", "https")
        or not urlsplit(url).hostname
    ):
        raise MorvaneError(f"参考数据包下载地址无效: {url!r} (应为 http 或 https 地址)")
    sha256 = answer.get("sha256")
    if sha256 is not None and (not isinstance(sha256, str) or not _SHA256.match(sha256)):
        raise MorvaneError(f"参考数据包校验和无效: {sha256!r} (应为 64 位十六进制 sha256)")
    size = _optional_size(answer, "size")
    unpacked_size = _optional_size(answer, "unpacked_size")
    return PackageDescription(
        url=url, sha256=sha256.lower() if sha256 else None, size=size, unpacked_size=unpacked_size
    )


def _optional_size(answer: dict[str, object], key: str) -> int | None:
    value = answer.get(key)
    if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 0):
        raise MorvaneError(f"参考数据包描述的 {key} 无效: {value!r} (应为非负整数)")
    return value


def _check_free_space(folder: Path, description: PackageDescription) -> None:
    if description.unpacked_size is not None:
        needed = description.unpacked_size
    elif description.size is not None:
        needed = int(description.size * _SPACE_FACTOR)
    else:
        return
    free = shutil.disk_usage(folder).free
    if free < needed:
        raise DataFileError(
            errno.ENOSPC,
            f"磁盘空间不足, 无法下载参考数据包: {folder} 剩余 {free / 2**30:.1f} GiB, "
            f"需要约 {needed / 2**30:.1f} GiB; 请释放空间后重试",
            str(folder),
        )


def _budget(description: PackageDescription, received: Callable[[], int]) -> UnpackBudget:
    """The unpacked bytes a package may reach: declared, or a multiple of its compressed size."""
    limit = description.unpacked_size
    if limit is None and description.size is not None:
        limit = max(_UNPACK_FLOOR, MAX_UNPACK_RATIO * description.size)
    return UnpackBudget(
        limit, ratio=MAX_UNPACK_RATIO, floor=_UNPACK_FLOOR, cap=MAX_PACKAGE_BYTES, received=received
    )


def _progress_bar(total: int | None):  # noqa: ANN202 - tqdm is optional at type-check time
    try:
        from tqdm.auto import tqdm
    except ImportError:  # pragma: no cover - tqdm is a dependency
        return None
    return tqdm(
        total=total,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        desc="下载参考数据包",
        disable=None,
    )


def _empty_folder(root: Path) -> None:
    """Remove everything inside `root`, keeping `root` itself (links are removed, never followed)."""
    for entry in root.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()


def _bar_progress(bar: Any) -> Callable[[int, int | None], None]:
    """The download's progress callback, drawing on `bar` (None: no bar)."""

    def progress(received: int, total: int | None) -> None:
        if bar is not None:
            if received < bar.n or (total is not None and bar.total != total):
                bar.reset(total=total if total is not None else bar.total)  # a retry starts over
            # update, unlike refresh, redraws at most a few times a second
            bar.update(received - bar.n)

    return progress


def _check_streamed(description: PackageDescription, size: int, digest: str) -> None:
    """The whole body arrived and is the package the index describes."""
    if description.size is not None and size != description.size:
        raise NetworkError(f"参考数据包不完整: 收到 {size} 字节, 应为 {description.size} 字节")
    if description.sha256 is not None and digest != description.sha256:
        raise MorvaneError(
            f"参考数据包校验和不符: 期望 {description.sha256}, 实际 {digest}; 包可能已损坏或被篡改"
        )


def download_benchmark_package(
    http: HttpClient | None,
    store_dir: str | os.PathLike[str],
    *,
    description: PackageDescription | None = None,
) -> PackageDescription:
    """下载参考数据包并边下载边解包到 store_dir。

    数据包不落成临时文件: 响应体一边流入 (显示进度条) 一边算 sha256, 一边逐个成员检查并
    解包到 store_dir; 包尾之后的字节也会读完。流结束后才校验大小与校验和, 不符时删掉已解包
    的内容。重试时解包从头开始 (先清空 store_dir)。任何失败都不留下内容: store_dir 由本函数
    创建时连同目录一起删除, 否则只清空。

    Args:
        http (HttpClient | None): HTTP 客户端。
        store_dir (str | PathLike): 解包目录, 必须不存在或为空, 不存在时创建。
        description (PackageDescription | None): 已查询到的包描述, 默认 None 表示向服务端查询;
            调用方先查过描述 (例如要比对已安装的包) 时传入, 免得再查一次。

    Returns:
        PackageDescription: 所下载的包的描述 (地址、校验和、大小)。

    Raises:
        NetworkError: 下载失败 (重试之后), 或收到的字节少于公布的大小。
        MorvaneError: 没有 HTTP 客户端、下载地址无效、解包目录不为空、校验和不符, 或数据包不安全、
            无法解包、解包后超过描述给出的 unpacked_size (没有时为压缩大小的 MAX_UNPACK_RATIO 倍)。
        DataFileError: 磁盘空间不足或写入失败 (也是 OSError)。
    """
    if description is None:
        description = describe_benchmark_package(http)
    elif not isinstance(description, PackageDescription):
        raise TypeError(f"description 应为 PackageDescription, 实际为 {type(description).__name__}")
    if http is None:
        raise _no_http()
    target = Path(store_dir)
    target.parent.mkdir(parents=True, exist_ok=True)
    # Every attempt empties the folder before unpacking; anything already in it would be lost.
    if target.exists() and (not target.is_dir() or any(target.iterdir())):
        raise MorvaneError(f"参考数据包的解包目录必须不存在或为空: {target}")
    _check_free_space(target.parent, description)
    created = not target.exists()
    target.mkdir(exist_ok=True)
    root = target.resolve()
    bar = _progress_bar(description.size)

    def unpack(reader: object) -> int:
        _empty_folder(root)  # a retry must not see what a cut attempt unpacked
        try:
            # Stream mode reads the body once, in order, with no seeking; "*" detects any compression.
            with tarfile.open(fileobj=reader, mode="r|*", bufsize=_CHUNK_BYTES) as tar:
                budget = _budget(description, lambda: reader.received)  # type: ignore[attr-defined]
                return unpack_members(
                    tar, root, budget, max_members=MAX_PACKAGE_MEMBERS, chunk=_COPY_BYTES
                )
        except tarfile.TarError as error:
            raise MorvaneError(f"参考数据包无法解包: {error}") from error

    try:
        streamed = http.stream_with_digest(
            description.url, unpack, progress=_bar_progress(bar), expected_size=description.size
        )
        _check_streamed(description, streamed.size, streamed.digest)
    except BaseException:
        # Nothing unverified survives: not a cut attempt's members, not a package unlike its checksum.
        if created:
            shutil.rmtree(target, ignore_errors=True)
        else:
            _empty_folder(root)
        raise
    finally:
        if bar is not None:
            bar.close()
    return description


def flatten_single_subdir(store_dir: str | os.PathLike[str]) -> None:
    """当 store_dir 中只有一个子目录时, 把它的内容移到 store_dir 本身。

    子目录先改成一个不会冲突的名字再搬内容, 所以其中与子目录同名的条目也能搬上来。

    Args:
        store_dir (str | PathLike): 预处理数据目录。

    Returns:
        None

    Raises:
        OSError: 移动失败。
    """
    root = Path(store_dir)
    if not root.is_dir():
        return
    entries = list(root.iterdir())
    if len(entries) != 1 or not entries[0].is_dir() or entries[0].is_symlink():
        return
    holder = root / f".flatten-{uuid.uuid4().hex}"
    entries[0].rename(holder)
    for entry in holder.iterdir():
        entry.rename(root / entry.name)
    holder.rmdir()

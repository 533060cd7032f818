"""参考数据包的下载与解包。

服务端在 `PACKAGE_INDEX_PATH` (相对 HTTP 客户端的 base_url) 给出一段 JSON 描述:
{"url": 数据包地址, "sha256": 可选的十六进制校验和, "size": 可选的字节数}。数据包是一个
tar 归档 (任意压缩), 解包后即预处理数据目录的内容。

归档来自网络, 一律按不可信处理: 绝对路径、".." 路径段、指向目录之外的链接、设备文件与
FIFO、超出上限的成员数或字节数都会让整个包被拒绝, 解包目录之外的文件绝不会被写到。
"""

from __future__ import annotations

import os
import re
import shutil
import tarfile
import uuid
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from ..exceptions import MorvaneError, NetworkError

if TYPE_CHECKING:
    from .._http import HttpClient

__all__ = [
    "MAX_PACKAGE_BYTES",
    "MAX_PACKAGE_MEMBERS",
    "PACKAGE_INDEX_PATH",
    "PackageDescription",
    "describe_benchmark_package",
    "download_benchmark_package",
    "extract_package",
    "flatten_single_subdir",
]

PACKAGE_INDEX_PATH = "backtest/benchmark-package"
MAX_PACKAGE_MEMBERS = 100_000
MAX_PACKAGE_BYTES = 64 * 2**30  # unpacked bytes
# Free space wanted, as a multiple of the archive's size: the package is unpacked
# straight from the stream, so only the unpacked copy lands on disk, but a
# compressed package unpacks to about twice its size.
_SPACE_FACTOR = 2.2
# Read size of the stream. Every block costs a few Python-level calls (read,
# hash hand-off, progress); with 64 KiB blocks they showed on a fast local link.
_CHUNK_BYTES = 16 << 20
# tarfile copies a member's bytes in 16 KiB pieces by default; on virtualised
# disks a 16 MiB write into the page cache costs a third of sixteen 1 MiB writes.
_COPY_BYTES = 16 << 20
_SHA256 = re.compile(r"^[0-9a-fA-F]{64}$")


@dataclass(frozen=True)
class PackageDescription:
    """服务端对参考数据包的描述。"""

    url: str
    sha256: str | None
    size: int | None


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
    if not isinstance(url, str) or urlsplit(url).scheme not in ("http", "https") or not urlsplit(url).hostname:
        raise MorvaneError(f"参考数据包下载地址无效: {url!r} (应为 http 或 https 地址)")
    sha256 = answer.get("sha256")
    if sha256 is not None and (not isinstance(sha256, str) or not _SHA256.match(sha256)):
        raise MorvaneError(f"参考数据包校验和无效: {sha256!r} (应为 64 位十六进制 sha256)")
    size = answer.get("size")
    if size is not None and (not isinstance(size, int) or isinstance(size, bool) or size < 0):
        raise MorvaneError(f"参考数据包大小无效: {size!r}")
    return PackageDescription(url=url, sha256=sha256.lower() if sha256 else None, size=size)


def _check_free_space(folder: Path, size: int | None) -> None:
    if size is None:
        return
    free = shutil.disk_usage(folder).free
    needed = int(size * _SPACE_FACTOR)
    if free < needed:
        raise MorvaneError(
            f"磁盘空间不足, 无法下载参考数据包: {folder} 剩余 {free / 2**30:.1f} GiB, "
            f"需要约 {needed / 2**30:.1f} GiB"
        )


def _progress_bar(total: int | None):  # noqa: ANN202 - tqdm is optional at type-check time
    try:
        from tqdm.auto import tqdm
    except ImportError:  # pragma: no cover - tqdm is a dependency
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc="下载参考数据包", disable=None)


def _member_problem(member: tarfile.TarInfo, root: Path) -> str | None:
    """Why a member may not be extracted into `root`, or None when it may."""
    name = member.name
    pure = PurePosixPath(name.replace("\\", "/"))
    if name.startswith(("/", "\\")) or re.match(r"^[A-Za-z]:", name) or pure.is_absolute():
        return "绝对路径"
    if ".." in pure.parts:
        return "路径含 .."
    if member.isdev() or member.isfifo() or not (member.isfile() or member.isdir() or member.issym() or member.islnk()):
        return "设备文件、FIFO 或未知类型"
    if member.issym() or member.islnk():
        link = PurePosixPath(member.linkname.replace("\\", "/"))
        if link.is_absolute() or member.linkname.startswith(("/", "\\")):
            return "链接指向绝对路径"
        base = (root / pure).parent if member.issym() else root
        target = os.path.normpath(os.path.join(base, *link.parts))
        if os.path.commonpath([target, str(root)]) != str(root):
            return "链接指向解包目录之外"
    return None


def _extract_members(tar: tarfile.TarFile, root: Path) -> int:
    """Extract `tar` member by member into `root`, rejecting the whole package at the first unsafe member.

    Works on a seekable archive and on a stream alike: every member is checked
    and written in archive order, before the next header is read.
    """
    members = 0
    unpacked = 0
    for member in tar:
        members += 1
        if members > MAX_PACKAGE_MEMBERS:
            raise MorvaneError(f"参考数据包成员过多 (超过 {MAX_PACKAGE_MEMBERS} 个), 拒绝解包")
        unpacked += max(member.size, 0)
        if unpacked > MAX_PACKAGE_BYTES:
            raise MorvaneError(f"参考数据包解包后超过 {MAX_PACKAGE_BYTES} 字节, 拒绝解包")
        problem = _member_problem(member, root)
        if problem is not None:
            raise MorvaneError(f"参考数据包含不安全的成员 {member.name!r}: {problem}")
        if hasattr(tarfile, "data_filter"):
            tar.extract(member, root, filter="data")
        else:  # pragma: no cover - interpreters without extraction filters
            tar.extract(member, root)
    return members


def extract_package(archive: str | os.PathLike[str], target: str | os.PathLike[str]) -> int:
    """把 tar 归档逐个成员安全地解包到 target, 返回成员数。

    Args:
        archive (str | PathLike): tar 文件 (任意压缩)。
        target (str | PathLike): 解包目录, 不存在时创建。

    Returns:
        int: 解包的成员数。

    Raises:
        MorvaneError: 归档无法读取, 或某个成员不安全 (消息中给出成员名), 或超出成员数/字节数上限。
    """
    root = Path(target).resolve()
    root.mkdir(parents=True, exist_ok=True)
    try:
        with tarfile.open(archive, mode="r:*", copybufsize=_COPY_BYTES) as tar:
            return _extract_members(tar, root)
    except tarfile.TarError as error:
        raise MorvaneError(f"参考数据包无法解包: {error}") from error


def _empty_folder(root: Path) -> None:
    """Remove everything inside `root`, keeping `root` itself (links are removed, never followed)."""
    for entry in root.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()


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
        MorvaneError: 没有 HTTP 客户端、下载地址无效、解包目录不为空、磁盘空间不足、校验和不符,
            或数据包不安全、无法解包。
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
    _check_free_space(target.parent, description.size)
    created = not target.exists()
    target.mkdir(exist_ok=True)
    root = target.resolve()
    bar = _progress_bar(description.size)

    def progress(received: int, total: int | None) -> None:
        if bar is not None:
            if received < bar.n or (total is not None and bar.total != total):
                bar.reset(total=total if total is not None else bar.total)  # a retry starts over
            bar.update(received - bar.n)  # update, unlike refresh, redraws at most a few times a second

    def unpack(reader: object) -> int:
        _empty_folder(root)  # a retry must not see what a cut attempt unpacked
        try:
            # Stream mode reads the body once, in order, with no seeking; "*" detects any compression.
            with tarfile.open(fileobj=reader, mode="r|*", bufsize=_CHUNK_BYTES, copybufsize=_COPY_BYTES) as tar:
                return _extract_members(tar, root)
        except tarfile.TarError as error:
            raise MorvaneError(f"参考数据包无法解包: {error}") from error

    try:
        streamed = http.stream_with_digest(description.url, unpack, progress=progress, expected_size=description.size)
        if description.size is not None and streamed.size != description.size:
            raise NetworkError(f"参考数据包不完整: 收到 {streamed.size} 字节, 应为 {description.size} 字节")
        if description.sha256 is not None and streamed.digest != description.sha256:
            raise MorvaneError(
                f"参考数据包校验和不符: 期望 {description.sha256}, 实际 {streamed.digest}; 包可能已损坏或被篡改"
            )
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


"""把不可信的 tar 归档安全地解包到一个新建的目录之下。

参考数据包来自网络。预备数据目录只由普通文件和目录组成, 所以归档里任何别的成员
(符号链接、硬链接、设备文件、FIFO、稀疏文件等) 都让整个包被拒绝, 而且是在写下它的任何
内容之前。链接从不创建, 成员也不交给 tarfile 解包: 每个文件都从解包目录的描述符出发,
逐级以 O_NOFOLLOW 打开父目录, 再以 O_EXCL 新建, 所以不论 Python 版本和 tarfile 的过滤器
如何, 写入都只落在解包目录之下。解包总量有上限, 每个成员写入前还要核对剩余磁盘空间。
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import tarfile
from collections.abc import Callable
from pathlib import Path

from ..exceptions import DataFileError, MorvaneError

__all__ = [
    "MAX_MEMBER_DEPTH",
    "MAX_MEMBER_NAME_BYTES",
    "UnpackBudget",
    "unpack_members",
]

# A store is a folder of a few dozen files; names and depths beyond these are
# not a package but an attempt to outgrow PATH_MAX or NAME_MAX.
MAX_MEMBER_NAME_BYTES = 1024
MAX_MEMBER_DEPTH = 16
_NAME_MAX = 255
# Room left on the disk beside the member being written (metadata, journals).
_SPACE_RESERVE = 16 << 20
_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC

_KIND_NAMES = {
    tarfile.SYMTYPE: "符号链接",
    tarfile.LNKTYPE: "硬链接",
    tarfile.CHRTYPE: "字符设备",
    tarfile.BLKTYPE: "块设备",
    tarfile.FIFOTYPE: "FIFO",
    tarfile.GNUTYPE_SPARSE: "稀疏文件",
}


class UnpackBudget:
    """解包字节数的上限: 归档声明的总量, 或按压缩字节数的倍数计。

    Args:
        limit (int | None): 解包后的字节数上限 (数据包描述给出的解包大小或由压缩大小推出的值),
            None 表示按 received() 随读随算。
        ratio (int): limit 为 None 时, 解包字节数最多是已收到压缩字节数的多少倍。
        floor (int): limit 为 None 时的最低上限 (字节), 小包不受倍数限制。
        received (Callable[[], int] | None): 已收到的压缩字节数。
        cap (int): 无论如何都不超过的上限 (字节)。
    """

    def __init__(
        self,
        limit: int | None,
        *,
        ratio: int,
        floor: int,
        cap: int,
        received: Callable[[], int] | None = None,
    ) -> None:
        self._limit = limit
        self._ratio = ratio
        self._floor = floor
        self._cap = cap
        self._received = received
        self.used = 0

    def allowed(self) -> int:
        """此刻允许的解包总字节数。"""
        if self._limit is not None:
            return min(self._limit, self._cap)
        received = self._received() if self._received is not None else 0
        return min(max(self._floor, self._ratio * received), self._cap)

    def fixed(self) -> int | None:
        """不随读取增长的上限 (声明的或由压缩大小推出的), 没有时为 None。"""
        return None if self._limit is None else min(self._limit, self._cap)

    def claim(self, count: int, member: str) -> None:
        """记下 count 个解包字节; 超出上限时抛出 MorvaneError。"""
        self.used += count
        if self.used > self.allowed():
            raise MorvaneError(
                f"参考数据包解包后超过允许的 {self.allowed()} 字节 (在成员 {member!r} 处), "
                "疑似解压炸弹, 拒绝解包"
            )


def _member_parts(member: tarfile.TarInfo) -> tuple[list[str], str | None]:
    """The path components of a member below the root, or why it may not be unpacked."""
    name = member.name
    kind = member.type
    if member.issparse() or not (member.isreg() or member.isdir()):
        return [], f"不是普通文件或目录 ({_KIND_NAMES.get(kind, f'类型 {kind!r}')})"
    if "\\" in name or "\0" in name or name.startswith("/") or re.match(r"^[A-Za-z]:", name):
        return [], "绝对路径或含反斜杠"
    if len(os.fsencode(name)) > MAX_MEMBER_NAME_BYTES:
        return [], f"名字超过 {MAX_MEMBER_NAME_BYTES} 字节"
    parts = [part for part in name.split("/") if part not in ("", ".")]
    if ".." in parts:
        return [], "路径含 .."
    if len(parts) > MAX_MEMBER_DEPTH:
        return [], f"目录层级超过 {MAX_MEMBER_DEPTH} 层"
    if any(len(os.fsencode(part)) > _NAME_MAX for part in parts):
        return [], f"某一级名字超过 {_NAME_MAX} 字节"
    if not parts and member.isreg():
        return [], "文件没有名字"
    return parts, None


def _unsafe(member: tarfile.TarInfo, problem: str) -> MorvaneError:
    return MorvaneError(f"参考数据包含不安全的成员 {member.name!r}: {problem}; 已拒绝整个包")


def _write_failed(error: OSError, member: tarfile.TarInfo, root: Path) -> MorvaneError:
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        remedy = f"磁盘空间不足, 请在 {root} 所在的磁盘上释放空间后重试"
    elif error.errno == errno.EEXIST:
        return _unsafe(member, "与前面的成员同名")
    elif error.errno in (errno.ENOTDIR, errno.ELOOP):
        return _unsafe(member, "路径经过一个不是目录的成员")
    else:
        remedy = f"请检查 {root} 所在目录的权限与磁盘后重试"
    return DataFileError(
        error.errno or errno.EIO,
        f"解包参考数据包的成员 {member.name!r} 失败 ({error.strerror}); {remedy}",
        str(root),
    )


def _open_parent(root_fd: int, parts: list[str]) -> int:
    """A descriptor of the folder `parts` below the root, created as needed; never through a link."""
    fd = os.dup(root_fd)
    try:
        for part in parts:
            try:
                os.mkdir(part, 0o755, dir_fd=fd)
            except FileExistsError:
                pass  # an earlier member made it; O_NOFOLLOW below refuses anything but a folder
            child = os.open(part, _DIR_FLAGS, dir_fd=fd)
            os.close(fd)
            fd = child
    except BaseException:
        os.close(fd)
        raise
    return fd


def _check_space(root: Path, member: tarfile.TarInfo) -> None:
    free = shutil.disk_usage(root).free
    if member.size + _SPACE_RESERVE > free:
        raise DataFileError(
            errno.ENOSPC,
            f"磁盘空间不足, 无法解包参考数据包的成员 {member.name!r}: 需要 {member.size} 字节, "
            f"{root} 所在的磁盘只剩 {free} 字节; 请释放空间后重试",
            str(root),
        )


def _copy(
    source: object, fd: int, member: tarfile.TarInfo, root: Path, budget: UnpackBudget, chunk: int
) -> None:
    # Only the writes are turned into DataFileError: a failed read of the stream
    # (a reset connection) must reach the download's retry as it is.
    with open(fd, "wb", buffering=0, closefd=False) as out:
        while True:
            block = source.read(chunk)  # type: ignore[attr-defined]
            if not block:
                return
            budget.claim(len(block), member.name)
            view = memoryview(block)
            try:
                while view:
                    view = view[out.write(view) :]
            except OSError as error:
                raise _write_failed(error, member, root) from error


def _create(root_fd: int, parts: list[str], member: tarfile.TarInfo, root: Path) -> int:
    try:
        parent = _open_parent(root_fd, parts[:-1])
        try:
            return os.open(parts[-1], _FILE_FLAGS, 0o644, dir_fd=parent)
        finally:
            os.close(parent)
    except OSError as error:
        raise _write_failed(error, member, root) from error


def unpack_members(
    tar: tarfile.TarFile, root: Path, budget: UnpackBudget, *, max_members: int, chunk: int
) -> int:
    """把 tar 的成员按归档顺序逐个检查并写到 root 之下, 返回成员数。

    每个成员在写下任何内容之前检查: 类型只能是普通文件或目录, 名字为相对路径、不含 "..",
    长度与层级有上限; 声明的大小计入解包上限, 并核对剩余磁盘空间。对流式打开的归档同样适用。

    Args:
        tar (tarfile.TarFile): 打开的归档 (文件或流模式)。
        root (Path): 解包目录, 必须已存在且为调用方新建的目录。
        budget (UnpackBudget): 解包字节数的上限。
        max_members (int): 成员数上限。
        chunk (int): 每次复制的字节数。

    Returns:
        int: 解包的成员数。

    Raises:
        MorvaneError: 某个成员不安全 (消息给出成员名), 或超出成员数、字节数上限。
        DataFileError: 磁盘空间不足或写入失败 (也是 OSError, 消息给出成员名与解决办法)。
    """
    root_fd = os.open(root, _DIR_FLAGS)
    members = 0
    try:
        for member in tar:
            members += 1
            if members > max_members:
                raise MorvaneError(f"参考数据包成员过多 (超过 {max_members} 个), 拒绝解包")
            parts, problem = _member_parts(member)
            if problem is not None:
                raise _unsafe(member, problem)
            if member.isdir():
                if parts:
                    try:
                        os.close(_open_parent(root_fd, parts))
                    except OSError as error:
                        raise _write_failed(error, member, root) from error
                continue
            fixed = budget.fixed()
            if fixed is not None and budget.used + member.size > fixed:
                raise MorvaneError(
                    f"参考数据包解包后超过允许的 {fixed} 字节 (成员 {member.name!r} 声明 {member.size} 字节), "
                    "疑似解压炸弹, 拒绝解包"
                )
            _check_space(root, member)
            # The unbuffered reader under tarfile's file object: a read of a large
            # piece through the buffered one copies it once more into a fresh buffer.
            source = tar.extractfile(member)
            source = getattr(source, "raw", source)
            fd = _create(root_fd, parts, member, root)
            try:
                _copy(source, fd, member, root, budget, chunk)
            finally:
                os.close(fd)
    finally:
        os.close(root_fd)
    return members

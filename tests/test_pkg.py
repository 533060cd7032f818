"""Downloading and unpacking the reference data package from a real local server."""

from __future__ import annotations

import io
import tarfile
from pathlib import Path

import pytest

from morvane.backtest import _pkg
from morvane.backtest._pkg import download_benchmark_package, flatten_single_subdir
from morvane.exceptions import MorvaneError, NetworkError
from package_server import Route, add_member, tar_of


@pytest.fixture
def content(tmp_path: Path) -> Path:
    folder = tmp_path / "content"
    (folder / "matrices").mkdir(parents=True)
    (folder / "metadata.pkl").write_bytes(b"meta")
    (folder / "matrices" / "close_price.bin").write_bytes(bytes(range(256)) * 64)
    return folder


def leftovers(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if ".download-" in p.name)


def test_download_unpack_and_flatten(server, content, tmp_path):
    server.serve_package(tar_of(content))
    target = tmp_path / "home" / "enviroment_data"
    description = download_benchmark_package(server.client(), target)
    assert description.size is not None and len(description.sha256) == 64
    flatten_single_subdir(target)
    assert (target / "metadata.pkl").read_bytes() == b"meta"
    assert (target / "matrices" / "close_price.bin").read_bytes() == bytes(range(256)) * 64
    assert leftovers(target.parent) == []


def test_one_server_error_then_success(server, content, tmp_path):
    server.serve_package(tar_of(content), failures=1)
    download_benchmark_package(server.client(), tmp_path / "d")
    assert server.routes["/files/package.tar"].hits == 2


def test_body_cut_once_then_whole_passes_the_checksum(server, content, tmp_path):
    # The checksum is computed while streaming: the half body of the first try must not stay in it.
    server.serve_package(tar_of(content), cut=1)
    download_benchmark_package(server.client(), tmp_path / "d")
    assert server.routes["/files/package.tar"].hits == 2
    assert (tmp_path / "d" / "package" / "metadata.pkl").read_bytes() == b"meta"


@pytest.mark.parametrize("existing", [False, True], ids=["created", "given-empty"])
def test_body_unlike_its_checksum_is_removed_after_unpacking(server, content, tmp_path, existing):
    # The package is unpacked while it streams; the checksum is known only at its end.
    archive = tar_of(content, compression="")
    server.serve_package(archive)
    server.routes["/files/package.tar"].body = archive[:-1] + bytes(
        [archive[-1] ^ 1]
    )  # padding bit: unpacks whole
    target = tmp_path / "d"
    if existing:
        target.mkdir()  # like the service's staging folder
    with pytest.raises(MorvaneError, match="校验和不符"):
        download_benchmark_package(server.client(), target)
    assert target.exists() == existing
    assert not existing or not any(target.iterdir())
    assert leftovers(tmp_path) == []


def member_offsets(archive: bytes) -> list[tarfile.TarInfo]:
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        return tar.getmembers()


def cut_points(archive: bytes) -> dict[str, int]:
    members = member_offsets(archive)
    data = next(m for m in members if m.isfile() and m.size > 2)
    return {"mid-member": data.offset_data + data.size // 2, "mid-header": members[1].offset + 100}


class TestCutStream:
    @pytest.mark.parametrize("where", ["mid-member", "mid-header"])
    def test_always_cut_is_network_error_and_leaves_nothing(self, server, content, tmp_path, where):
        archive = tar_of(content, compression="")
        server.serve_package(archive, cut=10, cut_at=cut_points(archive)[where])
        target = tmp_path / "d"
        with pytest.raises(NetworkError, match="连接中断"):
            download_benchmark_package(server.client(), target)
        assert server.routes["/files/package.tar"].hits == 3  # retries=2
        assert not target.exists()
        assert leftovers(tmp_path) == []

    def test_cut_once_restarts_the_unpacking_cleanly(self, server, content, tmp_path):
        archive = tar_of(content, compression="")
        # The cut answer carries another package whose first member is unpacked before the cut.
        stale = tar_of(content, compression="", extra=None, top="stale")
        first = member_offsets(stale)[1]
        server.serve_package(
            archive, cut=1, cut_body=stale, cut_at=first.offset_data + first.size + 700
        )
        target = tmp_path / "d"
        download_benchmark_package(server.client(), target)
        assert server.routes["/files/package.tar"].hits == 2
        assert sorted(p.name for p in target.iterdir()) == ["package"]
        unpacked = sorted(
            p.relative_to(target / "package").as_posix() for p in (target / "package").rglob("*")
        )
        assert unpacked == sorted(p.relative_to(content).as_posix() for p in content.rglob("*"))

    def test_extra_bytes_after_the_archive_are_read_and_hashed(self, server, content, tmp_path):
        archive = tar_of(content, compression="") + b"\0" * 50_000  # more padding than tar reads
        server.serve_package(archive)
        description = download_benchmark_package(server.client(), tmp_path / "d")
        assert description.size == len(archive)
        assert (tmp_path / "d" / "package" / "metadata.pkl").read_bytes() == b"meta"


@pytest.mark.parametrize("compression", ["", "gz", "bz2", "xz"])
def test_any_compression_unpacks_from_the_stream(server, content, tmp_path, compression):
    server.serve_package(tar_of(content, compression=compression))
    download_benchmark_package(server.client(), tmp_path / "d")
    assert (tmp_path / "d" / "package" / "matrices" / "close_price.bin").read_bytes() == bytes(
        range(256)
    ) * 64


def test_folder_with_content_is_refused_untouched(server, content, tmp_path):
    server.serve_package(tar_of(content))
    target = tmp_path / "d"
    target.mkdir()
    (target / "mine.txt").write_text("keep")
    with pytest.raises(MorvaneError, match="为空"):
        download_benchmark_package(server.client(), target)
    assert [p.name for p in target.iterdir()] == ["mine.txt"]
    assert server.routes["/files/package.tar"].hits == 0


@pytest.mark.parametrize(
    ("serve", "error", "match"),
    [
        ({"sha256": "0" * 64}, MorvaneError, "校验和"),
        ({"announce": 10**6}, NetworkError, "字节"),  # the body is cut short
        ({"failures": 10}, NetworkError, "500"),
        ({"url": "ftp://example.com/p.tar"}, MorvaneError, "下载地址"),
        ({"url": "file:///etc/passwd"}, MorvaneError, "下载地址"),
    ],
)
def test_failed_downloads_leave_nothing_behind(server, content, tmp_path, serve, error, match):
    server.serve_package(tar_of(content), **serve)
    target = tmp_path / "d"
    with pytest.raises(error, match=match):
        download_benchmark_package(server.client(), target)
    assert not target.exists() or not any(target.iterdir())
    assert leftovers(tmp_path) == []


def test_missing_url_and_no_http_client(server, tmp_path):
    server.routes["/" + _pkg.PACKAGE_INDEX_PATH] = Route(b'{"sha256": null}')
    with pytest.raises(MorvaneError, match="下载地址"):
        download_benchmark_package(server.client(), tmp_path / "d")
    with pytest.raises(MorvaneError, match="morvane.init"):
        download_benchmark_package(None, tmp_path / "d")


@pytest.mark.parametrize(
    ("member", "kwargs"),
    [
        ("/etc/evil", {}),
        ("package/../../evil", {}),
        ("package/link", {"kind": tarfile.SYMTYPE, "linkname": "../../outside"}),
        ("package/abs_link", {"kind": tarfile.SYMTYPE, "linkname": "/etc/passwd"}),
        ("package/hard", {"kind": tarfile.LNKTYPE, "linkname": "../outside"}),
        ("package/dev", {"kind": tarfile.CHRTYPE}),
        ("package/fifo", {"kind": tarfile.FIFOTYPE}),
    ],
)
def test_malicious_members_reject_the_package(server, content, tmp_path, member, kwargs):
    archive = tar_of(content, extra=lambda tar: add_member(tar, member, **kwargs))
    server.serve_package(archive)
    with pytest.raises(MorvaneError, match="不安全"):
        download_benchmark_package(server.client(), tmp_path / "base" / "d")
    assert not (tmp_path / "evil").exists() and not (tmp_path / "base" / "evil").exists()
    assert not (tmp_path / "base" / "d").exists()


def test_links_inside_the_package_are_refused_too(server, content, tmp_path):
    # A store never needs a link; one pointing inside is refused like any other.
    archive = tar_of(
        content,
        extra=lambda tar: add_member(
            tar, "package/alias.pkl", kind=tarfile.SYMTYPE, linkname="metadata.pkl"
        ),
    )
    server.serve_package(archive)
    with pytest.raises(
        MorvaneError, match="'package/alias.pkl': 不是普通文件或目录 \\(符号链接\\)"
    ):
        download_benchmark_package(server.client(), tmp_path / "d")
    assert not (tmp_path / "d").exists()


def test_size_and_member_limits(server, content, tmp_path, monkeypatch):
    server.serve_package(tar_of(content))
    monkeypatch.setattr(_pkg, "MAX_PACKAGE_BYTES", 1000)
    with pytest.raises(MorvaneError, match="超过"):
        download_benchmark_package(server.client(), tmp_path / "a")
    monkeypatch.setattr(_pkg, "MAX_PACKAGE_BYTES", 10**9)
    monkeypatch.setattr(_pkg, "MAX_PACKAGE_MEMBERS", 2)
    with pytest.raises(MorvaneError, match="成员过多"):
        download_benchmark_package(server.client(), tmp_path / "b")


def test_not_a_tar_archive(server, tmp_path):
    server.serve_package(b"this is not an archive")
    with pytest.raises(MorvaneError, match="无法解包"):
        download_benchmark_package(server.client(), tmp_path / "d")


class TestFlatten:
    def test_entry_named_like_its_folder_moves_up(self, tmp_path):
        inner = tmp_path / "store" / "data"
        (inner / "data").mkdir(parents=True)
        (inner / "data" / "x").write_text("1")
        (inner / "metadata.pkl").write_text("m")
        flatten_single_subdir(tmp_path / "store")
        assert sorted(p.name for p in (tmp_path / "store").iterdir()) == ["data", "metadata.pkl"]
        assert (tmp_path / "store" / "data" / "x").read_text() == "1"

    def test_leaves_other_layouts_alone(self, tmp_path):
        store = tmp_path / "store"
        (store / "a").mkdir(parents=True)
        (store / "b.txt").write_text("b")
        flatten_single_subdir(store)
        assert sorted(p.name for p in store.iterdir()) == ["a", "b.txt"]
        flatten_single_subdir(tmp_path / "missing")  # nothing to do, no error

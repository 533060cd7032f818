"""Hostile reference packages: nothing is written outside the staging folder, the old store stays as it was."""

from __future__ import annotations

import errno
import shutil
import tarfile
from pathlib import Path

import pytest

from hostile_packages import (
    hard_link,
    long_link_chain,
    overlong_name,
    shared_reference_metadata,
    short_link_chain,
    snapshot,
    sparse_member,
    special,
    too_deep,
    zeros,
)
from morvane.backtest import _pkg, _prepare
from morvane.backtest._service import BacktestService
from morvane.exceptions import DataFileError, MorvaneError, NetworkError
from package_server import add_member, package_server, tar_of
from service_world import market_payload, write_store

FOUR_COMPONENTS = list(_prepare.COMPONENT_FACTOR_NAMES[:4])


@pytest.fixture(scope="module")
def payload():
    return market_payload()


@pytest.fixture
def old_store(env):
    """A usable store lacking one component, so that every preparation downloads."""
    write_store(env.store_dir, market_payload(seed=3, components=FOUR_COMPONENTS))
    return snapshot(env.store_dir)


@pytest.fixture
def outside(tmp_path) -> Path:
    """The folder the attacks aim at, holding a file a hard link would overwrite."""
    folder = tmp_path / "outside"
    folder.mkdir()
    (folder / "victim").write_bytes(b"untouched")
    return folder


def built_package(tmp_path: Path, payload, extra=None, **tar) -> bytes:
    folder = tmp_path / "built"
    if not folder.exists():
        write_store(folder, payload)
    return tar_of(folder, extra=extra, **tar)


def assert_untouched(env, old_store, outside) -> None:
    assert snapshot(env.store_dir) == old_store
    assert snapshot(outside) == {"victim": b"untouched"}
    kept = {"data.lock", "prepare.lock", "installed_package.json", "enviroment_data"}
    assert sorted(p.name for p in env.root.iterdir() if p.name not in kept) == []  # no staging left


ATTACKS = {
    "long-link-chain": long_link_chain,
    "short-link-chain": short_link_chain,
    "hard-link": hard_link,
    "char-device": special(tarfile.CHRTYPE),
    "block-device": special(tarfile.BLKTYPE),
    "fifo": special(tarfile.FIFOTYPE),
    "sparse": sparse_member,
    "name-over-name-max": overlong_name,
    "too-deep": too_deep,
}


class TestMembers:
    @pytest.mark.parametrize("attack", ATTACKS.values(), ids=ATTACKS.keys())
    @pytest.mark.parametrize("compression", ["gz", ""])
    def test_rejected_before_anything_is_written(
        self, env, server, payload, old_store, outside, tmp_path, attack, compression
    ):
        server.serve_package(
            built_package(tmp_path, payload, attack(outside), compression=compression)
        )
        with pytest.raises(MorvaneError, match="不安全的成员 'package/") as raised:
            BacktestService(server.client()).prepare_backtest_data()
        assert not isinstance(
            raised.value, OSError
        )  # not ENAMETOOLONG or ENOTDIR from the file system
        assert_untouched(env, old_store, outside)

    def test_the_member_is_named_and_nothing_of_it_is_written(
        self, server, payload, tmp_path, outside
    ):
        server.serve_package(built_package(tmp_path, payload, hard_link(outside)))
        with pytest.raises(MorvaneError, match=r"'package/hard': 不是普通文件或目录 \(硬链接\)"):
            _pkg.download_benchmark_package(server.client(), tmp_path / "staging")
        assert not (tmp_path / "staging").exists()

    def test_a_repeated_member_rejects_the_package(self, server, payload, tmp_path):
        server.serve_package(
            built_package(tmp_path, payload, lambda tar: add_member(tar, "package/metadata.pkl"))
        )
        with pytest.raises(MorvaneError, match="同名"):
            _pkg.download_benchmark_package(server.client(), tmp_path / "staging")


class TestBombs:
    BOMB = 80 << 20  # zeros: gzip packs them about a thousandfold

    def test_beyond_the_declared_unpacked_size(
        self, env, server, payload, old_store, outside, tmp_path
    ):
        archive = built_package(tmp_path, payload, zeros("package/bomb.mvd", self.BOMB))
        assert len(archive) < self.BOMB / 200
        server.serve_package(archive, unpacked_size=3 << 20)
        with pytest.raises(MorvaneError, match="解压炸弹"):
            BacktestService(server.client()).prepare_backtest_data()
        assert_untouched(env, old_store, outside)

    @pytest.mark.parametrize("declared_size", [True, False], ids=["size-declared", "size-unknown"])
    def test_beyond_a_multiple_of_the_compressed_size(
        self, env, server, payload, old_store, outside, tmp_path, monkeypatch, declared_size
    ):
        monkeypatch.setattr(
            _pkg, "_UNPACK_FLOOR", 4 << 20
        )  # not the 64 MiB a small package may always reach
        server.serve_package(
            built_package(tmp_path, payload, zeros("package/bomb.mvd", self.BOMB)),
            size=-1 if declared_size else None,
        )
        with pytest.raises(MorvaneError, match="解压炸弹"):
            BacktestService(server.client()).prepare_backtest_data()
        assert_untouched(env, old_store, outside)

    def test_a_real_package_stays_far_below_the_multiple(
        self, env, server, payload, tmp_path, monkeypatch
    ):
        monkeypatch.setattr(_pkg, "_UNPACK_FLOOR", 0)
        for compression in ("gz", "xz", "bz2"):
            shutil.rmtree(env.root, ignore_errors=True)
            server.serve_package(built_package(tmp_path, payload, compression=compression))
            BacktestService(server.client()).prepare_backtest_data()

    def test_free_space_is_checked_against_each_member(
        self, server, payload, tmp_path, monkeypatch
    ):
        server.serve_package(built_package(tmp_path, payload))
        usage = shutil.disk_usage(tmp_path)
        # Room for the archive, not for the largest unpacked member.
        monkeypatch.setattr(_pkg.shutil, "disk_usage", lambda path: usage._replace(free=10 << 20))
        with pytest.raises(DataFileError, match="磁盘空间不足.*请释放空间后重试") as raised:
            _pkg.download_benchmark_package(server.client(), tmp_path / "staging")
        assert isinstance(raised.value, MorvaneError) and raised.value.errno == errno.ENOSPC
        assert not (tmp_path / "staging").exists()


def test_metadata_of_shared_references_is_malformed_not_a_hang(
    env, server, payload, old_store, outside, tmp_path
):
    folder = tmp_path / "built"
    write_store(folder, payload)
    trap = shared_reference_metadata(folder)
    (folder / "metadata.pkl").unlink()
    server.serve_package(
        tar_of(folder, extra=lambda tar: add_member(tar, "package/metadata.pkl", data=trap))
    )
    with pytest.raises(MorvaneError, match="元信息文件格式错误"):
        BacktestService(server.client()).prepare_backtest_data()
    assert_untouched(env, old_store, outside)


class TestToken:
    def test_goes_with_every_request_to_the_base_origin(self, env, server, payload, tmp_path):
        server.serve_package(built_package(tmp_path, payload), token="secret")
        server.routes["/" + _pkg.PACKAGE_INDEX_PATH].token = "secret"
        BacktestService(server.client(token="secret")).prepare_backtest_data()
        assert server.routes["/files/package.tar"].authorizations == ["Bearer secret"]

    def test_never_leaves_it_for_a_package_on_another_origin(
        self, env, server, payload, old_store, outside, tmp_path
    ):
        with package_server() as mirror:
            archive = built_package(tmp_path, payload)
            mirror.serve_package(
                archive, token="secret"
            )  # a mirror that wants the token it must not get
            server.serve_package(archive, url=f"{mirror.base_url}files/package.tar")
            with pytest.raises(NetworkError, match="401"):
                BacktestService(server.client(token="secret")).prepare_backtest_data()
            assert mirror.routes["/files/package.tar"].authorizations == [None]
            assert server.routes["/" + _pkg.PACKAGE_INDEX_PATH].authorizations == ["Bearer secret"]
            assert_untouched(env, old_store, outside)
            # A public mirror serves it without one.
            mirror.routes["/files/package.tar"].token = None
            BacktestService(server.client(token="secret")).prepare_backtest_data()
            assert mirror.routes["/files/package.tar"].authorizations == [None, None]

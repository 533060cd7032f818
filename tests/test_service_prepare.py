"""Preparing the prepared-data folder: downloads from a real local server, refreshes, repairs."""

from __future__ import annotations

import logging
import tarfile
from pathlib import Path

import pytest

from morvane.backtest import _pkg, _prepare
from morvane.backtest._service import BacktestService
from morvane.exceptions import MorvaneError, NetworkError
from package_server import add_member, tar_of
from service_env import tail_payload
from service_world import market_payload, poisoned_metadata, write_store

FOUR_COMPONENTS = list(_prepare.COMPONENT_FACTOR_NAMES[:4])


@pytest.fixture(scope="module")
def payload():
    return market_payload()


@pytest.fixture
def package(payload, tmp_path) -> bytes:
    folder = tmp_path / "built"
    write_store(folder, payload)
    return tar_of(folder)


def headers(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.getMessage().startswith("回测基准数据")]


def tree(folder: Path) -> dict[str, bytes]:
    return {
        str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()
    }


def assert_nothing_left_behind(env) -> None:
    kept = {"data.lock", "prepare.lock", "installed_package.json"}
    assert sorted(p.name for p in env.root.iterdir() if p.name not in kept) in (
        ["enviroment_data"],
        [],
    )


def test_download_refresh_and_status_words(env, server, package, payload, caplog):
    caplog.set_level(logging.INFO, logger="morvane")
    dates = list(payload["data"]["close_price"].index)
    server.serve_package(package)
    env.today = "20240320"
    env.window_payload = tail_payload(payload, "20240318")
    service = BacktestService(server.client())

    service.prepare_backtest_data()
    assert headers(caplog)[-1] == "回测基准数据已就绪并更新,各数据集最新日期:"
    assert env.window_calls == [(dates, dates[-2], "20240320")]
    loaded = service.load_backtest_data().data
    assert loaded["close_price"].index[-1] == "20240318"
    assert list(loaded["benchmark_dict"]) == ["000852", "000300", "000905"]
    assert (env.root / "installed_package.json").exists()

    # Complete and behind: only the tail is rebuilt, nothing is downloaded.
    service.prepare_backtest_data()
    assert headers(caplog)[-1] == "回测基准数据已更新,各数据集最新日期:"
    assert env.window_calls[-1][1] == "20240315"
    # The window would start today: nothing to write.
    env.today = "20240315"
    service.prepare_backtest_data()
    assert headers(caplog)[-1] == "回测基准数据已是最新,各数据集最新日期:"
    assert server.routes["/files/package.tar"].hits == 1
    assert_nothing_left_behind(env)


def test_package_reaching_today_is_ready_without_a_refresh(env, server, package, payload, caplog):
    caplog.set_level(logging.INFO, logger="morvane")
    server.serve_package(package)
    env.today = payload["data"]["close_price"].index[-2]
    BacktestService(server.client()).prepare_backtest_data()
    assert headers(caplog) == ["回测基准数据已就绪,各数据集最新日期:"]
    assert env.window_calls == []


def test_one_server_error_then_success(env, server, package):
    server.serve_package(package, failures=1)
    BacktestService(server.client()).prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 2
    assert (env.store_dir / "metadata.pkl").exists()


@pytest.fixture
def incomplete(env):
    """A usable folder lacking one component: it has served backtests and must survive."""
    write_store(env.store_dir, market_payload(seed=3, components=FOUR_COMPONENTS))
    return tree(env.store_dir)


@pytest.mark.parametrize(
    ("serve", "error"),
    [
        ({"sha256": "0" * 64}, MorvaneError),
        ({"announce": 10**7}, NetworkError),  # the body is cut short
        ({"failures": 10}, NetworkError),
    ],
    ids=["checksum", "truncated", "always-500"],
)
def test_failed_download_keeps_the_old_folder(env, server, package, incomplete, serve, error):
    server.serve_package(package, **serve)
    with pytest.raises(error):
        BacktestService(server.client()).prepare_backtest_data()
    assert tree(env.store_dir) == incomplete
    assert_nothing_left_behind(env)


@pytest.mark.parametrize(
    ("member", "kwargs"),
    [
        ("/tmp/morvane-evil", {}),
        ("package/../../evil", {}),
        ("package/link", {"kind": tarfile.SYMTYPE, "linkname": "../../outside"}),
        ("package/dev", {"kind": tarfile.CHRTYPE}),
    ],
    ids=["absolute", "dotdot", "link-outside", "char-device"],
)
def test_malicious_package_is_rejected(env, server, payload, incomplete, tmp_path, member, kwargs):
    folder = tmp_path / "built"
    write_store(folder, payload)
    server.serve_package(tar_of(folder, extra=lambda tar: add_member(tar, member, **kwargs)))
    with pytest.raises(MorvaneError, match="不安全"):
        BacktestService(server.client()).prepare_backtest_data()
    assert tree(env.store_dir) == incomplete
    assert not (env.root / "evil").exists() and not (env.home / "evil").exists()
    assert_nothing_left_behind(env)


def test_oversized_package_is_rejected(env, server, package, incomplete, monkeypatch):
    server.serve_package(package)
    monkeypatch.setattr(_pkg, "MAX_PACKAGE_BYTES", 10_000)
    with pytest.raises(MorvaneError, match="超过"):
        BacktestService(server.client()).prepare_backtest_data()
    assert tree(env.store_dir) == incomplete


def test_metadata_that_would_run_code_never_runs(env, server, payload, incomplete, tmp_path):
    folder = tmp_path / "built"
    write_store(folder, payload)
    proof = tmp_path / "proof"
    poisoned = poisoned_metadata(folder, proof)
    (folder / "metadata.pkl").unlink()
    archive = tar_of(
        folder, extra=lambda tar: add_member(tar, "package/metadata.pkl", data=poisoned)
    )
    server.serve_package(archive)
    with pytest.raises(MorvaneError, match="元信息"):
        BacktestService(server.client()).prepare_backtest_data()
    assert not proof.exists()
    assert tree(env.store_dir) == incomplete


def test_incomplete_folder_is_replaced(env, server, package, incomplete, payload):
    server.serve_package(package)
    BacktestService(server.client()).prepare_backtest_data()
    assert (
        BacktestService._find_missing_datasets(_prepare.BinaryPreparedDataStore(env.store_dir))
        == []
    )
    assert_nothing_left_behind(env)


def test_truncated_metadata_is_downloaded_again(env, server, package, payload, caplog):
    caplog.set_level(logging.INFO, logger="morvane")
    write_store(env.store_dir, payload)
    metadata = env.store_dir / "metadata.pkl"
    metadata.write_bytes(metadata.read_bytes()[:40])
    server.serve_package(package)
    BacktestService(server.client()).prepare_backtest_data()
    assert headers(caplog)[-1] == "回测基准数据已就绪,各数据集最新日期:"
    assert (
        BacktestService(None).load_backtest_data().data["close_price"].shape
        == payload["data"]["close_price"].shape
    )


def test_same_package_lacking_a_component_is_not_downloaded_again(env, server, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="morvane")
    partial = market_payload(components=FOUR_COMPONENTS)
    folder = tmp_path / "built"
    write_store(folder, partial)
    server.serve_package(tar_of(folder))
    service = BacktestService(server.client())
    service.prepare_backtest_data()
    service.prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 1
    missing_key = _prepare.component_dataset_key(_prepare.COMPONENT_FACTOR_NAMES[4])
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert any(missing_key in w for w in warnings)
    assert headers(caplog)[-1] == "回测基准数据已是最新,各数据集最新日期:"


def test_interrupted_swap_is_repaired(env, payload, caplog):
    """A crash between the two renames leaves only the backup: it is put back."""
    backup = env.root / ".enviroment_data.backup"
    write_store(backup, payload)
    staging = env.root / ".enviroment_data.staging-dead"
    (staging / "package").mkdir(parents=True)
    (env.root / "..enviroment_data.staging-dead.download-x.part").write_bytes(b"partial")
    BacktestService(None).prepare_backtest_data()  # no download needed, so no HTTP client either
    assert (env.store_dir / "metadata.pkl").exists()
    assert_nothing_left_behind(env)


def test_download_without_an_http_client_says_how_to_set_one_up(env):
    with pytest.raises(MorvaneError, match=r"morvane\.init"):
        BacktestService(None).prepare_backtest_data()
    assert not env.store_dir.exists()


def test_single_stored_date_starts_the_window(env, payload):
    one_day = {
        **payload,
        "data": {
            k: (v.iloc[:1] if k != "benchmark_dict" else {c: s.iloc[:1] for c, s in v.items()})
            for k, v in payload["data"].items()
        },
    }
    write_store(env.store_dir, one_day)
    first = payload["data"]["close_price"].index[0]
    env.today = "20240320"
    env.window_payload = tail_payload(one_day, payload["data"]["close_price"].index[1])
    BacktestService(None).prepare_backtest_data()
    assert env.window_calls == [([first], first, "20240320")]


def test_refresh_without_stored_dates_is_incomplete(env, payload):
    store = write_store(env.store_dir, payload)
    empty = {"datasets": {"close_price": {"index": []}}}
    with pytest.raises(MorvaneError, match="^回测基准数据包不完整,请删除回测数据目录后重新准备$"):
        BacktestService(None)._refresh_to_latest(
            type("S", (), {"load_metadata": lambda self: empty})(), after_download=False
        )
    with pytest.raises(KeyError):
        BacktestService(None)._refresh_to_latest(
            type("S", (), {"load_metadata": lambda self: {}})(), after_download=True
        )
    assert store.metadata_path.exists()


def test_interrupt_while_unpacking_keeps_the_old_folder(
    env, server, package, incomplete, monkeypatch
):
    server.serve_package(package)

    def interrupted(store_dir):
        raise KeyboardInterrupt

    monkeypatch.setattr(_pkg, "flatten_single_subdir", interrupted)
    with pytest.raises(KeyboardInterrupt):
        BacktestService(server.client()).prepare_backtest_data()
    assert tree(env.store_dir) == incomplete
    assert_nothing_left_behind(env)


def test_package_with_a_damaged_dataset_file_is_not_swapped_in(
    env, server, payload, incomplete, tmp_path
):
    """The metadata alone looks complete; the mapped load of every dataset finds the cut file."""
    folder = tmp_path / "built"
    write_store(folder, payload)
    data_file = max(
        (p for p in folder.iterdir() if p.name.startswith("close_price")),
        key=lambda p: p.stat().st_size,
    )
    data_file.write_bytes(data_file.read_bytes()[:100])
    server.serve_package(tar_of(folder))
    with pytest.raises(MorvaneError):
        BacktestService(server.client()).prepare_backtest_data()
    assert tree(env.store_dir) == incomplete
    assert_nothing_left_behind(env)


def test_rejected_tail_update(env, payload, monkeypatch):
    write_store(env.store_dir, payload)
    env.today = "20240320"
    env.window_payload = tail_payload(payload, "20240318")
    monkeypatch.setattr(_prepare.BinaryPreparedDataStore, "update_tail", lambda self, p: False)
    with pytest.raises(MorvaneError, match="^回测数据增量更新失败:基准缺失或元信息不完整$"):
        BacktestService(None).prepare_backtest_data()


def test_preparation_waits_for_another_holder_of_the_lock(env, payload, caplog):
    """A thread of this very process holding prepare.lock holds a second preparation up."""
    import fcntl
    import threading
    import time

    caplog.set_level(logging.INFO, logger="morvane")
    write_store(env.store_dir, payload)
    with open(env.root / "prepare.lock", "a+") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        worker = threading.Thread(target=BacktestService(None).prepare_backtest_data)
        worker.start()
        deadline = time.monotonic() + 10
        while (
            not any("等待锁" in r.getMessage() for r in caplog.records)
            and time.monotonic() < deadline
        ):
            time.sleep(0.01)
        assert worker.is_alive() and headers(caplog) == []
        fcntl.flock(held, fcntl.LOCK_UN)
    worker.join(timeout=10)
    assert not worker.is_alive()
    assert headers(caplog) == ["回测基准数据已是最新,各数据集最新日期:"]


def test_cut_download_is_retried_and_replaces_the_old_folder(
    env, server, package, incomplete, payload
):
    server.serve_package(package, cut=1)
    BacktestService(server.client()).prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 2
    assert tree(env.store_dir) != incomplete and (env.store_dir / "metadata.pkl").exists()
    assert_nothing_left_behind(env)

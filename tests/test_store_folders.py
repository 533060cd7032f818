"""Store folders: a swap killed between its renames is undone by whatever opens the folder next, and
--store folders take the same locks as the package's."""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from hostile_packages import snapshot
from morvane import sweep
from morvane.backtest import _service
from morvane.cli import main
from morvane.cli._common import load_prepared
from service_env import install
from service_world import market_payload, write_store

pytestmark = pytest.mark.usefixtures("keep_data_client")

SYNTHETIC = ["--source", "synthetic", "--days", "40", "--stocks", "30"]

# The command line with os.replace killing the process right after the store
# became the backup: the moment between the swap's two renames.
KILLED_BETWEEN_RENAMES = r"""
import os, sys
real = os.replace
def replace(source, target):
    real(source, target)
    if str(target).endswith(".backup"):
        os._exit(9)
os.replace = replace
from morvane.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.fixture(scope="module")
def payload():
    return market_payload(n_stocks=20, end="20240301")


def kill_between_renames(home: Path, *argv: str) -> None:
    result = subprocess.run(
        [sys.executable, "-c", KILLED_BETWEEN_RENAMES, *argv],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "HOME": str(home)},
    )
    assert result.returncode == 9, result.stderr


def neighbours(folder: Path) -> list[str]:
    """What lies beside a store folder, lock files aside."""
    return sorted(p.name for p in folder.parent.iterdir() if not p.name.endswith(".lock"))


class TestInterruptedSwap:
    @pytest.mark.parametrize("entry", ["prepare", "load", "sweep"])
    def test_a_store_folder_is_put_back(self, payload, tmp_path, capsys, entry):
        folder = tmp_path / "data" / "prepared"
        write_store(folder, payload)
        before = snapshot(folder)
        kill_between_renames(tmp_path, "prepare", *SYNTHETIC, "--store", str(folder), "--replace")
        assert not folder.exists()
        assert ".prepared.backup" in neighbours(folder)
        assert any(".staging-" in name for name in neighbours(folder))

        if entry == "prepare":  # finds the store it had, and will not replace it unasked
            assert main(["prepare", *SYNTHETIC, "--store", str(folder)]) == 1
            assert "--replace" in capsys.readouterr().err
        elif entry == "load":  # what `morvane backtest --store` and `strategy --store` do first
            assert load_prepared(folder).data["close_price"].shape == (
                len(payload["data"]["close_price"]),
                20,
            )
        else:
            assert sweep._transport._load_store(str(folder)).data["close_price"].shape[1] == 20
        assert snapshot(folder) == before
        assert neighbours(folder) == ["prepared"]

    def test_the_package_folder_is_put_back_by_a_bare_prepare(
        self, monkeypatch, tmp_path, payload, capsys
    ):
        env = install(monkeypatch, tmp_path / "home")
        write_store(env.store_dir, payload)
        before = snapshot(env.store_dir)
        kill_between_renames(env.home, "prepare", *SYNTHETIC, "--replace")
        assert not env.store_dir.exists()
        # No --base-url: the command must not refuse for want of data before it looks for the backup.
        assert main(["prepare"]) == 0, capsys.readouterr().err
        assert snapshot(env.store_dir) == before
        assert neighbours(env.store_dir) == ["enviroment_data"]

    def test_load_backtest_data_puts_the_package_folder_back(self, monkeypatch, tmp_path, payload):
        env = install(monkeypatch, tmp_path / "home")
        write_store(env.store_dir, payload)
        kill_between_renames(env.home, "prepare", *SYNTHETIC, "--replace")
        loaded = _service.BacktestService(None).load_backtest_data()
        assert loaded.data["close_price"].shape[1] == 20
        assert neighbours(env.store_dir) == ["enviroment_data"]

    def test_a_running_preparation_keeps_its_staging_folder(self, payload, tmp_path):
        folder = tmp_path / "prepared"
        write_store(folder, payload)
        staging = tmp_path / ".prepared.staging-live"
        with _service._StoreFolderLock(folder, "prepare"):
            staging.mkdir()  # the preparation's own, made after its lock's clean-up
            load_prepared(folder)
            assert staging.exists()
        _service._recover_store_folder(folder)
        assert not staging.exists()


def wait_for_waiting(caplog, deadline: float = 20.0) -> None:
    end = time.monotonic() + deadline
    while not any("等待锁" in r.getMessage() for r in caplog.records):
        assert time.monotonic() < end, "the second party never waited for the lock"
        time.sleep(0.01)


class TestLocks:
    def test_a_replace_waits_for_a_load_of_the_folder(self, payload, tmp_path, caplog):
        caplog.set_level(logging.INFO, logger="morvane")
        folder = tmp_path / "prepared"
        write_store(folder, payload)
        before = snapshot(folder)
        codes: list[int] = []
        with _service._StoreFolderLock(folder, "read"):
            worker = threading.Thread(
                target=lambda: codes.append(
                    main(["prepare", *SYNTHETIC, "--store", str(folder), "--replace"])
                )
            )
            worker.start()
            wait_for_waiting(caplog)
            assert snapshot(folder) == before
        worker.join(timeout=60)
        assert codes == [0] and snapshot(folder) != before

    def test_a_load_waits_for_a_swap(self, payload, tmp_path, caplog):
        caplog.set_level(logging.INFO, logger="morvane")
        folder = tmp_path / "prepared"
        write_store(folder, payload)
        loaded = []
        with _service._StoreFolderLock(folder, "write"):
            worker = threading.Thread(target=lambda: loaded.append(load_prepared(folder)))
            worker.start()
            wait_for_waiting(caplog)
            assert loaded == []
        worker.join(timeout=60)
        assert loaded[0].data["close_price"].shape[1] == 20

    def test_folders_side_by_side_do_not_wait_for_each_other(self, payload, tmp_path):
        write_store(tmp_path / "a", payload)
        write_store(tmp_path / "b", payload)
        with _service._StoreFolderLock(tmp_path / "a", "write"):
            assert load_prepared(tmp_path / "b").data["close_price"].shape[1] == 20

    def test_the_package_folder_keeps_its_lock_names_under_any_name(
        self, monkeypatch, tmp_path, payload
    ):
        env = install(monkeypatch, tmp_path / "home")
        write_store(env.store_dir, payload)
        with _service._StoreFolderLock(
            env.root / ".." / "backtest_data" / "enviroment_data", "read"
        ):
            pass
        assert sorted(p.name for p in env.root.iterdir()) == ["data.lock", "enviroment_data"]
        with pytest.raises(ValueError, match="kind"):
            _service._StoreFolderLock(env.store_dir, "exclusive")

"""From Python to one's own data: stores built, refreshed and loaded in any folder, and the README's block."""

from __future__ import annotations

import importlib.util
import logging
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

import morvane
from morvane.backtest import _folders
from morvane.clients import LocalFileClient, SyntheticMarketClient
from service_env import child_env, install

pytestmark = pytest.mark.usefixtures("keep_data_client")

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def market() -> SyntheticMarketClient:
    return SyntheticMarketClient(seed=2, n_stocks=30, start_date="20240102", end_date="20240329")


@pytest.fixture
def no_http(monkeypatch):
    monkeypatch.setattr(morvane, "_http_client", None)
    monkeypatch.setattr(morvane, "_service", None)


def _status(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.getMessage().startswith("回测基准数据")]


def _assert_same_data(got: morvane.BacktestData, want: morvane.BacktestData) -> None:
    assert set(got.data) == set(want.data)
    for key, value in want.data.items():
        if key == "benchmark_dict":
            for code, series in value.items():
                pd.testing.assert_series_equal(got.data[key][code], series, check_index_type=False)
        else:
            # Labels come back in whatever text storage the store reads them into.
            pd.testing.assert_frame_equal(
                got.data[key], value, check_index_type=False, check_column_type=False
            )


def test_a_client_builds_a_folder_then_refreshes_its_tail(tmp_path, market, caplog, monkeypatch):
    from morvane.backtest import _service

    caplog.set_level(logging.INFO, logger="morvane")
    folder = tmp_path / "mine"
    morvane.prepare_backtest_data(folder, client=market, end_date="20240329")
    built = morvane.load_backtest_data(folder)
    assert built.data["close_price"].shape == (len(market.world.dates), 30)
    # What the command line builds from the same client, the same way.
    want = _folders.build_payload(market, _folders.FIRST_DATE, "20240329")["data"]
    _assert_same_data(built, morvane.BacktestData(data=want))

    # Later: the last two stored days and the days after them come from the client again.
    monkeypatch.setattr(_service, "_today", lambda: "20240405")
    morvane.prepare_backtest_data(str(folder), client=market)
    _assert_same_data(morvane.load_backtest_data(folder), built)
    assert _status(caplog) == [
        "回测基准数据已就绪,各数据集最新日期:",
        "回测基准数据已更新,各数据集最新日期:",
    ]
    # The installed client was lent for the build only.
    with pytest.raises(morvane.MorvaneError):
        morvane.singleton.get_instance()


def test_replace_rebuilds_from_another_source(tmp_path, market):
    folder = tmp_path / "mine"
    morvane.prepare_backtest_data(folder, client=market, end_date=20240329)
    other = SyntheticMarketClient(seed=3, n_stocks=20, start_date="20240102", end_date="20240229")
    morvane.prepare_backtest_data(folder, client=other, end_date=20240229, replace=True)
    data = morvane.load_backtest_data(folder)
    assert data.data["close_price"].shape == (len(other.world.dates), 20)
    # No staging folder or backup is left beside the store, only its locks.
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        ".mine.data.lock",
        ".mine.prepare.lock",
        "mine",
    ]


def test_local_files_through_init_without_a_data_service(tmp_path, market, monkeypatch, no_http):
    # The notebook of a user with their own files: init, prepare, load, no shell step.
    env = install(monkeypatch, tmp_path / "home")
    env.today = "20240329"
    files = market.write_files(tmp_path / "files", file_format="csv")
    morvane.init(client=LocalFileClient(files))
    morvane.prepare_backtest_data()
    data = morvane.load_backtest_data()
    assert data.data["close_price"].shape == (len(market.world.dates), 30)
    assert (env.store_dir / "metadata.pkl").is_file()


def test_local_files_lacking_a_required_file_write_nothing(tmp_path, market):
    files = market.write_files(tmp_path / "files", file_format="csv")
    (files / "factors" / "limit_up.csv").unlink()
    with pytest.raises(
        FileNotFoundError, match=r"缺少必需的输入文件 .*factors/limit_up.*没有写入任何数据"
    ):
        morvane.prepare_backtest_data(tmp_path / "store", client=LocalFileClient(files))
    assert not (tmp_path / "store").exists()


def test_bad_arguments_name_themselves(tmp_path, market, no_http):
    cases = [
        ({"store_dir": 3}, TypeError, "store_dir"),
        ({"store_dir": ""}, ValueError, "store_dir"),
        ({"client": object()}, TypeError, "client .*DataClient.*object"),
        ({"replace": "yes"}, TypeError, "replace"),
        ({"start_date": 2024.5, "client": market}, TypeError, "start_date"),
        ({"end_date": "20241345", "client": market}, ValueError, "end_date"),
        (
            {"start_date": "20240301", "end_date": "20240201", "client": market},
            ValueError,
            "start_date 20240301 晚于 end_date 20240201",
        ),
    ]
    for kwargs, error, message in cases:
        kwargs = {"store_dir": tmp_path / "s", **kwargs}
        with pytest.raises(error, match=message):
            morvane.prepare_backtest_data(**kwargs)
    with pytest.raises(TypeError, match="store_dir"):
        morvane.load_backtest_data(b"folder")  # type: ignore[arg-type]
    assert not (tmp_path / "s").exists()


def test_without_any_source_preparation_says_both_ways(tmp_path, monkeypatch, no_http):
    install(monkeypatch, tmp_path / "home")
    morvane.singleton.set_instance(None)
    with pytest.raises(
        morvane.MorvaneError, match=r"morvane\.init\(client=\.\.\.\).*morvane\.init\(base_url="
    ):
        morvane.prepare_backtest_data()


def test_loading_a_folder_without_a_store_names_it(tmp_path):
    with pytest.raises(FileNotFoundError, match=rf"{tmp_path}.*prepare_backtest_data"):
        morvane.load_backtest_data(tmp_path)


def _readme_block() -> str:
    location = importlib.util.spec_from_file_location(
        "readme_block", ROOT / ".ci" / "readme_block.py"
    )
    assert location is not None and location.loader is not None
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return str(
        module.block_under((ROOT / "README.md").read_text(encoding="utf-8"), "In a notebook")
    )


def test_readme_notebook_block_runs_as_written(tmp_path):
    pytest.importorskip(
        "IPython", reason="the README's notebook block runs in a notebook, which has IPython"
    )
    home, work = tmp_path / "home", tmp_path / "notebook"
    home.mkdir()
    work.mkdir()
    (work / "block.py").write_text(_readme_block(), encoding="utf-8")
    env = child_env(home, tmp_path)
    done = subprocess.run(
        [sys.executable, "-W", "error", "block.py"],
        cwd=work,
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    assert "Warning" not in done.stderr
    assert done.stdout.startswith("BacktestResult(")  # display() of the factor result
    assert "strategy  benchmark    excess" in done.stdout
    assert sorted(p.name for p in (work / "out").iterdir()) == [
        "alpha.png",
        "top.png",
        "top_weekly_net_value.png",
    ]
    assert (work / "morvane-data" / "metadata.pkl").is_file()
    assert list(home.iterdir()) == []  # the package's folder under the home is not touched

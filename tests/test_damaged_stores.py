"""Damaged stores: every load verifies, every flow repairs, and a refresh adds what a store lacks."""

from __future__ import annotations

import logging
import shutil
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from morvane import sweep
from morvane.backtest import _prepare
from morvane.backtest._service import BacktestService
from morvane.cli import main
from morvane.clients import SyntheticMarketClient
from morvane.exceptions import DataFileNotFoundError, MorvaneError
from package_server import tar_of
from service_env import tail_payload
from service_world import market_payload, write_store
from store_damage import DAMAGES, data_file, flipped_cells


@pytest.fixture(scope="module")
def payload():
    return market_payload()


def frames_equal(left: dict, right: dict) -> None:
    assert left.keys() == right.keys()
    for key, value in left.items():
        if key == "benchmark_dict":
            for code, series in value.items():
                pd.testing.assert_series_equal(series, right[key][code])
        else:
            pd.testing.assert_frame_equal(value, right[key])


class TestLoad:
    @pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
    @pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
    def test_names_the_file_and_the_command_that_repairs_it(self, payload, tmp_path, damage, mmap):
        store = write_store(tmp_path / "store", payload)
        target = data_file(store.store_dir, "close_price")
        damage(target)
        with pytest.raises(MorvaneError) as raised:
            store.load(mmap=mmap)
        message = str(raised.value)
        assert target.name in message and f"morvane prepare --store {store.store_dir}" in message
        if damage is DAMAGES["deleted"]:
            assert isinstance(raised.value, DataFileNotFoundError) and isinstance(
                raised.value, FileNotFoundError
            )

    def test_the_package_folder_names_the_preparation(self, env, payload):
        write_store(env.store_dir, payload)
        flipped_cells(data_file(env.store_dir, "open_price"))
        with pytest.raises(
            MorvaneError, match=r"第 2 行数据的校验和不符.*morvane\.prepare_backtest_data\(\)"
        ):
            BacktestService(None).load_backtest_data()

    def test_verify_false_is_the_opt_out_that_lets_damage_through(self, payload, tmp_path):
        store = write_store(tmp_path / "store", payload)
        flipped_cells(data_file(store.store_dir, "close_price"))
        close = store.load(mmap=True, verify=False)["data"]["close_price"]
        expected = payload["data"]["close_price"]
        bad = ~((close == expected) | (close.isna() & expected.isna()))
        assert bad.iloc[1].any() and not bad.drop(index=close.index[1]).any().any()
        # Rows outside a date cut are not read, so not verified either.
        assert (
            store.load(start_date=close.index[2], mmap=True)["data"]["close_price"].shape[0]
            == len(close) - 2
        )
        with pytest.raises(TypeError, match="verify"):
            store.load(verify=1)

    def test_a_sweep_over_a_damaged_folder_fails_instead_of_returning_wrong_figures(
        self, payload, tmp_path
    ):
        store = write_store(tmp_path / "store", payload)
        close = payload["data"]["close_price"]
        weights = close.notna().astype(float).div(close.notna().sum(axis=1), axis=0)
        before = sweep.run_strategy(
            weights, store.store_dir, close.index[0], close.index[-1], errors="raise"
        )
        flipped_cells(data_file(store.store_dir, "prev_close"), row=len(close) // 2)
        with pytest.raises(MorvaneError, match="prev_close"):
            sweep.run_strategy(
                weights, store.store_dir, close.index[0], close.index[-1], errors="raise"
            )
        assert np.isfinite(before["annual_return"].iloc[0])


@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_the_package_flow_downloads_again_and_swaps(env, server, payload, tmp_path, caplog, damage):
    folder = tmp_path / "built"
    write_store(folder, payload)
    server.serve_package(tar_of(folder))
    service = BacktestService(server.client())
    service.prepare_backtest_data()
    pristine = service.load_backtest_data().data
    target = data_file(env.store_dir, "cant_sell_stock")
    damage(target)
    caplog.set_level(logging.WARNING, logger="morvane")
    service.prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 2
    assert any(
        target.name in r.getMessage() for r in caplog.records if r.levelno == logging.WARNING
    )
    frames_equal(service.load_backtest_data().data, pristine)
    assert (
        BacktestService._find_missing_datasets(_prepare.BinaryPreparedDataStore(env.store_dir))
        == []
    )
    leftovers = {"data.lock", "prepare.lock", "installed_package.json", "enviroment_data"}
    assert {p.name for p in env.root.iterdir()} <= leftovers


def test_the_same_package_is_downloaded_again_when_a_file_is_damaged(env, server, tmp_path):
    """A store lacking a component is kept while the server offers the same package, unless a file is damaged."""
    folder = tmp_path / "built"
    write_store(folder, market_payload(components=list(_prepare.COMPONENT_FACTOR_NAMES[:4])))
    server.serve_package(tar_of(folder))
    service = BacktestService(server.client())
    service.prepare_backtest_data()
    service.prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 1
    flipped_cells(data_file(env.store_dir, "close_price"))
    service.prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 2
    assert service.load_backtest_data().data["close_price"].shape[0] > 0


@pytest.fixture(scope="module")
def local_files(tmp_path_factory) -> Path:
    market = SyntheticMarketClient(seed=1, n_stocks=30, start_date="20240102", end_date="20240329")
    return market.write_files(tmp_path_factory.mktemp("files"), file_format="csv")


@pytest.mark.usefixtures("keep_data_client")
@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_a_local_source_store_is_rebuilt_from_its_source(
    capsys, monkeypatch, tmp_path, local_files, damage
):
    from morvane.backtest import _service

    monkeypatch.setattr(_service, "_today", lambda: "20240329")
    folder = tmp_path / "prepared"
    argv = ["prepare", "--source", str(local_files), "--store", str(folder)]
    assert main(argv) == 0
    store = _prepare.BinaryPreparedDataStore(folder)
    pristine = store.load(mmap=False)["data"]
    damage(data_file(folder, "buy_price"))
    capsys.readouterr()
    assert main(argv) == 0
    assert "已就绪" in capsys.readouterr().out  # built anew, not refreshed
    frames_equal(store.load(mmap=False)["data"], pristine)


# ------------------------------------------------------------------ a refresh adds what a store lacks


def without(payload: dict, key: str) -> dict:
    data = dict(payload["data"])
    if key in data:
        del data[key]
    else:
        data["benchmark_dict"] = {c: s for c, s in data["benchmark_dict"].items() if c != key}
    return {**payload, "data": data}


# Every dataset but close_price, whose dates the store is refreshed by (a store
# without it answers False), and a benchmark.
STORED = [
    k
    for k in market_payload(n_stocks=5, end="20240105")["data"]
    if k not in ("benchmark_dict", "close_price")
] + ["000300"]


@pytest.mark.parametrize("missing", STORED)
def test_update_tail_adds_a_dataset_or_benchmark_the_store_lacks(payload, tmp_path, missing):
    store = write_store(tmp_path / "store", without(payload, missing))
    tail = tail_payload(payload, "20240318")
    assert store.update_tail(tail)
    loaded = store.load(mmap=False)["data"]
    if missing == "000300":
        added = loaded["benchmark_dict"]["000300"]
        assert list(added.index) == list(tail["data"]["benchmark_dict"]["000300"].index)
    else:
        added = loaded[missing]
        pd.testing.assert_frame_equal(
            added, tail["data"][missing], check_dtype=False, check_index_type=False
        )
    assert loaded["close_price"].index[-1] == "20240318"


def test_a_refresh_of_a_package_lacking_a_component_adds_it(env, server, tmp_path):
    """The package passes the strict check without the 932000 members; the refresh brings them."""
    full = market_payload()
    lacking = market_payload(components=list(_prepare.COMPONENT_FACTOR_NAMES[:4]))
    folder = tmp_path / "built"
    write_store(folder, lacking)
    server.serve_package(tar_of(folder))
    env.today = "20240320"
    env.window_payload = tail_payload(full, "20240318")
    service = BacktestService(server.client())
    service.prepare_backtest_data()
    key = _prepare.component_dataset_key(_prepare.COMPONENT_FACTOR_NAMES[4])
    assert service.load_backtest_data().data[key].index[-1] == "20240318"
    # The next preparation finds every dataset and only refreshes.
    service.prepare_backtest_data()
    assert server.routes["/files/package.tar"].hits == 1


def test_damage_left_alone_when_the_new_package_is_damaged_too(env, server, payload, tmp_path):
    """The old folder is kept until the new one verifies."""
    folder = tmp_path / "built"
    write_store(folder, payload)
    server.serve_package(tar_of(folder))
    BacktestService(server.client()).prepare_backtest_data()
    flipped_cells(data_file(env.store_dir, "close_price"))
    old = {p.name: p.read_bytes() for p in env.store_dir.iterdir() if p.is_file()}
    flipped_cells(data_file(folder, "open_price"))
    server.serve_package(tar_of(folder))
    with pytest.raises(MorvaneError, match="open_price"):
        BacktestService(server.client()).prepare_backtest_data()
    assert {p.name: p.read_bytes() for p in env.store_dir.iterdir() if p.is_file()} == old
    shutil.rmtree(folder)

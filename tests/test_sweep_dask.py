"""Sweeps on a Dask cluster of two worker processes: same table as locally, and a killed worker loses nothing."""

from __future__ import annotations

import os
import signal
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from morvane import sweep
from service_env import install
from service_world import market_payload, write_store

distributed = pytest.importorskip("distributed")

START, END = 20240102, 20240315
GRID = sweep.grid(rolling_window=[0, 3, 5], fee=[0.0, 1e-4, 1e-3], rule_fee=[5e-4, 1e-3])


@pytest.fixture(scope="module")
def store(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("sweep-store") / "enviroment_data"
    write_store(folder, market_payload(n_stocks=30))
    return folder


@pytest.fixture
def data(monkeypatch, tmp_path, store):
    install(monkeypatch, tmp_path / "home")
    return sweep._transport._load_store(str(store))


@pytest.fixture(scope="module")
def weights(store) -> dict[str, pd.DataFrame]:
    close = sweep._transport._load_store(str(store)).data["close_price"]
    held = close.notna() & (np.arange(close.shape[1]) % 2 == 0)
    w = held.astype(float).div(held.sum(axis=1).replace(0, 1), axis=0)
    return {"half": w, "scaled": w * 0.5}


def cluster():
    return distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )


@pytest.fixture(scope="module")
def client():
    with cluster() as c, distributed.Client(c) as client:
        yield client


def test_same_table_as_local_with_scattered_data_or_worker_stores(client, data, store, weights):
    local = sweep.run_strategy(weights, data, START, END, grid=GRID)
    scattered = sweep.run_strategy(weights, data, START, END, grid=GRID, client=client)
    pd.testing.assert_frame_equal(scattered, local)
    from_store = sweep.run_strategy(
        {"half": weights["half"]}, store, START, END, grid=GRID[:4], client=client
    )
    pd.testing.assert_frame_equal(from_store, local.head(4))


def test_errors_come_back_as_rows_or_raise(client, data, weights):
    inputs = {"empty": weights["half"].iloc[:0], "half": weights["half"]}
    table = sweep.run_strategy(inputs, data, START, END, grid=GRID[:2], client=client)
    assert list(table["error"].notna()) == [True, True, False, False]
    with pytest.raises(ValueError, match="策略权重矩阵为空"):
        sweep.run_strategy(inputs, data, START, END, grid=GRID[:2], client=client, errors="raise")


class KillOnce(distributed.WorkerPlugin):
    """Kills its worker's process, by its id, once the first sweep task finished there."""

    def __init__(self, marker: str) -> None:
        self.marker = marker

    def transition(self, key, start, finish, **kwargs) -> None:
        if finish != "memory" or not str(key).startswith("morvane-sweep"):
            return
        try:
            os.close(
                os.open(self.marker, os.O_CREAT | os.O_EXCL)
            )  # only the first worker gets here
        except FileExistsError:
            return
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_killed_worker_loses_nothing(data, store, weights, tmp_path):
    serial = sweep.run_strategy(weights, data, START, END, grid=GRID, threads=1)
    marker = tmp_path / "killed"
    with cluster() as c, distributed.Client(c) as client:
        pids = set(client.run(os.getpid).values())
        client.register_plugin(KillOnce(str(marker)), name="kill-once")
        table = sweep.run_strategy(weights, store, START, END, grid=GRID, client=client)
        assert marker.exists()
        assert (
            set(client.run(os.getpid).values()) != pids
        )  # a new process took the killed one's place
    pd.testing.assert_frame_equal(table, serial)

"""Fixtures shared by the store and backtest flow tests: a market, a redirected home, the data
loaded from it and a local package server.

Registered for every test module by conftest.py; a module defining a fixture of the same name
(a market of its own size, another server) uses its own.
"""

from __future__ import annotations

import pytest

from morvane.backtest._service import BacktestService
from morvane.backtest.result import BacktestData
from package_server import package_server
from service_env import install
from service_world import market_payload, write_store


@pytest.fixture(scope="module")
def payload():
    return market_payload(n_stocks=30)


@pytest.fixture
def env(monkeypatch, tmp_path):
    return install(monkeypatch, tmp_path / "home")


@pytest.fixture
def data(env, payload) -> BacktestData:
    write_store(env.store_dir, payload)
    return BacktestService(None).load_backtest_data()


@pytest.fixture
def server():
    with package_server() as state:
        yield state

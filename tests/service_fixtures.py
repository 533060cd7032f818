"""Fixtures of the backtest flow tests: a market, a redirected home and the data loaded from it."""

from __future__ import annotations

import pytest
from service_env import install
from service_world import market_payload, write_store

from morvane.backtest._service import BacktestService
from morvane.backtest.result import BacktestData


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

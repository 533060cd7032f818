"""Fixtures of the command line tests: a small prepared store from the demo market and a
weights file of its top group.

Registered for every test module by conftest.py; a module defining a fixture of the same name
(a market or a store of its own) uses its own.
"""

from __future__ import annotations

import pytest

from morvane.backtest._folders import build_payload, write_store
from morvane.cli._market import demo_market, top_group_weights


@pytest.fixture(scope="module")
def market():
    return demo_market(60, 40, 3)


@pytest.fixture(scope="module")
def store(market, tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli") / "store"
    first, last = (market.world.dates[i].strftime("%Y%m%d") for i in (0, -1))
    write_store(build_payload(market, first, last), folder)
    return folder


@pytest.fixture
def weights_csv(market, store, tmp_path):
    from morvane.backtest._prepare import BinaryPreparedDataStore

    valid = BinaryPreparedDataStore(store).load(keys=["close_price_valid"])["data"][
        "close_price_valid"
    ]
    path = tmp_path / "top.csv"
    top_group_weights(market.alpha_matrix(), valid, 5).to_csv(path)
    return path

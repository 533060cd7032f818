"""What the extension modules hold once loaded: constants, the chart lock, the result record, stubs."""

from __future__ import annotations

import dataclasses
import importlib
import threading
from pathlib import Path

import pandas as pd
import pytest

import morvane.backtest._core as core
import morvane.backtest._ravelle as ravelle

FIELDS = [
    "strategy_name",
    "daily_return",
    "cumulative_return",
    "stats",
    "benchmark_summary",
    "plot_paths",
]


def test_constants_and_shared_helpers():
    assert (
        ravelle.TRADING_DAYS_PER_YEAR,
        ravelle.ROLLING_STABILITY_DAYS,
        ravelle.MIN_ROLLING_STABILITY_DAYS,
    ) == (252, 60, 5)
    assert ravelle._build_market_arrays is core._build_market_arrays
    assert ravelle._with_datetime_index is core._with_datetime_index
    assert ravelle.safe_sharpe is core.safe_sharpe
    assert ravelle.np.__name__ == "numpy" and ravelle.pd is pd
    assert ravelle.threading is threading and ravelle.Path is Path
    assert ravelle.dataclass is dataclasses.dataclass


def test_chart_lock_is_one_reentrant_lock():
    lock = ravelle._MATPLOTLIB_PLOT_LOCK
    assert isinstance(lock, type(threading.RLock()))
    with lock, lock:  # re-entrant on the same thread
        pass
    assert ravelle._MATPLOTLIB_PLOT_LOCK is lock  # created once, at import


class TestRavelleResult:
    def test_fields_in_order_all_required(self):
        fields = dataclasses.fields(ravelle._RavelleResult)
        assert [f.name for f in fields] == FIELDS
        assert all(
            f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
            for f in fields
        )
        with pytest.raises(TypeError):
            ravelle._RavelleResult(strategy_name="s")

    def test_keyword_construction_equality_and_mutation(self):
        empty = pd.Series(dtype=float)
        values = dict(
            strategy_name="s",
            daily_return=empty,
            cumulative_return=empty,
            stats={},
            benchmark_summary=pd.DataFrame(),
            plot_paths={},
        )
        first = ravelle._RavelleResult(**values)
        assert first == ravelle._RavelleResult(**values)
        assert "strategy_name='s'" in repr(first)
        first.strategy_name = "t"
        assert first.strategy_name == "t"
        assert ravelle._RavelleResult.__module__ == "morvane.backtest._ravelle"


@pytest.mark.parametrize("module", ["_core", "_store", "_ravelle"])
def test_stub_is_installed_beside_the_module(module):
    loaded = importlib.import_module(f"morvane.backtest.{module}")
    stub = Path(loaded.__file__).with_name(f"{module}.pyi")
    text = stub.read_text(encoding="utf-8")
    assert "Args:" in text and "Returns:" in text
    assert (Path(loaded.__file__).parents[1] / "py.typed").exists()

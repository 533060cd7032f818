"""Shared fixtures: small market tables built by hand."""

from __future__ import annotations

import os
import tempfile

# Nothing under test may touch the real home (the prepared-data folder lives
# there): HOME points at a throwaway folder before morvane is first imported.
os.environ["HOME"] = tempfile.mkdtemp(prefix="morvane-test-home-")

import numpy as np
import pandas as pd
import pytest

pytest_plugins = ["service_fixtures", "cli_fixtures"]


def flat_market(
    dates: list[str],
    codes: list[str],
    *,
    close: float = 10.0,
    prev_close: float = 10.0,
    buy: float = 10.0,
    sell: float = 10.0,
) -> dict[str, pd.DataFrame]:
    """Eight market tables with constant prices and every trade allowed."""

    def full(value: object, dtype: object = float) -> pd.DataFrame:
        return pd.DataFrame(value, index=dates, columns=codes, dtype=dtype)

    return {
        "can_buy_stock": full(True, bool),
        "cant_sell_stock": full(False, bool),
        "split_factor": full(np.nan),
        "dividend_factor": full(np.nan),
        "close_price": full(close),
        "prev_close": full(prev_close),
        "buy_price": full(buy),
        "sell_price": full(sell),
    }


@pytest.fixture
def dates() -> list[str]:
    return ["20240102", "20240103", "20240104", "20240105", "20240108"]


@pytest.fixture
def keep_data_client():
    """Puts back whatever data client was installed before the test."""
    from morvane.singleton import get_instance, set_instance

    try:
        old = get_instance()
    except Exception:
        old = None
    yield
    set_instance(old)


@pytest.fixture
def saved_figures(monkeypatch):
    """Charts' figures as they are saved, with the dpi they are saved at: every chart of both
    backtests saves through morvane.backtest._chart_png.save_chart, looked up when it saves."""
    from morvane.backtest import _chart_png

    saved: list[tuple[object, dict]] = []
    original = _chart_png.save_chart

    def spy(figure, save_path, dpi):
        saved.append((figure, {"dpi": dpi}))
        return original(figure, save_path, dpi)

    monkeypatch.setattr(_chart_png, "save_chart", spy)
    return saved

"""The runner's native weight preparation against the pandas steps it replaces.

The runner aligns and smooths the weights in one native pass; these cases pin
that its results equal the engine and statistics run on the pandas-smoothed,
aligned table, to the last bit, where the rounding of the rolling mean decides
which positions vanish.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from conftest import flat_market
from morvane.backtest import _ravelle

DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-02", periods=30)]
CODES = [f"{i:06d}" for i in range(8)]


def market() -> dict[str, pd.DataFrame]:
    m = flat_market(DATES, CODES, close=10.5)
    rng = np.random.default_rng(1)
    close = m["close_price"] * np.exp(rng.normal(0, 0.02, m["close_price"].shape))
    m["close_price"] = close
    m["sell_price"] = close * 0.999
    return m


def pandas_reference(weights: pd.DataFrame, m: dict, window: int) -> tuple[pd.Series, dict]:
    """The steps as pandas expressions: align, smooth, trade, statistics."""
    close = m["close_price"]
    aligned = weights.loc[
        weights.index.intersection(close.index), weights.columns.intersection(close.columns)
    ].dropna(axis=1, how="all")
    work = _ravelle._smooth_strategy_weights(aligned, window)
    daily = _ravelle.calc_strategy_vwap_daily_return(work, **m)
    return daily, work


def weights_with(values: np.ndarray, codes: list[str] = CODES) -> pd.DataFrame:
    return pd.DataFrame(values, index=DATES[: len(values)], columns=codes)


def assert_same_bits(a: pd.Series, b: pd.Series) -> None:
    pd.testing.assert_index_equal(a.index, b.index, exact=True)
    assert a.to_numpy().tobytes() == b.to_numpy().tobytes()


def cases() -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(7)
    noisy = rng.normal(0.05, 0.05, (30, 8))
    noisy[rng.random(noisy.shape) < 0.3] = np.nan
    signed = noisy.copy()
    signed[rng.random(signed.shape) < 0.1] = 0.0
    signed[rng.random(signed.shape) < 0.05] = -0.0
    signed[3, 1] = np.inf
    signed[9, 4] = -np.inf
    signed[:, 6] = np.nan
    # equal weights held for five days: runs of one value average to exactly it
    held = np.where((np.arange(30) % 5 == 0)[:, None], (rng.random((30, 8)) < 0.5) * 0.1, np.nan)
    held = pd.DataFrame(held).ffill().to_numpy().copy()
    tiny = np.full((30, 8), 1e-300)
    tiny[::2] = -1e-300
    return {
        "noisy": noisy,
        "signed": signed,
        "held": held,
        "tiny": tiny,
        "all-inf-row": np.where(np.arange(30)[:, None] == 12, np.inf, noisy),
    }


def laid_out(frame: pd.DataFrame, layout: str) -> pd.DataFrame:
    """The same table over a row-major ("C") or column-major ("F") array."""
    values = np.asarray(frame.to_numpy(), order=layout)
    out = pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)
    assert out.to_numpy().flags[f"{layout}_CONTIGUOUS"]
    return out


class TestSmoothedRuns:
    # The engine reads a row-major market a day at a time and a column-major
    # one a stock at a time; the smoothed cells are computed in either order.
    @pytest.mark.parametrize("name", list(cases()))
    @pytest.mark.parametrize(
        "window", [2, 3, 5, 20, 30, 40]
    )  # 30: one smoothed row, no day to trade
    @pytest.mark.parametrize("layouts", ["CF", "FC", "CC"])
    # a window longer than the table leaves no smoothed row: the runner says so
    @pytest.mark.filterwarnings(
        "ignore:策略权重对齐行情并平滑后没有任何一行有权重:morvane.exceptions.MorvaneWarning"
    )
    def test_equal_to_the_pandas_steps(self, name, window, layouts):
        m = {key: laid_out(table, layouts[1]) for key, table in market().items()}
        weights = laid_out(weights_with(cases()[name]), layouts[0])
        expected_daily, work = pandas_reference(weights, m, window)
        got = _ravelle.run_strategy_backtest_core(weights, **m, rolling_window=window)
        if expected_daily.empty or work.dropna(how="all").empty:
            assert got.daily_return.empty
            return
        trimmed = expected_daily[expected_daily.index <= work.dropna(how="all").index.max()]
        assert_same_bits(got.daily_return, trimmed.rename("daily_return"))
        total = pd.DataFrame({"daily_return": trimmed, "index_daily_return": 0.0, "close": 1.0})
        stats = _ravelle.calc_strategy_stats(_ravelle._build_total_backtesting_frame(total), work)
        for key in ("holding_count", "turnover"):
            assert np.float64(got.stats[key]).tobytes() == np.float64(stats[key]).tobytes(), key


class TestAlignedWithoutSmoothing:
    @pytest.mark.parametrize(
        "pick", ["gaps", "block", "reversed", "foreign", "weightless", "renamed"]
    )
    @pytest.mark.parametrize("layout", ["C", "F"])
    def test_column_choices_give_the_aligned_table_figures(self, pick, layout):
        m = market()
        values = np.asarray(cases()["signed"], order=layout)
        weights = weights_with(values)
        if pick == "gaps":  # kept stocks spread over the market's columns
            weights = weights[CODES[::3]]
        elif pick == "block":  # a run of columns and rows, read in place
            weights = weights.iloc[2:20, 1:5]
        elif pick == "reversed":  # not in the market's order: traded in the table's
            weights = weights[CODES[::-1]]
        elif pick == "foreign":
            weights = weights.assign(**{"999999": 0.5})
        elif pick == "renamed":  # a stock the market lacks, weighted, where the market has another
            weights = weights.rename(columns={CODES[1]: "999999"})
        # "weightless": the whole table, one stock never weighted, read in place
        expected_daily, work = pandas_reference(weights, m, 0)
        # the aligned table the steps define is a new row-major one unless nothing is dropped
        work = pd.DataFrame(
            np.ascontiguousarray(work.to_numpy()), index=work.index, columns=work.columns
        )
        got = _ravelle.run_strategy_backtest_core(weights, **m)
        last = work.dropna(how="all").index.max()
        assert_same_bits(
            got.daily_return, expected_daily[expected_daily.index <= last].rename("daily_return")
        )
        total = pd.DataFrame(
            {"daily_return": got.daily_return, "index_daily_return": 0.0, "close": 1.0}
        )
        stats = _ravelle.calc_strategy_stats(_ravelle._build_total_backtesting_frame(total), work)
        assert (
            np.float64(got.stats["turnover"]).tobytes() == np.float64(stats["turnover"]).tobytes()
        )
        assert got.stats["holding_count"] == stats["holding_count"]

    def test_the_caller_table_is_not_written(self):
        m = market()
        weights = weights_with(cases()["signed"])[CODES[::2]]
        before = weights.copy()
        _ravelle.run_strategy_backtest_core(weights, **m, rolling_window=3)
        _ravelle.run_strategy_backtest_core(weights, **m)
        pd.testing.assert_frame_equal(weights, before)

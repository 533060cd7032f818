"""Yearly performance metrics and period figures on hand-computed cases."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._core import safe_sharpe
from morvane.backtest._ravelle import (
    _calc_yearly_performance_metrics,
    _period_return_drawdown_calmar,
)
from reference.stats import YEARLY_COLUMNS

COLUMNS = YEARLY_COLUMNS


def daily(
    dates: list[str], strategy: list[float], excess: list[float] | None = None
) -> pd.DataFrame:
    excess = excess if excess is not None else strategy
    return pd.DataFrame(
        {"daily_return": strategy, "extra_daily_return": excess}, index=pd.to_datetime(dates)
    )


class TestPeriodFigures:
    def test_gain_loss_gain(self):
        ret, dd, calmar = _period_return_drawdown_calmar(pd.Series([0.01, -0.02, 0.01]))
        assert ret == pytest.approx(0.0, abs=1e-17)
        assert dd == pytest.approx(0.02)
        assert calmar == pytest.approx(0.0, abs=1e-12)

    def test_losing_period_measures_drawdown_from_the_start(self):
        ret, dd, calmar = _period_return_drawdown_calmar(pd.Series([-0.01, -0.01]))
        assert (ret, dd) == pytest.approx((-0.02, 0.02))
        assert calmar == pytest.approx(-0.01 * 252 / 0.02)

    def test_only_gains_have_no_calmar(self):
        ret, dd, calmar = _period_return_drawdown_calmar(pd.Series([0.01, 0.02]))
        assert ret == pytest.approx(0.03) and dd == 0.0 and math.isnan(calmar)

    @pytest.mark.parametrize("value", [None, pd.Series(dtype=float), []])
    def test_nothing_gives_nan(self, value):
        assert all(math.isnan(v) for v in _period_return_drawdown_calmar(value))

    def test_missing_values_are_skipped(self):
        ret, dd, _ = _period_return_drawdown_calmar(pd.Series([0.01, np.nan, -0.03]))
        assert (ret, dd) == pytest.approx((-0.02, 0.03))
        # All missing: the sum of nothing is 0, the rest undefined.
        ret, dd, calmar = _period_return_drawdown_calmar(pd.Series([np.nan, np.nan]))
        assert ret == 0.0 and math.isnan(dd) and math.isnan(calmar)

    def test_text_is_a_value_error(self):
        with pytest.raises(ValueError, match="daily_return"):
            _period_return_drawdown_calmar(pd.Series(["a"]))


class TestYearlyTable:
    def test_year_boundary_gives_two_rows(self):
        table = _calc_yearly_performance_metrics(
            daily(
                ["2023-12-29", "2024-01-02", "2024-01-03"], [0.01, -0.02, 0.03], [0.0, 0.01, 0.01]
            )
        )
        assert table.index.tolist() == [2023, 2024]
        assert table.index.name == "year" and table.index.dtype == np.int64
        assert table.columns.tolist() == COLUMNS
        assert table.loc[2023, "strategy_return"] == pytest.approx(0.01)
        assert table.loc[2024, "strategy_return"] == pytest.approx(0.01)
        assert table.loc[2024, "strategy_max_dd"] == pytest.approx(0.02)
        assert table.loc[2024, "strategy_calmar"] == pytest.approx(0.005 * 252 / 0.02)
        assert table.loc[2024, "strategy_sharpe"] == pytest.approx(safe_sharpe([-0.02, 0.03]))
        assert math.isnan(table.loc[2023, "strategy_sharpe"])  # one value
        assert table.loc[2024, "excess_max_dd"] == 0.0 and math.isnan(
            table.loc[2024, "excess_calmar"]
        )

    def test_non_finite_returns_are_dropped_and_empty_years_skipped(self):
        table = _calc_yearly_performance_metrics(
            daily(
                ["2022-06-01", "2023-03-01", "2023-03-02", "2024-05-06"],
                [np.inf, 0.01, np.nan, 0.02],
                [-np.inf, np.nan, np.nan, np.nan],
            )
        )
        # 2022 holds nothing finite; 2024 has a strategy side only.
        assert table.index.tolist() == [2023, 2024]
        assert table.loc[2023, "strategy_return"] == pytest.approx(0.01)
        assert math.isnan(table.loc[2024, "excess_return"])
        assert math.isnan(table.loc[2024, "excess_max_dd"])

    def test_rows_are_grouped_by_year_in_frame_order(self):
        frame = daily(["2024-01-05", "2023-01-05", "2024-01-02"], [-0.01, 0.02, 0.03])
        table = _calc_yearly_performance_metrics(frame)
        assert table.index.tolist() == [2023, 2024]
        # 2024 runs -0.01 then 0.03, in the frame's order: a drawdown of 0.01.
        assert table.loc[2024, "strategy_max_dd"] == pytest.approx(0.01)

    def test_empty_frame(self):
        table = _calc_yearly_performance_metrics(
            pd.DataFrame(columns=["daily_return", "extra_daily_return"])
        )
        assert table.empty and table.columns.tolist() == [] and table.index.name is None

    def test_input_is_untouched(self):
        frame = daily(["2023-12-29", "2024-01-02"], [0.01, np.inf])
        before = frame.copy()
        _calc_yearly_performance_metrics(frame)
        pd.testing.assert_frame_equal(frame, before)

    def test_bad_input(self):
        with pytest.raises(KeyError, match="extra_daily_return"):
            _calc_yearly_performance_metrics(
                daily(["2024-01-02"], [0.01]).drop(columns="extra_daily_return")
            )
        with pytest.raises(TypeError, match="DatetimeIndex"):
            _calc_yearly_performance_metrics(
                pd.DataFrame(
                    {"daily_return": [0.1], "extra_daily_return": [0.1]}, index=["20240102"]
                )
            )
        with pytest.raises(TypeError, match="daily"):
            _calc_yearly_performance_metrics([1, 2])

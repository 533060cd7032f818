"""The per-day backtest table and the strategy statistics on hand-computed cases."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._ravelle import (
    _build_total_backtesting_frame,
    _period_return_drawdown_calmar,
    calc_strategy_stats,
)
from reference import stats as reference_stats
from reference.stats import EMPTY_STATS_KEYS, STATS_KEYS

DATES = pd.bdate_range("2024-01-02", periods=400).strftime("%Y%m%d").tolist()


def frame(**columns: list[float]) -> pd.DataFrame:
    n = len(next(iter(columns.values())))
    return pd.DataFrame(columns, index=DATES[:n], dtype=float)


class TestTotalFrame:
    def test_net_value_is_one_plus_cumulative_sum_over_its_first_value(self):
        total = _build_total_backtesting_frame(
            frame(daily_return=[0.01, 0.02, -0.01], index_daily_return=[0.0, 0.0, 0.0])
        )
        assert total["long"].iloc[0] == 1.0
        assert total["long"].tolist() == pytest.approx([1.0, 1.03 / 1.01, 1.02 / 1.01], rel=1e-15)
        # Drawdown in net-value units: 0 at new highs, then the fall from 1.03/1.01.
        assert total["max_drowdown"].tolist() == pytest.approx([0.0, 0.0, -0.01 / 1.01], abs=1e-15)

    def test_columns_are_added_in_order_and_input_is_untouched(self):
        given = frame(daily_return=[0.01, np.nan, 0.02], index_daily_return=[0.005, 0.0, -0.01])
        given["note"] = [1.0, 2.0, 3.0]
        before = given.copy()
        total = _build_total_backtesting_frame(given)
        pd.testing.assert_frame_equal(given, before)
        assert total.columns.tolist() == [
            "daily_return",
            "index_daily_return",
            "note",
            "extra_daily_return",
            "long",
            "close_net_value",
            "close",
            "max_drowdown",
            "extra_return",
            "extra_max_drowdown",
        ]
        # The row with a missing return is gone; the excess path starts at 0.
        assert total.index.tolist() == ["20240102", "20240104"]
        assert total["extra_return"].tolist() == pytest.approx([0.0, 0.03])
        assert total["extra_max_drowdown"].tolist() == [0.0, 0.0]

    def test_benchmark_net_value_without_close_column(self):
        total = _build_total_backtesting_frame(
            frame(daily_return=[0.0, 0.0], index_daily_return=[0.02, 0.01])
        )
        assert total["close"].tolist() == pytest.approx([1.02, 1.03])
        assert total["close_net_value"].tolist() == pytest.approx([1.0, 1.03 / 1.02])

    def test_benchmark_net_value_from_close_levels(self):
        total = _build_total_backtesting_frame(
            frame(daily_return=[0.0, 0.0], index_daily_return=[0.0, 0.0], close=[4000.0, 4100.0])
        )
        assert total["close"].tolist() == [4000.0, 4100.0]
        assert total["close_net_value"].tolist() == pytest.approx([1.0, 1.025])

    def test_zero_first_close_falls_back_to_cumulated_index_return(self):
        total = _build_total_backtesting_frame(
            frame(daily_return=[0.0, 0.0], index_daily_return=[0.02, 0.01], close=[0.0, 5.0])
        )
        # Not normalised: starts at 1 + the first day's index return.
        assert total["close_net_value"].tolist() == pytest.approx([1.02, 1.03])

    def test_empty_after_cleaning_is_returned_without_new_columns(self):
        total = _build_total_backtesting_frame(
            frame(daily_return=[np.nan], index_daily_return=[0.0])
        )
        assert total.empty and total.columns.tolist() == ["daily_return", "index_daily_return"]

    def test_missing_column_is_a_key_error(self):
        with pytest.raises(KeyError, match="index_daily_return"):
            _build_total_backtesting_frame(frame(daily_return=[0.01]))

    def test_not_a_dataframe_is_a_type_error(self):
        with pytest.raises(TypeError, match="total_backtesting.*DataFrame.*dict"):
            _build_total_backtesting_frame({"daily_return": [0.01]})


def total_of(daily: list[float], index_daily: list[float] | None = None) -> pd.DataFrame:
    index_daily = index_daily if index_daily is not None else [0.0] * len(daily)
    return _build_total_backtesting_frame(frame(daily_return=daily, index_daily_return=index_daily))


class TestStatistics:
    def test_keys_in_reporting_order_and_hand_values(self):
        daily = [0.01, -0.02, 0.03, 0.0]
        index_daily = [0.005, 0.01, -0.01, 0.0]
        stats = calc_strategy_stats(total_of(daily, index_daily), None)
        assert list(stats) == STATS_KEYS
        years = 4 / 252
        assert stats["annual_return"] == pytest.approx(((1.02 / 1.01) - 1) / years * 100)
        # The index levels 1.005, 1.015, 1.005, 1.005 end where they started.
        assert stats["benchmark_annual_return"] == pytest.approx(0.0, abs=1e-12)
        # Excess 0.005, -0.03, 0.04, 0: cumulated minus the first value.
        assert stats["extra_annual_return"] == pytest.approx(0.01 / years * 100)
        assert stats["max_dd"] == pytest.approx(0.02 / 1.01)
        assert stats["extra_max_dd"] == pytest.approx(0.03)
        assert stats["win_rate"] == 0.5 and stats["excess_win_rate"] == 0.5
        assert stats["return_corr"] == pytest.approx(np.corrcoef(daily, index_daily)[0, 1])
        assert math.isnan(stats["holding_count"]) and math.isnan(stats["turnover"])

    def test_turnover_and_holding_count(self):
        weights = pd.DataFrame([[0.5, 0.5], [1.0, np.nan]])
        stats = calc_strategy_stats(total_of([0.01, 0.02]), weights)
        assert stats["turnover"] == 0.5 and stats["holding_count"] == 1.5

    def test_one_weight_row_counts_zero_weights_as_held(self):
        weights = pd.DataFrame([[0.0, np.nan, 0.2]])
        stats = calc_strategy_stats(total_of([0.01, 0.02]), weights)
        assert stats["holding_count"] == 2.0 and math.isnan(stats["turnover"])

    @pytest.mark.parametrize("order", ["C", "F"])
    def test_weight_figures_do_not_depend_on_memory_order(self, order):
        rng = np.random.default_rng(3)
        values = np.where(rng.random((30, 7)) < 0.4, np.nan, rng.normal(size=(30, 7)))
        weights = pd.DataFrame(np.asarray(values, order=order))
        stats = calc_strategy_stats(total_of([0.01, 0.02]), weights)
        filled = np.nan_to_num(values)
        assert stats["holding_count"] == pytest.approx(np.isfinite(values).sum(axis=1).mean())
        assert stats["turnover"] == pytest.approx(
            np.abs(np.diff(filled, axis=0)).sum(axis=1).mean() / 2
        )

    def test_one_trading_year_reports_total_return_in_percent(self):
        daily = [0.001] * 252
        stats = calc_strategy_stats(total_of(daily), None)
        total_return = (1 + 0.252) / 1.001 - 1
        assert stats["annual_return"] == pytest.approx(total_return * 100, rel=1e-12)

    def test_infinite_loss_enters_net_value_but_not_sharpe_or_win_rate(self):
        daily = [0.01, -np.inf, -0.02, 0.03]
        stats = calc_strategy_stats(total_of(daily), None)
        finite = np.array([0.01, -0.02, 0.03])
        assert stats["long_sharp"] == pytest.approx(
            finite.mean() / finite.std(ddof=1) * math.sqrt(252)
        )
        assert stats["win_rate"] == pytest.approx(2 / 3)
        assert stats["annual_return"] == -math.inf and stats["max_dd"] == math.inf
        # Correlation reads the raw columns, where the infinity poisons it.
        assert math.isnan(stats["return_corr"])

    def test_infinite_gain_leaves_undefined_drawdowns_whose_days_are_dropped(self):
        # inf - running max inf is NaN: from that day on every row has a NaN
        # drawdown, and the statistics drop incomplete rows first.
        total = total_of([0.01, 0.02, np.inf, 0.03])
        assert np.isnan(total["max_drowdown"].iloc[2:]).all()
        stats = calc_strategy_stats(total, None)
        assert stats["annual_return"] == pytest.approx((1.03 / 1.01 - 1) / (2 / 252) * 100)
        assert stats["win_rate"] == 1.0

    def test_empty_frame_gives_all_nan_in_the_empty_order(self):
        empty = pd.DataFrame(columns=["daily_return", "index_daily_return"], dtype=float)
        stats = calc_strategy_stats(empty, pd.DataFrame([[0.1]]))
        assert list(stats) == EMPTY_STATS_KEYS
        assert all(math.isnan(v) for v in stats.values())

    def test_missing_column_is_a_key_error(self):
        total = total_of([0.01, 0.02]).drop(columns="extra_max_drowdown")
        with pytest.raises(KeyError, match="extra_max_drowdown"):
            calc_strategy_stats(total, None)

    def test_bad_arguments(self):
        with pytest.raises(TypeError, match="signal_df"):
            calc_strategy_stats(total_of([0.01]), [[0.1]])
        with pytest.raises(TypeError, match="total_frame"):
            calc_strategy_stats(None, None)
        with pytest.raises(ValueError, match="'b'"):
            calc_strategy_stats(total_of([0.01]), pd.DataFrame({"a": [0.1], "b": ["x"]}))


class TestPandasSemantics:
    """Numbers decided by pandas' rules, compared with pandas on the same input."""

    @pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
    def test_cumulative_sum_and_running_maximum_with_infinities(self):
        daily = [0.01, np.inf, -np.inf, 0.02, -0.5]
        native = total_of(daily)
        cumsum = pd.Series(daily).cumsum() + 1
        long = cumsum / cumsum.iloc[0]
        np.testing.assert_array_equal(native["long"].to_numpy(), long.to_numpy())
        np.testing.assert_array_equal(
            native["max_drowdown"].to_numpy(), (long - long.cummax()).to_numpy()
        )

    def test_correlation_matches_series_corr(self):
        rng = np.random.default_rng(5)
        for n in (1, 2, 3, 40):
            a, b = rng.normal(size=n), rng.normal(size=n)
            stats = calc_strategy_stats(total_of(list(a), list(b)), None)
            expected = reference_stats.pandas_corr(pd.Series(a), pd.Series(b))
            if math.isnan(expected):
                assert math.isnan(stats["return_corr"])
            else:
                assert stats["return_corr"] == pytest.approx(expected, rel=1e-12)

    def test_rows_with_a_missing_value_in_any_column_are_dropped(self):
        given = frame(
            daily_return=[0.01, 0.02, 0.03, 0.04], index_daily_return=[0.0, np.nan, 0.0, 0.0]
        )
        given["note"] = pd.Series(["a", "b", None, "d"], index=given.index, dtype=object)
        total = _build_total_backtesting_frame(given)
        assert total.index.equals(given.dropna().index)
        assert total["long"].tolist() == pytest.approx([1.0, 1.05 / 1.01])

    def test_period_figures_skip_missing_values_as_pandas_does(self):
        series = pd.Series([np.nan, 0.02, np.nan, -0.05, 0.01, np.nan, -0.01])
        assert _period_return_drawdown_calmar(series) == pytest.approx(
            reference_stats.period_return_drawdown_calmar(series), rel=1e-12
        )

    def test_constant_benchmark_has_no_correlation(self):
        stats = calc_strategy_stats(total_of([0.01, 0.02, 0.03], [0.01, 0.01, 0.01]), None)
        assert math.isnan(stats["return_corr"])

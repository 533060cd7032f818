"""The strategy backtest runner: alignment, benchmark join, summary, empty results and checks."""

from __future__ import annotations

import copy
import logging
import math

import numpy as np
import pandas as pd
import pytest

from conftest import flat_market
from morvane.backtest._ravelle import _RavelleResult, run_strategy_backtest_core
from morvane.exceptions import MorvaneWarning
from reference.stats import EMPTY_STATS_KEYS, run_strategy_backtest

DATES = ["20240102", "20240103", "20240104", "20240105", "20240108", "20240109"]
CODES = ["000001", "000002"]
FEE = 1e-4


def market_of(
    dates: list[str] = DATES, codes: list[str] = CODES, close: float = 10.5
) -> dict[str, pd.DataFrame]:
    return flat_market(dates, codes, close=close)


def weights_of(
    rows: list[list[float]], dates: list[str] = DATES, codes: list[str] = CODES
) -> pd.DataFrame:
    return pd.DataFrame(rows, index=dates[: len(rows)], columns=codes, dtype=float)


def run(weights: pd.DataFrame, market: dict[str, pd.DataFrame], **kwargs: object) -> _RavelleResult:
    return run_strategy_backtest_core(weights, **market, **kwargs)


def benchmark(values: list[float], dates: list[str] = DATES) -> pd.Series:
    return pd.Series(values, index=dates[: len(values)], dtype=float)


def assert_empty(result: _RavelleResult) -> None:
    assert result.daily_return.empty and result.daily_return.dtype == np.float64
    assert result.cumulative_return is result.daily_return
    assert list(result.stats) == EMPTY_STATS_KEYS and all(
        math.isnan(v) for v in result.stats.values()
    )
    assert result.benchmark_summary.empty and result.plot_paths == {}


def assert_matches_reference(
    result: _RavelleResult, weights: pd.DataFrame, market: dict, **kwargs: object
) -> None:
    expected = run_strategy_backtest(weights, market, **kwargs)
    pd.testing.assert_series_equal(
        result.daily_return, expected.daily_return, check_index_type=False, rtol=1e-12
    )
    pd.testing.assert_series_equal(
        result.cumulative_return, expected.cumulative_return, check_index_type=False, rtol=1e-12
    )
    assert list(result.stats) == list(expected.stats)
    np.testing.assert_allclose(
        list(result.stats.values()), list(expected.stats.values()), rtol=1e-10
    )
    pd.testing.assert_frame_equal(result.benchmark_summary, expected.benchmark_summary, rtol=1e-10)


class TestHandComputedRun:
    def test_two_days_with_a_benchmark(self):
        market = market_of()
        weights = weights_of([[0.01, 0.01]] * 3)
        bm = benchmark([0.003, 0.001, 0.002, 0.0, 0.0, 0.0])
        result = run(weights, market, benchmark_dict={"000852": bm})
        buy_day = 2 * 100_000 * (10.5 - 10.0 * (1 + FEE)) / 1e8
        hold_day = 2 * 100_000 * (10.5 - 10.0) / 1e8
        assert result.daily_return.index.tolist() == ["20240103", "20240104"]
        assert result.daily_return.tolist() == pytest.approx([buy_day, hold_day], rel=1e-13)
        assert (
            result.daily_return.name == "daily_return" and result.cumulative_return.name == "long"
        )
        assert result.cumulative_return.tolist() == pytest.approx(
            [1.0, (1 + buy_day + hold_day) / (1 + buy_day)]
        )
        years = 2 / 252
        # The index level cumulates from the benchmark's own first date.
        assert result.stats["benchmark_annual_return"] == pytest.approx(
            (1.006 / 1.004 - 1) / years * 100
        )
        assert result.stats["extra_annual_return"] == pytest.approx(
            (hold_day - 0.002) / years * 100
        )
        assert result.stats["holding_count"] == 2.0 and result.stats["turnover"] == 0.0
        summary = result.benchmark_summary
        assert summary.columns.tolist() == [
            "benchmark_name",
            "benchmark_annual_return",
            "excess_annual_return",
            "excess_sharpe",
            "excess_max_dd",
        ]
        assert summary["benchmark_name"].tolist() == ["000852"]
        assert summary["benchmark_annual_return"].iloc[0] == pytest.approx(0.0015 * 252)
        assert summary["excess_annual_return"].iloc[0] == pytest.approx(
            (buy_day - 0.001 + hold_day - 0.002) / 2 * 252
        )
        assert_matches_reference(result, weights, market, benchmark_dict={"000852": bm})

    def test_missing_primary_benchmark_measures_excess_against_zero(self, caplog):
        market = market_of()
        weights = weights_of([[0.01, 0.01]] * 4)
        other = {"000300": benchmark([0.001] * 6)}
        with (
            caplog.at_level(logging.WARNING, logger="morvane"),
            pytest.warns(MorvaneWarning, match="基准 '000852' 不在回测数据中.*可用的基准: 000300$"),
        ):
            result = run(weights, market, benchmark_dict=other)
        # the log says it too, for scripts that read the log rather than warnings
        assert [r.getMessage() for r in caplog.records if "000852" in r.getMessage()]
        stats = result.stats
        assert stats["benchmark_annual_return"] == 0.0 and math.isnan(stats["benchmark_sharp"])
        # Close to the strategy's own figures but not equal: the net value is
        # divided by its first value, the excess path starts at 0.
        assert stats["extra_annual_return"] != stats["annual_return"]
        assert stats["extra_annual_return"] == pytest.approx(stats["annual_return"], rel=1e-2)
        assert stats["extra_sharp"] == stats["long_sharp"]
        # The other benchmark is still summarised.
        assert result.benchmark_summary["benchmark_name"].tolist() == ["000300"]
        assert_matches_reference(result, weights, market, benchmark_dict=other)

    def test_empty_benchmark_dict_behaves_like_none(self):
        market = market_of()
        weights = weights_of([[0.01, 0.02]] * 4)
        with_none, with_empty = run(weights, market), run(weights, market, benchmark_dict={})
        pd.testing.assert_series_equal(with_none.daily_return, with_empty.daily_return)
        np.testing.assert_equal(with_none.stats, with_empty.stats)
        assert with_empty.benchmark_summary.empty

    def test_benchmark_summary_uses_the_series_as_given(self):
        market = market_of()
        weights = weights_of([[0.01, 0.01]] * 4)
        primary = benchmark([0.0, np.inf, 0.001, np.nan, 0.0, 0.0])
        outside = pd.Series([0.01], index=["20300101"])
        result = run(weights, market, benchmark_dict={"000852": primary, "000905": outside})
        # The infinite day counts as 0.0 in the join, but is kept in the summary.
        assert result.daily_return.index.tolist() == DATES[1:4]
        assert result.stats["benchmark_annual_return"] == pytest.approx(0.001 / (3 / 252) * 100)
        assert result.benchmark_summary["benchmark_name"].tolist() == ["000852"]
        assert result.benchmark_summary["benchmark_annual_return"].iloc[0] == math.inf

    def test_smoothing_window_and_reference(self):
        market = market_of()
        weights = weights_of([[0.03, np.nan], [0.0, 0.03], [0.03, 0.03], [0.03, 0.0], [0.0, 0.03]])
        result = run(weights, market, rolling_window=2)
        assert_matches_reference(result, weights, market, rolling_window=2)
        # The first smoothed row averages two days, so trading starts a day later.
        assert result.daily_return.index[0] == "20240104"


class TestAlignment:
    def test_labels_follow_pandas_intersection(self):
        market = market_of()
        rng = np.random.default_rng(2)
        weights = pd.DataFrame(
            rng.uniform(0, 0.02, (5, 3)), index=DATES[:5], columns=["000002", "999999", "000001"]
        )
        weights = weights.iloc[[0, 2, 1, 4, 3]]
        weights.loc["20990101"] = 0.01  # not a trading day
        bm = {"000852": benchmark(list(rng.normal(0, 0.01, 6)))}
        result = run(weights, market, benchmark_dict=bm)
        assert_matches_reference(result, weights, market, benchmark_dict=bm)

    def test_primary_join_follows_concat_inner_on_unordered_dates(self):
        market = market_of()
        weights = weights_of([[0.01, 0.02]] * 6).iloc[[0, 3, 1, 5, 2, 4]]
        # Not every date, in reverse order, with an infinite day.
        bm = {"000852": benchmark([0.001, np.inf, -0.002, 0.003, 0.0, 0.002]).iloc[[5, 4, 2, 1, 0]]}
        result = run(weights, market, benchmark_dict=bm)
        assert not result.daily_return.empty
        assert_matches_reference(result, weights, market, benchmark_dict=bm)

    def test_weights_outside_the_market_are_dropped_and_logged(self, caplog):
        market = market_of(codes=CODES + ["000003"])
        weights = weights_of(
            [[0.01, 0.01, 0.02, np.nan]] * 4,
            dates=DATES[:3] + ["20991231"],
            codes=CODES + ["999999", "000003"],
        )
        with caplog.at_level(logging.DEBUG, logger="morvane"):
            result = run(weights, market)
        assert result.daily_return.index.tolist() == DATES[1:3]
        messages = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
        assert any(
            "1 行非交易日" in m and "1 列行情中没有" in m and "1 列没有任何权重" in m
            for m in messages
        )

    def test_returns_after_the_last_weights_are_trimmed(self):
        market = market_of()
        weights = weights_of([[0.01, 0.01], [0.01, 0.01], [np.nan, np.nan], [np.nan, np.nan]])
        result = run(weights, market)
        # The engine also values 20240105 (an empty portfolio) and 20240108,
        # which lie after the last weights of 20240103.
        assert result.daily_return.index.tolist() == ["20240103"]

    def test_gaps_in_the_weight_dates_are_warned_about_once(self, caplog):
        market = market_of()
        weekly = weights_of([[0.01, 0.01]] * 3, dates=[DATES[0], DATES[3], DATES[5]])
        with (
            caplog.at_level(logging.WARNING, logger="morvane"),
            pytest.warns(MorvaneWarning) as warned,
        ):
            run(weekly, market)
        warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
        assert (
            len(warnings) == 1 and "3 个交易日" in warnings[0] and 'method="ffill"' in warnings[0]
        )
        assert [str(w.message) for w in warned] == warnings
        assert warned[0].filename == __file__  # the user's line, not the package's
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="morvane"):
            run(weights_of([[0.01, 0.01]] * 6), market)
        assert not caplog.records

    def test_inputs_are_unchanged_and_never_written(self):
        market = market_of(close=10.7)
        weights = weights_of([[0.01, np.nan], [0.02, 0.01], [0.0, 0.01], [0.01, 0.01]])
        frozen = {}
        for name, table in {"strategy_matrix": weights, **market}.items():
            values = table.to_numpy().copy()
            values.flags.writeable = False
            frozen[name] = pd.DataFrame(
                values, index=table.index, columns=table.columns, copy=False
            )
        bm = {"000852": benchmark([0.001] * 6)}
        before = copy.deepcopy((frozen, bm))
        run_strategy_backtest_core(**frozen, benchmark_dict=bm, rolling_window=2)
        run_strategy_backtest_core(**frozen, benchmark_dict=bm)
        for name in frozen:
            pd.testing.assert_frame_equal(frozen[name], before[0][name])
        pd.testing.assert_series_equal(bm["000852"], before[1]["000852"])


class TestNothingToBacktest:
    def test_no_common_dates(self):
        with pytest.warns(
            MorvaneWarning,
            match="没有任何一行有权重 \\(权重 20300101 至 20300102, 行情 20240102 至",
        ):
            assert_empty(
                run(weights_of([[0.01, 0.01]] * 2, dates=["20300101", "20300102"]), market_of())
            )

    def test_no_weights(self):
        with pytest.warns(MorvaneWarning, match="没有任何一行有权重"):
            assert_empty(run(weights_of([[np.nan, np.nan]] * 4), market_of()))
        # an empty table is the caller's choice of dates: nothing to say
        assert_empty(run(weights_of([[0.01, 0.01]]).iloc[:0], market_of()))

    def test_single_weight_row(self):
        assert_empty(run(weights_of([[0.01, 0.01]]), market_of()))

    @pytest.mark.parametrize("with_benchmark", [False, True])
    def test_one_weighted_row_then_empty_rows(self, with_benchmark):
        weights = weights_of([[0.01, 0.01], [np.nan, np.nan], [np.nan, np.nan]])
        bm = {"000852": benchmark([0.001] * 6)} if with_benchmark else None
        assert_empty(run(weights, market_of(), benchmark_dict=bm))

    def test_no_overlap_with_the_primary_benchmark_is_warned_about(self, caplog):
        numbered = pd.Series([0.01] * 6, index=[int(d) for d in DATES])
        with (
            caplog.at_level(logging.WARNING, logger="morvane"),
            pytest.warns(MorvaneWarning, match="没有共同日期"),
        ):
            assert_empty(
                run(
                    weights_of([[0.01, 0.01]] * 4), market_of(), benchmark_dict={"000852": numbered}
                )
            )
        assert any("没有共同日期" in r.getMessage() for r in caplog.records)

    def test_empty_result_with_a_chart_request_draws_nothing(self, tmp_path):
        result = run(weights_of([[0.01, 0.01]]), market_of(), plot_save_path=tmp_path / "x.png")
        assert_empty(result)
        assert not any(tmp_path.iterdir())


class TestCharts:
    def test_no_path_or_no_kind_means_no_chart(self):
        weights = weights_of([[0.01, 0.01]] * 3)
        assert run(weights, market_of(), plot_image_kind="long").plot_paths == {}
        assert (
            run(weights, market_of(), plot_image_kind=None, plot_save_path="out/run.png").plot_paths
            == {}
        )

    def test_chart_request_draws_both_files(self, tmp_path):
        main = tmp_path / "run.png"
        result = run(
            weights_of([[0.01, 0.01]] * 3), market_of(), plot_save_path=main, plot_title="t"
        )
        weekly = tmp_path / "run_weekly_net_value.png"
        assert result.plot_paths == {"main": str(main), "weekly_net_value": str(weekly)}
        assert main.stat().st_size > 0 and weekly.stat().st_size > 0


class TestArguments:
    @pytest.mark.parametrize(
        ("name", "value", "expected"),
        [
            ("benchmark_names", None, "str"),
            ("benchmark_names", ["000852"], "str"),
            ("strategy_name", None, "str"),
            ("benchmark_dict", [("000852", None)], "dict | None"),
            ("plot_image_kind", 1, "str | None"),
            ("plot_title", b"t", "str | None"),
            ("rolling_window", "3", "int"),
            ("total_money", "1e8", "float"),
            ("fee", None, "float"),
            ("rule_fee", [0.1], "float"),
        ],
    )
    def test_wrong_types_name_argument_and_both_types(self, name, value, expected):
        with pytest.raises(TypeError, match=rf"{name}.*{expected}.*{type(value).__name__}"):
            run(weights_of([[0.01, 0.01]] * 3), market_of(), **{name: value})

    @pytest.mark.parametrize("name", ["strategy_matrix", "close_price", "dividend_factor"])
    def test_tables_must_be_dataframes(self, name):
        args = {"strategy_matrix": weights_of([[0.01, 0.01]] * 3), **market_of()}
        args[name] = None
        with pytest.raises(TypeError, match=rf"{name}.*DataFrame.*NoneType"):
            run_strategy_backtest_core(**args)

    def test_numbers_are_converted(self):
        weights = weights_of([[0.01, 0.01]] * 3)
        converted = run(
            weights, market_of(), rolling_window=np.float64(1.0), total_money=np.int64(10**8), fee=0
        )
        plain = run(weights, market_of(), rolling_window=1, total_money=1e8, fee=0.0)
        pd.testing.assert_series_equal(converted.daily_return, plain.daily_return)

    def test_checks_come_before_any_work(self):
        # A bad weight table and a bad option: the option is reported.
        with pytest.raises(TypeError, match="strategy_name"):
            run(pd.DataFrame({"a": ["x"]}), market_of(), strategy_name=3)

    def test_non_numeric_weights_name_the_first_offending_column(self):
        weights = pd.DataFrame(
            {"000001": [0.01, 0.02], "000002": ["a", "b"], "000003": ["c", "d"]}, index=DATES[:2]
        )
        with pytest.raises(ValueError, match="'000002'"):
            run(weights, market_of())

    def test_duplicate_weight_dates_are_refused(self):
        weights = weights_of([[0.01, 0.01]] * 3, dates=[DATES[0], DATES[1], DATES[1]])
        with pytest.raises(ValueError, match="strategy_matrix"):
            run(weights, market_of())

    def test_benchmark_values_must_be_series(self):
        with pytest.raises(TypeError, match=r"benchmark_dict\['000300'\].*Series.*list"):
            run(weights_of([[0.01, 0.01]] * 3), market_of(), benchmark_dict={"000300": [0.01]})

    def test_out_of_range_money_parameters(self):
        with pytest.raises(ValueError, match="fee"):
            run(weights_of([[0.01, 0.01]] * 3), market_of(), fee=1.5)

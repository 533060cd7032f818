"""Every number of the backtest table, the statistics, the yearly table and the
runner equals the pandas transcription on random inputs with holes and infinities."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import flat_market
from morvane.backtest import _ravelle
from reference.stats import (
    build_total_backtesting_frame,
    calc_strategy_stats,
    calc_yearly_performance_metrics,
    run_strategy_backtest,
)

RTOL = 1e-9
PROPERTY = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def spoil(
    rng: np.random.Generator, values: np.ndarray, holes: float, infinities: float
) -> np.ndarray:
    """NaN holes and both infinities scattered over `values`."""
    out = values.copy()
    out[rng.random(values.shape) < holes] = np.nan
    signs = np.where(rng.random(values.shape) < 0.5, np.inf, -np.inf)
    out = np.where(rng.random(values.shape) < infinities, signs, out)
    return out


def assert_same_numbers(got: object, expected: object) -> None:
    np.testing.assert_allclose(
        np.asarray(got, dtype=float),
        np.asarray(expected, dtype=float),
        rtol=RTOL,
        atol=1e-15,
        equal_nan=True,
    )


def assert_same_stats(got: dict, expected: dict) -> None:
    assert list(got) == list(expected)
    assert_same_numbers(list(got.values()), list(expected.values()))


def assert_same_frame(got: pd.DataFrame, expected: pd.DataFrame) -> None:
    assert got.columns.tolist() == expected.columns.tolist()
    assert got.index.tolist() == expected.index.tolist()
    assert got.index.name == expected.index.name
    for column in got.columns:
        if column == "benchmark_name":
            assert got[column].tolist() == expected[column].tolist()
        else:
            assert_same_numbers(got[column].to_numpy(), expected[column].to_numpy())


@st.composite
def backtest_table(draw) -> tuple[pd.DataFrame, pd.DataFrame | None]:
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(0, 30))
    holes, infinities = draw(st.sampled_from([0.0, 0.15])), draw(st.sampled_from([0.0, 0.05]))
    # Dates over three calendar years, in order.
    days = np.sort(rng.choice(np.arange(365 * 3), size=n, replace=False))
    dates = (pd.Timestamp("2022-12-20") + pd.to_timedelta(days, unit="D")).strftime("%Y%m%d")
    table = pd.DataFrame(
        {
            "daily_return": spoil(rng, rng.normal(0.0005, 0.02, n), holes, infinities),
            "index_daily_return": spoil(rng, rng.normal(0.0, 0.015, n), holes, infinities),
        },
        index=dates,
    )
    close_kind = draw(st.sampled_from(["none", "levels", "zero_first"]))
    if close_kind != "none":
        levels = spoil(rng, 3000 * (1 + np.cumsum(rng.normal(0, 0.01, n))), holes, 0.0)
        if close_kind == "zero_first" and n:
            levels[0] = 0.0
        table["close"] = levels
    signal = None
    if draw(st.booleans()):
        rows, cols = draw(st.integers(0, 8)), draw(st.integers(0, 5))
        signal = pd.DataFrame(spoil(rng, rng.uniform(-0.1, 0.3, (rows, cols)), 0.3, infinities))
        if draw(st.booleans()):
            signal = pd.DataFrame(np.asfortranarray(signal.to_numpy()))
    return table, signal


@PROPERTY
@given(case=backtest_table())
def test_table_statistics_and_years_match_pandas(case):
    table, signal = case
    before = table.copy()
    native = _ravelle._build_total_backtesting_frame(table)
    expected = build_total_backtesting_frame(table)
    pd.testing.assert_frame_equal(table, before)
    assert_same_frame(native, expected)
    assert_same_stats(
        _ravelle.calc_strategy_stats(native, signal), calc_strategy_stats(expected, signal)
    )
    if not expected.empty:
        daily = expected[["daily_return", "extra_daily_return"]].copy()
        daily.index = pd.to_datetime(daily.index, format="%Y%m%d")
        assert_same_frame(
            _ravelle._calc_yearly_performance_metrics(daily), calc_yearly_performance_metrics(daily)
        )


@st.composite
def runner_case(draw) -> dict:
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    all_dates = pd.bdate_range("2023-12-20", periods=12).strftime("%Y%m%d").tolist()
    all_codes = [f"{k:06d}" for k in range(1, 6)]
    n_days, n_codes = draw(st.integers(1, 12)), draw(st.integers(1, 5))
    market_dates = all_dates[:n_days]
    codes = all_codes[:n_codes]
    market = flat_market(market_dates, codes)
    shape = (n_days, n_codes)
    prev = rng.uniform(5.0, 20.0, shape)
    market["prev_close"] = pd.DataFrame(prev, market_dates, codes)
    for key in ("close_price", "buy_price", "sell_price"):
        market[key] = pd.DataFrame(prev * rng.uniform(0.9, 1.1, shape), market_dates, codes)
    market["can_buy_stock"] = pd.DataFrame(rng.random(shape) < 0.9, market_dates, codes)
    market["dividend_factor"] = pd.DataFrame(
        np.where(rng.random(shape) < 0.1, 0.2, np.nan), market_dates, codes
    )

    # Weights on a shuffled subset of the dates and codes, plus foreign labels.
    weight_dates = [d for d in all_dates if rng.random() < 0.8] or all_dates[:1]
    weight_codes = [c for c in all_codes + ["999999"] if rng.random() < 0.8] or ["999999"]
    values = rng.uniform(0.0, 0.05, (len(weight_dates), len(weight_codes)))
    values = spoil(rng, values, draw(st.sampled_from([0.0, 0.3, 0.7])), 0.0)
    if draw(st.booleans()):
        values[rng.integers(0, len(weight_dates)) :] = np.nan  # trailing empty rows
    weights = pd.DataFrame(values, weight_dates, weight_codes)
    if draw(st.booleans()):
        weights = weights.sample(frac=1.0, random_state=int(rng.integers(1 << 31)))

    benchmarks = {}
    for name in draw(
        st.lists(
            st.sampled_from(["000852", "000300", "000905"]), unique=True, min_size=1, max_size=3
        )
    ):
        bm_dates = [d for d in ["20231201"] + all_dates + ["20240301"] if rng.random() < 0.85]
        bm = spoil(rng, rng.normal(0.0, 0.01, len(bm_dates)), 0.15, 0.05)
        benchmarks[name] = pd.Series(bm, index=bm_dates)
    return {
        "weights": weights,
        "market": market,
        "benchmark_dict": draw(st.sampled_from([None, {}, benchmarks, benchmarks, benchmarks])),
        "benchmark_names": draw(st.sampled_from(["000852", "000300"])),
        "rolling_window": draw(st.sampled_from([0, 1, 2, 3])),
    }


@PROPERTY
@given(case=runner_case())
@pytest.mark.filterwarnings(
    "ignore::morvane.exceptions.MorvaneWarning"
)  # random cases: empty runs, no benchmark
def test_runner_matches_pandas(case):
    options = {k: case[k] for k in ("benchmark_dict", "benchmark_names", "rolling_window")}
    got = _ravelle.run_strategy_backtest_core(case["weights"], **case["market"], **options)
    expected = run_strategy_backtest(case["weights"], case["market"], **options)
    assert got.daily_return.index.tolist() == expected.daily_return.index.tolist()
    assert_same_numbers(got.daily_return.to_numpy(), expected.daily_return.to_numpy())
    assert_same_numbers(got.cumulative_return.to_numpy(), expected.cumulative_return.to_numpy())
    assert_same_stats(got.stats, expected.stats)
    assert_same_frame(got.benchmark_summary, expected.benchmark_summary)

"""The numbers the factor chart draws, against the pandas expressions they stand for: the groups'
lines, the benchmark and the best group's excess, the rank IC's rolling means and the summary."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.collections  # noqa: E402
import matplotlib.table  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from morvane.backtest import _core  # noqa: E402
from test_group_backtest import benchmarks, random_market  # noqa: E402


def in_date_order(table: pd.DataFrame | pd.Series) -> pd.DataFrame | pd.Series:
    dated = table.set_axis(pd.to_datetime(table.index, format="%Y%m%d"))
    return dated.sort_index(kind="stable")


@pytest.fixture(params=["in order", "rows out of order"])
def drawn(request, tmp_path, saved_figures):
    """A factor chart with gaps in the rank IC and the benchmark, industries, and (in one case)
    market rows out of date order; its result, benchmark and saved figure."""
    market = random_market(11, 160, 12, holes=0.25)
    if request.param == "rows out of order":
        rows = np.arange(160)
        rows[[10, 100, 50, 51]] = rows[[100, 10, 51, 50]]
        market = {name: table.iloc[rows] for name, table in market.items()}
    dates = market["close_price"].index
    industries = pd.DataFrame(
        np.random.default_rng(3).integers(0, 3, (160, 12)).astype(float),
        index=dates,
        columns=market["close_price"].columns,
    )
    chosen = benchmarks(dates)
    chosen["000300"].iloc[::4] = np.nan
    result = _core.run_alpha_vwap_backtest_core(
        **market,
        industry_matrix=industries,
        group_num=3,
        benchmark_dict=chosen,
        benchmark_names="000300",
        plot_image_kind="large",
        plot_save_path=tmp_path / "factor.png",
    )
    return result, chosen["000300"], saved_figures[-1][0]


def test_group_lines_and_their_names(drawn):
    result, _, figure = drawn
    cumulative = in_date_order(result.group_cumulative_return)
    lines = figure.axes[0].get_lines()
    for group, line in zip(cumulative.columns, lines, strict=False):
        np.testing.assert_array_equal(line.get_ydata(), cumulative[group].to_numpy())
        np.testing.assert_array_equal(line.get_xdata(), cumulative.index.to_numpy())
    names = {t.get_text(): t.xy for t in figure.axes[0].texts}
    assert sorted(names) == ["G1", "G2", "G3"]
    last_day = matplotlib.dates.date2num(cumulative.index[-1])
    assert {xy[0] for xy in names.values()} == {last_day}


def test_benchmark_and_excess_lines(drawn):
    result, benchmark, figure = drawn
    daily = result.group_daily_return[int(result.best_group)]
    aligned = benchmark.reindex(daily.index)
    expected_benchmark = in_date_order(aligned.dropna().cumsum().add(1.0))
    expected_excess = in_date_order(daily.sub(aligned).dropna().cumsum())
    (dashed,) = [line for line in figure.axes[0].get_lines() if line.get_linestyle() == "--"]
    np.testing.assert_array_equal(dashed.get_ydata(), expected_benchmark.to_numpy())
    np.testing.assert_array_equal(dashed.get_xdata(), expected_benchmark.index.to_numpy())
    twin = figure.axes[-1]
    (area,) = [c for c in twin.collections if isinstance(c, matplotlib.collections.PolyCollection)]
    drawn_heights = area.get_paths()[0].vertices[:, 1]
    assert np.isin(expected_excess.to_numpy(), drawn_heights).all()
    assert twin.get_ylabel() == "Best Group Cumulative Excess"


def test_rank_ic_and_its_rolling_means(drawn):
    result, _, figure = drawn
    ic = in_date_order(result.rank_ic)
    assert ic["rank_ic"].isna().any()
    mean, neutral, _zero = figure.axes[2].get_lines()
    rolling = ic.rolling(20, min_periods=1).mean()
    np.testing.assert_array_equal(mean.get_ydata(), rolling["rank_ic"].to_numpy())
    np.testing.assert_array_equal(
        neutral.get_ydata(), rolling["industry_neutral_rank_ic"].to_numpy()
    )
    (area,) = figure.axes[2].collections
    assert np.isin(ic["rank_ic"].fillna(0.0).to_numpy(), area.get_paths()[0].vertices[:, 1]).all()


def test_summary_texts(drawn):
    result, _, figure = drawn
    (table,) = figure.axes[3].findobj(matplotlib.table.Table)
    cells = table.get_celld()
    texts = {
        cells[row, 0].get_text().get_text(): cells[row, 1].get_text().get_text()
        for row in range(1, max(r for r, _ in cells) + 1)
    }
    ic = result.rank_ic["rank_ic"].dropna()
    row = result.benchmark_summary().iloc[0]
    assert texts["Rank IC Mean"] == f"{ic.mean():.4f}"
    assert texts["ICIR"] == f"{ic.mean() / ic.std():.3f}"
    assert texts["IC > 0 Ratio"] == f"{ic.gt(0).mean() * 100:.1f}%"
    assert texts["Benchmark Annual Return"] == f"{row['benchmark_annual_return'] * 100:.2f}%"
    assert texts["Excess Sharpe"] == f"{row['excess_sharpe']:.2f}"
    assert texts["Excess Max Drawdown"] == f"{row['excess_max_dd'] * 100:.2f}%"

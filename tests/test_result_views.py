"""Results that speak pandas: the returns frame, the repr, the notebook view, and the typed entry points."""

from __future__ import annotations

import base64
import inspect
import math
import pydoc
import re
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane.backtest import result as result_module
from morvane.clients import SyntheticMarketClient


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    market = SyntheticMarketClient(seed=5, n_stocks=60, start_date="20230103", end_date="20230630")
    folder = tmp_path_factory.mktemp("views") / "store"
    morvane.prepare_backtest_data(folder, client=market, end_date="20230630")
    data = morvane.load_backtest_data(folder)
    out = tmp_path_factory.mktemp("charts")
    factor = market.alpha_matrix()
    first, last = factor.index[0], factor.index[-1]
    top = factor.rank(axis=1, pct=True) > 0.8
    weights = top.div(top.sum(axis=1), axis=0).where(top)
    return {
        "data": data,
        "weights": weights,
        "factor": morvane.backtest(
            factor, data, first, last, out, "alpha", group_num=5, benchmark="000300"
        ),
        "strategy": morvane.backtest_strategy(
            weights, data, first, last, out, "top", benchmark="000905"
        ),
        "ledger": morvane.backtest_strategy(
            weights,
            data,
            first,
            last,
            None,
            "top",
            benchmark="000905",
            plot=None,
            record_trades=True,
        ),
    }


def _benchmark(world, code: str, dates: pd.Index) -> np.ndarray:
    return world["data"].data["benchmark_dict"][code].reindex(dates).to_numpy(dtype=float)


def test_strategy_returns_frame_is_the_records_series_on_dates(world):
    result = world["strategy"]
    frame = result.returns_frame()
    assert list(frame.columns) == ["strategy", "benchmark", "excess"]
    assert (
        isinstance(frame.index, pd.DatetimeIndex)
        and frame.index.tz is None
        and frame.index.name == "date"
    )
    assert list(frame.index.strftime("%Y%m%d")) == list(result.daily_return.index)
    np.testing.assert_array_equal(frame["strategy"].to_numpy(), result.daily_return.to_numpy())
    np.testing.assert_array_equal(
        frame["benchmark"].to_numpy(), _benchmark(world, "000905", result.daily_return.index)
    )
    np.testing.assert_array_equal(
        frame["excess"].to_numpy(), (frame["strategy"] - frame["benchmark"]).to_numpy()
    )
    assert result.benchmark_return.name == "000905"
    # The record's own figures from the same numbers (non-compounding returns,
    # the net value starting at 1 on the first day): total return / years, in
    # percentage points.
    years = len(frame) / 252
    strategy, excess = frame["strategy"], frame["excess"]
    total = (1 + strategy.sum()) / (1 + strategy.iloc[0]) - 1
    assert math.isclose(result.stats["annual_return"], total / years * 100, rel_tol=1e-9)
    assert math.isclose(
        result.stats["extra_annual_return"], excess.iloc[1:].sum() / years * 100, rel_tol=1e-9
    )
    frame.iloc[0, 0] = 99.0  # a new table: the record is untouched
    assert result.daily_return.iloc[0] != 99.0


def test_factor_returns_frame_has_groups_benchmark_and_the_best_groups_excess(world):
    result = world["factor"]
    frame = result.returns_frame()
    assert list(frame.columns) == ["G1", "G2", "G3", "G4", "G5", "benchmark", "excess"]
    assert isinstance(frame.index, pd.DatetimeIndex)
    np.testing.assert_array_equal(
        frame.iloc[:, :5].to_numpy(), result.group_daily_return.to_numpy()
    )
    np.testing.assert_array_equal(
        frame["benchmark"].to_numpy(), _benchmark(world, "000300", result.group_daily_return.index)
    )
    best = frame[f"G{result.best_group}"]
    np.testing.assert_array_equal(
        frame["excess"].to_numpy(), (best - frame["benchmark"]).to_numpy()
    )
    # The summary's excess annual return is the mean of that excess, annualised.
    summary = result.benchmark_summary.iloc[0]
    assert math.isclose(summary["excess_annual_return"], frame["excess"].mean() * 252, rel_tol=1e-9)


def test_empyrical_takes_the_frames_as_they_are(world):
    empyrical = pytest.importorskip(
        "empyrical", reason="empyrical-reloaded is in the test extra only"
    )
    for frame, column in (
        (world["strategy"].returns_frame(), "strategy"),
        (world["factor"].returns_frame(), "G5"),
    ):
        returns, benchmark = frame[column], frame["benchmark"]
        assert math.isclose(
            empyrical.sharpe_ratio(returns),
            returns.mean() / returns.std(ddof=1) * math.sqrt(252),
            rel_tol=1e-9,
        )
        assert math.isclose(
            empyrical.cum_returns_final(returns), float((1 + returns).prod() - 1), rel_tol=1e-9
        )
        alpha, beta = empyrical.alpha_beta(returns, benchmark)
        assert math.isclose(
            beta, np.cov(returns, benchmark)[0, 1] / np.var(benchmark, ddof=1), rel_tol=1e-6
        )
        assert math.isfinite(alpha)
        # A daily frame on dates: monthly and yearly aggregation work without conversion.
        yearly = empyrical.aggregate_returns(returns, "yearly")
        assert list(yearly.index) == [2023]


def test_positions_frame_is_pyfolios_layout_and_reconciles_with_the_ledger(world):
    data, result = world["data"], world["ledger"]
    frame = result.positions_frame()
    assert frame.index.equals(result.returns_frame().index) and frame.index.name == "date"
    assert list(frame.columns) == [*result.positions.columns, "cash"]
    # Each stock: its shares at the day's close, in money.
    close = data.data["close_price"].loc[result.positions.index[0] :].ffill()
    close = close.reindex(index=result.positions.index, columns=result.positions.columns)
    stocks = (result.positions * close).where(result.positions > 0, 0.0)
    np.testing.assert_allclose(frame.iloc[:, :-1].to_numpy(), stocks.to_numpy(), rtol=1e-15)
    # Each row: the capital plus the P&L so far, which is the net value scaled
    # back to the capital before the first day's return.
    daily = result.daily_return
    np.testing.assert_allclose(
        frame.sum(axis=1).to_numpy(), 1e8 * (1 + daily.cumsum()).to_numpy(), rtol=1e-12
    )
    np.testing.assert_allclose(
        frame.sum(axis=1).to_numpy(),
        1e8 * (1 + daily.iloc[0]) * result.cumulative_return.to_numpy(),
        rtol=1e-12,
    )
    # The first day's cash is what the day's buys left of the capital (the
    # first weights meet an empty book).
    trades = result.trades
    buys = trades[(trades["date"] == daily.index[0]) & (trades["side"] == "buy")]
    assert set(trades.loc[trades["date"] == daily.index[0], "side"]) == {"buy"}
    spent = (buys["shares"] * buys["price"] + buys["commission"]).sum()
    assert math.isclose(frame["cash"].iloc[0], 1e8 - spent, rel_tol=1e-12)
    frame.iloc[0, 0] = -1.0  # a new table each call
    assert result.positions_frame().iloc[0, 0] != -1.0
    with pytest.raises(ValueError, match="record_trades=True"):
        world["strategy"].positions_frame()
    # The notebook view adds the ledger's totals, as the command line prints them.
    assert (
        f'<th style="text-align:left">买卖笔数</th><td style="text-align:right">'
        f"{result.trade_totals['trade_count']}</td>" in result._repr_html_()
    )
    assert "买卖笔数" not in world["strategy"]._repr_html_()


def test_pyfolio_reads_the_positions_frame(world):
    with warnings.catch_warnings():  # without zipline, pyfolio warns as it loads
        warnings.simplefilter("ignore")
        pyfolio = pytest.importorskip("pyfolio", reason="pyfolio is not in the test extra")
    frame = world["ledger"].positions_frame()
    np.testing.assert_allclose(pyfolio.pos.get_percent_alloc(frame).sum(axis=1), 1.0, rtol=1e-12)
    leverage = pyfolio.timeseries.gross_lev(frame)
    # Shares are sized on the previous close and bought at the day's price, so
    # the book may run a little beyond its capital (a negative cash).
    exposure = frame.drop(columns="cash").sum(axis=1) / frame.sum(axis=1)
    np.testing.assert_allclose(leverage.to_numpy(), exposure.to_numpy(), rtol=1e-12)


def test_a_benchmark_the_data_lacks_counts_as_zero_in_the_frame(world):
    weights = pd.DataFrame(
        0.5,
        index=world["data"].data["close_price"].index[:20],
        columns=world["data"].data["close_price"].columns[:2],
    )
    with pytest.warns(morvane.MorvaneWarning, match="399999"):
        result = morvane.backtest_strategy(
            weights,
            world["data"],
            weights.index[0],
            weights.index[-1],
            None,
            "s",
            benchmark="399999",
            plot=None,
        )
    frame = result.returns_frame()
    assert (frame["benchmark"] == 0.0).all() and frame["excess"].equals(frame["strategy"])


def test_repr_shows_the_key_figures_in_their_units(world):
    strategy, factor = world["strategy"], world["factor"]
    text = repr(strategy)
    stats = strategy.stats
    assert (
        text.startswith("StrategyBacktestResult(strategy_name='top', dates=") and "\n" not in text
    )
    days = len(strategy.daily_return)
    assert f"({days} days)" in text
    assert f"annual_return={stats['annual_return']:.2f}%" in text  # percentage points as they are
    assert f"max_dd={stats['max_dd'] * 100:.2f}%" in text  # a fraction, shown in percent
    assert f"win_rate={stats['win_rate'] * 100:.2f}%" in text
    assert f"long_sharp={stats['long_sharp']:.2f}" in text
    assert "...(+5 stats)" in text and "plot_paths=['main', 'weekly_net_value']" in text

    text = repr(factor)
    excess = factor.benchmark_summary.iloc[0]["excess_annual_return"]
    assert text.startswith("BacktestResult(factor_name=") and "groups=5" in text
    assert f"best_group={factor.best_group}" in text and "benchmark='000300'" in text
    assert f"excess_annual_return={excess * 100:.2f}%" in text
    assert f"rank_ic_mean={factor.rank_ic['rank_ic'].mean():.4f}" in text


def test_notebook_view_embeds_the_charts_and_escapes_text(world, tmp_path):
    html = world["strategy"]._repr_html_()
    images = re.findall(r'<img src="data:image/png;base64,([A-Za-z0-9+/=]+)"', html)
    files = [world["strategy"].plot_paths[name] for name in ("main", "weekly_net_value")]
    assert [base64.b64decode(image) for image in images] == [Path(f).read_bytes() for f in files]
    assert "年化收益" in html and f"{world['strategy'].stats['annual_return']:.2f}%" in html
    assert len(re.findall(r"<img ", world["factor"]._repr_html_())) == 1
    decay = world["factor"].ic_decay
    assert (
        f'1 日 Rank IC (IR)</th><td style="text-align:right">{decay.loc[1, "mean"]:.4f}'
        in world["factor"]._repr_html_()
    )

    # Hand-made: a name with markup, a chart that is gone and a file that is no PNG.
    fake = tmp_path / "fake.png"
    fake.write_text("<svg/>")
    record = result_module.StrategyBacktestResult(
        strategy_name='<b>&"x"',
        daily_return=pd.Series(dtype=float),
        cumulative_return=pd.Series(dtype=float),
        stats={},
        benchmark_summary=pd.DataFrame(),
        plot_paths={"main": str(tmp_path / "gone.png"), "weekly_net_value": str(fake)},
    )
    html = record._repr_html_()
    assert "<b>" not in html and "&lt;b&gt;&amp;&quot;x&quot;" in html
    assert "<img" not in html and html.count("(文件不存在)") == 2
    assert record.returns_frame().shape == (0, 1)  # no benchmark recorded: the strategy alone


def test_records_and_the_warning_class_come_from_morvane():
    from morvane import (
        BacktestData,
        BacktestResult,
        MorvaneWarning,
        StrategyBacktestResult,
    )
    from morvane.exceptions import MorvaneWarning as original

    assert (BacktestData, BacktestResult, StrategyBacktestResult) == (
        result_module.BacktestData,
        result_module.BacktestResult,
        result_module.StrategyBacktestResult,
    )
    assert MorvaneWarning is original
    assert {"BacktestData", "BacktestResult", "StrategyBacktestResult", "MorvaneWarning"} <= set(
        morvane.__all__
    )


def test_the_callable_subpackage_shows_its_call():
    signature = inspect.signature(morvane.backtest)
    assert list(signature.parameters)[:6] == [
        "factor",
        "data",
        "start_date",
        "end_date",
        "output_dir",
        "plot_filename",
    ]
    assert signature.parameters["group_num"].default == 20
    assert signature.parameters["group_num"].kind is inspect.Parameter.KEYWORD_ONLY
    research = {
        name: signature.parameters[name].default
        for name in ("horizons", "rebalance_every", "tear_sheet")
    }
    assert research == {"horizons": (1,), "rebalance_every": 1, "tear_sheet": False}
    assert inspect.signature(morvane.backtest_strategy).parameters["record_trades"].default is False
    page = pydoc.render_doc(morvane.backtest, renderer=pydoc.plaintext)
    assert "morvane.backtest(factor: pd.DataFrame, data: BacktestData," in page
    assert "group_num: int = 20" in page and "对宽表因子跑分组回测并出图。" in page
    assert "horizons: int | Sequence[int] = (1,)" in page and "tear_sheet (bool):" in page


def test_the_services_backtest_methods_share_the_package_functions_text():
    from morvane.backtest._service import BacktestService

    pairs = [
        (BacktestService.backtest, type(morvane.backtest).__call__),
        (BacktestService.backtest_strategy, morvane.backtest_strategy),
    ]
    for method, function in pairs:
        text = inspect.cleandoc(function.__doc__)
        # The native method's __doc__ starts with its signature line.
        assert method.__doc__.endswith(text) and "Args:" in text and "Raises:" in text
    assert "rebalance_every (int):" in BacktestService.backtest.__doc__
    assert "record_trades (bool):" in BacktestService.backtest_strategy.__doc__


def test_mypy_types_a_user_script_using_every_public_function(tmp_path):
    api = pytest.importorskip("mypy.api", reason="mypy is in the test extra only")
    script = tmp_path / "user_script.py"
    script.write_text(
        textwrap.dedent("""
        import warnings

        import pandas as pd

        import morvane
        from morvane import BacktestData, BacktestResult, MorvaneWarning, StrategyBacktestResult
        from morvane.clients import LocalFileClient, SyntheticMarketClient


        def research(factor: pd.DataFrame, weights: pd.DataFrame) -> float:
            warnings.filterwarnings("ignore", category=MorvaneWarning)
            market = SyntheticMarketClient(seed=0, n_stocks=30, start_date="20240102", end_date="20240329")
            morvane.init(client=market)
            morvane.init(base_url="https://data.example.com/api/v1", token="t")
            http = morvane.get_http_client()
            morvane.prepare_backtest_data()
            morvane.prepare_backtest_data("store", client=LocalFileClient("files"), start_date=20240102,
                                          end_date="20240329", replace=True)
            data: BacktestData = morvane.load_backtest_data("store")
            default: BacktestData = morvane.load_backtest_data()
            groups = morvane.backtest(factor, data, "20240102", 20240329, "out", "alpha", group_num=5,
                                      benchmark=["000300", "000905"], universe="000300", horizons=(1, 5, 20),
                                      rebalance_every=5, tear_sheet=True)
            reveal_type(groups)
            strategy = morvane.backtest_strategy(weights, default, "20240102", "20240329", None, "top", plot=None,
                                                 record_trades=True)
            reveal_type(strategy)
            frame: pd.DataFrame = groups.returns_frame()
            decay: pd.DataFrame = groups.ic_decay
            positions: pd.DataFrame = strategy.positions_frame()
            both: list[BacktestResult | StrategyBacktestResult] = [groups, strategy]
            table = morvane.sweep.run_strategy({"top": weights}, data, "20240102", "20240329")
            morvane.logger.enable_console("INFO")
            print(http, frame, both, table, decay, positions, strategy.trades)
            return float(strategy.stats["annual_return"])


        def misuse(factor: pd.DataFrame) -> None:
            morvane.backtest(factor)
            morvane.load_backtest_data(3)
            morvane.backtest(factor, BacktestData(data={}), 1, 2, "out", "a", horizons="5")
    """)
    )
    out, err, status = api.run(
        [
            str(script),
            "--ignore-missing-imports",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--show-error-codes",
            "--no-error-summary",
        ]
    )
    source = script.read_text().splitlines()

    def line_of(text: str) -> int:
        return next(number for number, line in enumerate(source, 1) if text in line)

    lines = out.splitlines()
    revealed = [line for line in lines if "Revealed type" in line]
    assert revealed == [
        f'{script}:{line_of("reveal_type(groups)")}: note: Revealed type is "morvane.backtest.result.BacktestResult"',
        f"{script}:{line_of('reveal_type(strategy)')}: note: "
        'Revealed type is "morvane.backtest.result.StrategyBacktestResult"',
    ], out + err
    errors = [line for line in lines if ": error:" in line]
    # Only the misuse is an error: the call is typed, not Any.
    assert [int(line.split(":")[1]) for line in errors] == [
        line_of("morvane.backtest(factor)"),
        line_of("load_backtest_data(3)"),
        line_of('horizons="5"'),
    ], out
    assert "call-arg" in errors[0] and "arg-type" in errors[1] and "horizons" in errors[2]

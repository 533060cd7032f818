"""The research options through the service, the sweeps and the command line: one check refuses them alike."""

from __future__ import annotations

import re

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane import sweep
from morvane.backtest import _service
from morvane.backtest.result import StrategyBacktestResult
from morvane.cli import main
from test_cli import _on_store, _run

START, END = "20240103", "20240301"

pytestmark = pytest.mark.usefixtures("keep_data_client")


@pytest.fixture
def factor(payload) -> pd.DataFrame:
    close = payload["data"]["close_price"]
    rng = np.random.default_rng(8)
    return pd.DataFrame(rng.normal(size=close.shape), index=close.index, columns=close.columns)


def test_factor_backtest_carries_the_research_tables_and_the_tear_sheet(data, factor, tmp_path):
    plain = morvane.backtest(factor, data, START, END, tmp_path, "plain", group_num=3)
    assert list(plain.rank_ic_by_horizon.columns) == [1] and list(plain.plot_paths) == ["000852"]
    res = morvane.backtest(
        factor,
        data,
        START,
        END,
        tmp_path,
        "alpha",
        group_num=3,
        horizons=[5, 1],
        rebalance_every=5,
        tear_sheet=True,
    )
    assert list(res.ic_decay.index) == [1, 5] and list(res.rank_autocorrelation.columns) == [1, 5]
    pd.testing.assert_series_equal(
        res.rank_ic_by_horizon[1], res.rank_ic["rank_ic"], check_names=False
    )
    assert len(res.group_turnover) == len(res.group_counts) == -(-len(plain.group_counts) // 5)
    sheet = tmp_path / "alpha_tear_sheet.png"
    assert res.plot_paths == {"000852": str(tmp_path / "alpha.png"), "tear_sheet": str(sheet)}
    assert sheet.stat().st_size > 20_000
    assert "年" not in repr(res) and repr(res).startswith("BacktestResult(")
    # The notebook view embeds the tear sheet beside the chart and lists the decay.
    assert "'tear_sheet'" in repr(res)
    html = res._repr_html_()
    assert (
        len(re.findall(r'<img src="data:image/png;base64,', html)) == 2
        and "5 日 Rank IC (IR)" in html
    )


def test_one_check_refuses_the_research_options_for_api_sweep_and_command_line(
    data,
    factor,
    tmp_path,
    capsys,
    store,
    weights_csv,
):
    bad = [
        ({"horizons": (1, 300)}, ValueError, r"horizons 的持有期取值范围 \[1, 250\]"),
        ({"rebalance_every": 0}, ValueError, r"rebalance_every 取值范围 \[1, 250\]"),
        ({"horizons": "5"}, TypeError, "参数 horizons 类型错误"),
    ]
    for options, error, message in bad:
        with pytest.raises(error, match=message):
            morvane.backtest(factor, data, START, END, tmp_path / "api", "a", **options)
        with pytest.raises(error, match=message):
            _service._check_factor_request(
                factor, data, START, END, None, "a", chart=False, **options
            )
        with pytest.raises(error, match=f"第 1 组.*{message}|{message}"):
            sweep.run_factor(factor, data, START, END, grid=[options])
    assert not (tmp_path / "api").exists()
    for argv, named in (
        (["--horizons", "1,300"], "--horizons"),
        (["--rebalance-every", "0"], "--rebalance-every"),
    ):
        code, _, err = _run(
            capsys,
            *_on_store("backtest", weights_csv, store),
            "--out",
            str(tmp_path / "charts"),
            *argv,
        )
        assert code == 1 and f": {named}: 参数" in err and err.count("\n") == 1, err
    with pytest.raises(SystemExit) as usage:
        main(["backtest", str(weights_csv), "--horizons", "1,five"])
    assert usage.value.code == 2


def test_sweeps_vary_horizons_and_rebalancing(data, factor):
    table = sweep.run_factor(
        factor,
        data,
        START,
        END,
        grid=sweep.grid(group_num=[3], rebalance_every=[1, 5], horizons=[(1, 5)]),
        threads=1,
    )
    assert table["error"].isna().all()
    assert list(table["rebalance_every"]) == [1, 5] and list(table["horizons"]) == ["1,5", "1,5"]
    assert (
        table["rank_ic_mean_5d"].iloc[0] == table["rank_ic_mean_5d"].iloc[1]
    )  # rebalancing keeps the IC
    assert table["top_group_turnover"].iloc[1] != table["top_group_turnover"].iloc[0]


def test_strategy_ledger_through_the_service_and_the_command_line(
    data,
    payload,
    tmp_path,
    capsys,
    store,
    weights_csv,
):
    close = payload["data"]["close_price"]
    weights = (close.notna() & (np.arange(close.shape[1]) % 4 == 0)).astype(float) / 8
    plain = morvane.backtest_strategy(weights, data, START, END, None, "w", plot=None)
    assert (
        isinstance(plain, StrategyBacktestResult)
        and plain.trades is None
        and plain.trade_totals is None
    )
    res = morvane.backtest_strategy(
        weights, data, START, END, None, "w", plot=None, record_trades=True
    )
    pd.testing.assert_series_equal(res.daily_return, plain.daily_return, check_exact=True)
    daily = (
        res.trades.groupby("date")["pnl"].sum().reindex(res.daily_return.index, fill_value=0.0)
        / 1e8
    )
    np.testing.assert_allclose(daily.to_numpy(), res.daily_return.to_numpy(), rtol=0, atol=1e-12)
    assert list(res.positions.index) == list(res.daily_return.index)

    trades_file = tmp_path / "ledger" / "trades.csv"
    code, out, err = _run(
        capsys,
        *_on_store("strategy", weights_csv, store),
        "--out",
        str(tmp_path / "charts"),
        "--trades",
        str(trades_file),
    )
    assert code == 0, err
    written = pd.read_csv(trades_file, dtype={"date": str, "code": str})
    assert list(written.columns[:3]) == ["date", "code", "side"] and len(written) > 0
    assert re.search(r"买卖笔数\s+\d+", out) and "流水文件" in out

"""The strategy's trade ledger: reconciliation with the daily returns, positions, totals, a hand case."""

from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest

from conftest import flat_market
from morvane.backtest._ravelle import (
    _RavelleLedgerResult,
    _RavelleResult,
    run_strategy_backtest_core,
)
from morvane.exceptions import MorvaneWarning
from test_group_backtest import MARKET_KEYS, random_market

TRADE_COLUMNS = [
    "date",
    "code",
    "side",
    "shares",
    "price",
    "commission",
    "stamp_duty",
    "dividend",
    "split_effect",
    "pnl",
]


def run(weights: pd.DataFrame, market: dict, **kwargs: object) -> _RavelleResult:
    return run_strategy_backtest_core(weights, *(market[k] for k in MARKET_KEYS), **kwargs)


def random_weights(market: dict, seed: int, share: float = 0.4) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    close = market["close_price"]
    held = rng.random(close.shape) < share
    # Runs of the same weights, so that positions are carried and re-sized.
    values = np.where(held, rng.uniform(0.02, 0.2, close.shape), np.nan)
    values[1::3] = values[::3][: len(values[1::3])]
    return pd.DataFrame(values, index=close.index, columns=close.columns)


@pytest.mark.parametrize(
    ("seed", "rolling_window", "layout"),
    [
        (0, 0, "rows"),
        (1, 0, "columns"),
        (2, 3, "rows"),
        (3, 5, "columns"),
        (4, 0, "rows"),
    ],
)
def test_the_ledger_adds_up_to_the_daily_returns(seed, rolling_window, layout):
    market = random_market(seed, 50, 30, holes=0.1)
    if layout == "columns":  # the engine sweeps column-major markets a stock at a time
        market = {
            k: pd.DataFrame(np.asfortranarray(v.to_numpy()), index=v.index, columns=v.columns)
            for k, v in market.items()
        }
    weights = random_weights(market, seed)
    money = {"total_money": 5e6, "fee": 3e-4, "rule_fee": 1e-3}
    dates = market["close_price"].index
    # A benchmark without some dates: the result (and so the ledger) drops them.
    bench = pd.Series(0.001, index=dates).drop(dates[[10, 11, 30]])
    plain = run(
        weights, market, benchmark_dict={"000852": bench}, rolling_window=rolling_window, **money
    )
    res = run(
        weights,
        market,
        benchmark_dict={"000852": bench},
        rolling_window=rolling_window,
        record_trades=True,
        **money,
    )
    assert type(plain) is _RavelleResult and isinstance(res, _RavelleLedgerResult)
    pd.testing.assert_series_equal(res.daily_return, plain.daily_return, check_exact=True)

    trades = res.ledger.trades
    assert list(trades.columns) == TRADE_COLUMNS and set(trades["side"]) <= {"buy", "sell", "hold"}
    assert set(trades["date"]) <= set(res.daily_return.index)
    pnl = trades.groupby("date")["pnl"].sum().reindex(res.daily_return.index, fill_value=0.0)
    np.testing.assert_allclose(
        pnl.to_numpy() / 5e6, res.daily_return.to_numpy(), rtol=0, atol=1e-12
    )
    order = trades[["date", "code"]].apply(tuple, axis=1)
    assert order.is_monotonic_increasing

    # Positions: shares after the day's trades; a hold row carries what the
    # previous day held less what is sold, a buy adds to it.
    positions = res.ledger.positions
    assert list(positions.index) == list(res.daily_return.index)
    held = trades[trades["side"] != "sell"].groupby(["date", "code"])["shares"].sum()
    expected = held.unstack(fill_value=0.0).reindex(
        index=positions.index, columns=positions.columns, fill_value=0.0
    )
    np.testing.assert_array_equal(positions.to_numpy(), expected.to_numpy())
    assert (positions.to_numpy() >= 0).all()

    # Values: the shares at the day's close (the latest one since the engine's
    # first day over a day without one, else unknown), then the cash that
    # makes each row's known values the capital plus the P&L so far.
    values = res.ledger.values
    assert list(values.columns) == [*positions.columns, "cash"] and list(values.index) == list(
        positions.index
    )
    close = market["close_price"].loc[positions.index[0] :].ffill()
    close = close.reindex(index=positions.index, columns=positions.columns)
    expected_values = (positions * close).where(positions > 0, 0.0)
    np.testing.assert_allclose(
        values.iloc[:, :-1].to_numpy(), expected_values.to_numpy(), rtol=1e-15, atol=0
    )
    capital = 5e6 * (1.0 + res.daily_return.cumsum())
    np.testing.assert_allclose(values.sum(axis=1).to_numpy(), capital.to_numpy(), rtol=1e-12)

    totals = res.ledger.totals
    moved = trades[trades["side"] != "hold"]
    assert totals["trade_count"] == len(moved)
    np.testing.assert_allclose(
        [totals["commission"], totals["stamp_duty"]],
        [moved["commission"].sum(), moved["stamp_duty"].sum()],
        rtol=1e-12,
    )
    assert totals["average_holding_days"] >= 1.0


def test_hand_case_with_a_split_and_a_dividend():
    dates = ["20240102", "20240103", "20240104", "20240105"]
    market = flat_market(dates, ["000001"], close=10.0)
    market["split_factor"].loc["20240104"] = 2.0
    market["dividend_factor"].loc["20240104"] = 0.5
    market["close_price"].loc["20240104"] = 5.5
    market["prev_close"].loc["20240105"] = 5.5
    market["sell_price"].loc["20240105"] = 5.0
    weights = pd.DataFrame({"000001": [0.5, 0.5, 0.0, 0.0]}, index=dates)
    fee, rule_fee = 1e-4, 5e-4
    res = run(weights, market, total_money=1e5, fee=fee, rule_fee=rule_fee, record_trades=True)
    prev, buy, sell = (market[k]["000001"] for k in ("prev_close", "buy_price", "sell_price"))
    shares = np.floor(1e5 * 0.5 / (prev["20240103"] * 200)) * 200  # 25 lots
    t = res.ledger.trades.set_index(["date", "side"])
    assert list(t.index) == [("20240103", "buy"), ("20240104", "hold"), ("20240105", "sell")]
    assert t.loc[("20240103", "buy"), "shares"] == shares
    np.testing.assert_allclose(
        t.loc[("20240103", "buy"), ["price", "commission"]].to_numpy(float),
        [buy["20240103"], shares * buy["20240103"] * fee],
        rtol=1e-15,
    )
    # Day 2: the target (re-sized from the same previous close) is met, the
    # shares split 2-for-1 and pay 0.5 a share.
    hold = t.loc[("20240104", "hold")]
    np.testing.assert_allclose(
        hold[["shares", "dividend", "split_effect", "pnl"]].to_numpy(float),
        [shares, shares * 0.5, shares * 5.5, shares * (2 * 5.5 - 10.0) + shares * 0.5],
        rtol=1e-15,
    )
    sale = t.loc[("20240105", "sell")]
    value = shares * sell["20240105"]
    np.testing.assert_allclose(
        sale[["price", "commission", "stamp_duty", "pnl"]].to_numpy(float),
        [5.0, value * fee, value * rule_fee, shares * (5.0 * (1 - fee - rule_fee) - 5.5)],
        rtol=1e-15,
    )
    assert res.ledger.positions["000001"].tolist() == [shares, shares, 0.0]
    # Money: what the shares fetch at the close, and the cash that the buy
    # spent, the dividend and the split's new shares (valued at the close)
    # brought, and the sale's proceeds after its costs.
    values = res.ledger.values
    assert values["000001"].tolist() == [shares * 10.0, shares * 5.5, 0.0]
    cash = 1e5 - shares * buy["20240103"] * (1 + fee)
    np.testing.assert_allclose(
        values["cash"].to_numpy(),
        np.cumsum([cash, shares * (0.5 + 5.5), shares * 5.0 * (1 - fee - rule_fee)]),
        rtol=1e-12,
    )
    assert res.ledger.totals["average_holding_days"] == 2.0
    np.testing.assert_allclose(
        res.ledger.totals["traded_value"], shares * (buy["20240103"] + 5.0), rtol=1e-15
    )
    # Built once; a pickled ledger carries its tables.
    assert res.ledger.trades is res.ledger.trades
    again = pickle.loads(pickle.dumps(res.ledger))
    pd.testing.assert_frame_equal(again.trades, res.ledger.trades)
    pd.testing.assert_frame_equal(again.values, res.ledger.values)
    assert "rows=3" in repr(again)


def test_an_empty_run_keeps_an_empty_ledger():
    market = flat_market(["20240102", "20240103"], ["000001"], close=10.0)
    with pytest.warns(MorvaneWarning, match="没有任何一行有权重"):
        res = run(
            pd.DataFrame({"000001": [np.nan, np.nan]}, index=["20240102", "20240103"]),
            market,
            record_trades=True,
        )
    ledger = res.ledger
    assert (
        res.daily_return.empty
        and ledger.trades.empty
        and list(ledger.trades.columns) == TRADE_COLUMNS
    )
    assert ledger.positions.empty and ledger.totals["trade_count"] == 0
    assert ledger.values.empty and list(ledger.values.columns) == ["cash"]

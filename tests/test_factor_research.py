"""Factor research in the group backtest: IC by holding period, rank autocorrelation, turnover, holding periods."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvane.backtest import _core
from test_group_backtest import core, engine_returns, group_weights, random_market

HORIZONS = (1, 3, 5)


@pytest.fixture(autouse=True)
def default_threads():
    yield
    _core._set_thread_count(0)


def eligible_factor(m: dict) -> pd.DataFrame:
    factor = m["factor_matrix"]
    return factor.where(np.isfinite(factor) & m["close_price_valid"].notna())


def spearman_rows(x: pd.DataFrame, y: pd.DataFrame) -> pd.Series:
    """Each row pair's Spearman correlation over the stocks both have, as pandas computes it:
    average ranks within the common stocks, then their Pearson correlation (NaN below 3 stocks)."""
    both = x.notna() & y.notna()
    rx, ry = x.where(both).rank(axis=1), y.where(both).rank(axis=1)
    out = rx.corrwith(ry, axis=1)
    return out.where(both.sum(axis=1) >= 3)


def forward_returns(opens: pd.DataFrame, horizon: int) -> pd.DataFrame:
    fwd = opens.shift(-(1 + horizon)) / opens.shift(-1) - 1.0
    return fwd.where(np.isfinite(fwd))


# ---------------------------------------------------------------- IC by holding period


@pytest.mark.parametrize(("seed", "every_open"), [(0, False), (7, False), (3, True)])
def test_ic_by_horizon_equals_pandas_spearman_on_the_same_forward_returns(seed, every_open):
    m = random_market(seed, 60, 40)
    m["factor_matrix"].iloc[5, :] = 1.0  # a day of ties
    if (
        every_open
    ):  # every eligible stock has every forward return: the day's own factor ranks serve
        m["open_price"] = m["open_price"].fillna(9.5)
    res = core(**m, group_num=4, horizons=[5, 1, 3, 3])
    table = res.rank_ic_by_horizon
    assert list(table.columns) == list(HORIZONS) and table.columns.name == "horizon"
    assert list(table.index) == list(res.rank_ic.index)
    factor = eligible_factor(m)
    for h in HORIZONS:
        expected = spearman_rows(factor, forward_returns(m["open_price"], h))
        np.testing.assert_allclose(table[h].to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12)
    # The one-day column is the rank IC itself; the last days lack the longer returns.
    pd.testing.assert_series_equal(table[1], res.rank_ic["rank_ic"], check_names=False)
    assert table[5].iloc[-6:].isna().all() and table[5].iloc[-7:-6].notna().all()

    decay = res.ic_decay
    assert list(decay.index) == list(HORIZONS) and list(decay.columns) == [
        "mean",
        "std",
        "ir",
        "t_stat",
        "count",
    ]
    for h in HORIZONS:
        values = table[h].dropna()
        assert decay.loc[h, "count"] == len(values)
        np.testing.assert_allclose(
            decay.loc[h, ["mean", "std"]].to_numpy(float), [values.mean(), values.std()], rtol=1e-12
        )
        ir = values.mean() / values.std()
        np.testing.assert_allclose(
            decay.loc[h, ["ir", "t_stat"]].to_numpy(float),
            [ir, ir * np.sqrt(len(values))],
            rtol=1e-12,
        )


def test_rank_cache_serves_one_day_and_the_opens_the_longer_horizons():
    m = random_market(3, 40, 30)
    opens = m["open_price"]
    m["forward_return_rank_cache"] = forward_returns(opens, 1).rank(axis=1)
    both = core(**m, group_num=3, horizons=(1, 4))
    only_opens = core(
        **{k: v for k, v in m.items() if k != "forward_return_rank_cache"},
        group_num=3,
        horizons=(1, 4),
    )
    pd.testing.assert_frame_equal(
        both.rank_ic_by_horizon, only_opens.rank_ic_by_horizon, rtol=0, atol=1e-12
    )
    without_opens = {k: v for k, v in m.items() if k != "open_price"}
    assert list(core(**without_opens, group_num=3).rank_ic_by_horizon.columns) == [1]
    with pytest.raises(ValueError, match="open_price"):
        core(**without_opens, group_num=3, horizons=(1, 4))


def test_monthly_ic_is_the_mean_rank_ic_of_each_calendar_month():
    m = random_market(4, 70, 25)  # business days from January into April
    res = core(**m, group_num=3)
    ic = res.rank_ic["rank_ic"]
    when = pd.to_datetime(ic.index, format="%Y%m%d")
    expected = ic.groupby([when.year, when.month]).mean().unstack()
    monthly = res.monthly_ic
    assert list(monthly.columns) == list(range(1, 13)) and monthly.index.name == "year"
    np.testing.assert_allclose(
        monthly[expected.columns].to_numpy(), expected.to_numpy(), rtol=1e-12
    )
    assert monthly.drop(columns=expected.columns).isna().all().all()


# ---------------------------------------------------------------- stability and turnover


@pytest.mark.parametrize("ascending", [False, True])
def test_rank_autocorrelation_correlates_each_days_ranks_with_those_lags_earlier(ascending):
    # More days than a pool block of the native loop, so blocks rank the days before them again.
    m = random_market(5, 300, 30)
    rng = np.random.default_rng(1)
    drift = np.cumsum(rng.standard_normal((300, 30)), axis=0)  # a persistent factor
    m["factor_matrix"] = m["factor_matrix"] * 0 + drift
    m["factor_matrix"].iloc[40, :10] = 0.5  # ties share their mean rank
    _core._set_thread_count(3)
    res = core(**m, group_num=3, horizons=(1, 5, 20), ascending=ascending)
    auto = res.rank_autocorrelation
    assert list(auto.columns) == [1, 5, 20] and auto.columns.name == "lag"
    # alphalens' measure: the day's ranks among its eligible stocks, against
    # those lag days earlier, over the stocks ranked on both days.
    ranks = eligible_factor(m).rank(axis=1)
    for lag in (1, 5, 20):
        earlier = ranks.shift(lag)
        both = ranks.notna() & earlier.notna()
        expected = (
            ranks.where(both).corrwith(earlier.where(both), axis=1).where(both.sum(axis=1) >= 3)
        )
        np.testing.assert_allclose(auto[lag].to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12)
    assert auto[1].mean() > auto[20].mean() > 0.3


def test_group_turnover_and_counts_follow_the_group_matrix():
    m = random_market(6, 30, 24)
    res = core(**m, group_num=4)
    groups = res.group_matrix.dropna(how="all")
    counts = (
        groups.apply(lambda row: row.value_counts(), axis=1)
        .reindex(columns=[1.0, 2.0, 3.0, 4.0])
        .fillna(0)
    )
    np.testing.assert_array_equal(res.group_counts.to_numpy(), counts.to_numpy())
    assert res.group_counts.dtypes.eq("int64").all() and list(res.group_counts.index) == list(
        groups.index
    )
    assert len(groups) == len(res.group_matrix)  # every day forms groups here
    previous = res.group_matrix.shift(1)
    for g in range(1, 5):
        member = groups.eq(g)
        new = (member & previous.ne(g)).sum(axis=1) / member.sum(axis=1)
        new.iloc[0] = np.nan
        np.testing.assert_allclose(res.group_turnover[g].to_numpy(), new.to_numpy(), rtol=1e-12)


# ---------------------------------------------------------------- holding periods


def test_rebalance_every_one_is_the_daily_backtest():
    m = random_market(8, 40, 30)
    daily = core(**m, group_num=4)
    explicit = core(**m, group_num=4, rebalance_every=1, horizons=1)
    for name in (
        "group_daily_return",
        "group_cumulative_return",
        "rank_ic",
        "group_matrix",
        "group_turnover",
    ):
        pd.testing.assert_frame_equal(
            getattr(explicit, name), getattr(daily, name), check_exact=True
        )


def rebalance_market() -> dict:
    """6 stocks, 7 days, flat prices but for E; the factor's order flips after the first day."""
    dates = pd.bdate_range("2024-03-04", periods=7).strftime("%Y%m%d")
    codes = list("ABCDEF")

    def full(value, dtype=float):
        return pd.DataFrame(value, index=dates, columns=codes, dtype=dtype)

    close = full(10.0)
    close["E"] = [10.0, 10.0, 20.0, 22.0, 22.0, 22.0, 22.0]
    prev = close.shift(1).fillna(10.0)
    factor = full(0.0)
    factor.iloc[0] = [1, 2, 3, 4, 5, 6]
    factor.iloc[1:] = [6, 5, 4, 3, 2, 1]
    return {
        "factor_matrix": factor,
        "close_price_valid": full(1.0),
        "can_buy_stock": full(True, bool),
        "cant_sell_stock": full(False, bool),
        "split_factor": full(np.nan),
        "dividend_factor": full(np.nan),
        "close_price": close,
        "prev_close": prev,
        "buy_price": prev,
        "sell_price": prev,
    }


def test_hand_case_of_a_three_day_holding_period():
    m = rebalance_market()
    money = {"total_money": 1e4, "fee": 0.0, "rule_fee": 0.0}
    res = core(**m, group_num=3, rebalance_every=3, **money)
    dates = list(m["close_price"].index)
    # Rebalance days 0, 3 and 6. Group 3 holds E and F from day 0 to day 3:
    # 1e4 / 2 / (10 x 200) = 2.5 lots -> 400 shares each, bought on day 1 at 10.
    # Day 2: E closes 20 (+4,000). Day 3: E closes 22 (+800); sized daily from
    # the new prices, E's target would have fallen to 200 shares on day 3.
    # Day 4: the day-3 groups: E and F sold at the previous close, A and B bought
    # at 10 and held flat.
    np.testing.assert_allclose(
        res.group_daily_return[3].to_numpy(), [0.0, 0.4, 0.08, 0.0, 0.0, 0.0], rtol=0, atol=1e-15
    )
    assert list(res.group_daily_return.index) == dates[1:]
    assert res.group_matrix.loc[dates[2]].tolist() == [1, 1, 2, 2, 3, 3]  # still the day-0 groups
    assert res.group_matrix.loc[dates[3]].tolist() == [3, 3, 2, 2, 1, 1]
    assert list(res.group_turnover.index) == [dates[0], dates[3], dates[6]]
    np.testing.assert_array_equal(
        res.group_turnover.to_numpy()[1:], [[1.0, 0.0, 1.0], [0.0, 0.0, 0.0]]
    )
    assert (res.group_counts.to_numpy() == 2).all()

    daily = core(**m, group_num=3, **money)  # switches to A and B on day 2
    np.testing.assert_allclose(daily.group_daily_return[3].to_numpy(), 0.0, atol=1e-15)


@pytest.mark.filterwarnings("ignore::morvane.exceptions.MorvaneWarning")
@pytest.mark.parametrize("every", [2, 5])
def test_held_groups_trade_like_the_engine_while_prices_keep_the_lot_sizes(every):
    # With flat previous closes every day sizes the same lots, so holding the
    # rebalance day's groups is the strategy engine on the held group matrix.
    m = random_market(9, 45, 24, holes=0.1)
    m["prev_close"] = pd.DataFrame(
        10.0, index=m["prev_close"].index, columns=m["prev_close"].columns
    )
    money = {"total_money": 2e6, "fee": 1e-4, "rule_fee": 5e-4}
    res = core(**m, group_num=3, rebalance_every=every, **money)
    held = res.group_matrix
    changes = held.ne(held.shift(1)) & (held.notna() | held.shift(1).notna())
    assert (
        changes.any(axis=1).sum() <= -(-45 // every) + 1
    )  # membership moves only on rebalance days
    for g in (1, 2, 3):
        ref = engine_returns(m, group_weights(held, g), **money)
        ref = ref[ref.index <= res.group_daily_return.index[-1]]
        np.testing.assert_allclose(
            res.group_daily_return[g].to_numpy(), ref.to_numpy(), rtol=0, atol=1e-12
        )


@pytest.mark.parametrize(
    ("keywords", "error", "message"),
    [
        ({"horizons": ()}, ValueError, "至少要有一个"),
        ({"horizons": (1, 0)}, ValueError, r"\[1, 250\].*收到 0"),
        ({"horizons": 251}, ValueError, "收到 251"),
        ({"horizons": "5"}, TypeError, "参数 horizons 类型错误.*str"),
        ({"horizons": (1, True)}, TypeError, "bool"),
        ({"rebalance_every": 0}, ValueError, r"rebalance_every 取值范围 \[1, 250\]"),
        ({"rebalance_every": "5"}, TypeError, "rebalance_every"),
    ],
)
def test_research_arguments_are_checked_before_any_work(keywords, error, message):
    with pytest.raises(error, match=message):
        core(**random_market(1, 5, 6), group_num=2, **keywords)

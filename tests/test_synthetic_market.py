"""The synthetic market's resemblance to the real one, measured from its own output."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvane.clients import SyntheticMarketClient
from morvane.clients import calendar as calendar_module
from morvane.clients._world import BEIJING, GROWTH, MAIN
from morvane.clients._world_index import review_days
from morvane.clients.calendar import trading_days


@pytest.fixture(scope="module")
def client() -> SyntheticMarketClient:
    return SyntheticMarketClient(seed=2, n_stocks=1500, start_date="20180101", end_date="20231231")


def wide(client: SyntheticMarketClient, name: str) -> pd.DataFrame:
    """One factor as the client serves it, dates x codes over every listed stock-day (NaN elsewhere)."""
    w = client.world
    table = client.get_factors(factor=name, start_date=None, end_date=None)
    out = table.pivot(index="date", columns="ukey", values="value")
    return out.reindex(index=w.dates, columns=w.ukeys)


# ---------------------------------------------------------------- calendar


def test_the_calendar_is_the_shanghai_exchanges():
    days = trading_days("20210101", "20231231")
    assert [int((days.year == y).sum()) for y in (2021, 2022, 2023)] == [243, 242, 242]
    text = set(days.strftime("%Y%m%d"))
    # National Day, the Spring Festival of 2022, the Dragon Boat Festival of 2023.
    assert not {"20211001", "20211007", "20220131", "20220204", "20230622", "20230623"} & text
    assert {"20210930", "20211008", "20230621", "20230626"} <= text
    # Beyond the years the exchange has announced: weekdays less the usual holidays.
    later = trading_days("20270101", "20271231")
    assert all(d.weekday() < 5 for d in later) and "20271001" not in set(later.strftime("%Y%m%d"))


def test_the_shipped_closures_are_the_calendar_packages_own():
    pytest.importorskip(
        "exchange_calendars", reason="checks the shipped table against exchange-calendars"
    )
    assert calendar_module.calendar_source() == "exchange-calendars"
    first, last = pd.Timestamp("2005-01-01"), pd.Timestamp("2026-12-31")
    pd.testing.assert_index_equal(
        calendar_module._shipped(first, last), trading_days("20050101", "20261231")
    )


# ---------------------------------------------------------------- limits


def test_limit_bands_by_board_and_st_status(client):
    w = client.world
    up, close = wide(client, "limit_up"), wide(client, "Close")
    prev = close.shift(1)
    # Days without corporate actions, after the listing days, trading.
    plain = (
        np.isnan(w.dividend)
        & np.isnan(w.split_to)
        & w.listed
        & ~w.suspended
        & (np.arange(len(w.dates))[:, None] > w.list_day + 5)
    )
    ratio = (up / prev).where(plain).to_numpy()
    bands = {}
    for name, board, st in [
        ("main", MAIN, False),
        ("growth", GROWTH, False),
        ("beijing", BEIJING, False),
        ("main ST", MAIN, True),
        ("growth ST", GROWTH, True),
    ]:
        cells = ratio[(w.board == board)[None, :] & (w.st == st)]
        cells = cells[np.isfinite(cells)]
        assert len(cells) > 50, name
        bands[name] = np.median(cells)
    assert bands == pytest.approx(
        {"main": 1.10, "growth": 1.20, "beijing": 1.30, "main ST": 1.05, "growth ST": 1.20},
        abs=0.006,
    )
    assert w.ukeys[w.board == BEIJING][0].endswith(".BJSE")
    assert set(np.unique([u[:3] for u in w.ukeys[w.board == BEIJING]])) <= {
        "430",
        "830",
        "870",
        "920",
    }


def test_listing_days_follow_the_first_day_rules_and_jump(client):
    w = client.world
    up, close = wide(client, "limit_up").to_numpy(), wide(client, "Close").to_numpy()
    listed_later = np.flatnonzero((w.list_day > 0) & (w.list_day < len(w.dates) - 6))
    issue = {}
    for board in (MAIN, GROWTH):
        stocks = listed_later[w.board[listed_later] == board]
        assert len(stocks) > 20
        first = w.list_day[stocks]
        if board == MAIN:
            # Capped at +44% of the issue price: most listings close at the cap.
            reference = close[first, stocks] / up[first, stocks]
            assert np.mean(reference == 1.0) > 0.6
            next_band = up[first + 1, stocks] / close[first, stocks]
            assert np.median(next_band) == pytest.approx(1.10, abs=0.006)
        else:
            # No limit on the first five days, the board's limit from the sixth.
            assert np.isnan(up[first[:, None] + np.arange(5), stocks[:, None]]).all()
            assert np.isfinite(up[first + 5, stocks]).all()
        issue[board] = stocks
    growth = issue[GROWTH]
    # The free days show the jumps: the first close far above the next day's limit reference.
    first = w.list_day[growth]
    assert (
        np.median(close[first + 4, growth] / close[first, growth]) > 0.5
    )  # still trading, not gone to 0
    assert np.median(close[first, growth] / (up[first + 5, growth] / 1.2)) < 2.0


def test_delistings_come_after_a_decline_and_an_st_period(client):
    w = client.world
    n_days = len(w.dates)
    gone = np.flatnonzero(
        (w.delist_day < n_days) & (w.delist_day - w.list_day > 260) & (w.delist_day > 250)
    )
    assert len(gone) >= 5
    last = w.delist_day[gone] - 1
    assert (
        w.st[last, gone].all() and w.listed[last, gone].all() and not w.listed[last + 1, gone].any()
    )
    drop = w.close_c[last, gone] / w.close_c[last - 240, gone]
    assert np.median(drop) < 0.7


# ---------------------------------------------------------------- returns


def test_industries_move_together_and_years_rise_and_fall(client):
    w = client.world
    close = w.close_c.astype(float)
    returns = (
        pd.DataFrame(np.where(w.listed, close, np.nan)).pct_change(fill_method=None).iloc[-500:]
    )
    stocks = np.flatnonzero(w.listed[-500:].all(axis=0))[:300]
    corr = returns[stocks].corr().to_numpy()
    industry = w.industry[-1, stocks]
    same = industry[:, None] == industry[None, :]
    off = ~np.eye(len(stocks), dtype=bool)
    assert np.nanmean(corr[same & off]) > np.nanmean(corr[~same]) + 0.08
    index = pd.Series(w.index_returns["000300.XSHG"], index=w.dates)
    yearly = (1 + index).groupby(index.index.year).prod() - 1
    assert (yearly < -0.05).any() and (yearly > 0.05).any()


def test_planted_factor_persists_and_its_ic_decays_over_horizons(client):
    w = client.world
    alpha = pd.DataFrame(w.alpha)
    opens = pd.DataFrame(np.where(w.listed, w.open_c.astype(float), np.nan))

    def ic(horizon: int) -> float:
        fwd = opens.shift(-(1 + horizon)) / opens.shift(-1) - 1
        both = alpha.notna() & fwd.notna()
        return float(
            alpha.where(both).rank(axis=1).corrwith(fwd.where(both).rank(axis=1), axis=1).mean()
        )

    ics = [ic(h) for h in (1, 5, 20)]
    assert ics[0] == pytest.approx(0.05, abs=0.008)
    assert ics[0] > ics[1] > ics[2] > 0
    ranks = alpha.rank(axis=1)
    autocorrelation = ranks.corrwith(ranks.shift(1), axis=1).mean()
    assert 0.85 < autocorrelation < 0.93


# ---------------------------------------------------------------- calendar of events


def test_reviews_in_mid_june_and_december_and_ex_dates_over_the_year(client):
    w = client.world
    reviews = w.dates[review_days(w.dates)[1:]]
    assert set(reviews.month) == {6, 12} and all(
        10 <= d.day <= 21 and d.weekday() == 0 or 10 <= d.day <= 22 for d in reviews
    )
    changed = (np.diff(w.cap_rank, axis=0) != 0).any(axis=1)
    assert set(w.dates[1:][changed]) <= set(reviews)
    ex_months = pd.DatetimeIndex(w.dates[np.nonzero(~np.isnan(w.dividend))[0]]).month
    assert len(set(ex_months)) >= 10
    assert 0.3 < np.isin(ex_months, (5, 6, 7)).mean() < 0.8

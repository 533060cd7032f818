"""The synthetic A-share market behind SyntheticMarketClient, generated once.

Everything is a days x stocks array. Prices live in integer cents; the daily
limits are computed from the same reference price with the same rounding, so
a close at the limit equals the limit exactly. The generator loops once over
the days (the price path is sequential) and is vectorised across stocks.

What it imitates of the real market: three boards with their own limits
(main boards 10%, ChiNext and STAR 20%, the Beijing exchange 30%), ST periods
with 5% limits on the main boards, listings under the first-day rules (main
board up to +44%, no limit for the first five days on ChiNext and STAR, the
first day on the Beijing exchange) and the jumps they show, delistings after
a decline and an ST period, an industry factor in returns, years of rising
and falling markets, suspensions, splits and dividends spread over the year,
index reviews in mid-June and mid-December, and a planted factor whose ranks
persist from day to day while its information fades over longer horizons.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._world_index import cap_ranks, index_returns
from ._world_prices import (
    BEIJING,
    GROWTH,
    IPO_FREE_DAYS,
    MAIN,
    N_INDUSTRIES,
    listing_jump,
    price_paths,
    vwaps,
)

_SH_PREFIXES = ("600", "601", "603", "605", "688")
_SZ_PREFIXES = ("000", "001", "002", "003", "300", "301")
_BJ_PREFIXES = ("430", "830", "870", "920")
_PREFIX_WEIGHTS = np.array(
    [0.20, 0.12, 0.12, 0.04, 0.09, 0.08, 0.02, 0.155, 0.02, 0.11, 0.02, 0.005, 0.01, 0.01, 0.01]
)
_GROWTH_PREFIXES = ("300", "301", "688")  # ChiNext and STAR


# Market regimes, one per calendar year, taken in a shuffled cycle so that any
# three years hold a rising, a falling and a sideways one: (daily drift, vol).
_REGIMES = ((0.0010, 0.010), (-0.0008, 0.013), (0.0001, 0.009))
# Share of each calendar month in the year's ex-dates (most fall in early summer).
_EX_DATE_MONTHS = np.array([2, 2, 3, 5, 12, 22, 22, 10, 5, 5, 6, 6], dtype=float)
_ALPHA_PERSISTENCE = 0.9  # the planted factor's day-to-day AR coefficient
_ALPHA_IC_SCALE = 0.87  # the news' correlation per unit of the planted IC (measured, see _alpha)
_NEVER_DELISTED = 1_000_000  # days beyond the end: the delisting day of a stock that never delists


@dataclass(frozen=True, eq=False)
class World:
    """The generated market; arrays are (days, stocks), read-only once built."""

    dates: pd.DatetimeIndex
    ukeys: np.ndarray  # "600000.XSHG", ...
    listed: np.ndarray  # bool
    close_c: np.ndarray  # int64 cents
    open_c: np.ndarray
    limit_up_c: np.ndarray  # float cents; NaN on a listing day without limits
    limit_down_c: np.ndarray
    vwap_buy: np.ndarray  # float yuan, 09:35-10:05; NaN when suspended
    vwap_sell: np.ndarray  # float yuan, 09:25-10:00
    suspended: np.ndarray  # bool
    split_to: np.ndarray  # shares after per 10 held on the ex-date, NaN otherwise
    dividend: np.ndarray  # pre-tax cash per 10 shares on the ex-date, NaN otherwise
    industry: np.ndarray  # int8 industry code
    cap_rank: np.ndarray  # int32 rank by market cap at the last review, -1 unranked
    index_returns: dict[str, np.ndarray]  # benchmark ukey -> daily return per day
    alpha: np.ndarray  # the planted factor, NaN where not listed
    st: np.ndarray  # bool: under special treatment (ST or *ST) that day
    board: np.ndarray  # int8 per stock: MAIN, GROWTH or BEIJING
    list_day: np.ndarray  # int per stock: first listed day (0 for stocks listed before the start)
    delist_day: np.ndarray  # int per stock: first day no longer listed (beyond the end if never)

    def frame(self, values: np.ndarray) -> pd.DataFrame:
        """A days x six-character-code table of one array."""
        return pd.DataFrame(
            values, index=self.dates.strftime("%Y%m%d"), columns=[u[:6] for u in self.ukeys]
        )


def _codes(rng: np.random.Generator, n: int) -> np.ndarray:
    prefixes = _SH_PREFIXES + _SZ_PREFIXES + _BJ_PREFIXES
    counts = rng.multinomial(n, _PREFIX_WEIGHTS / _PREFIX_WEIGHTS.sum())
    # Each prefix holds at most 1,000 codes; spill the excess to roomier ones.
    while (counts > 1000).any():
        spill = counts - 1000
        counts = np.minimum(counts, 1000)
        counts[np.argmin(counts)] += spill.clip(0).sum()
    out = []
    for prefix, count in zip(prefixes, counts, strict=True):
        suffix = (
            ".XSHG" if prefix in _SH_PREFIXES else ".BJSE" if prefix in _BJ_PREFIXES else ".XSHE"
        )
        for number in np.sort(rng.choice(1000, size=count, replace=False)):
            out.append(f"{prefix}{number:03d}{suffix}")
    order = rng.permutation(len(out))
    return np.array(out, dtype=object)[order]


def _boards(ukeys: np.ndarray) -> np.ndarray:
    return np.array(
        [
            BEIJING if u.endswith(".BJSE") else GROWTH if u.startswith(_GROWTH_PREFIXES) else MAIN
            for u in ukeys
        ],
        dtype=np.int8,
    )


def _runs(
    rng: np.random.Generator, shape: tuple[int, int], rate: float, max_len: int
) -> np.ndarray:
    """Boolean runs: each stock-day starts a run with probability `rate`."""
    days, stocks = shape
    out = np.zeros(shape, dtype=bool)
    starts = np.argwhere(rng.random(shape) < rate)
    lengths = rng.integers(1, max_len + 1, size=len(starts))
    for (day, stock), length in zip(starts, lengths, strict=True):
        out[day : min(days, day + length), stock] = True
    return out


def _regime_drift(
    rng: np.random.Generator, dates: pd.DatetimeIndex
) -> tuple[np.ndarray, np.ndarray]:
    """The market's daily drift and volatility, one regime per calendar year."""
    years = dates.year.to_numpy()
    first = int(years[0])
    cycle: list[int] = []
    while len(cycle) <= years[-1] - first:
        cycle += list(rng.permutation(len(_REGIMES)))
    regime = np.array([cycle[y - first] for y in years])
    drift = np.array([_REGIMES[r][0] for r in regime])
    vol = np.array([_REGIMES[r][1] for r in regime])
    return drift, vol


def _ex_dates(
    rng: np.random.Generator, dates: pd.DatetimeIndex, listed: np.ndarray, suspended: np.ndarray
) -> np.ndarray:
    """About 70% of listed stocks go ex-dividend once a year, on a day spread over the year."""
    n_days, n_stocks = listed.shape
    out = np.zeros(listed.shape, dtype=bool)
    weights = _EX_DATE_MONTHS / _EX_DATE_MONTHS.sum()
    for year in range(dates[0].year, dates[-1].year + 1):
        pays = rng.random(n_stocks) < 0.7
        month = rng.choice(12, size=n_stocks, p=weights) + 1
        day = rng.integers(1, 29, size=n_stocks)
        when = pd.to_datetime({"year": np.full(n_stocks, year), "month": month, "day": day})
        position = dates.searchsorted(pd.DatetimeIndex(when))
        ok = pays & (position < n_days)
        stocks = np.flatnonzero(ok)
        rows = position[ok]
        inside = dates[rows].year == year
        stocks, rows = stocks[inside], rows[inside]
        out[rows, stocks] = True
    return out & listed & ~suspended


def _alpha(
    rng: np.random.Generator, open_c: np.ndarray, listed: np.ndarray, ic: float
) -> np.ndarray:
    """A persistent factor carrying a fading, noisy hint of tomorrow's open-to-open return.

    Each day adds a noisy copy of the next open-to-open return rank (the news
    of day T) to the last value decayed by `_ALPHA_PERSISTENCE`, so the
    factor's ranks persist (an autocorrelation near that coefficient) while
    only the newest part predicts: the one-day IC is about `ic`, and longer
    returns, which add days the factor knows nothing of, correlate less.
    """
    opens = np.where(listed, open_c.astype(float), np.nan)
    forward = np.full_like(opens, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        forward[:-2] = opens[2:] / opens[1:-1] - 1.0
    # Percentile ranks per day (ties broken by position: they only feed noise).
    valid = ~np.isnan(forward)
    order = np.argsort(np.where(valid, forward, np.inf), axis=1, kind="stable")
    rank = np.empty_like(forward)
    np.put_along_axis(rank, order, np.arange(1, forward.shape[1] + 1, dtype=float)[None, :], axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        rank = np.where(valid, rank / valid.sum(axis=1, keepdims=True) - 0.5, np.nan)
    # The stationary factor's share of today's news is sqrt(1 - phi^2): the
    # news must correlate with the return by ic / that share. Uniform ranks
    # have variance 1/12. The older news adds a little: stocks that keep
    # falling toward a delisting, or keep a wide range, rank alike on
    # consecutive days; measured, the factor's IC runs about 15% over the
    # news' share, which the scale takes back.
    phi = _ALPHA_PERSISTENCE
    linear = min(ic * _ALPHA_IC_SCALE / np.sqrt(1.0 - phi**2), 0.999)
    noise_sd = np.sqrt(1.0 / 12.0) * np.sqrt(1.0 / linear**2 - 1.0)
    news = np.where(np.isnan(rank), 0.0, rank) + rng.normal(0.0, noise_sd, opens.shape)
    stationary_sd = np.sqrt(1.0 / 12.0 + noise_sd**2) / np.sqrt(1.0 - phi**2)
    out = np.full(opens.shape, np.nan)
    state = rng.normal(0.0, stationary_sd, opens.shape[1])  # the factor before the first day
    for t in range(opens.shape[0]):
        state = phi * state + news[t]
        out[t] = state
    return np.where(listed, out, np.nan)


def _listing_and_delisting(
    rng: np.random.Generator, n_days: int, n_stocks: int
) -> tuple[np.ndarray, np.ndarray]:
    """Most stocks trade from the start, the rest list over the years; a few delist."""
    list_day = np.where(rng.random(n_stocks) < 0.6, 0, rng.integers(1, max(n_days, 2), n_stocks))
    delists = rng.random(n_stocks) < 0.04
    # A stock that never delists gets a day far beyond the end, so that no
    # decline or ST period before a delisting reaches into the market.
    never = n_days + _NEVER_DELISTED
    delist_day = np.where(
        delists, list_day + rng.integers(250, max(n_days, 251) + 250, n_stocks), never
    )
    return list_day, delist_day


def _st_periods(
    rng: np.random.Generator, shape: tuple[int, int], list_day: np.ndarray, delist_day: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Special treatment: spells of losses, and the half year before each delisting.

    Returns the ST flags and each stock's daily drift while it declines toward
    a delisting (0 elsewhere).
    """
    day_no = np.arange(shape[0])[:, None]
    st = _runs(rng, shape, 0.03 / 250, 250)
    st &= day_no >= list_day + 60  # never in the first months after listing
    before_delisting = (day_no >= delist_day - 120) & (day_no < delist_day)
    decline = (day_no >= delist_day - 250) & (day_no < delist_day)
    return st | before_delisting, np.where(decline, -0.003, 0.0)


@dataclass(frozen=True, eq=False)
class _Lifetimes:
    """When each stock is listed, under special treatment, suspended, and its corporate actions."""

    list_day: np.ndarray
    delist_day: np.ndarray
    listed: np.ndarray
    listing_day: np.ndarray  # the day a stock listed within the dates
    free: np.ndarray  # listing days without any limit
    st: np.ndarray
    decline_drift: np.ndarray  # the slide of a stock on its way to delisting
    suspended: np.ndarray
    dividend_day: np.ndarray
    split_to: np.ndarray


@dataclass(frozen=True, eq=False)
class _Drivers:
    """What moves the prices: the market, the industries and each stock's own sensitivity."""

    beta: np.ndarray
    vol: np.ndarray
    market: np.ndarray
    industry_of: np.ndarray
    industry_returns: np.ndarray
    industry_beta: np.ndarray
    shares: np.ndarray  # latent free float
    issue_price: np.ndarray
    jump: np.ndarray  # first-day return of a listing


def _lifetimes(
    rng: np.random.Generator, dates: pd.DatetimeIndex, n_stocks: int, board: np.ndarray
) -> _Lifetimes:
    n_days = len(dates)
    shape = (n_days, n_stocks)
    list_day, delist_day = _listing_and_delisting(rng, n_days, n_stocks)
    day_no = np.arange(n_days)[:, None]
    listed = (day_no >= list_day) & (day_no < delist_day)
    st, decline_drift = _st_periods(rng, shape, list_day, delist_day)
    st &= listed

    suspended = _runs(rng, shape, 0.0008, 15) & listed
    listing_day = (day_no == list_day) & (list_day > 0)
    suspended[list_day.clip(max=n_days - 1), np.arange(n_stocks)] = False  # a listing day trades
    days_listed = day_no - list_day  # 0 on the listing day
    # The listing days without any limit (none on the main boards, which cap the first day instead).
    free = (
        (days_listed >= 0)
        & (days_listed < np.array([IPO_FREE_DAYS[b] for b in board]))
        & (list_day > 0)
    )

    # Corporate actions on trading days only: dividends spread over the year, rare splits.
    dividend_day = _ex_dates(rng, dates, listed, suspended) & ~listing_day
    split_day = (
        (rng.random(shape) < 0.02 / 250) & listed & ~suspended & ~dividend_day & ~listing_day
    )
    split_to = np.where(split_day, rng.choice([15.0, 20.0], shape), np.nan)
    return _Lifetimes(
        list_day,
        delist_day,
        listed,
        listing_day,
        free,
        st,
        decline_drift,
        suspended,
        dividend_day,
        split_to,
    )


def _drivers(
    rng: np.random.Generator, dates: pd.DatetimeIndex, n_stocks: int, board: np.ndarray
) -> _Drivers:
    n_days = len(dates)
    beta = rng.uniform(0.6, 1.4, n_stocks)
    vol = rng.uniform(0.012, 0.03, n_stocks)
    drift, market_vol = _regime_drift(rng, dates)
    # The day-to-day noise averages out within each year, so a year's regime
    # decides whether it rises or falls, not a lucky or unlucky draw.
    shocks = rng.normal(0.0, 1.0, n_days)
    years = dates.year.to_numpy()
    for year in np.unique(years):
        shocks[years == year] -= shocks[years == year].mean()
    market = drift + shocks * market_vol
    industry_of = rng.integers(1, N_INDUSTRIES + 1, n_stocks)
    industry_returns = rng.normal(0.0, 0.009, (n_days, N_INDUSTRIES + 1))
    industry_beta = rng.uniform(0.7, 1.3, n_stocks)
    shares = np.exp(rng.normal(20.0, 1.0, n_stocks))
    issue_price = (
        np.rint(np.exp(rng.normal(np.log(1500.0), 0.6, n_stocks))).astype(np.int64).clip(200)
    )
    jump = listing_jump(rng, board)
    return _Drivers(
        beta, vol, market, industry_of, industry_returns, industry_beta, shares, issue_price, jump
    )


def generate_world(seed: int, n_stocks: int, dates: pd.DatetimeIndex, alpha_ic: float) -> World:
    rng = np.random.default_rng(seed)
    ukeys = _codes(rng, n_stocks)
    board = _boards(ukeys)
    life = _lifetimes(rng, dates, n_stocks, board)
    move = _drivers(rng, dates, n_stocks, board)
    close_c, open_c, up_c, down_c, dividend, industry_codes = price_paths(rng, board, life, move)
    vwap_buy, vwap_sell = vwaps(rng, close_c, open_c, up_c, down_c, life.listed & ~life.suspended)

    # Index membership: bands of the market-cap ranking, reviewed twice a year.
    split_ratio = np.where(np.isnan(life.split_to), 1.0, life.split_to / 10.0)
    cap = close_c * np.cumprod(split_ratio, axis=0) * move.shares
    cap_rank = cap_ranks(dates, life.listed, life.st, cap)
    returns = index_returns(close_c, split_ratio, cap, cap_rank, life.listed, life.listing_day)

    alpha = _alpha(rng, open_c, life.listed, alpha_ic)
    # Every array, read-only from here on: loaded data may be shared by many threads.
    arrays = {
        "listed": life.listed,
        "close_c": close_c,
        "open_c": open_c,
        "limit_up_c": up_c,
        "limit_down_c": down_c,
        "vwap_buy": vwap_buy,
        "vwap_sell": vwap_sell,
        "suspended": life.suspended,
        "split_to": life.split_to,
        "dividend": dividend,
        "industry": industry_codes,
        "cap_rank": cap_rank,
        "alpha": alpha,
        "st": life.st,
        "board": board,
        "list_day": life.list_day,
        "delist_day": life.delist_day,
    }
    for value in arrays.values():
        value.setflags(write=False)
    return World(dates=dates, ukeys=ukeys, index_returns=returns, **arrays)

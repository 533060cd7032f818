"""The synthetic market's prices: the boards' limit rules and the day-by-day price path."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from ._world import _Drivers, _Lifetimes

# Boards, by the limits they trade under.
MAIN, GROWTH, BEIJING = 0, 1, 2
LIMIT_PERCENT = {MAIN: 10, GROWTH: 20, BEIJING: 30}
ST_LIMIT_PERCENT = 5  # main-board ST stocks; ST stocks elsewhere keep their board's limit
IPO_UP_PERCENT, IPO_DOWN_PERCENT = 44, 36  # a main-board listing day
IPO_FREE_DAYS = {MAIN: 0, GROWTH: 5, BEIJING: 1}  # listing days without any limit

N_INDUSTRIES = 31
LOCKED_SHARE = 0.35  # share of limit days that open at the limit and stay there


def _limits(
    ref: np.ndarray, percent_up: np.ndarray, percent_down: np.ndarray, free: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Limit prices in cents from the reference price: ref x (1 +- p%), rounded half up; NaN when free."""
    up = (ref * (100 + percent_up) + 50) // 100
    down = (ref * (100 - percent_down) + 50) // 100
    return np.where(free, np.nan, up.astype(float)), np.where(free, np.nan, down.astype(float))


def listing_jump(rng: np.random.Generator, board: np.ndarray) -> np.ndarray:
    """First-day return of a new listing: main boards aim past their 44% cap, the others jump freely."""
    return np.where(
        board == MAIN,
        np.exp(rng.normal(np.log(0.9), 0.5, board.shape)) - 0.3,
        np.exp(rng.normal(np.log(1.6), 0.6, board.shape)) - 0.6,
    )


def _industry_codes(rng: np.random.Generator, industry_of: np.ndarray, n_days: int) -> np.ndarray:
    """Each stock's industry by day; one in twenty moves to another industry once."""
    n_stocks = len(industry_of)
    codes = np.repeat(industry_of[None, :], n_days, axis=0).astype(np.int8)
    movers = np.flatnonzero(rng.random(n_stocks) < 0.05)
    for stock in movers:
        codes[rng.integers(0, n_days) :, stock] = rng.integers(1, N_INDUSTRIES + 1)
    return codes


def price_paths(
    rng: np.random.Generator, board: np.ndarray, life: _Lifetimes, move: _Drivers
) -> tuple[np.ndarray, ...]:
    """Closes, opens, limits (cents), dividends and industries, one trading day after another."""
    n_days, n_stocks = life.listed.shape
    base_up = np.array([LIMIT_PERCENT[b] for b in board])
    close_c = np.zeros(life.listed.shape, dtype=np.int64)
    open_c = np.zeros(life.listed.shape, dtype=np.int64)
    up_c = np.full(life.listed.shape, np.nan)
    down_c = np.full(life.listed.shape, np.nan)
    dividend = np.full(life.listed.shape, np.nan)
    prev = np.rint(np.exp(rng.normal(np.log(1500.0), 0.8, n_stocks))).astype(np.int64).clip(150)
    industry_codes = _industry_codes(rng, move.industry_of, n_days)
    main = board == MAIN
    for t in range(n_days):
        listing, free = life.listing_day[t], life.free[t]
        # A listing day's reference is the issue price; afterwards the
        # previous close less the cash and divided by the split, in cents.
        prev = np.where(listing, move.issue_price, prev)
        cash_c = np.zeros(n_stocks)
        if life.dividend_day[t].any():
            cash_c = np.where(
                life.dividend_day[t], np.rint(prev * rng.uniform(0.005, 0.03, n_stocks)), 0.0
            )
            dividend[t] = np.where(life.dividend_day[t], cash_c / 100.0 * 10.0, np.nan)
        ratio = np.where(np.isnan(life.split_to[t]), 1.0, life.split_to[t] / 10.0)
        ref = np.maximum(np.rint((prev - cash_c) / ratio), 100).astype(np.int64)
        percent_up = np.where(life.st[t] & main, ST_LIMIT_PERCENT, base_up)
        percent_up = np.where(listing & main, IPO_UP_PERCENT, percent_up)
        percent_down = np.where(listing & main, IPO_DOWN_PERCENT, percent_up)
        up, down = _limits(ref, percent_up, percent_down, free)
        # Fat tails (Student t, 3 degrees of freedom) so limit days are not rare.
        day_return = (
            move.beta * move.market[t]
            + move.industry_beta * move.industry_returns[t, industry_codes[t]]
            + life.decline_drift[t]
            + rng.standard_t(3, n_stocks) * move.vol * 0.58
        )
        # The days after a listing stay wild: the first five without limits on the growth boards.
        day_return = np.where(free & ~listing, day_return * 3.0, day_return)
        day_return = np.where(listing, move.jump, day_return)
        raw_close = np.rint(ref * (1.0 + day_return))
        raw_open = np.rint(ref * (1.0 + day_return * rng.uniform(-0.2, 0.8, n_stocks)))
        bounded = ~free
        close = np.where(
            bounded, np.clip(raw_close, np.nan_to_num(down), np.nan_to_num(up)), raw_close
        )
        opening = np.where(
            bounded, np.clip(raw_open, np.nan_to_num(down), np.nan_to_num(up)), raw_open
        )
        close = np.maximum(close, 1).astype(np.int64)
        opening = np.maximum(opening, 1)
        at_limit = bounded & ((close == up) | (close == down))
        locked = at_limit & (rng.random(n_stocks) < LOCKED_SHARE)
        opening = np.where(locked, close, opening).astype(np.int64)
        halted = life.suspended[t]
        close = np.where(halted, prev, close)
        opening = np.where(halted, prev, opening)
        close_c[t], open_c[t], up_c[t], down_c[t] = close, opening, up, down
        prev = np.where(life.listed[t], close, prev)
    return close_c, open_c, up_c, down_c, dividend, industry_codes


def vwaps(
    rng: np.random.Generator,
    close_c: np.ndarray,
    open_c: np.ndarray,
    up_c: np.ndarray,
    down_c: np.ndarray,
    trading: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """The buy and sell VWAPs inside the day's range; a day locked at the limit trades only there."""
    shape = close_c.shape
    low = np.minimum(open_c, close_c) * (1.0 - rng.uniform(0.0, 0.01, shape))
    high = np.maximum(open_c, close_c) * (1.0 + rng.uniform(0.0, 0.01, shape))
    low = np.where(np.isnan(down_c), low, np.maximum(low, down_c))
    high = np.where(np.isnan(up_c), high, np.minimum(high, up_c))
    locked_all = (open_c == close_c) & ((close_c == up_c) | (close_c == down_c))

    def vwap() -> np.ndarray:
        inside = low + (high - low) * rng.uniform(0.2, 0.8, shape)
        price = np.where(locked_all, close_c, inside) / 100.0
        return np.where(trading, price, np.nan)

    return vwap(), vwap()

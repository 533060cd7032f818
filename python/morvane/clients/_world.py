"""The synthetic A-share market behind SyntheticMarketClient, generated once.

Everything is a days x stocks array. Prices live in integer cents; the daily
limits are computed from the same reference price with the same rounding, so
a close at the limit equals the limit exactly. The generator loops once over
the days (the price path is sequential) and is vectorised across stocks.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

_SH_PREFIXES = ("600", "601", "603", "605", "688")
_SZ_PREFIXES = ("000", "001", "002", "003", "300", "301")
_PREFIX_WEIGHTS = np.array([0.20, 0.12, 0.12, 0.04, 0.10, 0.08, 0.02, 0.16, 0.02, 0.12, 0.02])

# Index bands by latent market cap, in stocks per 5,000 listed (scaled with N):
# code -> [first rank, end rank).
COMPONENT_BANDS: dict[str, tuple[int, int]] = {
    "rq_index_components_new_000300.XSHG": (0, 300),
    "rq_index_components_new_000905.XSHG": (300, 800),
    "rq_index_components_new_000852.XSHG": (800, 1800),
    "rq_index_components_new_399303.XSHE": (1000, 3000),
    "rq_index_components_new_932000.INDX": (1800, 3800),
}
BENCHMARK_COMPONENTS: dict[str, str] = {
    "000300.XSHG": "rq_index_components_new_000300.XSHG",
    "000905.XSHG": "rq_index_components_new_000905.XSHG",
    "000852.XSHG": "rq_index_components_new_000852.XSHG",
}
N_INDUSTRIES = 31
LOCKED_SHARE = 0.35  # share of limit days that open at the limit and stay there


@dataclass(frozen=True, eq=False)
class World:
    """The generated market; arrays are (days, stocks), read-only once built."""

    dates: pd.DatetimeIndex
    ukeys: np.ndarray  # "600000.XSHG", ...
    listed: np.ndarray  # bool
    close_c: np.ndarray  # int64 cents
    open_c: np.ndarray
    limit_up_c: np.ndarray
    limit_down_c: np.ndarray
    vwap_buy: np.ndarray  # float yuan, 09:35-10:05; NaN when suspended
    vwap_sell: np.ndarray  # float yuan, 09:25-10:00
    suspended: np.ndarray  # bool
    split_to: np.ndarray  # shares after per 10 held on the ex-date, NaN otherwise
    dividend: np.ndarray  # pre-tax cash per 10 shares on the ex-date, NaN otherwise
    industry: np.ndarray  # int8 industry code
    cap_rank: np.ndarray  # int32 rank by market cap at the last rebalance, -1 unranked
    index_returns: dict[str, np.ndarray]  # benchmark ukey -> daily return per day
    alpha: np.ndarray  # the planted factor, NaN where not listed

    def frame(self, values: np.ndarray) -> pd.DataFrame:
        """A days x six-character-code table of one array."""
        return pd.DataFrame(values, index=self.dates.strftime("%Y%m%d"), columns=[u[:6] for u in self.ukeys])


def _codes(rng: np.random.Generator, n: int) -> np.ndarray:
    prefixes = _SH_PREFIXES + _SZ_PREFIXES
    counts = rng.multinomial(n, _PREFIX_WEIGHTS / _PREFIX_WEIGHTS.sum())
    # Each prefix holds at most 1,000 codes; spill the excess to roomier ones.
    while (counts > 1000).any():
        spill = counts - 1000
        counts = np.minimum(counts, 1000)
        counts[np.argmin(counts)] += spill.clip(0).sum()
    out = []
    for prefix, count in zip(prefixes, counts, strict=True):
        suffix = ".XSHG" if prefix in _SH_PREFIXES else ".XSHE"
        for number in np.sort(rng.choice(1000, size=count, replace=False)):
            out.append(f"{prefix}{number:03d}{suffix}")
    order = rng.permutation(len(out))
    return np.array(out, dtype=object)[order]


def _runs(rng: np.random.Generator, shape: tuple[int, int], rate: float, max_len: int) -> np.ndarray:
    """Boolean runs: each stock-day starts a run with probability `rate`."""
    days, stocks = shape
    out = np.zeros(shape, dtype=bool)
    starts = np.argwhere(rng.random(shape) < rate)
    lengths = rng.integers(1, max_len + 1, size=len(starts))
    for (day, stock), length in zip(starts, lengths, strict=True):
        out[day : min(days, day + length), stock] = True
    return out


def _rebalance_days(dates: pd.DatetimeIndex) -> np.ndarray:
    """Positions of the first trading day of each June and December, and day 0."""
    months = dates.year * 12 + dates.month
    firsts = np.flatnonzero(np.r_[True, months[1:] != months[:-1]])
    keep = [0] + [int(p) for p in firsts if dates[p].month in (6, 12) and p > 0]
    return np.array(sorted(set(keep)))


def _alpha(rng: np.random.Generator, open_c: np.ndarray, listed: np.ndarray, ic: float) -> np.ndarray:
    """A noisy copy of tomorrow's open-to-open return rank, known on day T."""
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
        rank = np.where(valid, rank / valid.sum(axis=1, keepdims=True), np.nan)
    # Uniform ranks have variance 1/12; noise of this spread gives a
    # correlation of `ic` between the factor and the forward rank.
    # Rank correlation runs about 2% under the linear one at these sizes.
    linear = min(ic * 1.02, 0.999)
    noise_sd = np.sqrt(1.0 / 12.0) * np.sqrt(1.0 / linear**2 - 1.0)
    noise = rng.normal(0.0, noise_sd, opens.shape)
    filled = np.where(np.isnan(rank), 0.5, rank)  # the last two days carry no signal
    return np.where(listed, filled + noise, np.nan)


def generate_world(seed: int, n_stocks: int, dates: pd.DatetimeIndex, alpha_ic: float) -> World:
    rng = np.random.default_rng(seed)
    n_days = len(dates)
    shape = (n_days, n_stocks)
    ukeys = _codes(rng, n_stocks)
    # ChiNext (300, 301) and the STAR market (688) move up to 20% a day; the main boards 10%.
    wide_limit = np.array([u.startswith(("300", "301", "688")) for u in ukeys])

    # Listing and delisting: most stocks trade from the start, the rest list
    # over the years; a few delist, so the tail sees codes come and go.
    list_day = np.where(rng.random(n_stocks) < 0.6, 0, rng.integers(0, max(n_days, 1), n_stocks))
    delist_day = np.where(rng.random(n_stocks) < 0.04,
                          list_day + rng.integers(120, max(n_days, 121) + 120, n_stocks), n_days + 1)
    day_no = np.arange(n_days)[:, None]
    listed = (day_no >= list_day) & (day_no < delist_day)

    suspended = _runs(rng, shape, 0.0008, 15) & listed
    suspended[list_day.clip(max=n_days - 1), np.arange(n_stocks)] = False  # a listing day trades

    # Corporate actions on trading days only: yearly dividends in summer, rare splits.
    summer = np.isin(dates.month, (6, 7))[:, None]
    dividend_day = summer & (rng.random(shape) < 0.7 / 40) & listed & ~suspended
    split_day = (rng.random(shape) < 0.02 / 250) & listed & ~suspended & ~dividend_day
    split_to = np.where(split_day, rng.choice([15.0, 20.0], shape), np.nan)

    beta = rng.uniform(0.6, 1.4, n_stocks)
    vol = rng.uniform(0.012, 0.03, n_stocks)
    market = rng.normal(0.0003, 0.011, n_days)
    shares = np.exp(rng.normal(20.0, 1.0, n_stocks))  # latent free float

    close_c = np.zeros(shape, dtype=np.int64)
    open_c = np.zeros(shape, dtype=np.int64)
    up_c = np.zeros(shape, dtype=np.int64)
    down_c = np.zeros(shape, dtype=np.int64)
    dividend = np.full(shape, np.nan)
    prev = np.rint(np.exp(rng.normal(np.log(1500.0), 0.8, n_stocks))).astype(np.int64).clip(150)
    up_mul = np.where(wide_limit, 12, 11)
    down_mul = np.where(wide_limit, 8, 9)
    for t in range(n_days):
        # Ex-date reference price: the previous close less the cash and
        # divided by the split, in whole cents.
        cash_c = np.zeros(n_stocks)
        if dividend_day[t].any():
            cash_c = np.where(dividend_day[t], np.rint(prev * rng.uniform(0.005, 0.03, n_stocks)), 0.0)
            dividend[t] = np.where(dividend_day[t], cash_c / 100.0 * 10.0, np.nan)
        ratio = np.where(np.isnan(split_to[t]), 1.0, split_to[t] / 10.0)
        ref = np.maximum(np.rint((prev - cash_c) / ratio), 100).astype(np.int64)
        up = (ref * up_mul + 5) // 10
        down = (ref * down_mul + 5) // 10
        # Fat tails (Student t, 3 degrees of freedom) so limit days are not rare.
        day_return = beta * market[t] + rng.standard_t(3, n_stocks) * vol * 0.58
        close = np.clip(np.rint(ref * (1.0 + day_return)), down, up).astype(np.int64)
        opening = np.clip(np.rint(ref * (1.0 + day_return * rng.uniform(-0.2, 0.8, n_stocks))), down, up)
        at_limit = (close == up) | (close == down)
        locked = at_limit & (rng.random(n_stocks) < LOCKED_SHARE)
        opening = np.where(locked, close, opening).astype(np.int64)
        halted = suspended[t]
        close = np.where(halted, prev, close)
        opening = np.where(halted, prev, opening)
        close_c[t], open_c[t], up_c[t], down_c[t] = close, opening, up, down
        prev = np.where(listed[t], close, prev)

    # VWAPs inside the day's range; a day locked at the limit trades only there.
    low = np.minimum(open_c, close_c) * (1.0 - rng.uniform(0.0, 0.01, shape))
    high = np.maximum(open_c, close_c) * (1.0 + rng.uniform(0.0, 0.01, shape))
    low, high = np.maximum(low, down_c), np.minimum(high, up_c)
    locked_all = (open_c == close_c) & ((close_c == up_c) | (close_c == down_c))

    def vwap() -> np.ndarray:
        inside = low + (high - low) * rng.uniform(0.2, 0.8, shape)
        price = np.where(locked_all, close_c, inside) / 100.0
        return np.where(listed & ~suspended, price, np.nan)

    vwap_buy, vwap_sell = vwap(), vwap()

    industry = np.repeat(rng.integers(1, N_INDUSTRIES + 1, n_stocks)[None, :], n_days, axis=0).astype(np.int8)
    movers = np.flatnonzero(rng.random(n_stocks) < 0.05)
    for stock in movers:
        industry[rng.integers(0, n_days) :, stock] = rng.integers(1, N_INDUSTRIES + 1)

    # Index membership: bands of the market-cap ranking, rebalanced twice a year.
    split_ratio = np.where(np.isnan(split_to), 1.0, split_to / 10.0)
    cap = close_c * np.cumprod(split_ratio, axis=0) * shares
    cap_rank = np.full(shape, -1, dtype=np.int32)
    rebalances = list(_rebalance_days(dates)) + [n_days]
    for first, end in zip(rebalances[:-1], rebalances[1:], strict=True):
        eligible = listed[first]
        order = np.argsort(-np.where(eligible, cap[first], -np.inf), kind="stable")
        ranks = np.empty(n_stocks, dtype=np.int32)
        ranks[order] = np.arange(n_stocks, dtype=np.int32)
        cap_rank[first:end] = np.where(eligible, ranks, -1)[None, :]

    scale = n_stocks / 5000.0
    index_returns: dict[str, np.ndarray] = {}
    prev_close = np.vstack([close_c[:1], close_c[:-1]]).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        stock_return = np.where(listed, close_c * split_ratio / prev_close - 1.0, 0.0)
    stock_return[0] = 0.0
    weight_cap = np.vstack([cap[:1], cap[:-1]])
    for index_code, component in BENCHMARK_COMPONENTS.items():
        lo, hi = (int(round(b * scale)) for b in COMPONENT_BANDS[component])
        member = listed & (cap_rank >= lo) & (cap_rank < hi)
        weights = np.where(member, weight_cap, 0.0)
        total = weights.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            index_returns[index_code] = np.where(total > 0, (weights * stock_return).sum(axis=1) / total, 0.0)

    alpha = _alpha(rng, open_c, listed, alpha_ic)
    world = World(dates, ukeys, listed, close_c, open_c, up_c, down_c, vwap_buy, vwap_sell, suspended,
                  split_to, dividend, industry, cap_rank, index_returns, alpha)
    for value in (listed, close_c, open_c, up_c, down_c, vwap_buy, vwap_sell, suspended, split_to,
                  dividend, industry, cap_rank, alpha):
        value.setflags(write=False)
    return world

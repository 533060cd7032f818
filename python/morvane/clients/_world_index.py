"""The synthetic market's indices: membership by market cap, reviewed twice a year, and their returns."""

from __future__ import annotations

import numpy as np
import pandas as pd

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


def review_days(dates: pd.DatetimeIndex) -> np.ndarray:
    """Day 0 and the index reviews: the first trading day after the second Friday of June and December."""
    keep = {0}
    for year in range(dates[0].year, dates[-1].year + 1):
        for month in (6, 12):
            first = pd.Timestamp(year, month, 1)
            second_friday = first + pd.Timedelta(days=(4 - first.weekday()) % 7 + 7)
            position = int(dates.searchsorted(second_friday, side="right"))
            if 0 < position < len(dates):
                keep.add(position)
    return np.array(sorted(keep))


def cap_ranks(
    dates: pd.DatetimeIndex, listed: np.ndarray, st: np.ndarray, cap: np.ndarray
) -> np.ndarray:
    """Each day's rank by market cap at the last review (0 the largest), -1 for stocks not ranked."""
    n_days, n_stocks = listed.shape
    ranked = np.full(listed.shape, -1, dtype=np.int32)
    reviews = list(review_days(dates)) + [n_days]
    for first, end in zip(reviews[:-1], reviews[1:], strict=True):
        eligible = listed[first] & ~st[first]
        order = np.argsort(-np.where(eligible, cap[first], -np.inf), kind="stable")
        ranks = np.empty(n_stocks, dtype=np.int32)
        ranks[order] = np.arange(n_stocks, dtype=np.int32)
        ranked[first:end] = np.where(eligible, ranks, -1)[None, :]
    return ranked


def index_returns(
    close_c: np.ndarray,
    split_ratio: np.ndarray,
    cap: np.ndarray,
    cap_rank: np.ndarray,
    listed: np.ndarray,
    listing_day: np.ndarray,
) -> dict[str, np.ndarray]:
    """Each benchmark's daily return: its members' returns weighted by the previous day's cap."""
    scale = listed.shape[1] / 5000.0
    out: dict[str, np.ndarray] = {}
    prev_close = np.vstack([close_c[:1], close_c[:-1]]).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        stock_return = np.where(
            listed & ~listing_day, close_c * split_ratio / prev_close - 1.0, 0.0
        )
    stock_return[0] = 0.0
    weight_cap = np.vstack([cap[:1], cap[:-1]])
    for index_code, component in BENCHMARK_COMPONENTS.items():
        first, end = (int(round(b * scale)) for b in COMPONENT_BANDS[component])
        member = listed & (cap_rank >= first) & (cap_rank < end)
        weights = np.where(member, weight_cap, 0.0)
        total = weights.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            out[index_code] = np.where(total > 0, (weights * stock_return).sum(axis=1) / total, 0.0)
    return out

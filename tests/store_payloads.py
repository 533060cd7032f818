"""Small prepared-data payloads built by hand for the store tests."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

FLOAT_KEYS = ("close_price", "open_price")
BOOL_KEYS = ("can_buy_stock", "cant_sell_stock")
DTYPES = {
    "close_price": "float64",
    "open_price": "float64",
    "can_buy_stock": "bool",
    "cant_sell_stock": "bool",
}


# The index-component datasets and the base datasets of a store, in their order.
COMPONENTS = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]
BASE_KEYS = [
    "industry_matrix",
    "close_price",
    "open_price",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
    "can_buy_stock",
    "cant_sell_stock",
    "forward_return_rank_cache",
]


def trading_dates(start: str, count: int) -> list[str]:
    return [d.strftime("%Y%m%d") for d in pd.bdate_range(start, periods=count)]


def make_payload(
    dates: list[str],
    codes: list[str],
    *,
    seed: int = 0,
    benchmarks: tuple[str, ...] = ("000852", "000300"),
    meta: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """A payload with two float matrices holding NaN holes, two masks and benchmarks."""
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(codes))
    data: dict[str, Any] = {}
    for key in FLOAT_KEYS:
        values = rng.uniform(5, 50, shape)
        values[rng.random(shape) < 0.2] = np.nan
        data[key] = pd.DataFrame(values, index=dates, columns=codes)
    for key in BOOL_KEYS:
        data[key] = pd.DataFrame(rng.random(shape) < 0.5, index=dates, columns=codes)
    data["benchmark_dict"] = {
        code: pd.Series(rng.normal(0, 0.01, len(dates)), index=dates, name="index_daily_return")
        for code in benchmarks
    }
    return {
        "version": 1,
        "meta": dict(meta or {"start_date": dates[0] if dates else None}),
        "data": data,
    }


def assert_payload_data_equal(loaded: dict[str, Any], expected: dict[str, Any]) -> None:
    """Equal tables (labels, dtypes, NaN positions) and benchmark series."""
    for key, table in expected.items():
        if key == "benchmark_dict":
            assert list(loaded[key]) == list(table)
            for code, series in table.items():
                pd.testing.assert_series_equal(loaded[key][code], series)
        else:
            pd.testing.assert_frame_equal(loaded[key], table)


def snapshot(directory: Any) -> dict[str, bytes]:
    """Every file of a directory with its bytes."""
    from pathlib import Path

    return {p.name: p.read_bytes() for p in sorted(Path(directory).iterdir()) if p.is_file()}

"""Complete prepared-data stores and packages of them, built from the synthetic market."""

from __future__ import annotations

import pickle
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from morvane.backtest import _prepare
from morvane.clients import SyntheticMarketClient
from package_server import tar_of
from reference.engine import MARKET_KEYS

BENCHMARK_UKEYS = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}

# The factor core's market arguments beside the strategy engine's, and the two a
# prepared data set stores under its data client's names.
FACTOR_CORE_MARKET = (
    "close_price_valid",
    *MARKET_KEYS,
    "benchmark_dict",
    "industry_matrix",
    "open_price",
    "forward_return_rank_cache",
)
_STORED_AS = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}


def factor_core_market(data: dict[str, Any]) -> dict[str, Any]:
    """The factor core's market arguments from a prepared data set's tables."""
    return {name: data[_STORED_AS.get(name, name)] for name in FACTOR_CORE_MARKET}


def market_payload(
    *,
    seed: int = 0,
    n_stocks: int = 40,
    start: str = "20240102",
    end: str = "20240315",
    components: list[str] | None = None,
) -> dict[str, Any]:
    """A payload of the twelve base matrices, component matrices and three benchmarks."""
    world = SyntheticMarketClient(
        seed=seed, n_stocks=n_stocks, start_date=start, end_date=end
    ).world
    listed = world.listed
    close = world.frame(np.where(listed, world.close_c / 100.0, np.nan))
    nan = world.frame(np.full(listed.shape, np.nan))
    data: dict[str, Any] = {
        "industry_matrix": world.frame(np.where(listed, world.industry.astype(float), np.nan)),
        "close_price": close,
        "open_price": world.frame(np.where(listed, world.open_c / 100.0, np.nan)),
        "close_price_valid": close.notna().astype(float).where(close.notna()),
        "prev_close": close.shift(1),
        "buy_price": world.frame(world.vwap_buy),
        "sell_price": world.frame(world.vwap_sell),
        "rq_get_split": nan,
        "rq_get_dividend": nan.copy(),
        "can_buy_stock": world.frame(listed & ~world.suspended),
        "cant_sell_stock": world.frame(world.suspended | ~listed),
        "forward_return_rank_cache": close.rank(axis=1),
    }
    names = _prepare.COMPONENT_FACTOR_NAMES if components is None else components
    for number, name in enumerate(names):
        member = (world.cap_rank >= number * 5) & (world.cap_rank < number * 5 + 10)
        data[_prepare.component_dataset_key(name)] = world.frame(np.where(member, 1.0, np.nan))
    dates = close.index
    data["benchmark_dict"] = {
        code: pd.Series(world.index_returns[ukey], index=dates, name="index_daily_return")
        for code, ukey in BENCHMARK_UKEYS.items()
    }
    meta = {"start_date": dates[0], "end_date": dates[-1], "component_names": list(names)}
    return {"version": 1, "meta": meta, "data": data}


def write_store(folder: Path, payload: dict[str, Any]) -> _prepare.BinaryPreparedDataStore:
    store = _prepare.BinaryPreparedDataStore(folder)
    store.write(payload)
    return store


def package_of(folder: Path, payload: dict[str, Any], *, extra=None) -> bytes:
    """A tar of a store written from `payload`, in one top-level folder."""
    write_store(folder, payload)
    return tar_of(folder, extra=extra)


class _Planted:
    """Unpickling this creates the file it names: proof that code in a package ran."""

    def __init__(self, path: str) -> None:
        self.path = path

    def __reduce__(self):
        return (Path.touch, (Path(self.path),))


def poisoned_metadata(folder: Path, proof: Path) -> bytes:
    """The store's metadata with an object in it whose unpickling creates `proof`."""
    metadata = pickle.loads((folder / "metadata.pkl").read_bytes())
    metadata["meta"]["planted"] = _Planted(str(proof))
    return pickle.dumps(metadata)

"""A refresh is a rebuild: a store built to day b and refreshed to day c equals one built to c.

The property is checked cell for cell, labels and column order included, in
every dataset, through the real store (write, then the tail window written by
update_tail) on hand-drawn markets: stocks that list and delist, days without
any data, days with a close but no trade, suspensions, splits and dividends,
placed around the split day b, and split days at every position.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from morvane.backtest import _prepare
from morvane.backtest._prepare import (
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    build_incremental_write_window,
)
from morvane.clients._query import code_list, factor_names, long_table, query_date
from morvane.singleton import get_instance, set_instance

pytestmark = pytest.mark.usefixtures("keep_data_client")

CODES = ["000001", "000002", "002001", "300001", "301001", "600001", "603001", "688001"]
INDEX_UKEYS = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}


def ukey(code: str) -> str:
    return code + (".XSHG" if code.startswith("6") else ".XSHE")


class DrawnMarket:
    """A data client over values given cell by cell: factor -> {(ukey, date): value}."""

    def __init__(
        self,
        dates: list[str],
        cells: dict[str, dict[tuple[str, str], float]],
        index: dict[str, dict[str, float]],
        index_column: str,
    ) -> None:
        self.dates, self.cells, self.index, self.index_column = dates, cells, index, index_column

    def get_factors(self, *, factor: str | list[str], start_date: str | None, end_date: str | None):
        first, last = query_date(start_date, "start_date"), query_date(end_date, "end_date")
        parts = []
        for name in factor_names(factor):
            rows = [
                (u, pd.Timestamp(d), v)
                for (u, d), v in self.cells.get(name, {}).items()
                if first <= pd.Timestamp(d) <= last
            ]
            parts.append((name, pd.DataFrame(rows, columns=["ukey", "date", "value"])))
        return long_table(parts, with_factor=not isinstance(factor, str))

    def get_index_daily(self, *, ukeys: list[str], start_date: str | None, end_date: str | None):
        first, last = query_date(start_date, "start_date"), query_date(end_date, "end_date")
        rows = [
            (u, pd.Timestamp(d), v)
            for u in code_list(ukeys)
            for d, v in self.index.get(u, {}).items()
            if first <= pd.Timestamp(d) <= last
        ]
        return pd.DataFrame(rows, columns=["ukey", "date", self.index_column]) if rows else None


def draw_market(
    seed: int, n_days: int, n_stocks: int, split: int, index_column: str
) -> DrawnMarket:
    """A market whose events crowd around the split day `split` (the last day of the first build)."""
    rng = np.random.default_rng(seed)
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-02", periods=n_days)]
    codes = list(rng.choice(CODES, size=n_stocks, replace=False))
    cells: dict[str, dict[tuple[str, str], float]] = {}

    def put(name: str, key: tuple[str, str], value: float) -> None:
        cells.setdefault(name, {})[key] = value

    def near_split() -> int:
        return int(np.clip(split + rng.integers(-2, 3), 0, n_days))

    for number, code in enumerate(codes):
        u = ukey(code)
        # The first stock trades every day: the market is never without a close.
        anchor = number == 0
        if anchor or rng.random() < 0.4:
            listed = 0
        else:
            listed = near_split() if rng.random() < 0.6 else int(rng.integers(0, n_days))
        delisted = n_days if anchor or rng.random() < 0.6 else max(listed + 1, near_split())
        industry = float(rng.integers(1, 30))
        price = float(rng.integers(500, 3000)) / 100
        for day in range(listed, min(delisted, n_days)):
            date = dates[day]
            key = (u, date)
            if not anchor and rng.random() < 0.2:
                continue  # a day without any data (an unreported halt)
            suspended = not anchor and rng.random() < 0.15
            price = round(price * (1 + rng.normal(0, 0.03)), 2)
            up, down = round(price * 1.1, 2), round(price * 0.9, 2)
            for name, value in (
                ("Close", price),
                ("Open", round(price * (1 + rng.normal(0, 0.01)), 2)),
                ("limit_up", up),
                ("limit_down", down),
                ("rq_industry_exposure_new", industry),
                ("rq_is_suspended", float(suspended)),
            ):
                put(name, key, value)
            traded = not suspended and (anchor or rng.random() < 0.85)  # else: a close but no trade
            if traded:
                put(
                    "tick_vwap_price_935_1005",
                    key,
                    up if rng.random() < 0.15 else round(price * 1.001, 2),
                )
                put(
                    "tick_vwap_price_925_1000",
                    key,
                    down if rng.random() < 0.15 else round(price * 0.999, 2),
                )
            if not suspended and rng.random() < 0.15:
                put("split_coefficient_to", key, float(rng.choice([15.0, 20.0])))
            if not suspended and rng.random() < 0.15:
                put("rq_get_dividend", key, round(float(rng.uniform(0.5, 3.0)), 2))
            for component in _prepare.COMPONENT_FACTOR_NAMES:
                put(component, key, float(anchor or rng.random() < 0.5))
    index: dict[str, dict[str, float]] = {}
    for u in INDEX_UKEYS.values():
        level = 1000.0
        index[u] = {}
        for date in dates:
            level *= 1 + rng.normal(0, 0.01)
            index[u][date] = level if index_column == "close" else float(rng.normal(0, 0.01))
    return DrawnMarket(dates, cells, index, index_column)


def loaded(store: BinaryPreparedDataStore) -> dict[str, Any]:
    return store.load(mmap=False)["data"]


def assert_same_store(got: dict[str, Any], want: dict[str, Any]) -> None:
    assert list(got) == list(want)
    for key, table in want.items():
        if key == "benchmark_dict":
            assert list(got[key]) == list(table)
            for code, series in table.items():
                pd.testing.assert_series_equal(
                    got[key][code], series, check_exact=True, obj=f"benchmark {code}"
                )
        else:
            # labels, column order, dtypes and every cell, NaN positions included
            pd.testing.assert_frame_equal(got[key], table, check_exact=True, obj=key)


def refresh(store: BinaryPreparedDataStore, write_start: str, end: str) -> None:
    """The tail update the package's refresh makes, seeded with the stored close."""
    index = list(store.load_metadata()["datasets"]["close_price"]["index"])
    stored_close = store.load(keys=["close_price"], mmap=True)["data"]["close_price"]
    payload = build_incremental_write_window(index, write_start, end, stored_close=stored_close)
    del stored_close
    assert store.update_tail(payload)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**32 - 1),
    n_days=st.integers(5, 11),
    n_stocks=st.integers(2, 6),
    split_share=st.floats(0.0, 1.0),
    rewind=st.sampled_from([0, 1, _prepare.TAIL_RELOAD_ROWS]),
    index_column=st.sampled_from(["daily_return", "close"]),
)
def test_a_refresh_equals_a_rebuild(
    tmp_path_factory, seed, n_days, n_stocks, split_share, rewind, index_column
):
    # split: the last day of the first build, from the first day to the one before the last
    split = min(int(split_share * (n_days - 1)), n_days - 2)
    market = draw_market(seed, n_days, n_stocks, split, index_column)
    dates = market.dates
    set_instance(market)
    folder = tmp_path_factory.mktemp("refresh")
    refreshed = BinaryPreparedDataStore(folder / "refreshed")
    refreshed.write(GroupPreparedDataBuilder(dates[0], dates[split]).build())
    stored = refreshed.load_metadata()["datasets"]["close_price"]["index"]
    # rewrite the last `rewind` stored days, or none: start at the first new day
    write_start = stored[len(stored) - rewind] if rewind else dates[split + 1]
    refresh(refreshed, write_start, dates[-1])
    rebuilt = BinaryPreparedDataStore(folder / "rebuilt")
    rebuilt.write(GroupPreparedDataBuilder(dates[0], dates[-1]).build())
    assert_same_store(loaded(refreshed), loaded(rebuilt))


def steady_market(codes: list[str], n_days: int) -> DrawnMarket:
    """Every stock trading every day at its own drifting price, no events."""
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-02", periods=n_days)]
    cells: dict[str, dict[tuple[str, str], float]] = {}
    for number, code in enumerate(codes):
        for day, date in enumerate(dates):
            price = round(10.0 + number + 0.37 * day * (-1) ** (day + number), 2)
            values = {
                "Close": price,
                "Open": price,
                "limit_up": round(price * 1.2, 2),
                "limit_down": round(price * 0.8, 2),
                "tick_vwap_price_935_1005": price,
                "tick_vwap_price_925_1000": price,
                "rq_industry_exposure_new": 1.0,
                "rq_is_suspended": 0.0,
                **dict.fromkeys(_prepare.COMPONENT_FACTOR_NAMES, 1.0),
            }
            for name, value in values.items():
                cells.setdefault(name, {})[(ukey(code), date)] = value
    index = {u: {d: 0.001 for d in dates} for u in INDEX_UKEYS.values()}
    return DrawnMarket(dates, cells, index, "daily_return")


def test_the_issue_case_keeps_the_carried_close_and_the_strategy_return(tmp_path):
    """Four stocks, 600001 without a close on day 4, built to day 6 and refreshed to day 10."""
    from morvane import backtest_strategy
    from morvane.backtest.result import BacktestData

    market = steady_market(["000001", "000002", "300001", "600001"], 10)
    dates = market.dates
    for cells in market.cells.values():
        cells.pop(("600001.XSHG", dates[3]), None)
    set_instance(market)
    refreshed = BinaryPreparedDataStore(tmp_path / "refreshed")
    refreshed.write(GroupPreparedDataBuilder(dates[0], dates[5]).build())
    stored = refreshed.load_metadata()["datasets"]["close_price"]["index"]
    refresh(refreshed, stored[-_prepare.TAIL_RELOAD_ROWS], dates[-1])
    got = loaded(refreshed)
    # the close of day 3 is carried over the missing day 4 into day 5, which the window rewrote
    assert np.isnan(got["close_price"].loc[dates[3], "600001"])
    assert got["prev_close"].loc[dates[4], "600001"] == got["close_price"].loc[dates[2], "600001"]
    rebuilt = BinaryPreparedDataStore(tmp_path / "rebuilt")
    rebuilt.write(GroupPreparedDataBuilder(dates[0], dates[-1]).build())
    want = loaded(rebuilt)
    assert_same_store(got, want)
    weights = pd.DataFrame(0.2, index=dates, columns=["000001", "000002", "300001", "600001"])
    runs = [
        backtest_strategy(weights, BacktestData(data=d), dates[0], dates[-1], None, "", plot=None)
        for d in (got, want)
    ]
    pd.testing.assert_series_equal(runs[0].daily_return, runs[1].daily_return, check_exact=True)


@pytest.mark.parametrize("split", [40, 90, 130])
def test_the_service_and_the_command_line_refresh_a_synthetic_market_to_its_rebuild(
    tmp_path, monkeypatch, split
):
    from morvane.backtest import _service
    from morvane.backtest._folders import _refresh, build_payload, folder_locks
    from morvane.backtest._service import BacktestService
    from morvane.cli._market import demo_market
    from service_env import install

    market = demo_market(160, 80, 5)
    dates = [d.strftime("%Y%m%d") for d in market.world.dates]
    rebuilt = BinaryPreparedDataStore(tmp_path / "rebuilt")
    rebuilt.write(build_payload(market, dates[0], dates[-1]))
    want = loaded(rebuilt)

    env = install(monkeypatch, tmp_path / "home")
    monkeypatch.setattr(_prepare, "build_incremental_write_window", build_incremental_write_window)
    by_service = BinaryPreparedDataStore(env.store_dir)
    by_service.write(build_payload(market, dates[0], dates[split]))
    monkeypatch.setattr(_service, "_today", lambda: dates[-1])
    set_instance(market)
    BacktestService(None)._refresh_to_latest(by_service, after_download=False)
    assert_same_store(loaded(by_service), want)

    by_cli = BinaryPreparedDataStore(tmp_path / "cli")
    by_cli.write(build_payload(market, dates[0], dates[split]))
    with folder_locks(tmp_path / "cli") as data_lock:
        _refresh(by_cli, market, dates[-1], source="--source synthetic", data_lock=data_lock)
    assert_same_store(loaded(by_cli), want)
    assert get_instance() is market  # the command line puts the client back


def test_a_refresh_without_the_stored_close_still_reads_two_days_back(tmp_path):
    # Without the seed the carried close reaches back only to the window's
    # read start; the seed is what makes the refresh exact.
    market = draw_market(8, 9, 3, 5, "daily_return")
    set_instance(market)
    dates = market.dates
    store = BinaryPreparedDataStore(tmp_path / "s")
    store.write(GroupPreparedDataBuilder(dates[0], dates[5]).build())
    index = list(store.load_metadata()["datasets"]["close_price"]["index"])
    payload = build_incremental_write_window(index, index[-1], dates[-1])
    assert payload["meta"]["read_start_date"] == index[-3]
    with pytest.raises(TypeError, match="stored_close"):
        build_incremental_write_window(
            index, index[-1], dates[-1], stored_close=store.load()["data"]["close_price"].to_numpy()
        )


def test_masks_say_no_trading_where_there_is_no_price():
    source = {name: pd.DataFrame(dtype=float) for name in _prepare.BUILD_INPUT_NAMES}
    dates, codes = ["20240102", "20240103"], ["000001", "000002"]
    frame = lambda rows: pd.DataFrame(rows, index=dates, columns=codes, dtype=float)  # noqa: E731
    source.update(
        Close=frame([[10.0, 20.0], [10.5, np.nan]]),
        Open=frame([[10.0, 20.0], [10.5, np.nan]]),
        limit_up=frame([[11.0, 22.0], [11.0, 22.0]]),
        limit_down=frame([[9.0, 18.0], [9.0, 18.0]]),
        tick_vwap_price_935_1005=frame([[10.0, np.nan], [11.0, np.nan]]),
        tick_vwap_price_925_1000=frame([[9.0, np.nan], [10.0, np.nan]]),
        rq_is_suspended=frame([[0.0, 0.0], [0.0, np.nan]]),
    )
    data = GroupPreparedDataBuilder("20240102", "20240103")._build_from_matrices(source)
    # 000001: bought unless at the limit up, sold unless at the limit down; 000002 has no price
    assert data["can_buy_stock"].to_numpy().tolist() == [[True, False], [False, False]]
    assert data["cant_sell_stock"].to_numpy().tolist() == [[True, True], [False, True]]

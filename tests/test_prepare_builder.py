"""GroupPreparedDataBuilder: reading raw tables, benchmarks, components and the derived matrices."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._prepare import (
    BUILD_INPUT_NAMES,
    COMPONENT_FACTOR_NAMES,
    REQUIRED_FACTOR_NAMES,
    GroupPreparedDataBuilder,
)
from morvane.exceptions import NetworkError
from morvane.singleton import set_instance
from store_payloads import BASE_KEYS

B = GroupPreparedDataBuilder


class FakeClient:
    """Answers from fixed tables; records every query."""

    def __init__(self, factors=None, index=None, fail=()):
        self.factors = factors or {}
        self.index = index
        self.fail = set(fail)
        self.calls: list[object] = []

    def get_factors(self, *, factor, start_date, end_date):
        self.calls.append((factor, start_date, end_date))
        names = [factor] if isinstance(factor, str) else list(factor)
        if self.fail & set(names) or ("batch" in self.fail and len(names) > 1):
            raise NetworkError("down")
        if isinstance(factor, str):
            return self.factors.get(factor)
        parts = [
            t.assign(factor=n) for n, t in self.factors.items() if n in names and t is not None
        ]
        return pd.concat(parts, ignore_index=True) if parts else None

    def get_index_daily(self, *, ukeys, start_date, end_date):
        self.calls.append(("index", tuple(ukeys), start_date, end_date))
        return self.index


pytestmark = pytest.mark.usefixtures("keep_data_client")


def long(rows):
    return pd.DataFrame(rows, columns=["ukey", "date", "value"])


def builder() -> GroupPreparedDataBuilder:
    return B("20240102", "20240105")


# -- construction and dates ----------------------------------------------------


def test_dates_and_construction():
    b = B("20240102", "2024-01-05")
    assert (b.default_start, b.end_date, b._ddb_start, b._ddb_end) == (
        "20240102",
        "20240105",
        "20240102",
        "20240105",
    )
    assert B._normalize_ddb_backtest_date("2024011") == "20240110"
    assert B._normalize_ddb_backtest_date("2024-01-02") == "2024-01-02"
    assert B._normalize_ddb_backtest_date(None) is None
    assert B._mv_factor_date("20240105") == "2024-01-05" and B._mv_factor_date(None) is None
    with pytest.raises(TypeError, match="start_date"):
        B(20240102, "20240105")
    with pytest.raises(TypeError, match="end_date"):
        B("20240102", None)
    ref = pd.DataFrame([[1.0, 2.0]], index=["20240102"], columns=["000001", "000002"])
    empty = B._empty_like(ref)
    assert (
        empty.shape == (1, 2)
        and empty.isna().all().all()
        and list(empty.columns) == ["000001", "000002"]
    )


# -- raw tables to matrices ----------------------------------------------------------


def test_long_table_rules():
    b = builder()
    table = pd.DataFrame(
        {
            "ukey": [
                "000001.XSHE",
                "000001",
                "600000.XSHG",
                "600000.XSHG",
                None,
                "000002.XSHE",
                "000002.XSHE",
            ],
            "date": [
                "2024-01-02",
                "2024-01-02",
                "2024-01-02",
                "2024-01-03",
                "2024-01-02",
                "2024-01-03",
                "bad",
            ],
            "value": [1.0, 2.0, "x", 4.0, 9.0, 5.0, 6.0],
        }
    )
    m = b._mv_factors_to_matrices(table, ["Close"])["Close"]
    # suffix and bare code share a column, the later row wins; a missing ukey
    # or date and a non-numeric value drop their row (no "nan"/"None" column)
    assert list(m.columns) == ["000001", "000002", "600000"]
    assert list(m.index) == ["20240102", "20240103"]
    assert m.loc["20240102", "000001"] == 2.0
    assert np.isnan(m.loc["20240102", "600000"]) and m.loc["20240103", "600000"] == 4.0
    # two names without a factor column: nothing to split on
    two = b._mv_factors_to_matrices(table, ["Close", "Open"])
    assert two["Close"].empty and two["Open"].empty


@pytest.mark.parametrize("kind", ["object", "string", "category", "arrow"])
def test_ukey_dtypes_and_factor_groups(kind):
    if kind == "arrow":
        pytest.importorskip("pyarrow")
    ukey = pd.Series(["000001.XSHE", "600000.XSHG", "000001.XSHE", "300750.XSHE"])
    ukey = ukey.astype(
        {"object": object, "string": "string", "category": "category", "arrow": "string[pyarrow]"}[
            kind
        ]
    )
    table = pd.DataFrame(
        {
            "ukey": ukey,
            "date": pd.to_datetime(["2024-01-02", "2024-01-02", "2024-01-03", "2024-01-03"]),
            "value": [1.0, 2.0, 3.0, 4.0],
            "factor_name": ["Close", "Close", "Close", "Other"],
        }
    )
    got = builder()._mv_factors_to_matrices(table, ["Close", "Open"])
    assert got["Open"].empty
    expected = pd.DataFrame(
        [[1.0, 2.0], [3.0, np.nan]], index=["20240102", "20240103"], columns=["000001", "600000"]
    )
    pd.testing.assert_frame_equal(
        got["Close"], expected, check_names=False, check_index_type=False, check_column_type=False
    )


def test_wide_table_and_missing_columns():
    b = builder()
    wide = pd.DataFrame(
        {
            "ukey": ["000001.XSHE", "000002.XSHE"],
            "DataDate": [20240102, 20240102],
            "Close": [1.0, 2.0],
        }
    )
    got = b._mv_factors_to_matrices(wide, ["Close", "Open"])
    assert got["Close"].loc["20240102"].tolist() == [1.0, 2.0] and got["Open"].empty
    with pytest.raises(KeyError, match="缺少 ukey/date"):
        b._mv_factors_to_matrices(pd.DataFrame({"ukey": ["a"], "value": [1]}), ["Close"])
    assert b._mv_factors_to_matrices(None, ["Close"])["Close"].empty


def test_client_answer_not_a_table():
    set_instance(FakeClient(factors={"Close": [1, 2]}))
    with pytest.raises(TypeError, match="get_factors"):
        builder()._read_normal_factor_matrix("Close")


def test_batch_falls_back_to_single_reads():
    close = long([("000001.XSHE", "2024-01-02", 1.0)])
    fake = FakeClient(factors={"Close": close, "Open": close}, fail={"batch"})
    set_instance(fake)
    got = builder()._read_normal_factor_batch(["Close", "Open", "Nope"])
    assert got["Close"].iloc[0, 0] == 1.0 and got["Open"].iloc[0, 0] == 1.0 and got["Nope"].empty
    assert fake.calls[0][0] == ["Close", "Open", "Nope"] and fake.calls[0][1] == "2024-01-02"
    assert [c[0] for c in fake.calls[1:]] == ["Close", "Open", "Nope"]
    fake.fail = {"Open", "batch"}
    with pytest.raises(NetworkError):
        builder()._read_normal_factor_batch(["Close", "Open"])


# -- benchmarks -------------------------------------------------------------------


def test_benchmarks():
    b = builder()
    rows = pd.DataFrame(
        {
            "ukey": ["000300.XSHG", "000905.XSHG", "000300.XSHG", "000300.XSHG", "000852.XSHG"],
            "date": ["20240103", "20240102", "20240102", "20240103", "20240102"],
            "daily_return": [0.1, 0.2, 0.3, 0.4, "x"],
        }
    )
    assert b._format_benchmark_daily_return(rows, "000300", "000300.XSHG").to_dict() == {
        "20240102": 0.3,
        "20240103": 0.4,
    }
    assert b._format_benchmark_daily_return(rows, "000852", "000852.XSHG").empty
    no_key = pd.DataFrame({"DataDate": ["20240102", "20240103"], "returns": [0.01, 0.02]})
    assert b._format_benchmark_daily_return(no_key, "000300", "000300.XSHG").to_dict() == {
        "20240102": 0.01,
        "20240103": 0.02,
    }
    # a repeated date is removed before the return from the close is taken
    closes = pd.DataFrame(
        {
            "date": ["20240103", "20240102", "20240103", "20240104"],
            "close": [999.0, 100.0, 110.0, 121.0],
        }
    )
    got = b._format_benchmark_daily_return(closes, "000300", "000300.XSHG")
    assert list(got.index) == ["20240103", "20240104"] and got.name == "index_daily_return"
    # the labels are the date texts, without the date column's name
    assert got.index.name is None and got.index.dtype == closes["date"].dtype
    np.testing.assert_allclose(got.values, [0.1, 0.1])
    for table, message in [
        (None, "基准日频数据为空: 000300 \\(000300.XSHG\\)"),
        (pd.DataFrame({"close": [1.0]}), "000300 基准缺少 DataDate 列"),
        (
            pd.DataFrame({"date": ["20240102"], "open": [1.0]}),
            "000300 基准缺少 daily_return/close 列",
        ),
    ]:
        with pytest.raises(KeyError, match=message):
            b._format_benchmark_daily_return(table, "000300", "000300.XSHG")
    set_instance(FakeClient(index=rows))
    assert list(b._read_benchmark_dict()) == ["000852", "000300", "000905"]
    set_instance(FakeClient(index="table"))
    with pytest.raises(TypeError, match="get_index_daily"):
        b._read_benchmark_dict()


# -- components --------------------------------------------------------------------


def test_component_cleaning_and_failures():
    values = long(
        [
            ("000001.XSHE", "2024-01-02", 0.0),
            ("000002.XSHE", "2024-01-02", 1.0),
            ("000003.XSHE", "2024-01-02", np.nan),
            ("000004.XSHE", "2024-01-02", np.inf),
            ("000001.XSHE", "2024-01-03", 1.0),
        ]
    )
    a, b_, c = COMPONENT_FACTOR_NAMES[:3]
    set_instance(FakeClient(factors={a: values, c: values}, fail={b_}))
    got = builder()._component_matrices([a, b_, c])
    assert list(got) == [a, c]
    m = got[a]
    assert np.isnan(m.loc["20240102", "000001"]) and m.loc["20240102", "000002"] == 1.0
    assert np.isnan(m.loc["20240102", "000004"]) and m.loc["20240103", "000001"] == 1.0


# -- derivation ----------------------------------------------------------------------


def source(**over):
    dates, codes = ["20240102", "20240103", "20240104", "20240105"], ["000001", "000002"]

    def full(values):
        return pd.DataFrame(np.array(values, dtype=float).reshape(4, 2), index=dates, columns=codes)

    base = {
        "rq_industry_exposure_new": full([1] * 8),
        "limit_down": full([9.0] * 8),
        "limit_up": full([11.0] * 8),
        "Close": full([10, 20, np.nan, 21, 11, 22, 12, 23]),
        "Open": full([10, 20, 10, 0, 11, 22, 12, 23]),
        "tick_vwap_price_935_1005": full([11.0, 20, 10, 20, 10, 20, 10, 20]),
        "tick_vwap_price_925_1000": full([9.0, 20, 10, 20, 9.0, 20, 10, 20]),
        "split_coefficient_to": full([np.nan] * 8),
        "rq_get_dividend": full([np.nan, 10, 10, np.nan, np.nan, np.nan, np.nan, np.nan]),
        "rq_is_suspended": full([0, 0, 1, 0, 1, np.nan, 0, 0]),
    }
    base.update(over)
    return base


def test_masks_as_mended():
    d = builder()._build_from_matrices(source())
    sell, buy = d["cant_sell_stock"], d["can_buy_stock"]
    # trading day at limit-down / limit-up: blocked by the limit rule only
    assert bool(sell.iloc[0, 0]) and not bool(buy.iloc[0, 0])
    # ordinary trading days (flag 0 or missing) trade both ways
    assert not bool(sell.iloc[0, 1]) and bool(buy.iloc[0, 1])
    assert not bool(sell.iloc[2, 1]) and bool(buy.iloc[2, 1])
    # suspended days can be neither bought nor sold, at the limit or not
    assert bool(sell.iloc[1, 0]) and not bool(buy.iloc[1, 0])
    assert bool(sell.iloc[2, 0]) and not bool(buy.iloc[2, 0])
    assert sell.dtypes.eq(bool).all() and buy.dtypes.eq(bool).all()


def test_absent_suspension_flag_leaves_limit_rules():
    s = source()
    s["rq_is_suspended"] = B._empty_like(s["Close"] * 0 + 1)
    d = builder()._build_from_matrices(s)
    assert bool(d["can_buy_stock"].iloc[1, 1]) and not bool(d["can_buy_stock"].iloc[0, 0])
    assert int(d["cant_sell_stock"].values.sum()) == 2  # the two limit-down sells


def test_prices_dividends_splits_and_ranks():
    s = source(
        split_coefficient_to=pd.DataFrame({"000001": [15.0, 20.0]}, index=["20231229", "20240104"])
    )
    d = builder()._build_from_matrices(s)
    assert list(d) == BASE_KEYS
    valid = d["close_price_valid"]
    assert valid.iloc[0, 0] == 1.0 and np.isnan(valid.iloc[1, 0]) and valid.notna().sum().sum() == 7
    # a split dated before the first close is dropped
    assert (
        list(d["rq_get_split"].index) == list(s["Close"].index)
        and d["rq_get_split"].loc["20240104", "000001"] == 2.0
    )
    assert d["rq_get_split"].notna().sum().sum() == 1
    div = d["rq_get_dividend"]
    assert div.loc["20240102", "000002"] == pytest.approx(0.9) and np.isnan(
        div.loc["20240103", "000001"]
    )
    # prev_close carries the last known close across the gap
    assert d["prev_close"].loc["20240104", "000001"] == 10.0 and np.isnan(
        d["prev_close"].iloc[0, 0]
    )
    assert d["prev_close"].loc["20240105", "000002"] == 22.0
    rank = d["forward_return_rank_cache"]
    assert rank.iloc[2:].isna().all().all()
    # row 0: opens 10/20 -> next 10/0 -> in two rows 11/22: stock 2 divides by 0 -> missing
    assert rank.iloc[0, 0] == 1.0 and np.isnan(rank.iloc[0, 1])
    assert rank.iloc[1].tolist() == [2.0, 1.0]  # 12/11 beats 23/22


def test_close_before_start_seeds_prev_close_and_adds_stocks_without_closes():
    seeds = pd.Series({"000001": 9.5, "000002": np.nan, "000009": 7})
    d = B("20240102", "20240105", close_before_start=seeds)._build_from_matrices(source())
    prev = d["prev_close"]
    # a stock with a close before the window but none in it (delisted) joins the columns;
    # a missing seed is no close before the window
    assert list(prev.columns) == ["000001", "000002", "000009"]
    expected = [[9.5, np.nan, 7.0], [10.0, 20.0, 7.0], [10.0, 21.0, 7.0], [11.0, 22.0, 7.0]]
    np.testing.assert_array_equal(prev.to_numpy(), expected)
    # the other tables keep the close's own labels
    assert list(d["close_price_valid"].columns) == ["000001", "000002"]


def test_empty_close_keeps_no_rows_and_missing_input_is_key_error():
    s = source(Close=pd.DataFrame())
    d = builder()._build_from_matrices(s)
    assert d["prev_close"].empty and d["rq_get_split"].empty and d["close_price_valid"].empty
    s = source()
    del s["Open"]
    with pytest.raises(KeyError):
        builder()._build_from_matrices(s)


def test_forward_rank_ties_match_pandas():
    rng = np.random.default_rng(1)
    opens = pd.DataFrame(
        rng.integers(1, 4, size=(8, 6)).astype(float),
        index=[f"202401{d:02d}" for d in range(2, 10)],
        columns=[f"00000{k}" for k in range(6)],
    )
    opens.iloc[3, 2] = np.nan
    got = builder()._build_from_matrices(source(Open=opens))["forward_return_rank_cache"]
    ratio = (opens.shift(-2) / opens.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    pd.testing.assert_frame_equal(
        got, ratio.rank(axis=1, method="average"), check_index_type=False, check_column_type=False
    )


# -- whole builds -------------------------------------------------------------------


def test_missing_component_is_named_and_stamps():
    from morvane.clients import SyntheticMarketClient

    client = SyntheticMarketClient(
        seed=1,
        n_stocks=40,
        start_date="20240101",
        end_date="20240131",
        withhold=[COMPONENT_FACTOR_NAMES[4]],
    )
    set_instance(client)
    with pytest.raises(
        ValueError,
        match=r"成分股矩阵缺失，无法精确生成二进制缓存: \['rq_index_components_new_932000.INDX'\]",
    ):
        B("20240102", "20240131").build()
    client.withhold = set()
    full = B("20240102", "20240131").build()
    inc = B("20240102", "20240131").build_incremental()
    assert "created_at" in full["meta"] and "updated_at" not in full["meta"]
    assert "updated_at" in inc["meta"] and "created_at" not in inc["meta"]
    assert list(full["meta"])[:6] == [
        "start_date",
        "end_date",
        "ddb_start",
        "ddb_end",
        "component_names",
        "component_dataset_keys",
    ]
    assert full["version"] == 1 and list(full["data"])[-1] == "benchmark_dict"
    assert set(REQUIRED_FACTOR_NAMES) <= set(BUILD_INPUT_NAMES)

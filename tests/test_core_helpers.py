"""The helpers of morvane.backtest._core: market alignment, datetime index, Sharpe ratio."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from conftest import flat_market
from morvane.backtest._core import _build_market_arrays, _with_datetime_index, safe_sharpe
from reference.engine import MARKET_KEYS

KEYS = [
    "prev_close_arr",
    "can_buy_arr",
    "cant_sell_arr",
    "close_arr",
    "buy_price_arr",
    "sell_price_arr",
    "split_arr",
    "dividend_arr",
]
ORDER = MARKET_KEYS


def market_args(market: dict[str, pd.DataFrame]) -> list[pd.DataFrame]:
    return [market[name] for name in ORDER]


class TestBuildMarketArrays:
    def test_keys_shapes_and_dtypes(self, dates):
        market = flat_market(dates, ["000001", "000002"])
        out = _build_market_arrays(pd.Index(dates[1:]), pd.Index(["000002"]), *market_args(market))
        assert list(out) == KEYS
        for key, array in out.items():
            assert array.shape == (4, 1)
            assert array.dtype == (bool if key in ("can_buy_arr", "cant_sell_arr") else np.float64)

    def test_aligns_by_label_and_fills_missing_labels(self, dates):
        codes = ["000001", "000002", "000003"]
        market = flat_market(dates, codes)
        close = pd.DataFrame(np.arange(15.0).reshape(5, 3), index=dates, columns=codes)
        market["close_price"] = close.iloc[::-1, ::-1]  # reversed labels
        market["can_buy_stock"] = market["can_buy_stock"].drop(columns="000002")
        market["cant_sell_stock"] = market["cant_sell_stock"].drop(index="20240104")
        index, columns = (
            pd.Index(["20240104", "20240102", "20991231"]),
            pd.Index(["000003", "000002"]),
        )
        out = _build_market_arrays(index, columns, *market_args(market))
        np.testing.assert_array_equal(out["close_arr"][:2], [[8.0, 7.0], [2.0, 1.0]])
        assert np.isnan(out["close_arr"][2]).all()
        # A label the mask lacks means no trading.
        assert out["can_buy_arr"].tolist() == [[True, False], [True, False], [False, False]]
        assert out["cant_sell_arr"].tolist() == [[True, True], [False, False], [True, True]]

    def test_aligned_input_is_a_read_only_view(self, dates):
        market = flat_market(dates, ["000001", "000002"])
        out = _build_market_arrays(
            pd.Index(dates), pd.Index(["000001", "000002"]), *market_args(market)
        )
        assert not out["close_arr"].flags.writeable
        with pytest.raises(ValueError):
            out["close_arr"][0, 0] = 1.0
        assert market["close_price"].iloc[0, 0] == 10.0

    def test_integer_and_object_tables_are_read_as_float(self, dates):
        market = flat_market(dates, ["000001"])
        market["close_price"] = pd.DataFrame({"000001": [1, 2, 3, 4, 5]}, index=dates)
        market["buy_price"] = market["buy_price"].astype(object)
        out = _build_market_arrays(pd.Index(dates), pd.Index(["000001"]), *market_args(market))
        assert out["close_arr"].ravel().tolist() == [1.0, 2.0, 3.0, 4.0, 5.0]
        assert out["buy_price_arr"].dtype == np.float64

    def test_errors_name_the_table(self, dates):
        market = flat_market(dates, ["000001"])
        args = market_args(market)
        args[4] = "not a table"
        with pytest.raises(TypeError, match="close_price.*DataFrame.*str"):
            _build_market_arrays(pd.Index(dates), pd.Index(["000001"]), *args)
        args = market_args(market)
        args[6] = pd.DataFrame({"000001": ["a"] * 5}, index=dates)
        with pytest.raises(ValueError, match="buy_price"):
            _build_market_arrays(pd.Index(dates), pd.Index(["000001"]), *args)

    @pytest.mark.parametrize("layout", ["c", "f", "strided"])
    def test_numeric_flags_read_non_zero_as_true_and_holes_as_the_masks_default(
        self, dates, layout
    ):
        codes = ["000001", "000002", "000003"]
        values = np.array(
            [
                [1.0, 0.0, np.nan],
                [0.0, 2.5, 1.0],
                [np.nan, np.nan, 0.0],
                [-1.0, 0.0, 1.0],
                [1.0, 1.0, 1.0],
            ]
        )
        if layout == "f":
            values = np.asfortranarray(values)
        elif layout == "strided":  # every other column of a wider block
            wide = np.full((5, 6), 7.0)
            wide[:, ::2] = values
            values = wide[:, ::2]
        flags = pd.DataFrame(values, index=dates, columns=codes, copy=False)
        market = flat_market(dates, codes)
        market["can_buy_stock"] = flags
        market["cant_sell_stock"] = flags
        out = _build_market_arrays(pd.Index(dates), pd.Index(codes), *market_args(market))
        for key, hole in (("can_buy_arr", False), ("cant_sell_arr", True)):
            expected = flags.ne(0).where(flags.notna(), hole).astype(bool).to_numpy()
            np.testing.assert_array_equal(out[key], expected)
            assert out[key].dtype == bool

    def test_empty_targets(self, dates):
        market = flat_market(dates, ["000001"])
        out = _build_market_arrays(pd.Index([]), pd.Index([]), *market_args(market))
        assert all(a.shape == (0, 0) for a in out.values())


class TestWithDatetimeIndex:
    def test_parses_and_sorts(self):
        table = pd.DataFrame({"a": [2.0, 1.0]}, index=["20240103", "20240102"])
        out = _with_datetime_index(table)
        assert isinstance(out.index, pd.DatetimeIndex)
        assert out.index.tolist() == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]
        assert out["a"].tolist() == [1.0, 2.0]
        assert table.index.tolist() == ["20240103", "20240102"]

    def test_empty_in_empty_out(self):
        out = _with_datetime_index(pd.DataFrame(columns=["a", "b"]))
        assert out.empty and list(out.columns) == ["a", "b"]

    def test_bad_labels_and_types(self):
        with pytest.raises(ValueError, match="YYYYMMDD"):
            _with_datetime_index(pd.DataFrame({"a": [1]}, index=["2024-13-01"]))
        with pytest.raises(TypeError, match="table"):
            _with_datetime_index([1, 2])


class TestSafeSharpe:
    def test_mean_over_sample_deviation(self):
        values = pd.Series([0.01, -0.02, 0.03, 0.005])
        expected = values.mean() / values.std(ddof=1) * math.sqrt(252)
        assert safe_sharpe(values, periods=252) == pytest.approx(expected, rel=1e-13)
        assert safe_sharpe(values) == pytest.approx(expected, rel=1e-13)
        assert safe_sharpe(values, periods=12) == pytest.approx(expected * math.sqrt(12 / 252))

    @pytest.mark.parametrize(
        "values",
        [
            [],
            [0.01],
            [0.1, 0.1, 0.1],
            [0.0, 0.0],
            [1e308, -1e308, 1e308],
            # constant up to rounding: the excess return of a strategy that is its benchmark
            [0.001, 0.001 + 1e-17],
            [0.02, 0.02 * (1 + 2e-16), 0.02],
            [3e-13, -3e-13],
        ],
    )
    def test_degenerate_series_give_nan(self, values):
        assert math.isnan(safe_sharpe(pd.Series(values, dtype=float)))

    def test_small_but_real_deviation_keeps_its_ratio(self):
        values = pd.Series([0.001, 0.0010001, 0.0009999])
        expected = values.mean() / values.std(ddof=1) * math.sqrt(252)
        assert safe_sharpe(values) == pytest.approx(expected, rel=1e-9)

    def test_periods_must_be_a_number(self):
        with pytest.raises(TypeError, match="periods"):
            safe_sharpe(pd.Series([0.1, 0.2]), periods="252")

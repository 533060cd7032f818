"""The date and matrix helpers of morvane.backtest._store."""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._store import clean_matrix, component_dataset_key, normalize_yyyymmdd


class TestNormalizeYyyymmdd:
    @pytest.mark.parametrize(
        "value",
        [
            "20240105",
            20240105,
            np.int64(20240105),
            "2024-01-05",
            " 20240105 ",
            datetime.date(2024, 1, 5),
            datetime.datetime(2024, 1, 5, 15, 30),
            pd.Timestamp("2024-01-05 09:30"),
            np.datetime64("2024-01-05"),
        ],
    )
    def test_accepted_forms(self, value):
        out = normalize_yyyymmdd(value)
        assert out == "20240105" and type(out) is str

    def test_none_stays_none(self):
        assert normalize_yyyymmdd(None) is None

    @pytest.mark.parametrize("value", [20231345, "20230229", "2024-02-30", "abc", "2024010", 123])
    def test_impossible_dates_are_value_errors_naming_the_value(self, value):
        with pytest.raises(ValueError, match=str(value)):
            normalize_yyyymmdd(value)

    @pytest.mark.parametrize("value", [20240105.0, True, [20240105], b"20240105"])
    def test_other_types_are_type_errors(self, value):
        with pytest.raises(TypeError):
            normalize_yyyymmdd(value)

    def test_leap_day(self):
        assert normalize_yyyymmdd("2024-02-29") == "20240229"


class TestComponentDatasetKey:
    def test_documented_example(self):
        assert (
            component_dataset_key("rq_index_components_new_000300.XSHG")
            == "component__rq_index_components_new_000300_xshg"
        )

    def test_distinct_names_in_other_scripts_stay_distinct(self):
        keys = {component_dataset_key(n) for n in ["沪深300", "中证300", "中证500", "300"]}
        assert len(keys) == 4
        assert all(k.startswith("component__") and k.isascii() for k in keys)

    def test_name_must_be_text(self):
        with pytest.raises(TypeError, match="name"):
            component_dataset_key(None)


class TestCleanMatrix:
    def test_labels_order_and_last_row_of_a_repeated_date(self):
        table = pd.DataFrame(
            {1: [1.0, 2.0, 3.0], "600000.XSHG": [4, 5, 6], "000300": [7.0, 8.0, 9.0]},
            index=[20240103, "2024-01-02", pd.Timestamp("2024-01-02")],
        )
        before = table.copy()
        out = clean_matrix(table)
        assert out.index.tolist() == ["20240102", "20240103"]
        assert out.columns.tolist() == ["000001", "600000", "000300"]
        assert out.loc["20240102"].tolist() == [3.0, 6.0, 9.0]
        assert (out.dtypes == np.float64).all()
        pd.testing.assert_frame_equal(table, before)

    def test_result_never_shares_memory_with_the_input(self):
        table = pd.DataFrame(np.ones((2, 2)), index=["20240102", "20240103"], columns=["a", "b"])
        out = clean_matrix(table)
        assert not np.shares_memory(out.to_numpy(), table.to_numpy())

    def test_bool_tables_stay_bool(self):
        table = pd.DataFrame({"000001": [True, False]}, index=["20240103", "20240102"])
        out = clean_matrix(table)
        assert out.dtypes.tolist() == [np.dtype(bool)]
        assert out["000001"].tolist() == [False, True]

    def test_nan_and_integer_values(self):
        table = pd.DataFrame(
            {"000001": [1, 2], "000002": [np.nan, 0.5]}, index=["20240102", "20240103"]
        )
        out = clean_matrix(table)
        assert out["000001"].tolist() == [1.0, 2.0]
        assert np.isnan(out.iloc[0, 1])

    def test_empty_table(self):
        out = clean_matrix(pd.DataFrame())
        assert out.empty

    def test_text_values_name_the_column(self):
        table = pd.DataFrame(
            {"000001": [1.0, 2.0], "000002": ["x", "y"]}, index=["20240102", "20240103"]
        )
        with pytest.raises(ValueError, match="000002"):
            clean_matrix(table)

    def test_codes_that_collide_after_normalising(self):
        table = pd.DataFrame({1: [1.0], "000001.XSHE": [2.0]}, index=["20240102"])
        with pytest.raises(ValueError, match="000001"):
            clean_matrix(table)

    def test_bad_dates_and_types(self):
        with pytest.raises(ValueError):
            clean_matrix(pd.DataFrame({"a": [1.0]}, index=["not a date"]))
        with pytest.raises(TypeError, match="table"):
            clean_matrix({"a": [1.0]})

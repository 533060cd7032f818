"""Text labels matched natively: every index kind gives what pandas gives.

Market alignment, date cutting and weight cleaning read text indexes (object,
arrow-backed and python-backed string dtypes) without pandas; these cases
compare them with pandas' own answer, and check that labels that are not all
texts still take pandas' path.
"""

from __future__ import annotations

import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane
from morvane.backtest._core import _build_market_arrays
from morvane.backtest._store import clean_matrix
from reference.engine import MARKET_KEYS

ORDER = MARKET_KEYS


def _python_text_dtypes() -> list[object]:
    kinds: list[object] = ["string[python]"]
    try:  # pandas 3's default "str", which keeps python storage without pyarrow
        kinds.append(pd.StringDtype("python", na_value=np.nan))
    except TypeError:  # pandas 2.2 has no NaN-valued string dtype
        pass
    return kinds


def _text_dtypes() -> list[object]:
    kinds: list[object] = [object, *_python_text_dtypes()]
    try:
        import pyarrow  # noqa: F401

        kinds += ["string[pyarrow]", pd.ArrowDtype(__import__("pyarrow").large_string())]
    except ImportError:
        pass
    return kinds


PYTHON_TEXT_DTYPES = _python_text_dtypes()
TEXT_DTYPES = _text_dtypes()


def _market(index: pd.Index, columns: pd.Index) -> list[pd.DataFrame]:
    rng = np.random.default_rng(len(index) * 31 + len(columns))
    shape = (len(index), len(columns))
    tables = {name: pd.DataFrame(rng.random(shape), index=index, columns=columns) for name in ORDER}
    tables["can_buy_stock"] = tables["can_buy_stock"] > 0.3
    tables["cant_sell_stock"] = tables["cant_sell_stock"] > 0.7
    return [tables[name] for name in ORDER]


def _reference(table: pd.DataFrame, index: pd.Index, columns: pd.Index, fill: object) -> np.ndarray:
    plain = table.set_axis(table.index.astype(object), axis=0).set_axis(
        table.columns.astype(object), axis=1
    )
    return plain.reindex(
        index=index.astype(object), columns=columns.astype(object), fill_value=fill
    ).to_numpy()


labels = st.lists(
    st.sampled_from(["20240102", "20240103", "20240104", "20240105", "é", "000001", ""]),
    min_size=0,
    max_size=6,
    unique=True,
)


class TestMarketAlignment:
    @settings(max_examples=60, deadline=None)
    @given(
        source=labels,
        target=st.lists(
            st.sampled_from(["20240102", "20240104", "x", "é", ""]), max_size=5, unique=True
        ),
        sort=st.booleans(),
        kind=st.sampled_from(TEXT_DTYPES),
        target_kind=st.sampled_from(TEXT_DTYPES),
    )
    def test_any_text_kind_aligns_as_pandas_reindex(self, source, target, sort, kind, target_kind):
        source = sorted(source) if sort else source
        index = pd.Index(source, dtype=kind)
        columns = pd.Index(["b", "a"], dtype=kind)
        tables = _market(index, columns)
        wanted_rows = pd.Index(target, dtype=target_kind)
        wanted_cols = pd.Index(["a", "c", "b"], dtype=target_kind)
        out = _build_market_arrays(wanted_rows, wanted_cols, *tables)
        np.testing.assert_array_equal(
            out["close_arr"], _reference(tables[4], wanted_rows, wanted_cols, np.nan)
        )
        np.testing.assert_array_equal(
            out["can_buy_arr"], _reference(tables[0], wanted_rows, wanted_cols, False)
        )
        np.testing.assert_array_equal(
            out["cant_sell_arr"], _reference(tables[1], wanted_rows, wanted_cols, True)
        )

    @pytest.mark.parametrize("kind", TEXT_DTYPES)
    def test_repeated_labels_are_refused_by_name(self, kind):
        index = pd.Index(["20240103", "20240102", "20240103"], dtype=kind)
        tables = _market(index, pd.Index(["a"], dtype=kind))
        with pytest.raises(ValueError, match="prev_close 的行标签有重复"):
            _build_market_arrays(pd.Index(["20240102"]), pd.Index(["a"]), *tables)

    def test_numbers_never_match_texts(self):
        # 20240102 the number is not "20240102" the text: pandas' rule, kept.
        tables = _market(pd.Index([20240102, 20240103]), pd.Index(["a"]))
        out = _build_market_arrays(pd.Index(["20240102"]), pd.Index(["a"]), *tables)
        assert np.isnan(out["close_arr"]).all()
        out = _build_market_arrays(pd.Index([20240103]), pd.Index(["a"]), *tables)
        assert out["close_arr"][0, 0] == tables[4].iloc[1, 0]

    def test_a_chunked_arrow_index_is_read_across_its_chunks(self):
        pa = pytest.importorskip("pyarrow")
        chunked = pa.chunked_array([["20240102", "20240103"], ["20240104"]])
        index = pd.Index(pd.array(chunked, dtype=pd.ArrowDtype(pa.string())))
        tables = _market(index, pd.Index(["a", "b"]))
        wanted = pd.Index(["20240104", "20240102"])
        out = _build_market_arrays(wanted, pd.Index(["b"]), *tables)
        np.testing.assert_array_equal(
            out["close_arr"], tables[4].loc[["20240104", "20240102"], ["b"]].to_numpy()
        )


class TestStorages:
    """Object, python-storage and arrow-storage texts, alone and mixed in one call."""

    @pytest.mark.parametrize("kind", PYTHON_TEXT_DTYPES)
    def test_python_storage_is_read_without_pyarrow(self, kind, monkeypatch):
        # Python-storage arrays offer __arrow_array__ too; calling it would
        # import pyarrow, which a bare install lacks.
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        days = pd.Index(["20240102", "20240103", "20240104"], dtype=kind)
        codes = pd.Index(["000002", "000001"], dtype=kind)
        tables = _market(days, codes)
        wanted_rows, wanted_cols = (
            pd.Index(["20240104", "20240102"], dtype=kind),
            pd.Index(["000001"], dtype=kind),
        )
        out = _build_market_arrays(wanted_rows, wanted_cols, *tables)
        np.testing.assert_array_equal(
            out["close_arr"], _reference(tables[4], wanted_rows, wanted_cols, np.nan)
        )
        assert clean_matrix(tables[4], copy=False).index.tolist() == days.tolist()
        sliced = morvane._backtest_service()._slice_data(
            {"close_price": tables[4]}, "20240103", "20240104"
        )
        assert sliced["close_price"].index.tolist() == ["20240103", "20240104"]

    @settings(max_examples=40, deadline=None)
    @given(
        kinds=st.lists(
            st.sampled_from(TEXT_DTYPES), min_size=len(ORDER) + 2, max_size=len(ORDER) + 2
        ),
        rows=st.permutations(["20240102", "20240103", "20240104", "20240105"]),
    )
    def test_tables_of_one_call_may_each_have_their_own_storage(self, kinds, rows):
        codes = ["000001", "000002", "600000"]
        tables = _market(pd.Index(rows), pd.Index(codes))
        mixed = [
            t.set_axis(pd.Index(rows, dtype=k), axis=0)
            .set_axis(pd.Index(codes[::-1] if i % 2 else codes, dtype=k), axis=1)
            .reindex(columns=pd.Index(codes[::-1] if i % 2 else codes, dtype=k))
            for i, (t, k) in enumerate(zip(tables, kinds, strict=False))
        ]
        wanted_rows = pd.Index(["20240105", "20240102", "20240109"], dtype=kinds[-2])
        wanted_cols = pd.Index(["600000", "000001", "300001"], dtype=kinds[-1])
        out = _build_market_arrays(wanted_rows, wanted_cols, *mixed)
        for key, position, fill in (
            ("close_arr", 4, np.nan),
            ("prev_close_arr", 5, np.nan),
            ("can_buy_arr", 0, False),
            ("cant_sell_arr", 1, True),
        ):
            np.testing.assert_array_equal(
                out[key], _reference(mixed[position], wanted_rows, wanted_cols, fill), err_msg=key
            )


class TestSliceData:
    @pytest.mark.parametrize("kind", TEXT_DTYPES)
    def test_cuts_match_label_comparison(self, kind):
        days = ["20240102", "20240103", "20240105", "20240108"]
        table = pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0]}, index=pd.Index(days, dtype=kind))
        data = {"close_price": table, "benchmark_dict": {"000300": table["a"]}, "meta": 1}
        service = morvane._backtest_service()
        for start, end in [
            ("20240103", "20240105"),
            ("20240104", "20240104"),
            ("20240101", "20241231"),
            ("20240109", "20240110"),
            ("20240105", "20240103"),
        ]:
            sliced = service._slice_data(data, start, end)
            inside = [d for d in days if start <= d <= end]
            assert sliced["close_price"].index.tolist() == inside
            assert sliced["benchmark_dict"]["000300"].index.tolist() == inside
            assert sliced["meta"] == 1
        assert data["close_price"] is table  # the given mapping is untouched

    def test_unordered_labels_are_cut_by_comparison(self):
        table = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["20240105", "20240102", "20240103"])
        sliced = morvane._backtest_service()._slice_data(
            {"close_price": table}, "20240103", "20240105"
        )
        assert sliced["close_price"].index.tolist() == ["20240105", "20240103"]


class TestCleanMatrixWithoutCopy:
    @pytest.mark.parametrize("kind", TEXT_DTYPES)
    def test_a_clean_table_comes_back_as_a_read_only_view(self, kind):
        table = pd.DataFrame(
            np.arange(6.0).reshape(3, 2),
            columns=pd.Index(["000001", "600000"], dtype=kind),
            index=pd.Index(["20240102", "20240103", "20240104"], dtype=kind),
        )
        out = clean_matrix(table, copy=False)
        assert np.shares_memory(out.to_numpy(), table.to_numpy())
        assert not out.to_numpy().flags.writeable
        assert (
            out.index.tolist() == table.index.tolist()
            and out.columns.tolist() == table.columns.tolist()
        )
        pd.testing.assert_frame_equal(
            clean_matrix(table), out, check_index_type=False, check_column_type=False
        )

    @pytest.mark.parametrize(
        "table",
        [
            pd.DataFrame(
                {"000001": [1.0, 2.0]}, index=["20240103", "20240102"]
            ),  # rows out of order
            pd.DataFrame({"000001": [1.0, 2.0]}, index=["20240102", "20240102"]),  # a repeated date
            pd.DataFrame(
                {"000001": [1.0, 2.0]}, index=["2024-01-02", "20240103"]
            ),  # a date to rewrite
            pd.DataFrame({"1": [1.0, 2.0]}, index=["20240102", "20240103"]),  # a code to pad
            pd.DataFrame(
                {"000001.XSHE": [1.0, 2.0]}, index=["20240102", "20240103"]
            ),  # a suffix to drop
            pd.DataFrame({"000001": [1.0, 2.0]}, index=[20240102, 20240103]),  # number dates
        ],
    )
    def test_a_table_cleaning_changes_is_still_copied(self, table):
        out = clean_matrix(table, copy=False)
        assert not np.shares_memory(out.to_numpy(), table.to_numpy())
        pd.testing.assert_frame_equal(out, clean_matrix(table))

    @pytest.mark.parametrize("kind", TEXT_DTYPES)
    def test_text_dates_of_any_kind_are_read_and_reported(self, kind):
        table = pd.DataFrame(
            {"a": [1.0, 2.0]}, index=pd.Index(["2024-01-03", "20240102"], dtype=kind)
        )
        assert clean_matrix(table).index.tolist() == ["20240102", "20240103"]
        bad = pd.DataFrame({"a": [1.0]}, index=pd.Index(["2024-13-01"], dtype=kind))
        with pytest.raises(ValueError, match="行标签 '2024-13-01' 不是有效日期"):
            clean_matrix(bad)

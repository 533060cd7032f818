"""Constants and name/date helpers of morvane.backtest._prepare."""

from __future__ import annotations

from pathlib import Path
from typing import Union

import numpy as np
import pandas as pd
import pytest

from morvane.backtest import _prepare as prepare
from morvane.backtest import _store as store
from store_payloads import BASE_KEYS, COMPONENTS


def test_constants_and_re_exports() -> None:
    assert prepare.FLOAT_STORAGE_DTYPE == "float64" and prepare.BOOL_STORAGE_DTYPE == "bool"
    assert prepare.TAIL_RELOAD_ROWS == 2 and prepare.PREPARED_DATA_VERSION == 1
    assert prepare.COMPONENT_FACTOR_NAMES == COMPONENTS
    assert list(prepare.BENCHMARK_INDEX_CODES.items()) == [
        ("000852", "000852.XSHG"),
        ("000300", "000300.XSHG"),
        ("000905", "000905.XSHG"),
    ]
    assert (
        prepare.BUILD_INPUT_NAMES == prepare.REQUIRED_FACTOR_NAMES + prepare.OPTIONAL_FACTOR_NAMES
    )
    assert len(prepare.BUILD_INPUT_NAMES) == 10
    assert list(prepare.BASE_MATRIX_DTYPE) == BASE_KEYS
    assert {k for k, v in prepare.BASE_MATRIX_DTYPE.items() if v == "bool"} == {
        "can_buy_stock",
        "cant_sell_stock",
    }
    assert prepare.PathLike == Union[str, Path]  # noqa: UP007 - the alias is a typing.Union
    for name in (
        "BinaryPreparedDataStoreBase",
        "clean_matrix",
        "component_dataset_key",
        "normalize_yyyymmdd",
    ):
        assert getattr(prepare, name) is getattr(store, name)
    assert issubclass(prepare.BinaryPreparedDataStore, store.BinaryPreparedDataStoreBase)


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (None, []),
        ("a，b；c;d\n  e  ,   ,f", ["a", "b", "c", "d", "e", "f"]),
        ([" name ", 5, "", None], ["name", "5", "None"]),
        (["x", "x"], ["x", "x"]),
        (("a,b", "c"), ["a,b", "c"]),  # elements of an iterable are not split
    ],
)
def test_parse_name_list(raw: object, expected: list[str]) -> None:
    assert prepare.parse_name_list(raw) == expected


def test_parse_name_list_rejects_non_iterable() -> None:
    with pytest.raises(TypeError, match="raw_values"):
        prepare.parse_name_list(5)


def test_component_names_are_a_fresh_list() -> None:
    first = prepare.get_component_factor_names()
    first.append("junk")
    assert prepare.get_component_factor_names() == COMPONENTS


def test_build_matrix_dtype() -> None:
    full = prepare.build_matrix_dtype()
    assert list(full) == BASE_KEYS + [store.component_dataset_key(n) for n in COMPONENTS]
    assert list(prepare.build_matrix_dtype([])) == BASE_KEYS
    custom = prepare.build_matrix_dtype([" idx.A "])
    assert list(custom)[-1] == "component__idx_a" and custom["component__idx_a"] == "float64"
    with pytest.raises(TypeError, match="component_names"):
        prepare.build_matrix_dtype("idx.A")


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (pd.Series(["2024-01-02", "not a date"], index=[7, 8]), ["20240102", None]),
        # integer dates from CSV readers are YYYYMMDD, not nanoseconds since 1970
        (pd.Series([20240102, 20240103]), ["20240102", "20240103"]),
        ([20240102.0, np.nan], ["20240102", None]),
        (np.array([20240230]), [None]),  # eight digits but no such day
        (["20240105", pd.Timestamp("2024-01-08")], ["20240105", "20240108"]),
    ],
)
def test_series_to_yyyymmdd(values: object, expected: list[str | None]) -> None:
    result = prepare.series_to_yyyymmdd(values)
    got = [None if pd.isna(v) else v for v in result.tolist()]
    assert got == expected
    if isinstance(values, pd.Series):
        assert result.index.equals(values.index)
    else:
        assert list(result.index) == list(range(len(expected)))

"""The incremental write window, payload slicing, and builds over the bundled clients."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import morvane.backtest._prepare as prep
from morvane.backtest._prepare import (
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    build_incremental_write_window,
    payload_slice_from_date,
)
from morvane.clients import LocalFileClient, SyntheticMarketClient
from morvane.exceptions import NetworkError
from morvane.singleton import set_instance

pytestmark = pytest.mark.usefixtures("keep_data_client")


@pytest.fixture(scope="module")
def market() -> SyntheticMarketClient:
    return SyntheticMarketClient(seed=7, n_stocks=400, start_date="20230101", end_date="20230630")


def assert_same_where_close(got: dict, want: dict) -> None:
    close = want["close_price"]
    valid = close.notna()
    for key, expected in want.items():
        if key == "benchmark_dict":
            for code, series in expected.items():
                pd.testing.assert_series_equal(
                    got[key][code], series, check_names=False, check_index_type=False
                )
            continue
        actual = got[key].reindex(index=close.index, columns=close.columns)
        expected = expected.reindex(index=close.index, columns=close.columns)
        a = actual.to_numpy(dtype=float)[valid.to_numpy()]
        e = expected.to_numpy(dtype=float)[valid.to_numpy()]
        np.testing.assert_array_equal(a, e, err_msg=key)


def test_incremental_update_equals_full_build(market, tmp_path):
    set_instance(market)
    store = BinaryPreparedDataStore(tmp_path / "store")
    store.write(GroupPreparedDataBuilder("20230101", "20230428").build())
    index = store.load_metadata()["datasets"]["close_price"]["index"]
    window = build_incremental_write_window(list(index), index[-prep.TAIL_RELOAD_ROWS], "20230630")
    assert store.update_tail(window)
    full = GroupPreparedDataBuilder("20230101", "20230630").build()
    got = store.load(mmap=False)["data"]
    assert set(got) == set(full["data"])
    assert_same_where_close(got, full["data"])


def test_window_boundaries(market, monkeypatch):
    set_instance(market)
    seen = []
    original = GroupPreparedDataBuilder.build_incremental

    def spy(self):
        seen.append(self.default_start)
        return original(self)

    monkeypatch.setattr(GroupPreparedDataBuilder, "build_incremental", spy)
    stored = ["20230103", "20230104", "20230105"]
    # window at the last stored date: read from two stored dates before, whose
    # forward-return ranks look at the window's opens and are rewritten with it
    p = build_incremental_write_window(stored, "20230105", "20230110")
    assert seen[-1] == "20230103" and p["data"]["close_price"].index[0] == "20230105"
    assert p["data"]["forward_return_rank_cache"].index[0] == "20230103"
    meta = p["meta"]
    assert (meta["start_date"], meta["write_start_date"], meta["read_start_date"]) == (
        "20230105",
        "20230105",
        "20230103",
    )
    assert list(meta)[-2:] == ["requested_write_start_date", "write_end_date"]
    assert meta["requested_write_start_date"] == "20230105" and meta["write_end_date"] == "20230110"
    assert p["version"] == 1
    # one stored date before the window: read from it
    p = build_incremental_write_window(stored, "20230104", "20230110")
    assert seen[-1] == "20230103" and p["data"]["forward_return_rank_cache"].index[0] == "20230103"
    assert p["data"]["close_price"].index[0] == "20230104"
    # a window before every stored date: no earlier date to read from
    p = build_incremental_write_window(stored, "20230102", "20230110")
    assert seen[-1] == "20230103" and p["meta"]["read_start_date"] == "20230103"
    assert p["data"]["close_price"].index[0] == "20230103"
    # a window holding no stored date
    p = build_incremental_write_window(stored, "20230109", "20230112")
    assert seen[-1] == "20230104" and p["meta"]["write_start_date"] == "20230109"
    assert p["data"]["close_price"].index[0] == "20230109"
    for series in p["data"]["benchmark_dict"].values():
        assert series.index[0] >= "20230109"


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([], "20230105", "20230110"), ValueError, "close_price 日期索引为空"),
        ((["20230103"], None, "20230110"), ValueError, "不能为空"),
        ((["20230103"], "20230111", "20230110"), ValueError, "晚于"),
        ((["20230104", "20230103"], "20230103", "20230110"), ValueError, "升序"),
        ((["20230103", "20230103"], "20230103", "20230110"), ValueError, "升序"),
        ((["2023-01-03"], "20230103", "20230110"), ValueError, "YYYYMMDD"),
        ((("20230103",), "20230103", "20230110"), TypeError, "base_index"),
        ((["20230103"], 20230103.5, "20230110"), TypeError, "write_start_date"),
    ],
)
def test_window_bad_input(args, error, message):
    with pytest.raises(error, match=message):
        build_incremental_write_window(*args)


def test_payload_slice_copies_and_carries_other_entries():
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["20230103", "20230104", "20230105"])
    payload = {
        "version": 1,
        "meta": {"start_date": "20230103", "x": 1},
        "data": {"close_price": frame, "note": [1, 2], "benchmark_dict": {"000300": frame["a"]}},
        "extra": 5,
    }
    out = payload_slice_from_date(payload, "20230104")
    assert out["data"]["close_price"].index.tolist() == ["20230104", "20230105"]
    assert out["data"]["benchmark_dict"]["000300"].index.tolist() == ["20230104", "20230105"]
    assert out["data"]["note"] is payload["data"]["note"] and out["extra"] == 5
    assert out["meta"] == {
        "start_date": "20230104",
        "x": 1,
        "write_start_date": "20230104",
        "read_start_date": "20230103",
    }
    assert payload["meta"]["start_date"] == "20230103" and len(payload["data"]["close_price"]) == 3
    with pytest.raises(KeyError):
        payload_slice_from_date({"meta": {}}, "20230104")
    with pytest.raises(TypeError, match="payload"):
        payload_slice_from_date([], "20230104")


def test_batched_equals_single_and_batch_failure(market):
    small = SyntheticMarketClient(seed=7, n_stocks=120, start_date="20230101", end_date="20230331")
    set_instance(small)
    b = GroupPreparedDataBuilder("20230201", "20230331")
    single = b._read_source_data(False)
    batched = b._read_source_data(True)
    assert any(len(names) > 1 for kind, names in small.query_log)
    small.fail_batch = True
    failing = b._read_source_data(True)
    for other in (batched, failing):
        for name in single[0]:
            pd.testing.assert_frame_equal(
                other[0][name], single[0][name], check_index_type=False, check_column_type=False
            )
        assert list(other[1]) == list(single[1])
        for name in single[1]:
            pd.testing.assert_frame_equal(other[1][name], single[1][name])
    small.fail_batch = False
    small.fail_factors = {prep.COMPONENT_FACTOR_NAMES[1]}
    with pytest.raises(ValueError, match="000905"):
        b.build()
    # in the batched path the single read of a name the batch left empty is not absorbed
    with pytest.raises(NetworkError):
        b.build_incremental()


def test_wide_answers_give_the_same_payload():
    a = SyntheticMarketClient(seed=2, n_stocks=60, start_date="20230101", end_date="20230228")
    b = SyntheticMarketClient(
        seed=2, n_stocks=60, start_date="20230101", end_date="20230228", wide=True
    )
    set_instance(a)
    long_payload = GroupPreparedDataBuilder("20230103", "20230228").build_incremental()
    set_instance(b)
    wide_payload = GroupPreparedDataBuilder("20230103", "20230228").build_incremental()
    assert_same_where_close(wide_payload["data"], long_payload["data"])


@pytest.mark.parametrize("file_format", ["csv", "parquet"])
def test_local_files_give_the_same_payload(tmp_path, file_format):
    if file_format == "parquet":
        pytest.importorskip("pyarrow")
    client = SyntheticMarketClient(seed=4, n_stocks=50, start_date="20230101", end_date="20230228")
    client.write_files(tmp_path / "files", file_format=file_format)
    set_instance(client)
    want = GroupPreparedDataBuilder("20230103", "20230228").build()
    set_instance(LocalFileClient(tmp_path / "files"))
    got = GroupPreparedDataBuilder("20230103", "20230228").build()
    for key, expected in want["data"].items():
        if key == "benchmark_dict":
            for code, series in expected.items():
                pd.testing.assert_series_equal(
                    got["data"][key][code], series, check_index_type=False
                )
        else:
            pd.testing.assert_frame_equal(
                got["data"][key], expected, check_index_type=False, check_column_type=False
            )


def test_planted_factor_has_its_rank_ic():
    client = SyntheticMarketClient(
        seed=11, n_stocks=800, start_date="20220101", end_date="20221231"
    )
    set_instance(client)
    payload = GroupPreparedDataBuilder("20220104", "20221230").build()
    rank = payload["data"]["forward_return_rank_cache"]
    alpha = client.alpha_matrix().reindex(index=rank.index, columns=rank.columns)
    ic = alpha.rank(axis=1).corrwith(rank, axis=1).dropna()
    assert len(ic) > 200
    assert ic.mean() == pytest.approx(0.05, abs=0.02)

"""The bundled data clients: the synthetic market and the local-file client."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvane.clients import LocalFileClient, SyntheticMarketClient
from morvane.clients.calendar import trading_days
from morvane.exceptions import NetworkError
from store_payloads import COMPONENTS


@pytest.fixture(scope="module")
def client() -> SyntheticMarketClient:
    return SyntheticMarketClient(seed=3, n_stocks=1000, start_date="20220101", end_date="20231231")


def wide(client: SyntheticMarketClient, name: str) -> pd.DataFrame:
    table = client.get_factors(factor=name, start_date=None, end_date=None)
    return table.pivot(index="date", columns="ukey", values="value")


def test_calendar_skips_weekends_and_holidays():
    days = trading_days("20240101", "20241010")
    text = set(days.strftime("%Y%m%d"))
    assert "20240101" not in text and "20240102" in text
    assert not {"20240210", "20240212", "20241001", "20241007"} & text
    assert all(d.weekday() < 5 for d in days)


def test_same_seed_same_tables_other_seed_other_tables():
    a = SyntheticMarketClient(seed=5, n_stocks=50, start_date="20230101", end_date="20230331")
    b = SyntheticMarketClient(seed=5, n_stocks=50, start_date="20230101", end_date="20230331")
    c = SyntheticMarketClient(seed=6, n_stocks=50, start_date="20230101", end_date="20230331")
    query = {
        "factor": ["Close", "rq_get_dividend"],
        "start_date": "2023-01-01",
        "end_date": "2023-03-31",
    }
    pd.testing.assert_frame_equal(a.get_factors(**query), b.get_factors(**query))
    assert not a.get_factors(**query).equals(c.get_factors(**query))


def test_codes_and_shapes(client):
    close = client.get_factors(factor="Close", start_date="2023-03-01", end_date="2023-03-31")
    assert list(close.columns) == ["ukey", "date", "value"]
    assert (
        close["ukey"]
        .str.fullmatch(
            r"(60[0135]|688)\d{3}\.XSHG|(00[0-3]|30[01])\d{3}\.XSHE|"
            r"(430|830|870|920)\d{3}\.BJSE"
        )
        .all()
    )
    assert close["date"].between("2023-03-01", "2023-03-31").all()
    several = client.get_factors(factor=["Close", "no_such_factor"], start_date=None, end_date=None)
    assert set(several["factor"]) == {"Close"}
    assert (
        client.get_factors(factor="Close", start_date="2030-01-01", end_date="2030-02-01") is None
    )


def test_limits_locked_days_and_vwaps(client):
    close = wide(client, "Close")
    up, down = (
        wide(client, "limit_up").reindex_like(close),
        wide(client, "limit_down").reindex_like(close),
    )
    opening = wide(client, "Open")
    buy, sell = wide(client, "tick_vwap_price_935_1005"), wide(client, "tick_vwap_price_925_1000")
    # A listing day without limits has none to respect.
    assert ((close <= up) & (close >= down) | close.isna() | up.isna()).all().all()
    at_up = close == up
    assert at_up.to_numpy().sum() > 0
    locked = at_up & (opening == up)
    touched = at_up & (opening < up)
    assert locked.to_numpy().sum() > 0 and touched.to_numpy().sum() > 0
    assert (buy[locked] == up[locked]).sum().sum() == locked.to_numpy().sum()
    assert ((buy[touched] < up[touched]) | buy[touched].isna()).to_numpy()[touched.to_numpy()].all()
    low, high = np.minimum(opening, close) * 0.99 - 1e-9, np.maximum(opening, close) * 1.01 + 1e-9
    inside = ((sell >= low) & (sell <= high)) | sell.isna()
    assert inside.all().all()
    # The wide limit of the growth boards (ChiNext 300 and 301, STAR 688): +-20%; main boards +-10%.
    prev = close.shift(1)
    ratio = (up / prev).where(wide(client, "rq_get_dividend").isna()).stack()
    board = ratio.index.get_level_values("ukey").str[:3]
    for prefix, limit in [
        ("300", 1.2),
        ("301", 1.2),
        ("688", 1.2),
        ("000", 1.1),
        ("600", 1.1),
        ("603", 1.1),
    ]:
        assert (board == prefix).sum() > 0, prefix
        assert ratio[board == prefix].median() == pytest.approx(limit, abs=0.01), prefix


def test_suspension_carries_the_close_and_has_no_vwap(client):
    flag, close = wide(client, "rq_is_suspended"), wide(client, "Close")
    buy = wide(client, "tick_vwap_price_935_1005").reindex_like(close)
    halted = flag.reindex_like(close) == 1
    assert set(np.unique(flag.stack().dropna())) == {0.0, 1.0}
    assert halted.to_numpy().sum() > 0
    assert buy[halted].isna().all().all()
    carried = (close == close.shift(1))[halted]
    assert carried.to_numpy()[halted.to_numpy()][1:].mean() > 0.99


def test_corporate_actions_in_service_units(client):
    split = client.get_factors(factor="split_coefficient_to", start_date=None, end_date=None)
    dividend = client.get_factors(factor="rq_get_dividend", start_date=None, end_date=None)
    assert set(split["value"]) <= {15.0, 20.0} and len(split) > 0
    assert (dividend["value"] > 0).all() and dividend["date"].dt.month.nunique() >= 8
    # On the ex-date the reference price falls: the limit is sized from it.
    close, up = wide(client, "Close"), wide(client, "limit_up")
    first = split.iloc[0]
    day = close.index.get_loc(first["date"])
    before = close[first["ukey"]].iloc[day - 1]
    assert up[first["ukey"]].iloc[day] < before * 1.2 / (first["value"] / 10) + 0.02


def test_memberships_and_index_returns(client):
    sizes = {name: wide(client, name).sum(axis=1) for name in COMPONENTS}
    expected = {
        COMPONENTS[0]: 60,
        COMPONENTS[1]: 100,
        COMPONENTS[2]: 200,
        COMPONENTS[3]: 400,
        COMPONENTS[4]: 400,
    }
    for name, size in sizes.items():
        assert size.max() <= expected[name] and size.median() > 0.8 * expected[name]
    raw = wide(client, COMPONENTS[0])
    member = raw.fillna(0.0) == 1.0
    # Members keep their seats between the twice-yearly rebalances (a
    # delisting empties a seat at any time, so only stocks listed on both
    # days are compared).
    both_listed = raw.notna() & raw.shift(1).notna()
    changes = ((member != member.shift(1)) & both_listed).any(axis=1).iloc[1:]
    assert set(changes[changes].index.month) <= {6, 12}
    bars = client.get_index_daily(
        ukeys=["000300.XSHG", "000905.XSHG", "000852.XSHG", "999999.XSHG"],
        start_date="20230101",
        end_date="20231231",
    )
    assert set(bars["ukey"]) == {"000300.XSHG", "000905.XSHG", "000852.XSHG"}
    one = bars[bars["ukey"] == "000300.XSHG"].set_index("date")
    np.testing.assert_allclose(
        one["close"].pct_change().iloc[1:], one["daily_return"].iloc[1:], rtol=1e-9
    )
    # The index return is a positive-weight mean of member returns.
    close = wide(client, "Close")
    member_returns = (close / close.shift(1) - 1).where(member.reindex_like(close).fillna(False))
    lo, hi = member_returns.min(axis=1), member_returns.max(axis=1)
    day = one.index[5]
    assert lo[day] - 1e-12 <= one.loc[day, "daily_return"] <= hi[day] + 1e-12


def test_planted_factor_has_the_documented_rank_ic():
    client = SyntheticMarketClient(
        seed=0, n_stocks=1500, start_date="20220101", end_date="20231231"
    )
    opens = wide(client, "Open")
    forward = (opens.shift(-2) / opens.shift(-1) - 1).rank(axis=1)
    alpha = client.alpha_matrix()
    alpha.index = pd.to_datetime(alpha.index)
    alpha.columns = alpha.columns.map({code[:6]: code for code in opens.columns})
    alpha = alpha.reindex_like(opens)
    ic = forward.iloc[:-2].corrwith(alpha.rank(axis=1).iloc[:-2], axis=1)
    assert ic.mean() == pytest.approx(0.05, abs=0.005)


def test_switches_for_missing_data_and_failures():
    client = SyntheticMarketClient(
        seed=1,
        n_stocks=20,
        start_date="20230101",
        end_date="20230131",
        withhold=["rq_is_suspended"],
        fail_batch=True,
        fail_factors=["Open"],
    )
    assert client.get_factors(factor="rq_is_suspended", start_date=None, end_date=None) is None
    with pytest.raises(NetworkError):
        client.get_factors(factor=["Close", "limit_up"], start_date=None, end_date=None)
    with pytest.raises(NetworkError):
        client.get_factors(factor="Open", start_date=None, end_date=None)
    assert client.get_factors(factor="Close", start_date=None, end_date=None) is not None


def test_wide_shape_and_argument_errors():
    client = SyntheticMarketClient(
        seed=1, n_stocks=20, start_date="20230101", end_date="20230131", wide=True
    )
    table = client.get_factors(
        factor=["Close", "Open"], start_date="2023-01-03", end_date="2023-01-10"
    )
    assert list(table.columns) == ["ukey", "date", "Close", "Open"]
    with pytest.raises(TypeError, match="factor"):
        client.get_factors(factor=3, start_date=None, end_date=None)
    with pytest.raises(ValueError, match="start_date"):
        client.get_factors(factor="Close", start_date="2023/01/03", end_date=None)
    with pytest.raises(TypeError, match="n_stocks"):
        SyntheticMarketClient(n_stocks="10")
    with pytest.raises(ValueError, match="交易日"):
        SyntheticMarketClient(start_date="20230107", end_date="20230108")


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    source = SyntheticMarketClient(seed=2, n_stocks=40, start_date="20230101", end_date="20230331")
    return source, LocalFileClient(
        source.write_files(tmp_path_factory.mktemp("csv"), file_format="csv")
    )


class TestLocalFileClient:
    def test_reads_back_what_the_synthetic_client_wrote(self, written):
        source, local = written
        query = {
            "factor": ["Close", "rq_industry_exposure_new"],
            "start_date": "2023-02-01",
            "end_date": "2023-02-28",
        }
        pd.testing.assert_frame_equal(
            local.get_factors(**query), source.get_factors(**query), check_dtype=False
        )
        bars = {"ukeys": ["000300.XSHG"], "start_date": "20230201", "end_date": "20230228"}
        pd.testing.assert_frame_equal(
            local.get_index_daily(**bars), source.get_index_daily(**bars), check_dtype=False
        )

    def test_codes_keep_their_leading_zeros(self, written):
        _, local = written
        table = local.get_factors(factor="Close", start_date=None, end_date=None)
        assert table["ukey"].str.len().eq(11).all()

    def test_wide_files_and_missing_factors(self, tmp_path):
        (tmp_path / "factors").mkdir()
        pd.DataFrame({"ukey": ["000001.XSHE"], "date": ["2024-01-02"], "my_factor": [1.5]}).to_csv(
            tmp_path / "factors" / "my_factor.csv", index=False
        )
        local = LocalFileClient(tmp_path)
        table = local.get_factors(
            factor="my_factor", start_date="2024-01-01", end_date="2024-01-31"
        )
        assert table["value"].tolist() == [1.5] and table["ukey"].tolist() == ["000001.XSHE"]
        assert local.get_factors(factor="absent", start_date=None, end_date=None) is None
        assert local.get_index_daily(ukeys=["000300.XSHG"], start_date=None, end_date=None) is None

    @pytest.mark.parametrize("name", ["../secret", "a/b", "..", "a\\b"])
    def test_names_that_are_not_plain_file_names_are_refused(self, tmp_path, name):
        with pytest.raises(ValueError, match="文件名"):
            LocalFileClient(tmp_path).get_factors(factor=name, start_date=None, end_date=None)

    def test_missing_directory(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            LocalFileClient(tmp_path / "nope")

    def test_parquet_round_trip(self, tmp_path):
        pytest.importorskip("pyarrow")
        source = SyntheticMarketClient(
            seed=2, n_stocks=10, start_date="20230101", end_date="20230131"
        )
        local = LocalFileClient(source.write_files(tmp_path, file_format="parquet"))
        query = {"factor": "Open", "start_date": None, "end_date": None}
        pd.testing.assert_frame_equal(
            local.get_factors(**query), source.get_factors(**query), check_dtype=False
        )

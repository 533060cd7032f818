"""The factor group backtest core: grouping, group returns, rank IC, results and errors."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from morvane.backtest import _core
from morvane.backtest._ravelle import calc_strategy_vwap_daily_return
from morvane.exceptions import MorvaneWarning
from reference.engine import MARKET_KEYS

core = _core.run_alpha_vwap_backtest_core


def random_market(seed: int, n_days: int, n_stocks: int, *, holes: float = 0.1) -> dict:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n_days).strftime("%Y%m%d")
    codes = [f"{600000 + i:06d}" for i in range(n_stocks)]
    shape = (n_days, n_stocks)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    close = 5.0 + 20.0 * rng.random(shape)
    close[rng.random(shape) < holes] = np.nan
    prev = np.vstack([np.full((1, n_stocks), 10.0), close[:-1]])
    return {
        "factor_matrix": frame(
            np.where(rng.random(shape) < holes, np.nan, rng.standard_normal(shape))
        ),
        "close_price_valid": frame(np.where(np.isnan(close), np.nan, 1.0)),
        "can_buy_stock": frame(rng.random(shape) > 0.1),
        "cant_sell_stock": frame(rng.random(shape) < 0.1),
        "split_factor": frame(np.where(rng.random(shape) < 0.03, 2.0, np.nan)),
        "dividend_factor": frame(np.where(rng.random(shape) < 0.03, 0.2, np.nan)),
        "close_price": frame(close),
        "prev_close": frame(prev),
        "buy_price": frame(close * (1 + 0.01 * rng.standard_normal(shape))),
        "sell_price": frame(close * (1 + 0.01 * rng.standard_normal(shape))),
        "open_price": frame(close * (1 + 0.01 * rng.standard_normal(shape))),
    }


def group_weights(group_matrix: pd.DataFrame, group: int) -> pd.DataFrame:
    member = group_matrix.eq(group)
    return member.astype(float).where(member).div(member.sum(axis=1), axis=0)


def engine_returns(market: dict, weights: pd.DataFrame, **money) -> pd.Series:
    return calc_strategy_vwap_daily_return(weights, *(market[k] for k in MARKET_KEYS), **money)


@pytest.fixture(autouse=True)
def default_threads():
    yield
    _core._set_thread_count(0)


# ---------------------------------------------------------------- hand-computed case


def hand_market() -> dict:
    """6 stocks, 4 days; E (the 5th) and F (the 6th) form group 3 of 3."""
    dates = ["20240102", "20240103", "20240104", "20240105"]
    codes = list("ABCDEF")

    def full(value, dtype=float):
        return pd.DataFrame(value, index=dates, columns=codes, dtype=dtype)

    m = {
        "factor_matrix": pd.DataFrame([[1.0, 2, 3, 4, 5, 6]] * 4, index=dates, columns=codes),
        "close_price_valid": full(1.0),
        "can_buy_stock": full(True, bool),
        "cant_sell_stock": full(False, bool),
        "split_factor": full(np.nan),
        "dividend_factor": full(np.nan),
        "close_price": full(10.0),
        "prev_close": full(10.0),
        "buy_price": full(10.0),
        "sell_price": full(10.0),
    }
    m["prev_close"].loc["20240103", "E"] = 12.0  # 5e5 / (12 * 200) = 208.33 lots -> 208
    m["buy_price"].loc["20240103", "E"] = 12.0
    m["close_price"].loc["20240103", "E"] = 12.6
    m["can_buy_stock"].loc["20240103", "F"] = False  # F's first buy is blocked
    m["split_factor"].loc["20240104", "E"] = 2.0
    m["close_price"].loc["20240104", "E"] = 5.2
    m["dividend_factor"].loc["20240104", "E"] = 0.1
    return m


def test_hand_computed_group_returns_and_the_ascending_flip():
    fee = 1e-4
    m = hand_market()
    res = core(**m, group_num=3, total_money=1e6, fee=fee, rule_fee=5e-4)
    assert list(res.group_daily_return.columns) == [1, 2, 3]
    assert list(res.group_daily_return.index) == ["20240103", "20240104", "20240105"]
    e_shares = 208 * 200
    f_shares = 250 * 200  # 5e5 / (10 * 200), bought a day late
    day1 = e_shares * (12.6 - 12.0 * (1 + fee))
    # Day 2: E splits 2-for-1 and pays 0.1 a share; its target is resized from
    # prev close 10 to 250 lots, so 8,400 shares are bought at the pre-split
    # VWAP and valued at the post-split close. F is bought at last.
    day2 = (
        e_shares * (2.0 * 5.2 - 10.0)
        + e_shares * 0.1
        + (250 * 200 - e_shares) * (5.2 - 10.0 * (1 + fee))
        + f_shares * (10.0 - 10.0 * (1 + fee))
    )
    day3 = 0.0  # both held at flat prices, targets met
    np.testing.assert_allclose(
        res.group_daily_return[3].to_numpy(), np.array([day1, day2, day3]) / 1e6, rtol=1e-12
    )
    np.testing.assert_allclose(
        res.group_cumulative_return[3].to_numpy(),
        1 + np.cumsum(np.array([day1, day2, day3]) / 1e6),
        rtol=1e-12,
    )
    assert res.group_matrix.loc["20240102"].tolist() == [1, 1, 2, 2, 3, 3]
    assert res.best_group == 3.0

    flipped = core(**m, group_num=3, total_money=1e6, fee=fee, rule_fee=5e-4, ascending=True)
    assert flipped.group_matrix.loc["20240102"].tolist() == [3, 3, 2, 2, 1, 1]
    pd.testing.assert_series_equal(
        flipped.group_daily_return[1], res.group_daily_return[3], check_names=False
    )
    assert flipped.best_group == 1.0


# ---------------------------------------------------------------- property: engine agreement


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 10_000),
    n_days=st.integers(2, 12),
    n_stocks=st.integers(1, 14),
    groups=st.integers(2, 5),
    ascending=st.booleans(),
    holes=st.sampled_from([0.0, 0.2, 0.5]),
)
@pytest.mark.filterwarnings(
    "ignore::morvane.exceptions.MorvaneWarning"
)  # small markets: short days
def test_groups_trade_like_the_strategy_engine(seed, n_days, n_stocks, groups, ascending, holes):
    m = random_market(seed, n_days, n_stocks, holes=holes)
    before = {k: v.copy() for k, v in m.items()}
    money = dict(total_money=3e6, fee=2e-4, rule_fee=1e-3)
    _core._set_thread_count(1)
    one = core(**m, group_num=groups, ascending=ascending, **money)
    _core._set_thread_count(4)
    four = core(**m, group_num=groups, ascending=ascending, **money)
    for name in ("group_daily_return", "group_cumulative_return", "rank_ic", "group_matrix"):
        pd.testing.assert_frame_equal(getattr(one, name), getattr(four, name))
    for key, table in m.items():
        pd.testing.assert_frame_equal(table, before[key])
    daily = one.group_daily_return
    assert list(daily.columns) == list(range(1, groups + 1))
    for g in daily.columns:
        ref = engine_returns(m, group_weights(one.group_matrix, g), **money)
        if daily.empty:  # groups on fewer than two days: nothing traded and kept
            continue
        ref = ref[ref.index <= daily.index[-1]]
        assert list(ref.index) == list(daily.index)
        np.testing.assert_allclose(daily[g].to_numpy(), ref.to_numpy(), rtol=0, atol=1e-12)


@pytest.mark.parametrize("forward", ["open_price", "forward_return_rank_cache"])
def test_memory_layout_and_in_place_reads_change_no_result(forward):
    # Enough days and stocks for several pool blocks, day tiles and stock blocks.
    m = random_market(11, 150, 300)
    rng = np.random.default_rng(5)
    m["industry_matrix"] = m["close_price"] * 0 + rng.integers(0, 8, (150, 300))
    if forward == "forward_return_rank_cache":
        opens = m.pop("open_price")
        m[forward] = (opens.shift(-2) / opens.shift(-1) - 1).rank(axis=1)
    expected = core(**m, group_num=6)

    def column_major(table):
        return pd.DataFrame(
            np.asfortranarray(table.to_numpy()), index=table.index, columns=table.columns
        )

    factor = m["factor_matrix"]
    # A factor read in place: extra stocks beside the market's, a missing date, an extra one.
    wide = pd.concat([factor, factor.iloc[:, :5].add_suffix("x")], axis=1).drop(
        index=factor.index[3]
    )
    wide.loc["29991231"] = 1.0
    variants = {
        "column-major": {k: column_major(v) for k, v in m.items()},
        "wider factor": dict(m, factor_matrix=wide),
        "column-major wider factor": dict(m, factor_matrix=column_major(wide)),
    }
    for name, inputs in variants.items():
        for threads in (1, 3):
            _core._set_thread_count(threads)
            got = core(**inputs, group_num=6)
            if name == "column-major":
                frames = (
                    "group_daily_return",
                    "group_cumulative_return",
                    "rank_ic",
                    "group_matrix",
                )
            else:  # the dropped date forms no groups: compare the other dates' groups
                frames = ()
                kept = factor.index.drop(factor.index[3])
                assert got.group_matrix.iloc[3].isna().all()
                pd.testing.assert_frame_equal(
                    got.group_matrix.loc[kept], expected.group_matrix.loc[kept]
                )
                pd.testing.assert_frame_equal(
                    got.rank_ic, expected.rank_ic.drop(index=factor.index[3])
                )
            for frame in frames:
                pd.testing.assert_frame_equal(
                    getattr(got, frame),
                    getattr(expected, frame),
                    check_exact=True,
                    obj=f"{name}, {threads} threads, {frame}",
                )


# ---------------------------------------------------------------- grouping


def test_grouping_sizes_ties_small_days_and_the_universe_mask():
    m = random_market(3, 6, 10, holes=0.0)
    factor = m["factor_matrix"]
    factor.iloc[1] = 1.0  # all tied: column order decides
    factor.iloc[2, :8] = np.nan  # 2 eligible stocks < 3 groups
    m["close_price_valid"].iloc[3, :4] = np.nan  # outside the universe
    with pytest.warns(
        MorvaneWarning, match=r"有 1 个交易日可分组的股票少于分组数 group_num=3 \(最少 2 只\)"
    ):
        res = core(**m, group_num=3)
    g = res.group_matrix
    sizes = g.apply(lambda row: row.value_counts(), axis=1)
    full_days = sizes.dropna(how="all")
    assert (full_days.max(axis=1) - full_days.min(axis=1)).le(1).all()
    assert g.iloc[1].tolist() == [1, 1, 1, 1, 2, 2, 2, 3, 3, 3]
    assert g.iloc[2].isna().all()
    assert g.iloc[3, :4].isna().all() and g.iloc[3, 4:].notna().all()
    row0 = factor.iloc[0]
    assert row0[g.iloc[0] == 3].min() >= row0[g.iloc[0] == 2].max()


def test_no_common_data_gives_the_empty_result(tmp_path):
    m = random_market(1, 5, 4)
    m["factor_matrix"].index = [f"1999010{i}" for i in range(5)]
    with pytest.warns(
        MorvaneWarning, match="因子与行情没有可分组的股票日 \\(因子 19990100 至 19990104, 行情 "
    ):
        res = core(
            **m,
            group_num=4,
            benchmark_dict={"000852": pd.Series([0.01] * 5, index=m["close_price"].index)},
            plot_save_path=tmp_path / "x.png",
        )
    assert res.group_daily_return.empty and list(res.group_daily_return.columns) == [1, 2, 3, 4]
    assert res.group_cumulative_return.empty
    assert np.isnan(res.best_group) and res.benchmark_summary().empty and res.plot_paths == {}
    assert res.rank_ic.empty and res.group_matrix.isna().all().all()
    assert not list(tmp_path.iterdir())


# ---------------------------------------------------------------- rank IC


def pandas_ic(factor: pd.DataFrame, forward: pd.DataFrame, mask: pd.DataFrame) -> pd.Series:
    out = {}
    for day in factor.index:
        f = factor.loc[day].where(mask.loc[day].notna())
        pair = pd.concat([f, forward.loc[day]], axis=1).replace([np.inf, -np.inf], np.nan).dropna()
        # Spearman: Pearson of average ranks (pandas would need scipy for it).
        ranks = pair.rank()
        out[day] = ranks.iloc[:, 0].corr(ranks.iloc[:, 1]) if len(pair) >= 3 else np.nan
    return pd.Series(out)


def test_rank_ic_matches_pandas_and_a_market_ranked_cache_gives_the_universe_ic():
    m = random_market(7, 30, 25)
    opens = m["open_price"]
    forward = opens.shift(-2) / opens.shift(-1) - 1
    universe = m["close_price_valid"].copy()
    universe.iloc[:, ::2] = np.nan
    m["close_price_valid"] = universe
    expected = pandas_ic(m["factor_matrix"], forward, universe)
    from_open = core(**m, group_num=3).rank_ic["rank_ic"]
    cache = forward.replace([np.inf, -np.inf], np.nan).rank(axis=1)  # ranked over the whole market
    from_cache = core(**m, group_num=3, forward_return_rank_cache=cache).rank_ic["rank_ic"]
    np.testing.assert_allclose(from_open.to_numpy(), expected.to_numpy(), atol=1e-12)
    np.testing.assert_allclose(from_cache.to_numpy(), expected.to_numpy(), atol=1e-12)
    assert from_open.notna().sum() > 20


def test_ic_edge_cases_perfect_factor_last_day_and_constant_industries():
    m = random_market(11, 20, 12, holes=0.0)
    opens = m.pop("open_price")
    forward = opens.shift(-2) / opens.shift(-1) - 1
    perfect = core(**{**m, "factor_matrix": forward}, group_num=3, open_price=opens).rank_ic
    np.testing.assert_allclose(perfect["rank_ic"].dropna().to_numpy(), 1.0, atol=1e-12)
    assert perfect["rank_ic"].iloc[-2:].isna().all()  # no forward return yet

    base = core(**m, group_num=3)
    changed = m["factor_matrix"].copy()
    changed.iloc[-1] = -changed.iloc[-1]
    later = core(**{**m, "factor_matrix": changed}, group_num=3)
    pd.testing.assert_frame_equal(base.group_daily_return, later.group_daily_return)

    industry = pd.DataFrame(
        np.tile(np.arange(12) % 3, (20, 1)).astype(float),
        index=m["close_price"].index,
        columns=m["close_price"].columns,
    )
    by_industry = industry * 0.1 + 0.3  # constant within each industry
    res = core(
        **{**m, "factor_matrix": by_industry},
        group_num=3,
        industry_matrix=industry,
        open_price=opens,
    )
    assert list(res.rank_ic.columns) == ["rank_ic", "industry_neutral_rank_ic"]
    assert res.rank_ic["industry_neutral_rank_ic"].isna().all()
    assert core(**m, group_num=3).rank_ic.empty  # neither a cache nor open prices


def test_rolling_window_smooths_like_pandas():
    m = random_market(5, 15, 8, holes=0.1)
    smooth = m["factor_matrix"].rolling(3).mean()
    a = core(**m, group_num=2, rolling_window=3)
    b = core(**{**m, "factor_matrix": smooth}, group_num=2)
    pd.testing.assert_frame_equal(a.group_matrix, b.group_matrix)
    pd.testing.assert_frame_equal(
        core(**m, group_num=2, rolling_window=1).group_matrix, core(**m, group_num=2).group_matrix
    )


# ---------------------------------------------------------------- benchmarks and charts


def benchmarks(index) -> dict:
    rng = np.random.default_rng(2)
    return {
        code: pd.Series(rng.normal(0, 0.01, len(index)), index=index)
        for code in ("000852", "000300", "000905")
    }


def test_benchmark_name_forms_and_summary():
    m = random_market(9, 25, 12, holes=0.0)
    bm = benchmarks(m["close_price"].index)

    def names(res):
        return res.benchmark_summary()["benchmark_name"].tolist()

    assert names(core(**m, group_num=3, benchmark_dict=bm, benchmark_names="all")) == [
        "000852",
        "000300",
        "000905",
    ]
    assert names(core(**m, group_num=3, benchmark_dict=bm, benchmark_names=None)) == [
        "000852",
        "000300",
        "000905",
    ]
    assert names(core(**m, group_num=3, benchmark_dict=bm, benchmark_names="000300")) == ["000300"]
    res = core(**m, group_num=3, benchmark_dict=bm, benchmark_names=["000905", "000300", "000905"])
    summary = res.benchmark_summary()
    assert summary["benchmark_name"].tolist() == ["000905", "000300"]
    assert list(summary.columns) == [
        "best_group",
        "benchmark_name",
        "benchmark_annual_return",
        "excess_annual_return",
        "excess_sharpe",
        "excess_max_dd",
    ]
    best = res.group_daily_return[int(res.best_group)]
    excess = best - bm["000905"].reindex(best.index)
    assert summary["best_group"].iloc[0] == res.best_group
    assert summary["excess_annual_return"].iloc[0] == pytest.approx(excess.mean() * 252, rel=1e-12)
    assert summary["excess_max_dd"].iloc[0] <= 0
    summary.iloc[0, 0] = -5
    assert res.benchmark_summary()["best_group"].iloc[0] == res.best_group  # a copy each call
    far = {"000852": pd.Series([0.01], index=["19990104"])}
    assert core(**m, group_num=3, benchmark_dict=far).benchmark_summary().empty
    with pytest.raises(ValueError, match="000001.*000852"):
        core(**m, group_num=3, benchmark_dict=bm, benchmark_names="000001")


@pytest.mark.parametrize("kind", ["long", "large"])
def test_charts_file_names_and_plot_paths(tmp_path, kind):
    m = random_market(4, 30, 12, holes=0.0)
    bm = benchmarks(m["close_price"].index)
    one = core(
        **m,
        group_num=3,
        benchmark_dict=bm,
        benchmark_names="000300",
        plot_image_kind=kind,
        plot_save_path=str(tmp_path / "new" / "alpha.png"),
    )
    assert one.plot_paths == {"000300": {"primary": str(tmp_path / "new" / "alpha.png")}}
    several = core(
        **m,
        group_num=3,
        benchmark_dict=bm,
        benchmark_names=["000852", "000905"],
        plot_image_kind=kind,
        plot_save_path=tmp_path / "f.png",
        factor_name="alpha1",
    )
    assert several.plot_paths == {
        c: {"primary": str(tmp_path / f"f_{c}.png")} for c in ("000852", "000905")
    }
    none = core(**m, group_num=3, plot_image_kind=kind, plot_save_path=tmp_path / "solo.png")
    assert none.plot_paths == {"factor": {"primary": str(tmp_path / "solo.png")}}
    for res in (one, several, none):
        for files in res.plot_paths.values():
            with open(files["primary"], "rb") as fh:
                assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
    assert core(**m, group_num=3, plot_image_kind=kind).plot_paths == {}


# ---------------------------------------------------------------- bad input


def test_bad_arguments_are_rejected_before_any_work(tmp_path):
    m = random_market(2, 6, 6)
    for groups in (1, 101):
        with pytest.raises(ValueError, match=r"group_num 取值范围 \[2, 100\]"):
            core(**m, group_num=groups)
    with pytest.warns(
        MorvaneWarning, match="每个交易日可分组的股票都少于分组数 group_num=100 \\(最多 6 只\\)"
    ):
        assert list(core(**m, group_num=100.0).group_daily_return.columns)[-1] == 100
    for name, value in [
        ("total_money", 0.0),
        ("total_money", float("inf")),
        ("fee", float("nan")),
        ("fee", -1e-4),
        ("rule_fee", 1.0),
        ("rolling_window", -1),
    ]:
        with pytest.raises(ValueError, match=name):
            core(**m, **{name: value})
    with pytest.raises(ValueError, match="plot_image_kind"):
        core(**m, plot_image_kind="wide", plot_save_path=tmp_path / "x.png")
    with pytest.raises(TypeError, match="close_price"):
        core(**{**m, "close_price": m["close_price"].to_numpy()})
    with pytest.raises(TypeError, match="benchmark_dict"):
        core(**m, benchmark_dict=[1])
    text = m["factor_matrix"].astype(object)
    text.iloc[0, 2] = "high"
    with pytest.raises(ValueError, match=m["factor_matrix"].columns[2]):
        core(**{**m, "factor_matrix": text})
    assert not list(tmp_path.iterdir())


# ---------------------------------------------------------------- synthetic market


def test_planted_factor_on_the_synthetic_market_has_its_rank_ic():
    from morvane.clients import SyntheticMarketClient

    client = SyntheticMarketClient(seed=1, n_stocks=600, start_date="20220104", end_date="20221230")
    w = client.world

    def cents(values):
        return w.frame(values / 100.0)

    close = cents(w.close_c).where(w.frame(w.listed))
    opens = cents(w.open_c).where(w.frame(w.listed))
    limit_up, limit_down = cents(w.limit_up_c), cents(w.limit_down_c)
    buy, sell = w.frame(w.vwap_buy), w.frame(w.vwap_sell)
    suspended = w.frame(w.suspended)
    market = {
        "close_price_valid": close.notna().astype(float).where(close.notna()),
        "can_buy_stock": (buy != limit_up) & ~suspended & buy.notna(),
        "cant_sell_stock": (sell == limit_down) | suspended | sell.isna(),
        "split_factor": w.frame(w.split_to / 10.0),
        "dividend_factor": w.frame(w.dividend / 10.0 * 0.9),
        "close_price": close,
        "prev_close": close.shift(1),
        "buy_price": buy,
        "sell_price": sell,
    }
    cache = (opens.shift(-2) / opens.shift(-1) - 1).replace([np.inf, -np.inf], np.nan).rank(axis=1)
    res = core(
        factor_matrix=w.frame(w.alpha),
        **market,
        forward_return_rank_cache=cache,
        industry_matrix=w.frame(w.industry.astype(float)),
        group_num=5,
    )
    assert 0.02 < res.rank_ic["rank_ic"].mean() < 0.09
    means = res.group_daily_return.mean()
    assert means[5] > means[1]  # the planted factor sorts the groups

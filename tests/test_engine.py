"""The strategy daily return engine against hand-computed days and the numpy transcription."""

from __future__ import annotations

import copy
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import flat_market
from morvane.backtest._ravelle import _smooth_strategy_weights, calc_strategy_vwap_daily_return
from reference.engine import reference_daily_return

FEE, RULE_FEE = 1e-4, 5e-4


def run(weights: pd.DataFrame, market: dict[str, pd.DataFrame], **params: object) -> pd.Series:
    return calc_strategy_vwap_daily_return(weights, **market, **params)


def weights_of(dates: list[str], rows: list[list[float]], codes: list[str]) -> pd.DataFrame:
    return pd.DataFrame(rows, index=dates[: len(rows)], columns=codes, dtype=float)


class TestHandComputedDays:
    def test_single_row_gives_empty_float_series(self, dates):
        market = flat_market(dates, ["000001"])
        out = run(weights_of(dates, [[0.5]], ["000001"]), market)
        assert out.empty and out.dtype == np.float64

    def test_lot_sized_target_of_one_percent(self, dates):
        market = flat_market(dates, ["000001"], close=11.0)
        out = run(weights_of(dates, [[0.01], [0.01]], ["000001"]), market)
        # floor(1e6 / (10 * 200)) * 200 = 100000 shares bought at 10 with
        # commission and valued at the close of 11.
        assert out.index.tolist() == ["20240103"]
        assert out.iloc[0] == pytest.approx(100_000 * (11.0 - 10.0 * (1 + FEE)) / 1e8, rel=1e-14)

    def test_fraction_of_a_lot_rounds_down(self, dates):
        market = flat_market(dates, ["000001"], close=11.0)
        weight = 1.9 * 2000 / 1e8  # 1.9 lots at a previous close of 10
        out = run(weights_of(dates, [[weight], [weight]], ["000001"]), market)
        assert out.iloc[0] == pytest.approx(200 * (11.0 - 10.0 * (1 + FEE)) / 1e8, rel=1e-14)

    def test_blocked_buy_is_retried_next_day(self, dates):
        market = flat_market(dates, ["000001"], close=11.0)
        market["can_buy_stock"].loc["20240103", "000001"] = False
        out = run(weights_of(dates, [[0.01]] * 3, ["000001"]), market)
        buy_day = 100_000 * (11.0 - 10.0 * (1 + FEE)) / 1e8
        assert out.tolist() == pytest.approx([0.0, buy_day], rel=1e-14)

    def test_unsellable_holding_keeps_earning(self, dates):
        market = flat_market(dates, ["000001"], close=11.0, prev_close=10.0)
        market["cant_sell_stock"].loc["20240104", "000001"] = True
        market["dividend_factor"].loc["20240104", "000001"] = 0.5
        # Bought on the 3rd, told to sell on the 4th but blocked: still held.
        out = run(weights_of(dates, [[0.01], [np.nan], [np.nan]], ["000001"]), market)
        assert out.loc["20240104"] == pytest.approx(100_000 * (11.0 - 10.0 + 0.5) / 1e8, rel=1e-14)

    def test_split_is_valued_once_and_shares_stay(self, dates):
        market = flat_market(dates, ["000001"])
        market["split_factor"].loc["20240104", "000001"] = 2.0
        market["close_price"].loc["20240104", "000001"] = 5.5
        market["prev_close"].loc["20240105", "000001"] = 5.0
        market["close_price"].loc["20240105", "000001"] = 5.5
        out = run(weights_of(dates, [[0.01]] * 4, ["000001"]), market)
        # Day 4: 100000 old shares are worth 2 x 5.5 against 10.
        assert out.loc["20240104"] == pytest.approx(100_000 * (2 * 5.5 - 10.0) / 1e8, rel=1e-14)
        # Day 5: the target is re-sized at the new close of 5 (200000 shares),
        # but the 100000 carried shares were not rescaled, so 100000 are bought.
        expected = 100_000 * (5.5 - 5.0) + 100_000 * (5.5 - 10.0 * (1 + FEE))
        assert out.loc["20240105"] == pytest.approx(expected / 1e8, rel=1e-14)

    def test_nan_buy_price_adds_shares_without_buy_profit(self, dates):
        market = flat_market(dates, ["000001"], close=11.0, prev_close=10.0)
        market["buy_price"].loc["20240103", "000001"] = np.nan
        out = run(weights_of(dates, [[0.01]] * 3, ["000001"]), market)
        assert out.tolist() == [0.0, pytest.approx(100_000 * 1.0 / 1e8, rel=1e-14)]

    def test_negative_weight_is_a_short_rounded_away_from_zero(self, dates):
        market = flat_market(dates, ["000001"], close=9.0)
        weight = -1.5 * 2000 / 1e8
        out = run(weights_of(dates, [[weight]] * 3, ["000001"]), market)
        # floor(-1.5) = -2 lots: a sale of 400 shares that leaves -400 held,
        # so the day earns the net sale and the short's move to the close.
        day_one = 400 * (10.0 * (1 - FEE - RULE_FEE) - 10.0) - 400 * (9.0 - 10.0)
        assert out.iloc[0] == pytest.approx(day_one / 1e8)
        assert out.iloc[1] == pytest.approx(-400 * (9.0 - 10.0) / 1e8)

    def test_nan_weight_sells_that_stock_only(self, dates):
        codes = ["000001", "000002"]
        market = flat_market(dates, codes, close=10.0, sell=12.0)
        out = run(weights_of(dates, [[0.01, 0.01], [0.01, np.nan], [0.01, np.nan]], codes), market)
        day = out.loc["20240104"]
        assert day == pytest.approx(100_000 * (12.0 * (1 - FEE - RULE_FEE) - 10.0) / 1e8)

    def test_empty_weight_row_after_the_first_is_valued(self, dates):
        market = flat_market(dates, ["000001"], close=10.0, sell=11.0)
        rows = [[np.nan], [0.01], [np.nan], [np.nan]]
        out = run(weights_of(dates, rows, ["000001"]), market)
        # Leading empty rows are dropped, the later empty row sells everything.
        assert out.index.tolist() == ["20240104", "20240105"]
        assert out.loc["20240105"] == pytest.approx(
            100_000 * (11.0 * (1 - FEE - RULE_FEE) - 10.0) / 1e8
        )

    def test_all_missing_weights_give_empty_series(self, dates):
        market = flat_market(dates, ["000001"])
        out = run(weights_of(dates, [[np.nan]] * 4, ["000001"]), market)
        assert out.empty and out.dtype == np.float64

    def test_stocks_missing_from_the_market_are_never_traded(self, dates):
        market = flat_market(dates, ["000001"], close=11.0)
        weights = weights_of(dates, [[0.01, 0.01]] * 2, ["000001", "999999"])
        out = run(weights, market)
        assert out.iloc[0] == pytest.approx(100_000 * (11.0 - 10.0 * (1 + FEE)) / 1e8)


class TestParameters:
    def test_parameters_by_position_and_conversion(self, dates):
        market = flat_market(dates, ["000001"], close=11.0)
        weights = weights_of(dates, [[0.01]] * 2, ["000001"])
        by_keyword = run(weights, market, total_money=1e8, fee=0, rule_fee=0, lot_size=100)
        by_position = calc_strategy_vwap_daily_return(
            weights, *market.values(), np.int64(100_000_000), 0, False, 100.9
        )
        assert by_position.equals(by_keyword)
        assert by_keyword.iloc[0] == pytest.approx(100_000 * 1.0 / 1e8)

    @pytest.mark.parametrize(
        ("name", "value"), [("lot_size", "200"), ("total_money", None), ("fee", "0.1")]
    )
    def test_non_numeric_parameter_is_a_type_error(self, dates, name, value):
        market = flat_market(dates, ["000001"])
        with pytest.raises(TypeError, match=name):
            run(weights_of(dates, [[0.01]] * 2, ["000001"]), market, **{name: value})

    @pytest.mark.parametrize(
        ("name", "value"),
        [
            ("total_money", 0.0),
            ("total_money", float("nan")),
            ("fee", 1.0),
            ("rule_fee", -0.1),
            ("lot_size", 0),
        ],
    )
    def test_out_of_range_parameter_is_a_value_error(self, dates, name, value):
        market = flat_market(dates, ["000001"])
        with pytest.raises(ValueError, match=name):
            run(weights_of(dates, [[0.01]] * 2, ["000001"]), market, **{name: value})

    @pytest.mark.parametrize("name", ["signal_matrix", "close_price", "sell_price"])
    def test_matrix_that_is_not_a_dataframe(self, dates, name):
        market = flat_market(dates, ["000001"])
        args = {"signal_matrix": weights_of(dates, [[0.01]] * 2, ["000001"]), **market}
        args[name] = args[name].to_numpy()
        with pytest.raises(TypeError, match=rf"{name}.*DataFrame.*ndarray"):
            calc_strategy_vwap_daily_return(**args)

    def test_text_weights_are_a_value_error_naming_the_column(self, dates):
        market = flat_market(dates, ["000001"])
        weights = pd.DataFrame({"000001": ["0.1", "x"]}, index=dates[:2])
        with pytest.raises(ValueError, match="000001"):
            run(weights, market)

    def test_duplicate_market_labels_are_a_value_error(self, dates):
        market = flat_market(dates, ["000001"])
        market["close_price"] = pd.concat([market["close_price"]] * 2, axis=1)
        with pytest.raises(ValueError, match="close_price"):
            run(weights_of(dates, [[0.01]] * 2, ["000001"]), market)


class TestSmoothing:
    def test_window_of_one_or_less_returns_the_same_table(self, dates):
        weights = weights_of(dates, [[0.1]] * 3, ["000001"])
        assert _smooth_strategy_weights(weights, 0) is weights
        assert _smooth_strategy_weights(weights, 1.0) is weights

    def test_window_of_three(self, dates):
        weights = weights_of(dates, [[0.3, 0.3], [np.nan, 0.0], [0.3, 0.0], [0.0, 0.0]], ["a", "b"])
        out = _smooth_strategy_weights(weights, 3)
        assert out.index.tolist() == dates[2:4]
        assert out["a"].tolist() == pytest.approx([0.2, 0.1])
        assert out.loc["20240104", "b"] == pytest.approx(0.1)
        assert np.isnan(out.loc["20240105", "b"])

    def test_window_must_be_a_number(self, dates):
        with pytest.raises(TypeError, match="rolling_window"):
            _smooth_strategy_weights(weights_of(dates, [[0.1]], ["a"]), "3")


# --- property test against the numpy transcription -------------------------

CODES = [f"{k:06d}" for k in range(1, 8)]
DATES = [f"202401{d:02d}" for d in range(2, 14)]


@st.composite
def random_case(draw) -> tuple[pd.DataFrame, dict[str, pd.DataFrame]]:
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    n_days = draw(st.integers(1, len(DATES)))
    n_codes = draw(st.integers(1, len(CODES)))
    dates, codes = DATES[:n_days], CODES[:n_codes]

    def holes(values: np.ndarray, rate: float) -> np.ndarray:
        return np.where(rng.random(values.shape) < rate, np.nan, values)

    shape = (n_days, n_codes)
    weights = holes(rng.normal(0.02, 0.05, shape), draw(st.sampled_from([0.0, 0.2, 0.6])))
    if draw(st.booleans()):
        weights[rng.integers(0, n_days)] = np.nan  # a whole empty day
    prev = holes(rng.uniform(-1.0, 30.0, shape), 0.1)  # some non-positive closes
    market = {
        "can_buy_stock": pd.DataFrame(rng.random(shape) < 0.8, dates, codes),
        "cant_sell_stock": pd.DataFrame(rng.random(shape) < 0.2, dates, codes),
        "split_factor": pd.DataFrame(holes(rng.choice([1.5, 2.0], shape), 0.9), dates, codes),
        "dividend_factor": pd.DataFrame(holes(rng.uniform(0, 1, shape), 0.8), dates, codes),
        "close_price": pd.DataFrame(holes(prev * rng.uniform(0.9, 1.1, shape), 0.1), dates, codes),
        "prev_close": pd.DataFrame(prev, dates, codes),
        "buy_price": pd.DataFrame(holes(prev * rng.uniform(0.9, 1.1, shape), 0.1), dates, codes),
        "sell_price": pd.DataFrame(holes(prev * rng.uniform(0.9, 1.1, shape), 0.1), dates, codes),
    }
    # Market tables need not match the weights: shuffle, drop and add labels.
    for key, table in market.items():
        table = table.sample(frac=1.0, random_state=int(rng.integers(1 << 31)))
        table = table[list(rng.permutation(table.columns))]
        if draw(st.booleans()) and n_codes > 1:
            table = table.drop(columns=table.columns[0])
        if draw(st.booleans()):
            table["999999"] = table.iloc[:, 0] if len(table.columns) else 1.0
        market[key] = table
    return pd.DataFrame(weights, dates, codes), market


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    case=random_case(),
    lot_size=st.sampled_from([1, 100, 200]),
    fee=st.sampled_from([0.0, 1e-4, 3e-3]),
)
def test_matches_numpy_transcription(case, lot_size, fee):
    weights, market = case
    kwargs = {"total_money": 1e7, "fee": fee, "rule_fee": 5e-4, "lot_size": lot_size}
    expected = reference_daily_return(weights, **market, **kwargs)
    got = run(weights, market, **kwargs)
    assert got.index.equals(expected.index)
    assert got.dtype == np.float64 and got.name is None
    # Summation order differs from numpy's dot products, so allow rounding of
    # the order of the gross daily turnover.
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-13)


def test_inputs_are_left_unchanged(dates):
    rng = np.random.default_rng(1)
    codes = ["000001", "000002", "000003"]
    market = flat_market(dates, codes)
    market["close_price"] *= rng.uniform(0.9, 1.1, (len(dates), 3))
    weights = pd.DataFrame(rng.uniform(0, 0.1, (5, 3)), index=dates, columns=codes)
    weights.iloc[2, 1] = np.nan
    before = copy.deepcopy((weights, market))
    run(weights, market)
    _smooth_strategy_weights(weights, 2)
    pd.testing.assert_frame_equal(weights, before[0])
    for key in market:
        pd.testing.assert_frame_equal(market[key], before[1][key])


def test_engines_on_threads_agree_with_serial_runs():
    rng = np.random.default_rng(7)
    dates = [f"d{k:04d}" for k in range(300)]
    codes = [f"{k:06d}" for k in range(400)]
    market = flat_market(dates, codes)
    market["close_price"] = market["close_price"] * rng.uniform(0.95, 1.05, (300, 400))
    weights = [pd.DataFrame(rng.uniform(0, 1e-3, (300, 400)), dates, codes) for _ in range(4)]
    serial = [run(w, market) for w in weights]
    results: list[pd.Series | None] = [None] * 4

    def work(k: int) -> None:
        results[k] = run(weights[k], market)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, serial, strict=True):
        assert got is not None and got.equals(want)


def test_tables_sharing_labels_align_as_tables_with_their_own():
    # Loaded tables share one index and one column set, which are matched
    # once; a table among them with its own labels, in another order, is not.
    rng = np.random.default_rng(3)
    dates, codes = pd.Index(DATES), pd.Index(CODES)
    shape = (len(DATES), len(CODES))
    prev = rng.uniform(5.0, 20.0, shape)
    shared = {
        "can_buy_stock": pd.DataFrame(rng.random(shape) < 0.8, dates, codes),
        "cant_sell_stock": pd.DataFrame(rng.random(shape) < 0.2, dates, codes),
        "split_factor": pd.DataFrame(np.nan, dates, codes),
        "dividend_factor": pd.DataFrame(
            np.where(rng.random(shape) < 0.1, 0.3, np.nan), dates, codes
        ),
        "close_price": pd.DataFrame(prev * rng.uniform(0.9, 1.1, shape), dates, codes),
        "prev_close": pd.DataFrame(prev, dates, codes),
        "buy_price": pd.DataFrame(prev * rng.uniform(0.9, 1.1, shape), dates, codes),
        "sell_price": pd.DataFrame(prev * rng.uniform(0.9, 1.1, shape), dates, codes),
    }
    shared["close_price"] = shared["close_price"].iloc[::-1, ::-1]
    own = {
        key: table.set_axis(list(table.index), axis=0).set_axis(list(table.columns), axis=1)
        for key, table in shared.items()
    }
    assert shared["prev_close"].index is shared["buy_price"].index
    weights = pd.DataFrame(
        rng.uniform(0, 0.05, (len(DATES) - 2, len(CODES) - 1)), DATES[1:-1], CODES[1:]
    )
    assert run(weights, shared).equals(run(weights, own))


def test_numeric_trading_masks_read_like_flags():
    # 0/1 masks as integers and as floats with holes are converted to numbers
    # before they are read as flags; the converted copy must outlive the read.
    # At 42 MB (above the C library's largest threshold for serving memory
    # from its heap) the copy is a memory map of its own, returned to the
    # system when freed, so reading a freed copy crashes instead of passing by
    # chance.
    rng = np.random.default_rng(3)
    shape = (2100, 2500)
    dates = [f"d{k:04d}" for k in range(shape[0])]
    codes = [f"{k:06d}" for k in range(shape[1])]
    market = flat_market(dates, codes)
    market["close_price"] = market["close_price"] * rng.uniform(0.95, 1.05, shape)
    buy = rng.random(shape) < 0.8
    unsellable = rng.random(shape) < 0.1
    market["can_buy_stock"] = pd.DataFrame(buy, index=dates, columns=codes)
    market["cant_sell_stock"] = pd.DataFrame(unsellable, index=dates, columns=codes)
    weights = pd.DataFrame(rng.uniform(0, 1e-3, shape), index=dates, columns=codes)
    expected = run(weights, market)

    as_int = dict(market)
    as_int["can_buy_stock"] = market["can_buy_stock"].astype("int64")
    as_int["cant_sell_stock"] = market["cant_sell_stock"].astype("int64")
    pd.testing.assert_series_equal(run(weights, as_int), expected)

    # A hole in a buy mask reads as "cannot buy", in a sell mask as "cannot sell".
    with_holes = dict(market)
    can_buy = market["can_buy_stock"].astype("float64")
    cant_sell = market["cant_sell_stock"].astype("float64")
    can_buy[~buy] = np.nan
    with_holes["can_buy_stock"] = can_buy
    with_holes["cant_sell_stock"] = cant_sell
    pd.testing.assert_series_equal(run(weights, with_holes), expected)

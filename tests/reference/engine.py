"""The strategy daily return engine written out literally in numpy and pandas.

This is the yardstick the native engine is measured against: the tests compare
results with it and `bench/engine.py` times it. It follows the documented
algorithm statement by statement and is deliberately not optimised.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

# The engine's market tables, in the order of its arguments after the weights.
MARKET_KEYS = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)


def _aligned(table: pd.DataFrame, index: pd.Index, columns: pd.Index, fill: object) -> np.ndarray:
    return table.reindex(index=index, columns=columns, fill_value=fill).to_numpy()


def reference_daily_return(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: float = 1e8,
    fee: float = 1e-4,
    rule_fee: float = 5e-4,
    lot_size: int = 200,
) -> pd.Series:
    """Daily returns of one VWAP-traded whole-lot portfolio, computed in numpy."""
    shifted = signal_matrix.shift(1)
    has_weight = shifted.notna().any(axis=1).to_numpy()
    if not has_weight.any():
        return pd.Series(dtype=float)
    # Only the rows before the first weights are dropped; a later empty row
    # is an empty portfolio and still gets its return.
    signal = shifted.iloc[int(np.argmax(has_weight)) :]
    pnl_index, columns = signal.index, signal.columns

    prev_close_arr = _aligned(prev_close, pnl_index, columns, np.nan).astype(float)
    can_buy_arr = _aligned(can_buy_stock, pnl_index, columns, False).astype(bool)
    cant_sell_arr = _aligned(cant_sell_stock, pnl_index, columns, True).astype(bool)
    close_arr = _aligned(close_price, pnl_index, columns, np.nan).astype(float)
    buy_price_arr = _aligned(buy_price, pnl_index, columns, np.nan).astype(float)
    sell_price_arr = _aligned(sell_price, pnl_index, columns, np.nan).astype(float)
    split_arr = _aligned(split_factor, pnl_index, columns, np.nan).astype(float)
    dividend_arr = _aligned(dividend_factor, pnl_index, columns, np.nan).astype(float)

    signal_arr = signal.to_numpy(dtype=float, copy=False)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = total_money * signal_arr / (prev_close_arr * lot_size)
    valid = np.isfinite(signal_arr) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
    target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)

    n_days, n_stocks = len(pnl_index), target.shape[1]
    real_target = np.zeros(n_stocks)
    daily_cash = np.zeros(n_days)
    for i in range(n_days):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
        sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
        hold = real_target - sell
        real_target = hold + real_buy
        close_row, prev_close_row = close_arr[i], prev_close_arr[i]
        split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
        dividend_eff = np.nan_to_num(dividend_arr[i], nan=0.0)
        with np.errstate(invalid="ignore", over="ignore"):
            buy_coeff = np.nan_to_num(close_row - buy_price_arr[i] * (1.0 + fee), nan=0.0)
            hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
            sell_coeff = np.nan_to_num(
                split_eff * sell_price_arr[i] * (1.0 - fee - rule_fee) - prev_close_row, nan=0.0
            )
        daily_cash[i] = (
            real_buy @ buy_coeff
            + hold @ hold_coeff
            + hold @ dividend_eff
            + sell @ sell_coeff
            + sell @ dividend_eff
        )
    return pd.Series(daily_cash / total_money, index=pnl_index)

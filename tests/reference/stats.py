"""The strategy statistics, the backtest runner and the yearly metrics written
out literally in pandas.

The yardstick for the native functions: the tests compare every number with
it and `bench/runner.py` times it. It follows the documented algorithms
statement by statement and is deliberately not optimised. The daily returns
themselves come from the native engine (its own transcription is
`reference/engine.py`).
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from morvane.backtest._core import safe_sharpe
from morvane.backtest._ravelle import _smooth_strategy_weights, calc_strategy_vwap_daily_return

TRADING_DAYS_PER_YEAR = 252

# The yearly table's columns, in its order.
YEARLY_COLUMNS = [
    "strategy_return",
    "strategy_sharpe",
    "strategy_max_dd",
    "strategy_calmar",
    "excess_return",
    "excess_sharpe",
    "excess_max_dd",
    "excess_calmar",
]
TOTAL_COLUMNS = [
    "daily_return",
    "index_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
    "extra_daily_return",
]
# The strategy statistics, in the order a result lists them: the strategy's own
# figures, the benchmark's, the excess over it, then the trading figures.
_OWN_STATS = ["annual_return", "long_sharp", "max_dd"]
_BENCHMARK_STATS = ["benchmark_annual_return", "benchmark_sharp"]
_EXCESS_STATS = ["extra_annual_return", "extra_sharp", "extra_max_dd"]
_TRADING_STATS = ["return_corr", "win_rate", "excess_win_rate", "holding_count", "turnover"]
STATS_KEYS = [*_OWN_STATS, *_BENCHMARK_STATS, *_EXCESS_STATS, *_TRADING_STATS]
# A result without a traded day lists the same figures, the benchmark's after the excess.
EMPTY_STATS_KEYS = [*_OWN_STATS, *_EXCESS_STATS, *_BENCHMARK_STATS, *_TRADING_STATS]


def pandas_corr(a: pd.Series, b: pd.Series) -> float:
    """Series.corr, NaN for a constant or too short series.

    pandas 2.2 computes it through numpy, which warns on those (a division by
    a zero deviation, no degrees of freedom); pandas 3 does not. The value is
    the same NaN either way, and this transcription is not the package's code.
    """
    with warnings.catch_warnings(), np.errstate(divide="ignore", invalid="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        return float(a.corr(b))


def _clean(series: pd.Series) -> pd.Series:
    return series.replace([np.inf, -np.inf], np.nan).dropna()


def build_total_backtesting_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame:
    total = total_backtesting.copy().dropna()
    if total.empty:
        return total
    total["extra_daily_return"] = total["daily_return"] - total["index_daily_return"]
    strategy_nav = total["daily_return"].cumsum() + 1
    total["long"] = strategy_nav / strategy_nav.iloc[0]
    if "close" in total.columns:
        first_close = total["close"].iloc[0]
        if pd.notna(first_close) and first_close != 0:
            total["close_net_value"] = total["close"] / first_close
        else:
            total["close_net_value"] = 1 + total["index_daily_return"].cumsum()
    else:
        close_proxy = 1 + total["index_daily_return"].cumsum()
        total["close_net_value"] = close_proxy / close_proxy.iloc[0]
        total["close"] = close_proxy
    total["max_drowdown"] = total["long"] - total["long"].cummax()
    extra_return = total["extra_daily_return"].cumsum()
    total["extra_return"] = extra_return - extra_return.iloc[0]
    extra_nav = 1 + total["extra_return"]
    total["extra_max_drowdown"] = extra_nav - extra_nav.cummax()
    return total


def calc_strategy_stats(
    total_frame: pd.DataFrame, signal_df: pd.DataFrame | None
) -> dict[str, float]:
    total = total_frame.copy().dropna()
    if len(total) == 0:
        return {key: np.nan for key in EMPTY_STATS_KEYS}
    daily_return = _clean(total["daily_return"])
    benchmark_daily_return = _clean(total["index_daily_return"])
    extra_daily_return = _clean(total["extra_daily_return"])
    trading_years = len(total) / TRADING_DAYS_PER_YEAR
    benchmark_total_return = total["close_net_value"].iloc[-1] - 1
    holding_count = turnover = np.nan
    if signal_df is not None and len(signal_df) > 0:
        values = signal_df.to_numpy(dtype=np.float64, copy=False)
        holding_count = float(np.isfinite(values).sum(axis=1).mean())
        if values.shape[0] > 1:
            values_zero = np.where(np.isnan(values), 0.0, values)
            turnover = float(np.abs(values_zero[1:] - values_zero[:-1]).sum(axis=1).mean() / 2.0)
    return {
        "annual_return": (total["long"].iloc[-1] - 1) / trading_years * 100,
        "long_sharp": safe_sharpe(daily_return, periods=TRADING_DAYS_PER_YEAR),
        "max_dd": abs(total["max_drowdown"].min()),
        "benchmark_annual_return": benchmark_total_return / trading_years * 100,
        "benchmark_sharp": safe_sharpe(benchmark_daily_return, periods=TRADING_DAYS_PER_YEAR),
        "extra_annual_return": total["extra_return"].iloc[-1] / trading_years * 100,
        "extra_sharp": safe_sharpe(extra_daily_return, periods=TRADING_DAYS_PER_YEAR),
        "extra_max_dd": abs(total["extra_max_drowdown"].min()),
        "return_corr": pandas_corr(total["daily_return"], total["index_daily_return"]),
        "win_rate": float((daily_return > 0).mean()) if len(daily_return) else np.nan,
        "excess_win_rate": float((extra_daily_return > 0).mean())
        if len(extra_daily_return)
        else np.nan,
        "holding_count": holding_count,
        "turnover": turnover,
    }


def period_return_drawdown_calmar(daily_return: pd.Series | None) -> tuple[float, float, float]:
    if daily_return is None or len(daily_return) == 0:
        return (np.nan, np.nan, np.nan)
    period_return = float(daily_return.sum())
    annualized_return = daily_return.mean() * TRADING_DAYS_PER_YEAR
    cumulative = daily_return.cumsum()
    drawdown = cumulative - cumulative.cummax().clip(lower=0.0)
    max_drawdown = abs(drawdown.min())
    calmar = (
        annualized_return / max_drawdown
        if pd.notna(max_drawdown) and max_drawdown > 1e-12
        else np.nan
    )
    return (period_return, float(max_drawdown), float(calmar))


def calc_yearly_performance_metrics(daily: pd.DataFrame) -> pd.DataFrame:
    rows = []
    for year, year_daily in daily.groupby(daily.index.year):
        strategy_daily = _clean(year_daily["daily_return"])
        excess_daily = _clean(year_daily["extra_daily_return"])
        if strategy_daily.empty and excess_daily.empty:
            continue
        s_ret, s_dd, s_calmar = period_return_drawdown_calmar(strategy_daily)
        e_ret, e_dd, e_calmar = period_return_drawdown_calmar(excess_daily)
        rows.append(
            {
                "year": int(year),
                "strategy_return": s_ret,
                "strategy_sharpe": safe_sharpe(strategy_daily),
                "strategy_max_dd": s_dd,
                "strategy_calmar": s_calmar,
                "excess_return": e_ret,
                "excess_sharpe": safe_sharpe(excess_daily),
                "excess_max_dd": e_dd,
                "excess_calmar": e_calmar,
            }
        )
    if not rows:
        return pd.DataFrame()
    return pd.DataFrame(rows).set_index("year").sort_index()


def benchmark_summary(
    total: pd.DataFrame, benchmark_dict: dict[str, pd.Series] | None
) -> pd.DataFrame:
    rows = []
    if isinstance(benchmark_dict, dict) and benchmark_dict:
        for name, series in benchmark_dict.items():
            bm_aligned = series.reindex(total.index).dropna()
            common = total.index[total.index.isin(bm_aligned.index)]
            if len(common) == 0:
                continue
            excess_daily = total.loc[common, "daily_return"] - bm_aligned.loc[common]
            excess_cum = excess_daily.cumsum()
            rows.append(
                {
                    "benchmark_name": name,
                    "benchmark_annual_return": bm_aligned.loc[common].mean()
                    * TRADING_DAYS_PER_YEAR,
                    "excess_annual_return": excess_daily.mean() * TRADING_DAYS_PER_YEAR,
                    "excess_sharpe": safe_sharpe(excess_daily, periods=TRADING_DAYS_PER_YEAR),
                    "excess_max_dd": (excess_cum - excess_cum.cummax()).min(),
                }
            )
    return pd.DataFrame(rows)


@dataclass
class ReferenceResult:
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    total: pd.DataFrame | None = None
    work_matrix: pd.DataFrame | None = field(default=None, repr=False)


def align_weights(
    strategy_matrix: pd.DataFrame, close_price: pd.DataFrame, rolling_window: int
) -> pd.DataFrame:
    """The weights on the market's dates and stocks, smoothed."""
    common_dates = strategy_matrix.index.intersection(close_price.index)
    common_cols = strategy_matrix.columns.intersection(close_price.columns)
    work_matrix = strategy_matrix.loc[common_dates, common_cols].dropna(axis=1, how="all")
    return _smooth_strategy_weights(work_matrix, rolling_window)


def _empty_result(work_matrix: pd.DataFrame) -> ReferenceResult:
    empty_stats = calc_strategy_stats(pd.DataFrame(columns=TOTAL_COLUMNS), work_matrix)
    empty = pd.Series(dtype=float)
    return ReferenceResult(empty, empty, empty_stats, pd.DataFrame(), None, work_matrix)


def after_engine(
    daily_return: pd.Series,
    work_matrix: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series] | None,
    benchmark_names: str,
) -> ReferenceResult:
    """Everything the runner does with the engine's daily returns."""
    valid_signal = work_matrix.dropna(how="all")
    if daily_return.empty or valid_signal.empty:
        return _empty_result(work_matrix)
    daily_return = daily_return[daily_return.index <= valid_signal.index.max()]
    if daily_return.empty:
        return _empty_result(work_matrix)
    df = pd.DataFrame({"daily_return": daily_return})
    if benchmark_dict is not None and benchmark_names in benchmark_dict:
        bm_daily = (
            benchmark_dict[benchmark_names]
            .astype(float)
            .replace([np.inf, -np.inf], np.nan)
            .fillna(0.0)
        )
        benchmark = pd.DataFrame(
            {"close": bm_daily.cumsum().add(1.0), "index_daily_return": bm_daily}
        )
        benchmark = benchmark[benchmark.index >= df.index[0]]
        benchmark = benchmark[benchmark.index <= df.index[-1]]
        total_backtesting = pd.concat([df, benchmark], axis=1, join="inner")
    else:
        total_backtesting = df.copy()
        total_backtesting["index_daily_return"] = 0.0
        total_backtesting["close"] = 1.0
    if total_backtesting.empty:
        return _empty_result(work_matrix)
    total = build_total_backtesting_frame(total_backtesting)
    stats = calc_strategy_stats(total, work_matrix)
    summary = benchmark_summary(total, benchmark_dict)
    return ReferenceResult(total["daily_return"], total["long"], stats, summary, total, work_matrix)


def run_strategy_backtest(
    strategy_matrix: pd.DataFrame,
    market: dict[str, pd.DataFrame],
    benchmark_dict: dict[str, pd.Series] | None = None,
    benchmark_names: str = "000852",
    rolling_window: int = 0,
    **engine_params: Any,
) -> ReferenceResult:
    """The runner without charts; `market` holds the eight tables by name."""
    work_matrix = align_weights(strategy_matrix, market["close_price"], rolling_window)
    if work_matrix.dropna(how="all").empty:
        return _empty_result(work_matrix)
    daily_return = calc_strategy_vwap_daily_return(
        signal_matrix=work_matrix, **market, **engine_params
    )
    return after_engine(daily_return, work_matrix, benchmark_dict, benchmark_names)

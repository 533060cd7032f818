"""The parameters a sweep may vary, with the single-run methods' defaults."""

from __future__ import annotations

from typing import Any, Literal

from ..backtest import _params

Kind = Literal["factor", "strategy"]

# In their signature order (which is also the order of the table's columns), with the
# defaults read from the single-run methods' parameter tables.
FACTOR_PARAMETERS: dict[str, Any] = _params.defaults(
    "_service",
    "BacktestService.backtest",
    (
        "group_num",
        "benchmark",
        "universe",
        "rolling_window",
        "ascending",
        "total_money",
        "fee",
        "rule_fee",
        "horizons",
        "rebalance_every",
    ),
)
STRATEGY_PARAMETERS: dict[str, Any] = _params.defaults(
    "_service",
    "BacktestService.backtest_strategy",
    ("benchmark", "rolling_window", "total_money", "fee", "rule_fee"),
)
# The chart each kind draws when a sweep is asked for charts without naming one.
PLOT_DEFAULT: dict[Kind, str] = {
    "factor": _params.defaults("_service", "BacktestService.backtest", ("plot",))["plot"],
    "strategy": _params.defaults("_service", "BacktestService.backtest_strategy", ("plot",))[
        "plot"
    ],
}


def parameters_of(kind: Kind) -> dict[str, Any]:
    """The parameter table of one kind of backtest."""
    return FACTOR_PARAMETERS if kind == "factor" else STRATEGY_PARAMETERS

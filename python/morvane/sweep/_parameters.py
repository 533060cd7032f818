"""The parameters a sweep may vary, with the single-run methods' defaults."""

from __future__ import annotations

from typing import Any, Literal

Kind = Literal["factor", "strategy"]

# In their signature order (which is also the order of the table's columns).
FACTOR_PARAMETERS: dict[str, Any] = {
    "group_num": 20,
    "benchmark": "000852",
    "universe": None,
    "rolling_window": 0,
    "ascending": False,
    "total_money": 1e8,
    "fee": 1e-4,
    "rule_fee": 5e-4,
    "horizons": (1,),
    "rebalance_every": 1,
}
STRATEGY_PARAMETERS: dict[str, Any] = {
    "benchmark": "000852",
    "rolling_window": 0,
    "total_money": 1e8,
    "fee": 1e-4,
    "rule_fee": 5e-4,
}
# The chart each kind draws when a sweep is asked for charts without naming one.
PLOT_DEFAULT: dict[Kind, str] = {"factor": "long", "strategy": "large"}


def parameters_of(kind: Kind) -> dict[str, Any]:
    """The parameter table of one kind of backtest."""
    return FACTOR_PARAMETERS if kind == "factor" else STRATEGY_PARAMETERS

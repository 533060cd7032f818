"""What a run leaves (its figures, its series or its error) and the sweep's table built from them."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from ._grid import _Task
from ._parameters import Kind, parameters_of

_TRADING_DAYS_PER_YEAR = 252
_ERROR_COLUMN = "error"
_INPUT_COLUMN = "input"
_PLOT_DIR_COLUMN = "output_dir"


@dataclass
class _Outcome:
    index: int
    figures: dict[str, Any] = field(default_factory=dict)
    series: pd.Series | pd.DataFrame | None = None
    error: BaseException | None = None


def _strategy_figures(result: Any) -> dict[str, Any]:
    figures: dict[str, Any] = dict(result.stats)
    figures.update(_benchmark_columns(result.benchmark_summary))
    return figures


def _factor_figures(result: Any) -> dict[str, Any]:
    ic = result.rank_ic
    ic = ic["rank_ic"] if isinstance(ic, pd.DataFrame) and "rank_ic" in ic else ic
    ic = pd.Series(dtype=float) if ic is None or isinstance(ic, pd.DataFrame) else ic.dropna()
    ic_std = ic.std() if len(ic) > 1 else math.nan
    returns = result.group_daily_return
    spread = math.nan
    if isinstance(returns, pd.DataFrame) and returns.shape[1] >= 2 and len(returns) > 0:
        # the last group holds the largest factor values (the smallest when ascending)
        spread = float((returns.iloc[:, -1] - returns.iloc[:, 0]).mean()) * _TRADING_DAYS_PER_YEAR
    figures: dict[str, Any] = {
        "best_group": int(result.best_group),
        "rank_ic_mean": float(ic.mean()) if len(ic) else math.nan,
        "rank_ic_ir": float(ic.mean() / ic_std) if ic_std and math.isfinite(ic_std) else math.nan,
        "top_minus_bottom_annual_return": spread,
    }
    # The IC at each longer holding period, and how much the top group trades.
    decay = getattr(result, "ic_decay", None)
    if isinstance(decay, pd.DataFrame):
        for horizon in decay.index:
            if horizon != 1:
                figures[f"rank_ic_mean_{horizon}d"] = float(decay.loc[horizon, "mean"])
    turnover = getattr(result, "group_turnover", None)
    if isinstance(turnover, pd.DataFrame) and len(turnover) > 1:
        figures["top_group_turnover"] = float(turnover.iloc[:, -1].mean())
    figures.update(
        _benchmark_columns(result.benchmark_summary.drop(columns="best_group", errors="ignore"))
    )
    return figures


def _benchmark_columns(summary: pd.DataFrame) -> dict[str, Any]:
    """One row per benchmark becomes columns suffixed with the benchmark code."""
    out: dict[str, Any] = {}
    if not isinstance(summary, pd.DataFrame) or "benchmark_name" not in summary:
        return out
    for _, row in summary.iterrows():
        code = row["benchmark_name"]
        for column, value in row.items():
            if column != "benchmark_name":
                out[f"{column}_{code}"] = value
    return out


def _label(value: object) -> object:
    """A parameter as a table cell: lists become one text, so the table stays flat."""
    if isinstance(value, (list, tuple)):
        return ",".join(str(item) for item in value)
    return value


def _row(task: _Task, outcome: _Outcome, names: list[str]) -> dict[str, Any]:
    row: dict[str, Any] = {_INPUT_COLUMN: task.input_name}
    row.update({name: _label(task.params[name]) for name in names})
    row.update(outcome.figures)
    if task.plot_dir is not None:
        row[_PLOT_DIR_COLUMN] = task.plot_dir if outcome.error is None else None
    error = outcome.error
    row[_ERROR_COLUMN] = None if error is None else f"{type(error).__name__}: {error}"
    return row


def _series_table(outcomes: list[_Outcome]) -> pd.DataFrame:
    """The kept daily returns side by side, one column (or group of columns) per run."""
    kept = {
        o.index: o.series for o in sorted(outcomes, key=lambda o: o.index) if o.series is not None
    }
    series = pd.concat(kept, axis=1) if kept else pd.DataFrame()
    if kept:
        series.columns.names = ["run", *([None] * (series.columns.nlevels - 1))]
    return series


def _assemble(
    kind: Kind, tasks: list[_Task], outcomes: list[_Outcome], keep_series: bool
) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    """The table in task order: input, parameters, figures (first-seen order), error."""
    by_index = {o.index: o for o in outcomes}
    names = list(parameters_of(kind))
    figure_columns: dict[str, None] = {}
    rows: list[dict[str, Any]] = []
    for task in tasks:
        outcome = by_index[task.index]
        figure_columns.update(dict.fromkeys(outcome.figures))
        rows.append(_row(task, outcome, names))
    columns = [_INPUT_COLUMN, *names, *figure_columns]
    if any(t.plot_dir is not None for t in tasks):
        columns.append(_PLOT_DIR_COLUMN)
    columns.append(_ERROR_COLUMN)
    table = pd.DataFrame(rows, columns=columns)
    table[_ERROR_COLUMN] = table[_ERROR_COLUMN].astype(object)
    if not keep_series:
        return table
    return table, _series_table(outcomes)

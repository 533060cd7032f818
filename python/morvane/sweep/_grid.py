"""The grid of parameter sets and the tasks it makes: every (input, set), checked before any work."""

from __future__ import annotations

import itertools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from ..exceptions import MorvaneError
from ._parameters import PLOT_DEFAULT, Kind, parameters_of

if TYPE_CHECKING:
    from ..backtest.result import BacktestData


def grid(**values: Any) -> list[dict[str, Any]]:
    """把各参数的取值列表展开成参数组列表 (笛卡尔积)。

    先变化最后一个参数, 例如 grid(group_num=[5, 10], fee=[0, 1e-4]) 依次给出
    (5, 0)、(5, 1e-4)、(10, 0)、(10, 1e-4)。列表或元组是取值列表, 其他值 (包括
    None 和文本) 是唯一取值。参数名与取值在 run_factor / run_strategy 中统一校验。

    Args:
        **values (Any): 参数名到取值列表的映射, 例如 rolling_window=[0, 5, 20],
            universe=[None, "000300"]。
    Returns:
        list[dict]: 参数组列表; 不给任何参数时为 [{}] (一组默认参数)。
    Raises:
        ValueError: 某个参数的取值列表为空。
    """
    names = list(values)
    choices: list[list[Any]] = []
    for name in names:
        value = values[name]
        options = list(value) if isinstance(value, (list, tuple)) else [value]
        if not options:
            raise ValueError(f"参数 {name} 的取值列表为空")
        choices.append(options)
    return [dict(zip(names, combo, strict=True)) for combo in itertools.product(*choices)]


@dataclass(frozen=True)
class _Task:
    index: int
    input_name: str
    params: dict[str, Any]
    plot_dir: str | None


def _type_error(name: str, expected: str, value: object) -> TypeError:
    # The same wording as the native argument checks.
    return TypeError(f"参数 {name} 类型错误: 期望 {expected}, 收到 {_type_name(value)}")


def _type_name(value: object) -> str:
    cls = type(value)
    root = cls.__module__.split(".")[0]
    if cls.__module__ == "builtins":
        return cls.__qualname__
    if root in ("pandas", "numpy"):
        return f"{root}.{cls.__qualname__}"
    return f"{cls.__module__}.{cls.__qualname__}"


@dataclass(frozen=True)
class _Request:
    """What every run of a sweep shares: the dates, the data it may check, and the charts."""

    kind: Kind
    data: BacktestData | None  # None: the data is not at hand (a store read on the workers)
    start_date: object
    end_date: object
    plot_root: Path | None
    plot_kind: str

    def check(
        self, table: pd.DataFrame | None, name: str, params: Mapping[str, Any]
    ) -> dict[str, Any]:
        """The single run's own check (the service's), so a sweep refuses what a run refuses."""
        from ..backtest import _service

        plot_dir = None if self.plot_root is None else str(self.plot_root)
        if self.kind == "factor":
            return _service._check_factor_request(  # type: ignore[no-any-return]
                table,
                self.data,
                self.start_date,
                self.end_date,
                plot_dir,
                name,
                plot=self.plot_kind,
                chart=plot_dir is not None,
                **params,
            )
        return _service._check_strategy_request(  # type: ignore[no-any-return]
            table,
            self.data,
            self.start_date,
            self.end_date,
            plot_dir,
            name if plot_dir is not None else "",
            plot=self.plot_kind if plot_dir is not None else None,
            **params,
        )


def _plot_kind(kind: Kind, plot: bool | str) -> str:
    if plot is True or plot is False:
        return PLOT_DEFAULT[kind]
    if plot in ("long", "large"):
        return plot
    raise ValueError(f'参数 plot 只能是 False、True、"long" 或 "large", 收到 {plot!r}')


def _check_params(request: _Request, given: Mapping[str, Any], name: str) -> dict[str, Any]:
    """One parameter set completed with the defaults and converted, or the single run's error."""
    if not isinstance(given, Mapping):
        raise _type_error("grid", "dict", given)
    allowed = parameters_of(request.kind)
    unknown = [key for key in given if key not in allowed]
    if unknown:
        raise TypeError(
            f"未知参数 {', '.join(map(str, unknown))}; 可扫描的参数: {', '.join(allowed)}"
        )
    params = {**allowed, **given}
    converted = request.check(None, name, params)
    # Numbers as the run takes them (10.0 groups are 10); codes and universes as given.
    params.update({key: converted[key] for key in params if key in converted})
    return params


def _inputs(tables: object, kind: Kind) -> dict[str, pd.DataFrame]:
    what = "因子" if kind == "factor" else "权重"
    if isinstance(tables, pd.DataFrame):
        return {_table_name(tables, kind): tables}
    if not isinstance(tables, Mapping):
        raise _type_error(
            "factors" if kind == "factor" else "weights",
            "pandas.DataFrame | dict[str, pandas.DataFrame]",
            tables,
        )
    if not tables:
        raise ValueError(f"没有要回测的{what}表")
    out: dict[str, pd.DataFrame] = {}
    for name, table in tables.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"{what}表的名称必须是非空文本, 收到 {name!r}")
        if not isinstance(table, pd.DataFrame):
            raise TypeError(f"{what}表 {name!r} 应为 pandas.DataFrame, 收到 {_type_name(table)}")
        out[name] = table
    return out


def _table_name(table: pd.DataFrame, kind: Kind) -> str:
    if kind == "strategy":
        return "strategy"
    for candidate in (getattr(table.columns, "name", None), getattr(table, "name", None)):
        if candidate is not None and str(candidate):
            return str(candidate)
    return "factor"


def _checked_sets(
    request: _Request, sets: Sequence[Mapping[str, Any]] | None, first_name: str
) -> list[dict[str, Any]]:
    """Every parameter set checked; a bad one stops the sweep, named by its number."""
    if sets is None:
        sets = [{}]
    if isinstance(sets, Mapping) or not isinstance(sets, Sequence) or isinstance(sets, str):
        raise _type_error("grid", "list[dict]", sets)
    if len(sets) == 0:
        raise ValueError("参数组列表为空")
    checked: list[dict[str, Any]] = []
    for number, given in enumerate(sets):
        try:
            checked.append(_check_params(request, given, first_name))
        except (TypeError, ValueError, OSError, MorvaneError) as exc:
            where = f"参数组 {number} {dict(given) if isinstance(given, Mapping) else given!r}"
            raise type(exc)(f"{where}: {exc}") from exc
    return checked


def _build_tasks(
    request: _Request,
    inputs: dict[str, pd.DataFrame],
    sets: Sequence[Mapping[str, Any]] | None,
) -> list[_Task]:
    """Every (input, parameter set); the sets are checked before any work.

    A bad set stops the sweep, named by its number. A bad table does not: its
    runs fail as a single run would, with the same error, recorded in their
    rows (or raised, with errors="raise"). Each weight table is checked and
    cleaned once for all its runs (cleaning a cleaned table changes nothing).
    """
    checked = _checked_sets(request, sets, next(iter(inputs)))
    if request.kind == "strategy":
        for name, table in inputs.items():
            try:
                inputs[name] = request.check(table, name, checked[0])["strategy"]
            except (TypeError, ValueError, OSError, MorvaneError):
                pass  # each of its runs reports the error, as a single run would
    tasks: list[_Task] = []
    for name in inputs:
        for params in checked:
            index = len(tasks)
            plot_dir = (
                None if request.plot_root is None else str(request.plot_root / f"run_{index:05d}")
            )
            tasks.append(_Task(index, name, params, plot_dir))
    return tasks

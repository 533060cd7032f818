"""Running the tasks: one backtest, and the two ways of running many (local threads, Dask)."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd
from tqdm import tqdm

from ._grid import _Task
from ._parameters import Kind
from ._results import _factor_figures, _Outcome, _strategy_figures
from ._transport import _distributed, _received, _ShippedTable, _StoreRef

if TYPE_CHECKING:
    from ..backtest.result import BacktestData

_THREAD_PREFIX = "morvane-sweep"
# The factor backtest's market arguments and the datasets they are read from; the
# optional datasets go by their own names, None when the data lacks them.
_MARKET_ARGUMENTS = {
    "close_price_valid": "close_price_valid",
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
    "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend",
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
    "benchmark_dict": "benchmark_dict",
}
_OPTIONAL_DATASETS = ("industry_matrix", "forward_return_rank_cache", "open_price")
# The sweep's parameters by the backtest's argument names where they differ (the
# universe is applied to the data before the call).
_ARGUMENT_OF_PARAMETER = {"benchmark": "benchmark_names"}


@dataclass(frozen=True)
class _Run:
    """What every task of one sweep shares (small: a Dask task carries it)."""

    kind: Kind
    start: object
    end: object
    plot_kind: str
    keep_series: bool


def _run_factor_once(table: pd.DataFrame, data: BacktestData, task: _Task, run: _Run) -> Any:
    import morvane

    service = morvane._backtest_service()
    start, end, name, params = run.start, run.end, task.input_name, task.params
    plot_dir, plot_kind = task.plot_dir, run.plot_kind
    if plot_dir is not None:
        return service.backtest(table, data, start, end, plot_dir, name, plot=plot_kind, **params)
    # The service's own steps without the chart: the factor backtest always
    # draws one, which a sweep of thousands of runs neither wants nor can
    # afford (charts are drawn one at a time behind the chart lock).
    from ..backtest import _core, _service

    checked = _service._check_factor_request(
        table, data, start, end, None, name, plot=plot_kind, chart=False, **params
    )
    factor, bt_start, bt_end = checked["factor"], checked["start_date"], checked["end_date"]
    matrices = service._slice_data(data.data, bt_start, bt_end)
    service._apply_universe_filter(matrices, params["universe"], bt_start, bt_end)
    factor_name = service._factor_name(table)
    rows = factor.index
    core_result = _core.run_alpha_vwap_backtest_core(
        factor_matrix=factor[(rows >= bt_start) & (rows <= bt_end)],
        **{argument: matrices[dataset] for argument, dataset in _MARKET_ARGUMENTS.items()},
        **{dataset: matrices.get(dataset) for dataset in _OPTIONAL_DATASETS},
        **{
            _ARGUMENT_OF_PARAMETER.get(name, name): value
            for name, value in params.items()
            if name != "universe"
        },
        plot_image_kind=plot_kind,
        plot_save_path=None,
        factor_name=factor_name,
        plot_title=name,
    )
    return service._to_public_result(core_result, factor_name)


def _run_strategy_once(table: pd.DataFrame, data: BacktestData, task: _Task, run: _Run) -> Any:
    import morvane

    drawn = task.plot_dir is not None
    return morvane._backtest_service().backtest_strategy(
        table,
        data,
        run.start,
        run.end,
        task.plot_dir,
        task.input_name if drawn else "",
        plot=run.plot_kind if drawn else None,
        **task.params,
    )


def _run_task(
    run: _Run, table: pd.DataFrame, data: BacktestData, task: _Task, inner_threads: int
) -> _Outcome:
    """One backtest; an ordinary exception becomes the outcome's error, an interrupt passes."""
    try:
        if run.kind == "factor":
            from ..backtest import _core

            # thread-local: only this task's group backtest pool is sized
            previous = _core._set_task_thread_count(inner_threads)
            try:
                result = _run_factor_once(table, data, task, run)
            finally:
                _core._set_task_thread_count(previous)
            figures = _factor_figures(result)
            series = result.group_daily_return if run.keep_series else None
        else:
            result = _run_strategy_once(table, data, task, run)
            figures = _strategy_figures(result)
            series = result.daily_return if run.keep_series else None
    except Exception as exc:  # noqa: BLE001 - recorded in the table, or raised by the caller
        return _Outcome(task.index, error=exc)
    return _Outcome(task.index, figures, series)


def _run_remote(
    run: _Run, table: pd.DataFrame | _ShippedTable, data: object, task: _Task
) -> _Outcome:
    """A Dask task: the worker runs its tasks one per thread, so the kernels run single-threaded."""
    table, data = _received(table, data)
    return _run_task(run, table, data, task, 1)  # type: ignore[arg-type]


def _usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _finished(outcome: _Outcome, errors: str, bar: tqdm) -> _Outcome:
    """A finished task counted on the bar; its error raised at once when the caller asked."""
    bar.update(1)
    if outcome.error is not None and errors == "raise":
        raise outcome.error
    return outcome


def _sweep_local(
    run: _Run,
    inputs: Mapping[str, pd.DataFrame],
    data: BacktestData,
    tasks: list[_Task],
    threads: int | None,
    errors: str,
    bar: tqdm,
) -> list[_Outcome]:
    cpus = _usable_cpus()
    workers = max(1, min(threads or cpus, len(tasks)))
    # The group backtest has a pool of its own: with as many tasks as cores
    # each task runs single-threaded, with fewer the cores are shared out.
    inner = max(1, cpus // len(tasks)) if len(tasks) < cpus else 1
    outcomes: list[_Outcome] = []
    executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix=_THREAD_PREFIX)
    pending: set[Any] = set()
    try:
        pending = {
            executor.submit(_run_task, run, inputs[t.input_name], data, t, inner) for t in tasks
        }
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            # an interrupt inside a task surfaces at future.result()
            outcomes.extend(_finished(future.result(), errors, bar) for future in done)
    finally:
        # On an interrupt or a raised error nothing new starts; the running
        # backtests (native code, not interruptible) finish and their threads end.
        for future in pending:
            future.cancel()
        executor.shutdown(wait=True, cancel_futures=True)
    return outcomes


def _ship_data(client: Any, data: object) -> object:
    """The data as the Dask tasks receive it: scattered once, or a store each worker maps itself."""
    from ..backtest.result import BacktestData

    if isinstance(data, BacktestData):
        # workers that see no store get the data once each, not once per task
        return client.scatter(data, broadcast=True, hash=False)
    path = None if data is None else os.path.abspath(os.fspath(data))  # type: ignore[arg-type]
    from ._dask_plugin import StoreDataPlugin

    client.register_plugin(StoreDataPlugin(path), name=f"morvane-sweep-data-{path}")
    return _StoreRef(path)


def _sweep_dask(
    client: Any,
    run: _Run,
    inputs: Mapping[str, pd.DataFrame],
    data: object,
    tasks: list[_Task],
    errors: str,
    bar: tqdm,
) -> list[_Outcome]:
    distributed = _distributed()
    _print_dashboard(client)
    data_arg = _ship_data(client, data)
    # each input once, on every worker, so a lost worker loses no input
    tables = {
        name: client.scatter(_ShippedTable(table), broadcast=True, hash=False)
        for name, table in inputs.items()
    }
    futures = [
        client.submit(
            _run_remote,
            run,
            tables[t.input_name],
            data_arg,
            t,
            retries=2,
            pure=False,
            key=f"morvane-sweep-{run.kind}-{t.index}-{id(tasks)}",
        )
        for t in tasks
    ]
    outcomes: list[_Outcome] = []
    try:
        for future in distributed.as_completed(futures):
            outcomes.append(_finished(future.result(), errors, bar))
    finally:
        client.cancel(
            futures
            + list(tables.values())
            + ([data_arg] if isinstance(data_arg, distributed.Future) else [])
        )
    return outcomes


def _print_dashboard(client: Any) -> None:
    try:
        services = client.scheduler_info().get("services", {})
        link = client.dashboard_link if "dashboard" in services else None
    except Exception:  # noqa: BLE001 - a link is a convenience, never a reason to fail
        link = None
    if link:
        tqdm.write(f"Dask 仪表盘: {link}", file=sys.stderr)

"""参数扫描: 同一份回测数据上成批跑因子回测与策略回测, 本机多线程或 Dask 集群。

研究很少只跑一次回测: 分组数 x 平滑窗口 x 选股范围 x 费率的网格, 或几百个因子变体,
都在同一份已加载的行情数据上。内核计算时释放 GIL, 已加载的数据可被多个线程同时读取,
所以本机用线程池 (不复制数据); 一台机器不够时交给 Dask (dask.distributed)。

结果是一张整洁的 pandas 表: 每个 (输入, 参数组) 一行, 参数是列, 后面是主要指标,
最后是 "error" 列; 行按输入与参数组排序, 与线程数、worker 数无关, 也与逐个调用单次
回测的结果一致。
"""

from __future__ import annotations

import itertools
import math
import os
import sys
import threading
from collections.abc import Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import pandas as pd
from tqdm import tqdm

from ._optional import has_pyarrow, require_pyarrow
from .exceptions import MorvaneError

if TYPE_CHECKING:
    from .backtest.result import BacktestData

__all__ = ["grid", "run_factor", "run_strategy", "run_config", "FACTOR_PARAMETERS",
           "STRATEGY_PARAMETERS"]

# The parameters a sweep may vary, with the single-run methods' defaults, in
# their signature order (which is also the order of the table's columns).
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
_PLOT_DEFAULT = {"factor": "long", "strategy": "large"}
_TRADING_DAYS_PER_YEAR = 252
_ERROR_COLUMN = "error"
_INPUT_COLUMN = "input"
_PLOT_DIR_COLUMN = "output_dir"
_DASK_HINT = "Dask 模式需要可选依赖 dask[distributed], 请先安装: pip install morvane[dask]"
_THREAD_PREFIX = "morvane-sweep"

Kind = Literal["factor", "strategy"]


# ------------------------------------------------------------------ grid and tasks


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


@dataclass
class _Outcome:
    index: int
    figures: dict[str, Any] = field(default_factory=dict)
    series: pd.Series | pd.DataFrame | None = None
    error: BaseException | None = None


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

    def check(self, table: pd.DataFrame | None, name: str, params: Mapping[str, Any]) -> dict[str, Any]:
        """The single run's own check (the service's), so a sweep refuses what a run refuses."""
        from .backtest import _service

        plot_dir = None if self.plot_root is None else str(self.plot_root)
        if self.kind == "factor":
            return _service._check_factor_request(  # type: ignore[no-any-return]
                table, self.data, self.start_date, self.end_date, plot_dir, name,
                plot=self.plot_kind, chart=plot_dir is not None, **params)
        return _service._check_strategy_request(  # type: ignore[no-any-return]
            table, self.data, self.start_date, self.end_date, plot_dir,
            name if plot_dir is not None else "", plot=self.plot_kind if plot_dir is not None else None,
            **params)


def _check_params(request: _Request, given: Mapping[str, Any], name: str) -> dict[str, Any]:
    """One parameter set completed with the defaults and converted, or the single run's error."""
    if not isinstance(given, Mapping):
        raise _type_error("grid", "dict", given)
    allowed = FACTOR_PARAMETERS if request.kind == "factor" else STRATEGY_PARAMETERS
    unknown = [key for key in given if key not in allowed]
    if unknown:
        raise TypeError(f"未知参数 {', '.join(map(str, unknown))}; 可扫描的参数: {', '.join(allowed)}")
    params = {**allowed, **given}
    converted = request.check(None, name, params)
    # Numbers as the run takes them (10.0 groups are 10); codes and universes as given.
    params.update({key: converted[key] for key in params if key in converted})
    return params


def _label(value: object) -> object:
    """A parameter as a table cell: lists become one text, so the table stays flat."""
    if isinstance(value, (list, tuple)):
        return ",".join(str(item) for item in value)
    return value


def _inputs(tables: object, kind: Kind) -> dict[str, pd.DataFrame]:
    what = "因子" if kind == "factor" else "权重"
    if isinstance(tables, pd.DataFrame):
        return {_table_name(tables, kind): tables}
    if not isinstance(tables, Mapping):
        raise _type_error("factors" if kind == "factor" else "weights",
                          "pandas.DataFrame | dict[str, pandas.DataFrame]", tables)
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
    if sets is None:
        sets = [{}]
    if isinstance(sets, Mapping) or not isinstance(sets, Sequence) or isinstance(sets, str):
        raise _type_error("grid", "list[dict]", sets)
    if len(sets) == 0:
        raise ValueError("参数组列表为空")
    first_name = next(iter(inputs))
    checked: list[dict[str, Any]] = []
    for number, given in enumerate(sets):
        try:
            checked.append(_check_params(request, given, first_name))
        except (TypeError, ValueError, OSError, MorvaneError) as exc:
            where = f"参数组 {number} {dict(given) if isinstance(given, Mapping) else given!r}"
            raise type(exc)(f"{where}: {exc}") from exc
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
            plot_dir = None if request.plot_root is None else str(request.plot_root / f"run_{index:05d}")
            tasks.append(_Task(index, name, params, plot_dir))
    return tasks


# ------------------------------------------------------------------ one run


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
    figures.update(_benchmark_columns(result.benchmark_summary.drop(columns="best_group", errors="ignore")))
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


def _run_factor_once(table: pd.DataFrame, data: BacktestData, start: object, end: object, name: str,
                     params: dict[str, Any], plot_dir: str | None, plot_kind: str) -> Any:
    import morvane

    service = morvane._backtest_service()
    if plot_dir is not None:
        return service.backtest(table, data, start, end, plot_dir, name, plot=plot_kind, **params)
    # The service's own steps without the chart: the factor backtest always
    # draws one, which a sweep of thousands of runs neither wants nor can
    # afford (charts are drawn one at a time behind the chart lock).
    from .backtest import _core, _service

    checked = _service._check_factor_request(table, data, start, end, None, name, plot=plot_kind, chart=False,
                                             **params)
    factor, bt_start, bt_end = checked["factor"], checked["start_date"], checked["end_date"]
    matrices = service._slice_data(data.data, bt_start, bt_end)
    service._apply_universe_filter(matrices, params["universe"], bt_start, bt_end)
    factor_name = service._factor_name(table)
    rows = factor.index
    core_result = _core.run_alpha_vwap_backtest_core(
        factor_matrix=factor[(rows >= bt_start) & (rows <= bt_end)],
        industry_matrix=matrices.get("industry_matrix"),
        close_price_valid=matrices["close_price_valid"],
        can_buy_stock=matrices["can_buy_stock"],
        cant_sell_stock=matrices["cant_sell_stock"],
        split_factor=matrices["rq_get_split"],
        dividend_factor=matrices["rq_get_dividend"],
        close_price=matrices["close_price"],
        prev_close=matrices["prev_close"],
        buy_price=matrices["buy_price"],
        sell_price=matrices["sell_price"],
        benchmark_dict=matrices["benchmark_dict"],
        forward_return_rank_cache=matrices.get("forward_return_rank_cache"),
        open_price=matrices.get("open_price"),
        benchmark_names=params["benchmark"],
        rolling_window=params["rolling_window"],
        ascending=params["ascending"],
        group_num=params["group_num"],
        total_money=params["total_money"],
        fee=params["fee"],
        rule_fee=params["rule_fee"],
        plot_image_kind=plot_kind,
        plot_save_path=None,
        factor_name=factor_name,
        plot_title=name,
        horizons=params["horizons"],
        rebalance_every=params["rebalance_every"],
    )
    return service._to_public_result(core_result, factor_name)


def _run_strategy_once(table: pd.DataFrame, data: BacktestData, start: object, end: object, name: str,
                       params: dict[str, Any], plot_dir: str | None, plot_kind: str) -> Any:
    import morvane

    return morvane._backtest_service().backtest_strategy(
        table, data, start, end, plot_dir, name if plot_dir is not None else "",
        plot=plot_kind if plot_dir is not None else None, **params)


def _run_task(kind: Kind, table: pd.DataFrame, data: BacktestData, start: object, end: object,
              task: _Task, plot_kind: str, keep_series: bool, inner_threads: int) -> _Outcome:
    """One backtest; an ordinary exception becomes the outcome's error, an interrupt passes."""
    try:
        if kind == "factor":
            from .backtest import _core

            # thread-local: only this task's group backtest pool is sized
            previous = _core._set_task_thread_count(inner_threads)
            try:
                result = _run_factor_once(table, data, start, end, task.input_name, task.params,
                                          task.plot_dir, plot_kind)
            finally:
                _core._set_task_thread_count(previous)
            figures = _factor_figures(result)
            series = result.group_daily_return if keep_series else None
        else:
            result = _run_strategy_once(table, data, start, end, task.input_name, task.params,
                                        task.plot_dir, plot_kind)
            figures = _strategy_figures(result)
            series = result.daily_return if keep_series else None
    except Exception as exc:  # noqa: BLE001 - recorded in the table, or raised by the caller
        return _Outcome(task.index, error=exc)
    return _Outcome(task.index, figures, series)


# ------------------------------------------------------------------ data sources


def _usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _load_store(path: str | None) -> BacktestData:
    """The prepared data of a store folder (mapped, no copy), or this machine's prepared data.

    Every row is verified against its checksum as it is mapped (which also
    brings the pages in), once per process: a damaged file is an error here,
    never a silently wrong figure in a run.
    """
    import morvane

    if path is None:
        return morvane.load_backtest_data()
    from .backtest import _service
    from .backtest._prepare import BinaryPreparedDataStore
    from .backtest.result import BacktestData

    _service._recover_store_folder(path)
    store = BinaryPreparedDataStore(path)
    with _service._StoreFolderLock(path, "read"):
        if not store.metadata_path.exists():
            raise FileNotFoundError(f"预备数据目录中没有回测数据: {path}")
        payload = store.load(start_date=None, end_date=None, mmap=True, verify=True)
    return BacktestData(data=payload["data"])


def _local_data(data: object) -> BacktestData:
    from .backtest.result import BacktestData

    if isinstance(data, BacktestData):
        return data
    if data is None or isinstance(data, (str, os.PathLike)):
        return _load_store(None if data is None else os.fspath(data))
    raise _type_error("data", "BacktestData | str | os.PathLike | None", data)


# Per worker process: store path (None: the worker's own prepared data) -> data.
_WORKER_DATA: dict[str | None, BacktestData] = {}
_WORKER_DATA_LOCK = threading.Lock()


def _worker_store_data(path: str | None) -> BacktestData:
    with _WORKER_DATA_LOCK:
        if path not in _WORKER_DATA:
            _WORKER_DATA[path] = _load_store(path)
        return _WORKER_DATA[path]


@dataclass(frozen=True)
class _StoreRef:
    """Tells a Dask task to read the data its worker process loaded from a store."""

    path: str | None


class _ShippedTable:
    """A factor or weight table on its way to the Dask workers.

    Dask sends a DataFrame through its own pandas serialiser, which moves a
    table of a few thousand text labels many times slower than its numbers;
    wrapped, the table travels as a pickle whose arrays go out of band, and
    arrives equal to the original, labels and dtypes included.
    """

    __slots__ = ("table",)

    def __init__(self, table: pd.DataFrame) -> None:
        self.table = table


def _forget_store_data(path: str | None) -> None:
    with _WORKER_DATA_LOCK:
        _WORKER_DATA.pop(path, None)


def _run_remote(kind: Kind, table: pd.DataFrame | _ShippedTable, data: object, start: object, end: object,
                task: _Task, plot_kind: str, keep_series: bool) -> _Outcome:
    """A Dask task: the worker runs its tasks one per thread, so the kernels run single-threaded."""
    if isinstance(data, _StoreRef):
        data = _worker_store_data(data.path)
    if isinstance(table, _ShippedTable):
        table = table.table
    return _run_task(kind, table, data, start, end, task, plot_kind, keep_series, 1)  # type: ignore[arg-type]


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as exc:
        raise ImportError(_DASK_HINT) from exc
    return distributed


# ------------------------------------------------------------------ the two modes


def _sweep_local(kind: Kind, inputs: Mapping[str, pd.DataFrame], data: BacktestData, start: object,
                 end: object, tasks: list[_Task], plot_kind: str, keep_series: bool, threads: int | None,
                 errors: str, bar: tqdm) -> list[_Outcome]:
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
            executor.submit(_run_task, kind, inputs[t.input_name], data, start, end, t, plot_kind,
                            keep_series, inner)
            for t in tasks
        }
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                outcome = future.result()  # an interrupt inside a task surfaces here
                bar.update(1)
                if outcome.error is not None and errors == "raise":
                    raise outcome.error
                outcomes.append(outcome)
    finally:
        # On an interrupt or a raised error nothing new starts; the running
        # backtests (native code, not interruptible) finish and their threads end.
        for future in pending:
            future.cancel()
        executor.shutdown(wait=True, cancel_futures=True)
    return outcomes


def _sweep_dask(client: Any, kind: Kind, inputs: Mapping[str, pd.DataFrame], data: object, start: object,
                end: object, tasks: list[_Task], plot_kind: str, keep_series: bool, errors: str,
                bar: tqdm) -> list[_Outcome]:
    distributed = _distributed()
    _print_dashboard(client)
    from .backtest.result import BacktestData

    if isinstance(data, BacktestData):
        # workers that see no store get the data once each, not once per task
        data_arg: object = client.scatter(data, broadcast=True, hash=False)
    else:
        path = None if data is None else os.path.abspath(os.fspath(data))  # type: ignore[arg-type]
        from ._sweep_dask import StoreDataPlugin

        client.register_plugin(StoreDataPlugin(path), name=f"morvane-sweep-data-{path}")
        data_arg = _StoreRef(path)
    # each input once, on every worker, so a lost worker loses no input
    tables = {name: client.scatter(_ShippedTable(table), broadcast=True, hash=False)
              for name, table in inputs.items()}
    futures = [
        client.submit(_run_remote, kind, tables[t.input_name], data_arg, start, end, t, plot_kind,
                      keep_series, retries=2, pure=False, key=f"morvane-sweep-{kind}-{t.index}-{id(tasks)}")
        for t in tasks
    ]
    outcomes: list[_Outcome] = []
    try:
        for future in distributed.as_completed(futures):
            outcome = future.result()
            bar.update(1)
            if outcome.error is not None and errors == "raise":
                raise outcome.error
            outcomes.append(outcome)
    finally:
        client.cancel(futures + list(tables.values()) +
                      ([data_arg] if isinstance(data_arg, distributed.Future) else []))
    return outcomes


def _print_dashboard(client: Any) -> None:
    try:
        services = client.scheduler_info().get("services", {})
        link = client.dashboard_link if "dashboard" in services else None
    except Exception:  # noqa: BLE001 - a link is a convenience, never a reason to fail
        link = None
    if link:
        tqdm.write(f"Dask 仪表盘: {link}", file=sys.stderr)


def _sweep(kind: Kind, tables: object, data: object, start_date: object, end_date: object, *,
           grid: Sequence[Mapping[str, Any]] | None, client: Any, threads: int | None, plot: bool | str,
           output_dir: str | os.PathLike[str] | None, keep: str, errors: str
           ) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    if keep not in ("summary", "series"):
        raise ValueError(f"参数 keep 只能是 \"summary\" 或 \"series\", 收到 {keep!r}")
    if errors not in ("record", "raise"):
        raise ValueError(f"参数 errors 只能是 \"record\" 或 \"raise\", 收到 {errors!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"参数 threads 必须是正整数或 None, 收到 {threads!r}")
    plot_kind = _plot_kind(kind, plot)
    if plot is not False and output_dir is None:
        raise ValueError("出图时 output_dir 必须提供")
    inputs = _inputs(tables, kind)
    local = client is None
    loaded = _local_data(data) if local else data
    from .backtest.result import BacktestData

    known = loaded if isinstance(loaded, BacktestData) else None
    plot_root = None if plot is False else Path(output_dir)  # type: ignore[arg-type]
    request = _Request(kind, known, start_date, end_date, plot_root, plot_kind)
    tasks = _build_tasks(request, inputs, grid)
    if not local:
        _distributed()  # the install hint before any work
        if not (isinstance(data, BacktestData) or data is None or isinstance(data, (str, os.PathLike))):
            raise _type_error("data", "BacktestData | str | os.PathLike | None", data)

    with tqdm(total=len(tasks), desc="参数扫描", unit="次", disable=None) as bar:
        if local:
            outcomes = _sweep_local(kind, inputs, loaded, start_date, end_date, tasks, plot_kind,
                                    keep == "series", threads, errors, bar)
        else:
            outcomes = _sweep_dask(client, kind, inputs, loaded, start_date, end_date, tasks, plot_kind,
                                   keep == "series", errors, bar)
    return _assemble(kind, tasks, outcomes, keep == "series")


def _plot_kind(kind: Kind, plot: bool | str) -> str:
    if plot is True or plot is False:
        return _PLOT_DEFAULT[kind]
    if plot in ("long", "large"):
        return plot
    raise ValueError(f"参数 plot 只能是 False、True、\"long\" 或 \"large\", 收到 {plot!r}")


def _assemble(kind: Kind, tasks: list[_Task], outcomes: list[_Outcome], keep_series: bool
              ) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    """The table in task order: input, parameters, figures (first-seen order), error."""
    by_index = {o.index: o for o in outcomes}
    names = list(FACTOR_PARAMETERS if kind == "factor" else STRATEGY_PARAMETERS)
    figure_columns: dict[str, None] = {}
    rows: list[dict[str, Any]] = []
    for task in tasks:
        outcome = by_index[task.index]
        figure_columns.update(dict.fromkeys(outcome.figures))
        row: dict[str, Any] = {_INPUT_COLUMN: task.input_name}
        row.update({name: _label(task.params[name]) for name in names})
        row.update(outcome.figures)
        if task.plot_dir is not None:
            row[_PLOT_DIR_COLUMN] = task.plot_dir if outcome.error is None else None
        error = outcome.error
        row[_ERROR_COLUMN] = None if error is None else f"{type(error).__name__}: {error}"
        rows.append(row)
    columns = [_INPUT_COLUMN, *names, *figure_columns]
    if any(t.plot_dir is not None for t in tasks):
        columns.append(_PLOT_DIR_COLUMN)
    columns.append(_ERROR_COLUMN)
    table = pd.DataFrame(rows, columns=columns)
    table[_ERROR_COLUMN] = table[_ERROR_COLUMN].astype(object)
    if not keep_series:
        return table
    kept = {o.index: o.series for o in sorted(outcomes, key=lambda o: o.index) if o.series is not None}
    series = pd.concat(kept, axis=1) if kept else pd.DataFrame()
    if kept:
        series.columns.names = ["run", *([None] * (series.columns.nlevels - 1))]
    return table, series


# ------------------------------------------------------------------ public entry points


def run_factor(
    factors: pd.DataFrame | Mapping[str, pd.DataFrame],
    data: BacktestData | str | os.PathLike[str] | None,
    start_date: str | int,
    end_date: str | int,
    *,
    grid: Sequence[Mapping[str, Any]] | None = None,
    client: Any = None,
    threads: int | None = None,
    plot: bool | str = False,
    output_dir: str | os.PathLike[str] | None = None,
    keep: str = "summary",
    errors: str = "record",
) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    """对一个或多个因子宽表批量跑分组回测, 每个 (因子, 参数组) 一次。

    与逐个调用 morvane.backtest 的结果一致 (默认不出图)。全部参数组先按单次回测的
    规则校验, 有一组不合法时在开始计算前报错并指出是第几组。

    Args:
        factors (pandas.DataFrame | dict): 一张因子宽表 (名称取列索引名, 没有时为
            "factor"), 或因子名到宽表的映射, 例如 {"mom20": df1, "value": df2}。
        data (BacktestData | str | PathLike | None): load_backtest_data() 的结果; 或预备
            数据目录 (内存映射读取, Dask 模式下每个 worker 进程各读一次); None 表示本机
            (Dask 模式下每个 worker 所在机器) 已准备的回测数据。
        start_date (str | int): 回测首日 (含), 例如 20190102。
        end_date (str | int): 回测末日 (含), 例如 "20231229"。
        grid (list[dict] | None): 参数组列表, 例如 grid(group_num=[5, 10]) 的结果;
            可扫描 group_num、benchmark、universe、rolling_window、ascending、
            total_money、fee、rule_fee、horizons (持有期元组, 例如 (1, 5, 20))、rebalance_every,
            未给出的取单次回测的默认值; 默认 None 为一组默认参数。
        client (distributed.Client | None): Dask 客户端; 默认 None 在本机线程池上运行。
        threads (int | None): 本机模式的线程数, 默认 None 为可用 CPU 数。
        plot (bool | str): 默认 False 不出图; True、"long" 或 "large" 时每次回测一个目录
            output_dir/run_NNNNN, 表中 "output_dir" 列给出目录。
        output_dir (str | PathLike | None): 出图时的根目录, 默认 None。
        keep (str): "summary" (默认) 只返回汇总表; "series" 同时返回日收益表。
        errors (str): "record" (默认) 把出错的回测记入 "error" 列并继续; "raise" 遇错即停并抛出。
    Returns:
        pandas.DataFrame | tuple: 汇总表, 每行一次回测: "input"、各参数、"best_group"、
            "rank_ic_mean"、"rank_ic_ir"、"top_minus_bottom_annual_return" (末组减首组,
            日均 × 252)、各基准的 "excess_annual_return_<代码>" 等列与 "error";
            keep="series" 时为 (汇总表, 各分组日收益表, 列为 (run 行号, 分组))。
    Raises:
        TypeError: 参数类型不符, 或参数组含未知参数名。
        ValueError: 参数组取值不合法 (消息指出第几组)、输入为空、keep/errors/plot 取值无效,
            或出图时缺少 output_dir。
        ImportError: Dask 模式未安装 dask[distributed] (pip install morvane[dask])。
        FileNotFoundError: data 指向的目录没有回测数据。
        MorvaneError: data 指向的目录中有数据文件损坏或缺失 (映射时逐行校验, 每个进程一次;
            消息给出文件与修复的命令), 或 data 缺少回测所需的数据集 (消息指出第几组)。
        NotADirectoryError: 出图时 output_dir 处已有同名文件 (消息指出第几组)。
        Exception: errors="raise" 时第一个失败的回测的异常; 输入表不合法 (与单次回测相同的
            错误) 也是这样, errors="record" 时它的每次回测记入 "error" 列。
    """
    return _sweep("factor", factors, data, start_date, end_date, grid=grid, client=client, threads=threads,
                  plot=plot, output_dir=output_dir, keep=keep, errors=errors)


def run_strategy(
    weights: pd.DataFrame | Mapping[str, pd.DataFrame],
    data: BacktestData | str | os.PathLike[str] | None,
    start_date: str | int,
    end_date: str | int,
    *,
    grid: Sequence[Mapping[str, Any]] | None = None,
    client: Any = None,
    threads: int | None = None,
    plot: bool | str = False,
    output_dir: str | os.PathLike[str] | None = None,
    keep: str = "summary",
    errors: str = "record",
) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    """对一个或多个目标权重表批量跑策略回测, 每个 (权重表, 参数组) 一次。

    与逐个调用 morvane.backtest_strategy 的结果一致 (默认不出图)。全部参数组先按单次
    回测的规则校验, 有一组不合法时在开始计算前报错并指出是第几组。

    Args:
        weights (pandas.DataFrame | dict): 一张权重表 (名称 "strategy"), 或策略名到
            权重表的映射, 例如 {"top50": w1, "top100": w2}。
        data (BacktestData | str | PathLike | None): load_backtest_data() 的结果; 或预备
            数据目录 (内存映射读取, Dask 模式下每个 worker 进程各读一次); None 表示本机
            (Dask 模式下每个 worker 所在机器) 已准备的回测数据。
        start_date (str | int): 回测首日 (含), 例如 20190102。
        end_date (str | int): 回测末日 (含), 例如 "20231229"。
        grid (list[dict] | None): 参数组列表; 可扫描 benchmark、rolling_window、
            total_money、fee、rule_fee, 未给出的取单次回测的默认值; 默认 None 为一组默认参数。
        client (distributed.Client | None): Dask 客户端; 默认 None 在本机线程池上运行。
        threads (int | None): 本机模式的线程数, 默认 None 为可用 CPU 数。
        plot (bool | str): 默认 False 不出图; True、"large" 或 "long" 时每次回测一个目录
            output_dir/run_NNNNN (图名即策略名), 表中 "output_dir" 列给出目录。
        output_dir (str | PathLike | None): 出图时的根目录, 默认 None。
        keep (str): "summary" (默认) 只返回汇总表; "series" 同时返回日收益表。
        errors (str): "record" (默认) 把出错的回测记入 "error" 列并继续; "raise" 遇错即停并抛出。
    Returns:
        pandas.DataFrame | tuple: 汇总表, 每行一次回测: "input"、各参数、十三项统计指标、
            各基准的 "excess_annual_return_<代码>" 等列与 "error"; keep="series" 时为
            (汇总表, 日收益表, 列为 run 行号)。
    Raises:
        TypeError: 参数类型不符, 或参数组含未知参数名。
        ValueError: 参数组取值不合法 (消息指出第几组)、输入为空、keep/errors/plot 取值无效,
            或出图时缺少 output_dir。
        ImportError: Dask 模式未安装 dask[distributed] (pip install morvane[dask])。
        FileNotFoundError: data 指向的目录没有回测数据。
        MorvaneError: data 指向的目录中有数据文件损坏或缺失 (映射时逐行校验, 每个进程一次;
            消息给出文件与修复的命令), 或 data 缺少回测所需的数据集 (消息指出第几组)。
        NotADirectoryError: 出图时 output_dir 处已有同名文件 (消息指出第几组)。
        Exception: errors="raise" 时第一个失败的回测的异常; 输入表不合法 (与单次回测相同的
            错误) 也是这样, errors="record" 时它的每次回测记入 "error" 列。
    """
    return _sweep("strategy", weights, data, start_date, end_date, grid=grid, client=client,
                  threads=threads, plot=plot, output_dir=output_dir, keep=keep, errors=errors)


# ------------------------------------------------------------------ configuration files

_CONFIG_SECTIONS = ("inputs", "grid", "dates", "output", "dask")


def _read_table(path: Path) -> pd.DataFrame:
    suffix = path.suffix.lower()
    if suffix == ".parquet":
        table = pd.read_parquet(path)
    elif suffix == ".csv":
        table = pd.read_csv(path, index_col=0)
    else:
        raise ValueError(f"输入表只支持 .parquet 或 .csv 文件, 收到 {path}")
    table.index = table.index.astype(str)  # dates read from CSV arrive as integers
    return table


def _config_grid(section: Mapping[str, Any]) -> list[dict[str, Any]]:
    if "sets" in section:
        if len(section) != 1:
            raise ValueError("[grid] 中给出 sets 时不能再给其他参数")
        sets = section["sets"]
        if not isinstance(sets, list):
            raise _type_error("grid.sets", "list[table]", sets)
        return [dict(s) for s in sets]
    return grid(**section)


_OUTPUT_FORMATS = ("parquet", "csv")


def _output_formats(formats: object) -> tuple[str, ...]:
    """The [output] formats, by default Parquet (when pyarrow is installed) and CSV."""
    if formats is None:
        return _OUTPUT_FORMATS if has_pyarrow() else ("csv",)
    if not isinstance(formats, list) or not formats or not all(isinstance(f, str) for f in formats):
        raise _type_error("output.formats", "非空的 list[str]", formats)
    unknown = [f for f in formats if f not in _OUTPUT_FORMATS]
    if unknown:
        raise ValueError(f"[output] 的 formats 只能取 \"parquet\" 或 \"csv\", 收到 {unknown[0]!r}")
    return tuple(dict.fromkeys(formats))


def run_config(config_path: str | os.PathLike[str], *, out_dir: str | os.PathLike[str] | None = None
               ) -> pd.DataFrame:
    """按 TOML 配置文件跑一次参数扫描, 并把汇总表写成 Parquet 与 CSV 文件。

    配置文件的各节 (相对路径都相对配置文件所在目录):

    - [inputs]: kind = "factor" 或 "strategy"; tables = {名称 = "文件.parquet" 或 ".csv"}
      (日期 x 股票的宽表, 首列为日期); data = 预备数据目录, 可省略 (本机已准备的数据)。
    - [grid]: 参数名 = 取值列表 (笛卡尔积), 或只给 sets = [{...}, ...] 明确列出各组;
      选股范围取 "" 表示全市场。
    - [dates]: start、end, 例如 20190102。
    - [output]: dir (默认配置文件同目录下的 "sweep")、name (文件名主干, 默认 "sweep")、
      plot (默认 false)、keep 只能是 "summary"、errors ("record" 或 "raise")、threads、
      formats (汇总表文件格式, "parquet" 与 / 或 "csv"; 默认两者都写, 未安装 pyarrow 时只写 CSV)。
    - [dask] (可选): address = 调度器地址, 例如 "tcp://10.0.0.5:8786"。

    Args:
        config_path (str | PathLike): 配置文件路径, 例如 "sweep.toml"。
        out_dir (str | PathLike | None): 输出目录, 给出时优先于 [output] 的 dir, 默认 None。
    Returns:
        pandas.DataFrame: 汇总表, 同 run_factor / run_strategy; 也按 formats 写到
            <输出目录>/<name>.parquet 与 / 或 <name>.csv, 写出的路径记在 attrs["output_files"]。
    Raises:
        FileNotFoundError: 配置文件或输入表不存在。
        ValueError: 配置文件不是合法的 TOML、缺少必需的节或键、取值不合法。
        TypeError: 配置项类型不符。
        ImportError: 输入表或 formats 含 Parquet 而未安装 pyarrow (pip install morvane[parquet]), 或给了 [dask]
            而未安装 dask[distributed] (pip install morvane[dask])。
    """
    import tomllib

    path = Path(config_path)
    try:
        config = tomllib.loads(path.read_text(encoding="utf-8"))
    except tomllib.TOMLDecodeError as exc:
        raise ValueError(f"配置文件 {path} 不是合法的 TOML: {exc}") from None
    unknown = [name for name in config if name not in _CONFIG_SECTIONS]
    if unknown:
        raise ValueError(f"配置文件含未知的节: {', '.join(unknown)}; 可用的节: {', '.join(_CONFIG_SECTIONS)}")
    for name in ("inputs", "dates"):
        if not isinstance(config.get(name), dict):
            raise ValueError(f"配置文件缺少 [{name}] 节")
    base = path.parent
    inputs, dates = config["inputs"], config["dates"]
    output = config.get("output", {})
    kind = inputs.get("kind")
    if kind not in ("factor", "strategy"):
        raise ValueError(f"[inputs] 的 kind 只能是 \"factor\" 或 \"strategy\", 收到 {kind!r}")
    files = inputs.get("tables")
    if not isinstance(files, dict) or not files:
        raise ValueError("[inputs] 的 tables 必须是非空的 {名称 = 文件} 表")
    for key in ("start", "end"):
        if key not in dates:
            raise ValueError(f"[dates] 缺少 {key}")
    if output.get("keep", "summary") != "summary":
        raise ValueError("[output] 的 keep 只能是 \"summary\": 日收益表无法写进汇总表文件")
    formats = _output_formats(output.get("formats"))
    if "parquet" in formats or any(Path(str(file)).suffix.lower() == ".parquet" for file in files.values()):
        require_pyarrow("读写 Parquet 文件")

    tables = {str(name): _read_table(base / str(file)) for name, file in files.items()}
    data = inputs.get("data")
    target = Path(out_dir) if out_dir is not None else base / str(output.get("dir", "sweep"))
    stem = str(output.get("name", "sweep"))
    client = None
    dask_section = config.get("dask")
    if dask_section is not None:
        if not isinstance(dask_section, dict) or not isinstance(dask_section.get("address"), str):
            raise ValueError("[dask] 节需要 address = 调度器地址")
        client = _distributed().Client(dask_section["address"])
    try:
        runner = run_factor if kind == "factor" else run_strategy
        table = runner(
            tables, None if data is None else base / str(data), dates["start"], dates["end"],
            grid=_config_grid(config.get("grid", {})), client=client, threads=output.get("threads"),
            plot=output.get("plot", False), output_dir=target / "charts", errors=output.get("errors", "record"),
        )
    finally:
        if client is not None:
            client.close()
    assert isinstance(table, pd.DataFrame)
    target.mkdir(parents=True, exist_ok=True)
    written = tuple(target / f"{stem}.{file_format}" for file_format in formats)
    for file_format, file in zip(formats, written, strict=True):
        if file_format == "parquet":
            table.to_parquet(file, index=False)
        else:
            table.to_csv(file, index=False)
    # Where the files went, for callers that let the config choose the folder.
    table.attrs["output_files"] = tuple(str(p) for p in written)
    return table

"""The two entry points of a sweep: check everything, run the tasks, assemble the table."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd
from tqdm import tqdm

from ._execution import _Run, _sweep_dask, _sweep_local
from ._grid import _build_tasks, _inputs, _plot_kind, _Request
from ._parameters import Kind
from ._results import _assemble
from ._transport import _check_data, _distributed, _local_data

if TYPE_CHECKING:
    from ..backtest.result import BacktestData


def _check_options(keep: str, errors: str, threads: int | None) -> None:
    if keep not in ("summary", "series"):
        raise ValueError(f'参数 keep 只能是 "summary" 或 "series", 收到 {keep!r}')
    if errors not in ("record", "raise"):
        raise ValueError(f'参数 errors 只能是 "record" 或 "raise", 收到 {errors!r}')
    if threads is not None and (
        isinstance(threads, bool) or not isinstance(threads, int) or threads < 1
    ):
        raise ValueError(f"参数 threads 必须是正整数或 None, 收到 {threads!r}")


def _sweep(
    kind: Kind,
    tables: object,
    data: object,
    start_date: object,
    end_date: object,
    *,
    grid: Sequence[Mapping[str, Any]] | None,
    client: Any,
    threads: int | None,
    plot: bool | str,
    output_dir: str | os.PathLike[str] | None,
    keep: str,
    errors: str,
) -> pd.DataFrame | tuple[pd.DataFrame, pd.DataFrame]:
    _check_options(keep, errors, threads)
    plot_kind = _plot_kind(kind, plot)
    if plot is not False and output_dir is None:
        raise ValueError("出图时 output_dir 必须提供")
    inputs = _inputs(tables, kind)
    local = client is None
    loaded = _local_data(data) if local else data
    from ..backtest.result import BacktestData

    known = loaded if isinstance(loaded, BacktestData) else None
    plot_root = None if plot is False else Path(output_dir)  # type: ignore[arg-type]
    request = _Request(kind, known, start_date, end_date, plot_root, plot_kind)
    tasks = _build_tasks(request, inputs, grid)
    if not local:
        _distributed()  # the install hint before any work
        _check_data(data)

    keep_series = keep == "series"
    run = _Run(kind, start_date, end_date, plot_kind, keep_series)
    with tqdm(total=len(tasks), desc="参数扫描", unit="次", disable=None) as bar:
        if local:
            outcomes = _sweep_local(run, inputs, loaded, tasks, threads, errors, bar)
        else:
            outcomes = _sweep_dask(client, run, inputs, loaded, tasks, errors, bar)
    return _assemble(kind, tasks, outcomes, keep_series)


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
    return _sweep(
        "factor",
        factors,
        data,
        start_date,
        end_date,
        grid=grid,
        client=client,
        threads=threads,
        plot=plot,
        output_dir=output_dir,
        keep=keep,
        errors=errors,
    )


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
    return _sweep(
        "strategy",
        weights,
        data,
        start_date,
        end_date,
        grid=grid,
        client=client,
        threads=threads,
        plot=plot,
        output_dir=output_dir,
        keep=keep,
        errors=errors,
    )

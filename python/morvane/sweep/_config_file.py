"""Sweeps described by a TOML file: its sections read and checked, the summary written out."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pandas as pd

from .._optional import has_pyarrow, require_pyarrow
from ._api import run_factor, run_strategy
from ._grid import _type_error, grid
from ._transport import _distributed

_CONFIG_SECTIONS = ("inputs", "grid", "dates", "output", "dask")
_OUTPUT_FORMATS = ("parquet", "csv")


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


def _output_formats(formats: object) -> tuple[str, ...]:
    """The [output] formats, by default Parquet (when pyarrow is installed) and CSV."""
    if formats is None:
        return _OUTPUT_FORMATS if has_pyarrow() else ("csv",)
    if not isinstance(formats, list) or not formats or not all(isinstance(f, str) for f in formats):
        raise _type_error("output.formats", "非空的 list[str]", formats)
    unknown = [f for f in formats if f not in _OUTPUT_FORMATS]
    if unknown:
        raise ValueError(f'[output] 的 formats 只能取 "parquet" 或 "csv", 收到 {unknown[0]!r}')
    return tuple(dict.fromkeys(formats))


def _read_config(path: Path) -> dict[str, Any]:
    """The TOML file's sections, the required ones present and no unknown one."""
    import tomllib

    try:
        config = tomllib.loads(path.read_text(encoding="utf-8"))
    except tomllib.TOMLDecodeError as exc:
        raise ValueError(f"配置文件 {path} 不是合法的 TOML: {exc}") from None
    unknown = [name for name in config if name not in _CONFIG_SECTIONS]
    if unknown:
        raise ValueError(
            f"配置文件含未知的节: {', '.join(unknown)}; 可用的节: {', '.join(_CONFIG_SECTIONS)}"
        )
    for name in ("inputs", "dates"):
        if not isinstance(config.get(name), dict):
            raise ValueError(f"配置文件缺少 [{name}] 节")
    return config


@dataclass(frozen=True)
class _ConfigRun:
    """One configuration file's sweep, checked before any table is read."""

    kind: str
    files: dict[str, Any]
    data: object
    start: object
    end: object
    formats: tuple[str, ...]


def _check_config(config: Mapping[str, Any]) -> _ConfigRun:
    inputs, dates = config["inputs"], config["dates"]
    output = config.get("output", {})
    kind = inputs.get("kind")
    if kind not in ("factor", "strategy"):
        raise ValueError(f'[inputs] 的 kind 只能是 "factor" 或 "strategy", 收到 {kind!r}')
    files = inputs.get("tables")
    if not isinstance(files, dict) or not files:
        raise ValueError("[inputs] 的 tables 必须是非空的 {名称 = 文件} 表")
    for key in ("start", "end"):
        if key not in dates:
            raise ValueError(f"[dates] 缺少 {key}")
    if output.get("keep", "summary") != "summary":
        raise ValueError('[output] 的 keep 只能是 "summary": 日收益表无法写进汇总表文件')
    formats = _output_formats(output.get("formats"))
    if "parquet" in formats or any(
        Path(str(file)).suffix.lower() == ".parquet" for file in files.values()
    ):
        require_pyarrow("读写 Parquet 文件")
    return _ConfigRun(kind, files, inputs.get("data"), dates["start"], dates["end"], formats)


def _dask_client(section: object) -> Any:
    """The [dask] section's client, or None to run on this machine's threads."""
    if section is None:
        return None
    if not isinstance(section, dict) or not isinstance(section.get("address"), str):
        raise ValueError("[dask] 节需要 address = 调度器地址")
    return _distributed().Client(section["address"])


def _write_summary(table: pd.DataFrame, target: Path, stem: str, formats: tuple[str, ...]) -> None:
    """The summary in each format; where the files went is kept in the table's attrs."""
    target.mkdir(parents=True, exist_ok=True)
    written = tuple(target / f"{stem}.{file_format}" for file_format in formats)
    for file_format, file in zip(formats, written, strict=True):
        if file_format == "parquet":
            table.to_parquet(file, index=False)
        else:
            table.to_csv(file, index=False)
    # For callers that let the config choose the folder.
    table.attrs["output_files"] = tuple(str(p) for p in written)


def run_config(
    config_path: str | os.PathLike[str], *, out_dir: str | os.PathLike[str] | None = None
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
    path = Path(config_path)
    config = _read_config(path)
    run = _check_config(config)
    base = path.parent
    output = config.get("output", {})
    tables = {str(name): _read_table(base / str(file)) for name, file in run.files.items()}
    target = Path(out_dir) if out_dir is not None else base / str(output.get("dir", "sweep"))
    client = _dask_client(config.get("dask"))
    try:
        runner = run_factor if run.kind == "factor" else run_strategy
        table = runner(
            tables,
            None if run.data is None else base / str(run.data),
            run.start,
            run.end,
            grid=_config_grid(config.get("grid", {})),
            client=client,
            threads=output.get("threads"),
            plot=output.get("plot", False),
            output_dir=target / "charts",
            errors=output.get("errors", "record"),
        )
    finally:
        if client is not None:
            client.close()
    assert isinstance(table, pd.DataFrame)
    _write_summary(table, target, str(output.get("name", "sweep")), run.formats)
    return table

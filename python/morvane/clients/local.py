"""A data client over a directory of local files, one file per factor.

Layout (see docs/data-clients.md)::

    <directory>/factors/<factor name>.parquet | .csv   long or wide
    <directory>/index_daily.parquet | .csv             index bars

Codes and dates are read as text, since CSV readers turn 000001 into 1.
"""

from __future__ import annotations

import re
from pathlib import Path

import pandas as pd

from .._optional import require_pyarrow
from ._query import code_list, factor_names, long_table, query_date, wide_table

__all__ = ["LocalFileClient", "write_factor_file", "write_index_file"]

_FORMATS = ("parquet", "csv")
_PLAIN_NAME = re.compile(r"^[^/\\\x00]+$")
_TEXT_COLUMNS = {"ukey": str, "date": str, "DataDate": str}


def _check_format(file_format: str) -> str:
    if file_format not in _FORMATS:
        raise ValueError(f"参数 file_format 须为 'parquet' 或 'csv', 收到 {file_format!r}")
    return file_format


def _plain_name(name: str) -> str:
    """A factor name usable as a file name inside the directory, else ValueError."""
    if not _PLAIN_NAME.match(name) or name in (".", "..") or name.strip() != name:
        raise ValueError(f"因子名不能用作文件名: {name!r} (不能含路径分隔符, 不能是 . 或 ..)")
    return name


def _read(path: Path) -> pd.DataFrame:
    if path.suffix == ".parquet":
        require_pyarrow("读写 Parquet 文件")
        table = pd.read_parquet(path)
        for column in ("ukey",):
            if column in table.columns:
                table[column] = table[column].astype(str)
        return table
    return pd.read_csv(path, dtype=_TEXT_COLUMNS, keep_default_na=True)


def _dates(values: pd.Series) -> pd.Series:
    if pd.api.types.is_datetime64_any_dtype(values):
        return values
    text = values.astype(str).str.strip()
    eight = text.str.fullmatch(r"\d{8}")
    if bool(eight.all()):
        return pd.to_datetime(text, format="%Y%m%d", errors="coerce")
    return pd.to_datetime(text, errors="coerce")


def _between(
    table: pd.DataFrame, first: pd.Timestamp | None, last: pd.Timestamp | None
) -> pd.DataFrame:
    date_column = "date" if "date" in table.columns else "DataDate"
    dates = _dates(table[date_column])
    keep = dates.notna()
    if first is not None:
        keep &= dates >= first
    if last is not None:
        keep &= dates <= last
    out = table.loc[keep].copy()
    out[date_column] = dates[keep]
    return out.rename(columns={"DataDate": "date"})


class LocalFileClient:
    """读本地文件的数据客户端, 满足 morvane 的数据客户端协议。

    目录布局: <directory>/factors/<因子名>.parquet 或 .csv (长表 "ukey"、"date"、"value",
    或宽表 "ukey"、"date" 加一列以因子名命名的值), 以及 <directory>/index_daily.parquet 或 .csv
    (列 "ukey"、"date", 加 "daily_return" 或 "close")。日期可为 "YYYYMMDD" 或 "YYYY-MM-DD"。

    Args:
        directory (str | Path): 数据目录。

    Raises:
        TypeError: directory 不是 str 或 Path。
        FileNotFoundError: 目录不存在。
    """

    def __init__(self, directory: str | Path) -> None:
        if not isinstance(directory, (str, Path)):
            raise TypeError(
                f"参数 directory 类型错误: 期望 str | Path, 收到 {type(directory).__name__}"
            )
        self.directory = Path(directory)
        if not self.directory.is_dir():
            raise FileNotFoundError(f"数据目录不存在: {self.directory}")

    def _factor_path(self, name: str) -> Path | None:
        _plain_name(name)
        for suffix in (".parquet", ".csv"):
            path = self.directory / "factors" / f"{name}{suffix}"
            if path.is_file():
                return path
        return None

    def _factor_long(
        self, name: str, first: pd.Timestamp | None, last: pd.Timestamp | None
    ) -> pd.DataFrame | None:
        path = self._factor_path(name)
        if path is None:
            return None
        table = _between(_read(path), first, last)
        if "value" not in table.columns:
            if name not in table.columns:
                return None
            table = table.rename(columns={name: "value"})
        table = table[["ukey", "date", "value"]]
        return table.assign(value=pd.to_numeric(table["value"], errors="coerce"))

    def missing_files(self, factor_names: list[str], *, index_daily: bool = True) -> list[str]:
        """这些因子 (以及指数日行情) 中目录里没有文件的, 按给出的顺序。

        Args:
            factor_names (list[str]): 因子名, 例如 ["Close", "Open"]。
            index_daily (bool): 是否也查指数日行情文件, 默认 True。
        Returns:
            list[str]: 缺少的文件, 写作相对目录的路径 (不含扩展名), 例如
            ["factors/Open", "index_daily"]; 都在时为空列表。
        Raises:
            ValueError: 因子名不能用作文件名。
        """
        missing = [f"factors/{name}" for name in factor_names if self._factor_path(name) is None]
        index_files = (self.directory / f"index_daily{suffix}" for suffix in (".parquet", ".csv"))
        if index_daily and not any(path.is_file() for path in index_files):
            missing.append("index_daily")
        return missing

    def get_factors(
        self, *, factor: str | list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """按因子名读因子文件。

        Args:
            factor (str | list[str]): 一个或多个因子名 (即文件名, 不含扩展名); 没有文件的因子不出现在结果中。
            start_date (str | None): 起始日期 "YYYY-MM-DD" 或 "YYYYMMDD", None 表示不限。
            end_date (str | None): 结束日期, 同上, 含当日。

        Returns:
            pandas.DataFrame | None: 长表 ("ukey"、"date"、"value", 多因子另有 "factor" 列);
            没有数据时返回 None。

        Raises:
            TypeError: 参数类型错误。
            ValueError: 日期无效, 或因子名含路径分隔符等不能作为文件名的字符。
            ImportError: 读 Parquet 文件但未安装 pyarrow。
        """
        names = factor_names(factor)
        first, last = query_date(start_date, "start_date"), query_date(end_date, "end_date")
        parts = [(name, self._factor_long(name, first, last)) for name in names]
        return long_table(parts, with_factor=not isinstance(factor, str))

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """读指数日行情文件中请求的指数。

        Args:
            ukeys (list[str]): 指数代码, 例如 ["000300.XSHG"]。
            start_date (str | None): 起始日期 "YYYYMMDD" 或 "YYYY-MM-DD", None 表示不限。
            end_date (str | None): 结束日期, 同上。

        Returns:
            pandas.DataFrame | None: 文件中这些指数在区间内的行; 没有文件或没有行时返回 None。

        Raises:
            TypeError: 参数类型错误。
            ValueError: 日期无效。
        """
        codes = code_list(ukeys)
        first, last = query_date(start_date, "start_date"), query_date(end_date, "end_date")
        for suffix in (".parquet", ".csv"):
            path = self.directory / f"index_daily{suffix}"
            if path.is_file():
                table = _between(_read(path), first, last)
                if "ukey" in table.columns:
                    table = table[table["ukey"].isin(codes)]
                return table.reset_index(drop=True) if not table.empty else None
        return None


def _write_table(table: pd.DataFrame, path: Path, file_format: str) -> None:
    if file_format == "parquet":
        require_pyarrow("读写 Parquet 文件")
        table.to_parquet(path, index=False)
    else:
        table.to_csv(path, index=False)


def write_factor_file(directory: Path, name: str, table: pd.DataFrame, file_format: str) -> Path:
    """Writes one factor's long table as <directory>/factors/<name>.<format>."""
    _check_format(file_format)
    folder = Path(directory) / "factors"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"{_plain_name(name)}.{file_format}"
    out = table.assign(date=pd.to_datetime(table["date"]).dt.strftime("%Y%m%d"))
    _write_table(out, path, file_format)
    return path


def write_index_file(directory: Path, table: pd.DataFrame | None, file_format: str) -> Path:
    """Writes the index bars as <directory>/index_daily.<format>."""
    _check_format(file_format)
    path = Path(directory) / f"index_daily.{file_format}"
    path.parent.mkdir(parents=True, exist_ok=True)
    frame = (
        table
        if table is not None
        else pd.DataFrame(columns=["ukey", "date", "close", "daily_return"])
    )
    out = frame.assign(date=pd.to_datetime(frame["date"]).dt.strftime("%Y%m%d"))
    _write_table(out, path, file_format)
    return path


# wide_table is re-exported for callers that prefer the wide shape of a long read.
__all__ += ["wide_table"]

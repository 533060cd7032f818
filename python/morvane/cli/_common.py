"""Helpers shared by the commands: user errors, table files, dates and stores."""

from __future__ import annotations

import io
import re
import sys
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._optional import PYARROW_HINT, has_pyarrow

if TYPE_CHECKING:
    import pandas as pd

    from ..backtest.result import BacktestData

__all__ = [
    "CliError",
    "read_wide_table",
    "parse_date",
    "resolve_range",
    "align_codes",
    "load_prepared",
    "print_table",
    "console_logging",
    "refused_as_cli_error",
]

_TABLE_SUFFIXES = {".csv": "csv", ".txt": "csv", ".parquet": "parquet", ".pq": "parquet"}
# The date forms a table or an option may use. Each puts the year first, so
# none is ambiguous: "02/01/2023" (month or day first?) is refused, not guessed.
_EIGHT_DIGITS = re.compile(r"^(\d{4})(\d{2})(\d{2})$")
_SEPARATED = re.compile(
    r"^(\d{4})([-/])(\d{1,2})\2(\d{1,2})(?:[ T]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?$"
)
DATE_FORMS = "YYYYMMDD、YYYY-MM-DD 或 YYYY/MM/DD"


class CliError(Exception):
    """A mistake in the user's input: one line on stderr and exit status 1."""


def _date_of_text(text: str) -> str | None:
    """A date text as "YYYYMMDD", or None unless it is one of the accepted forms of a real day."""
    import datetime as dt

    match = _EIGHT_DIGITS.match(text) or _SEPARATED.match(text)
    if match is None:
        return None
    year, month, day = (
        int(match.group(k)) for k in ((1, 2, 3) if match.re is _EIGHT_DIGITS else (1, 3, 4))
    )
    try:
        return dt.date(year, month, day).strftime("%Y%m%d")
    except ValueError:
        return None


def _date_of_cell(value: object) -> str | None:
    """One table cell or option as "YYYYMMDD": a date text, an eight-digit number or a date cell."""
    import datetime as dt

    import numpy as np
    import pandas as pd

    if isinstance(value, str):
        return _date_of_text(value.strip())
    if isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, (int, np.integer)) or (
        isinstance(value, (float, np.floating)) and float(value).is_integer()
    ):
        return _date_of_text(str(int(value)))
    if isinstance(value, (dt.date, np.datetime64)):  # spreadsheet and Parquet date cells
        stamp = pd.Timestamp(value)
        if pd.isna(stamp):
            return None
        if stamp.tzinfo is not None:  # the market's calendar, as the backtests read it
            stamp = stamp.tz_convert("Asia/Shanghai")
        return stamp.strftime("%Y%m%d")
    return None


def parse_date(value: str, what: str) -> str:
    """One date argument as "YYYYMMDD" text.

    Args:
        value (str): 用户给出的日期, "YYYYMMDD"、"YYYY-MM-DD" 或 "YYYY/MM/DD", 例如 "2024-01-02"。
        what (str): 出错时提示的参数名, 例如 "--start"。
    Returns:
        str: "YYYYMMDD" 文本。
    Raises:
        CliError: 不是这几种写法之一, 或不是存在的日期 (不猜测月日顺序)。
    """
    date = _date_of_cell(value)
    if date is None:
        raise CliError(f"{what}: 无法识别的日期 {value!r}, 应为 {DATE_FORMS}")
    return date


def _date_labels(index: pd.Index, source: str) -> list[str]:
    """Row labels as "YYYYMMDD" texts; the first label that is not a date is named in the error."""
    import pandas as pd

    if isinstance(index, pd.DatetimeIndex):
        if index.isna().any():
            raise CliError(f"{source}: 第一列 (日期) 有空值")
        if index.tz is not None:
            index = index.tz_convert("Asia/Shanghai")
        return list(index.strftime("%Y%m%d"))
    dates: list[str] = []
    for position, value in enumerate(index):
        date = _date_of_cell(value)
        if date is None:
            raise CliError(
                f"{source}: 第一列应为日期 ({DATE_FORMS}), 第 {position + 1} 行是 {value!r}"
            )
        dates.append(date)
    return dates


def _stock_code(label: object) -> str:
    """A column label as the six-character code of the prepared data.

    A spreadsheet that stored 000001 as the number 1 and a code with its
    exchange suffix (000001.XSHE, 600000.SH) both mean the same stock.
    """
    text = str(label).strip()
    head = text.split(".", 1)[0] if "." in text and not text.replace(".", "", 1).isdigit() else text
    if head.endswith(".0") and head[:-2].isdigit():  # 1.0 from a float header
        head = head[:-2]
    if head.isdigit() and len(head) < 6:
        head = head.zfill(6)
    return head


def read_wide_table(path: str | Path, *, what: str) -> pd.DataFrame:
    """读日期 x 股票的宽表文件 (CSV 或 Parquet): 行为日期, 列为股票代码。

    第一列 (Parquet 也可以是索引) 是日期: "YYYYMMDD"、"YYYY-MM-DD"、"YYYY/MM/DD" 文本
    (月、日可以是一位数, 可以带时刻) 或电子表格与 Parquet 的日期单元格; 其他写法 (如
    "02/01/2023", 无法判断月日顺序) 都报错并指出第一个不是日期的单元格。列名是股票代码,
    带交易所后缀或丢了前导零的代码 (000001.XSHE、1) 按 6 位代码 000001 处理。
    行按日期升序排列; 重复的日期或代码原样保留, 由回测的校验拒绝。

    Args:
        path (str | Path): 文件路径, 扩展名 .csv 或 .parquet。
        what (str): 表的用途, 出现在错误消息里, 例如 "因子文件"。
    Returns:
        pandas.DataFrame: 行为 "YYYYMMDD" 文本、列为 6 位代码的 float64 表。
    Raises:
        CliError: 文件不存在或无法读取、格式不支持、没有日期行、日期无法识别,
            或值不是数字。
    """
    import pandas as pd

    file = Path(path)
    source = f"{what} {file}"
    if not file.is_file():
        raise CliError(f"{source}: 文件不存在" if not file.exists() else f"{source}: 不是文件")
    kind = _TABLE_SUFFIXES.get(file.suffix.lower())
    if kind is None:
        raise CliError(
            f"{source}: 不支持的文件类型 {file.suffix or '(无扩展名)'!r}, 请用 .csv 或 .parquet"
        )
    try:
        if kind == "csv":
            table = pd.read_csv(io.StringIO(_csv_text(file, source)), index_col=0, dtype=str)
        else:
            if not has_pyarrow():
                raise CliError(f"{source}: 读 Parquet 文件需要 pyarrow: {PYARROW_HINT}")
            table = pd.read_parquet(file)
            if isinstance(table.index, pd.RangeIndex) and table.shape[1] > 0:
                table = table.set_index(table.columns[0])
    except CliError:
        raise
    except (OSError, ValueError, UnicodeDecodeError, pd.errors.ParserError) as error:
        raise CliError(f"{source}: 无法读取: {_first_line(error)}") from error
    except Exception as error:  # pyarrow raises its own error types for damaged files
        raise CliError(f"{source}: 无法读取: {_first_line(error)}") from error
    if table.shape[0] == 0:
        raise CliError(f"{source}: 没有日期行")
    dates = _date_labels(table.index, source)
    codes = [_stock_code(c) for c in table.columns]
    # A date or code given twice is left for the backtest's own check, which
    # refuses it as the package refuses it anywhere.
    try:
        values = table.apply(lambda column: pd.to_numeric(column, errors="raise")).astype("float64")
    except (ValueError, TypeError) as error:
        raise CliError(f"{source}: 值应为数字: {_first_line(error)}") from error
    out = pd.DataFrame(values.to_numpy(), index=pd.Index(dates), columns=pd.Index(codes))
    return out.sort_index()


# What spreadsheets save a CSV file in: UTF-8, with or without the byte-order
# mark Excel writes, and the GBK of Chinese Excel (GB18030 contains it).
_CSV_ENCODINGS = ("utf-8-sig", "gb18030")


def _csv_text(file: Path, source: str) -> str:
    """The CSV file's text in the first encoding that decodes it whole."""
    payload = file.read_bytes()
    for encoding in _CSV_ENCODINGS:
        try:
            return payload.decode(encoding)
        except UnicodeDecodeError:
            continue
    raise CliError(f"{source}: 无法识别的文件编码, 应为 UTF-8 (带或不带 BOM) 或 GBK / GB18030")


def align_codes(table: pd.DataFrame, market_codes: Iterable[str], *, source: str) -> pd.DataFrame:
    """Keeps the columns the prepared data knows; none of them is a user error."""
    keep = table.columns.isin(list(market_codes))
    if not keep.any():
        sample = ", ".join(map(str, list(table.columns)[:3])) or "(没有列)"
        raise CliError(
            f"{source}: 股票代码与预备数据无一匹配 (如 {sample}); 代码应为 6 位, 如 000001"
        )
    return table if keep.all() else table.loc[:, keep]


def resolve_range(
    table_dates: Sequence[str],
    trading_days: Sequence[str],
    start: str | None,
    end: str | None,
    *,
    source: str,
) -> tuple[str, str]:
    """The backtest's first and last date: the options, or the overlap of table and data.

    Args:
        table_dates (Sequence[str]): 用户表的日期, 升序 "YYYYMMDD"。
        trading_days (Sequence[str]): 预备数据的交易日, 升序 "YYYYMMDD"。
        start (str | None): --start 的值, None 表示取表与数据的共同首日。
        end (str | None): --end 的值, None 表示取共同末日。
        source (str): 用户表的描述, 出现在错误消息里。
    Returns:
        tuple[str, str]: (首日, 末日), "YYYYMMDD"。
    Raises:
        CliError: 日期无法识别、区间内没有交易日, 或表在区间内没有日期行。
    """
    if not trading_days:
        raise CliError("预备数据没有交易日: 请重新运行 morvane prepare")
    first = (
        parse_date(start, "--start") if start is not None else max(table_dates[0], trading_days[0])
    )
    last = parse_date(end, "--end") if end is not None else min(table_dates[-1], trading_days[-1])
    covered = f"预备数据覆盖 {trading_days[0]} 到 {trading_days[-1]}"
    if not any(first <= day <= last for day in trading_days):
        if start is None and end is None:
            raise CliError(
                f"{source}: 表的日期 ({table_dates[0]} 到 {table_dates[-1]}) 与预备数据没有共同的交易日 ({covered})"
            )
        # Only the options the user gave are quoted; the other end is the default.
        given = "; ".join(
            f"{option} {value}"
            for option, value, text in (("--start", first, start), ("--end", last, end))
            if text is not None
        )
        raise CliError(f"{first} 到 {last} 之间没有交易日 ({given}; {covered})")
    if not any(first <= day <= last for day in table_dates):
        raise CliError(
            f"{source}: {first} 到 {last} 之间没有日期行 (表覆盖 {table_dates[0]} 到 {table_dates[-1]})"
        )
    return first, last


def default_store_dir() -> Path:
    """The package's prepared-data folder, read at call time like the service does."""
    from ..backtest import _folders

    return _folders.default_store_dir()


def load_prepared(store: str | Path | None) -> BacktestData:
    """加载预备数据: morvane.load_backtest_data(), 给出目录时读那个目录。

    Args:
        store (str | Path | None): 预备数据目录; None 表示包的默认目录。
    Returns:
        BacktestData: 加载到内存的数据。
    Raises:
        CliError: 目录里没有预备数据。
    """
    import morvane

    from ..exceptions import DataFileError

    try:
        return morvane.load_backtest_data(store)
    except DataFileError:
        raise  # a missing or damaged file of a store: its own message names the file and the repair
    except FileNotFoundError as error:
        if store is None:
            raise CliError(
                "还没有预备数据: 请先运行 morvane prepare (离线可用 morvane prepare --source synthetic)"
            ) from error
        raise CliError(
            f"--store {store}: 没有预备数据 (先运行 morvane prepare --store {store} --source ...)"
        ) from error


@contextmanager
def refused_as_cli_error(options: dict[str, str]) -> Iterator[None]:
    """The package's refusal of an input as the command line's: the same message, led by the option.

    Args:
        options (dict[str, str]): 包的参数名到命令行选项 (或输入文件) 的映射, 例如
            {"group_num": "--groups"}; 消息里最先出现的参数名决定前缀。
    Raises:
        CliError: 包的校验拒绝了输入 (TypeError、ValueError、OSError 或 MorvaneError)。
    """
    from ..exceptions import MorvaneError

    try:
        yield
    except (TypeError, ValueError, OSError, MorvaneError) as error:
        message = _first_line(error)
        named = [
            (match.start(), option)
            for name, option in options.items()
            if (match := re.search(rf"(?<![A-Za-z0-9_]){re.escape(name)}(?![A-Za-z0-9_])", message))
        ]
        raise CliError(f"{min(named)[1]}: {message}" if named else message) from error


def _first_line(error: BaseException) -> str:
    text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def error_line(error: BaseException) -> str:
    """The one line that tells the user what went wrong."""
    return _first_line(error)


def print_table(title: str, rows: Sequence[tuple[str, str]], *, file: Any = None) -> None:
    """Prints a titled two-column table, labels padded by character count."""
    out = file if file is not None else sys.stdout
    width = max((_display_width(label) for label, _ in rows), default=0)
    print(title, file=out)
    for label, value in rows:
        print(f"  {label}{' ' * (width - _display_width(label))}  {value}", file=out)


def _display_width(text: str) -> int:
    """Terminal columns of a text: CJK characters take two."""
    import unicodedata

    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


@contextmanager
def console_logging(level: str, *, stream: Any = None, below: int | None = None) -> Iterator[None]:
    """Shows the package logger's messages from `level` up (and under `below`), plainly.

    A warning is shown once however often it is logged: a sweep's runs or a
    refresh's steps may each meet the same condition.
    """
    import logging

    from ..logger import logger

    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    handler.setLevel(level)
    if below is not None:
        handler.addFilter(lambda record: record.levelno < below)
    shown: set[str] = set()

    def once(record: logging.LogRecord) -> bool:
        if record.levelno < logging.WARNING:
            return True
        text = record.getMessage()
        if text in shown:
            return False
        shown.add(text)
        return True

    handler.addFilter(once)
    old_level = logger.level
    logger.addHandler(handler)
    if logger.getEffectiveLevel() > handler.level or old_level == logging.NOTSET:
        logger.setLevel(handler.level)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)

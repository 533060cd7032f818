"""合成市场的交易日历: 上海证券交易所的真实交易日。

2005 到 2026 年取上交所的真实休市日 (随包附带的表, 取自 exchange-calendars 的 XSHG 日历);
装了 exchange-calendars (可选依赖, pip install 'morvane[calendars]') 时, 它记录的年份直接用它的
XSHG 日历, 这两者对 2005 到 2026 年给出同一份日历, 所以有没有这个包, 同样的参数都生成同样的市场。
两者都没有记录的年份 (2027 年起) 用固定的节假日规则近似: 元旦、春节 (除夕起 7 天)、清明、劳动节
与国庆。
"""

from __future__ import annotations

import datetime as dt
import functools
import importlib.util
import warnings

import numpy as np
import pandas as pd

from ._sse_closures import CLOSED_WEEKDAYS, FIRST_YEAR, LAST_YEAR

__all__ = ["calendar_source", "trading_days"]

# 春节 (农历正月初一) 的公历日期, 供附表之外的年份使用; 休市取除夕起 7 天。
_LUNAR_NEW_YEAR: dict[int, tuple[int, int]] = {
    2027: (2, 6),
    2028: (1, 26),
    2029: (2, 13),
    2030: (2, 3),
    2031: (1, 23),
    2032: (2, 11),
    2033: (1, 31),
    2034: (2, 19),
    2035: (2, 8),
}
_XSHG = "XSHG"


def _rule_holidays(year: int) -> list[dt.date]:
    days = [dt.date(year, 1, 1), dt.date(year, 4, 4), dt.date(year, 4, 5)]
    days += [dt.date(year, 5, d) for d in (1, 2, 3)]
    days += [dt.date(year, 10, d) for d in range(1, 8)]
    if year in _LUNAR_NEW_YEAR:
        month, day = _LUNAR_NEW_YEAR[year]
        eve = dt.date(year, month, day) - dt.timedelta(days=1)
        days += [eve + dt.timedelta(days=k) for k in range(7)]
    return days


def _closed(year: int) -> set[dt.date]:
    """Weekdays without trading in `year`: the shipped table, else the rules."""
    if FIRST_YEAR <= year <= LAST_YEAR:
        return {dt.date(year, int(d[:2]), int(d[2:])) for d in CLOSED_WEEKDAYS[year].split()}
    return set(_rule_holidays(year))


def _shipped(first: pd.Timestamp, last: pd.Timestamp) -> pd.DatetimeIndex:
    weekdays = pd.bdate_range(first, last)
    closed = set().union(*(_closed(year) for year in range(first.year, last.year + 1)))
    keep = np.array([d.date() not in closed for d in weekdays], dtype=bool)
    return weekdays[keep].astype("datetime64[ns]")


@functools.cache
def _package_sessions() -> pd.DatetimeIndex | None:
    """Every session of exchange-calendars' XSHG calendar (built once, as building it takes a
    while), or None when the package is not installed."""
    if importlib.util.find_spec("exchange_calendars") is None:
        return None
    import exchange_calendars

    # Its own use of pandas may warn under newer pandas; that is not the caller's concern.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sessions = exchange_calendars.get_calendar(_XSHG).sessions
    days = pd.DatetimeIndex(sessions)
    return (days.tz_localize(None) if days.tz is not None else days).astype("datetime64[ns]")


def calendar_source() -> str:
    """交易日历的来源: "exchange-calendars" (已安装该可选依赖) 或 "shipped" (随包附带的表)。"""
    return (
        "exchange-calendars"
        if importlib.util.find_spec("exchange_calendars") is not None
        else "shipped"
    )


def trading_days(start: str, end: str) -> pd.DatetimeIndex:
    """start 到 end (含) 之间上海证券交易所的交易日。

    Args:
        start (str): 起始日期, "YYYYMMDD" 文本, 例如 "20150105"。
        end (str): 结束日期, "YYYYMMDD" 文本。

    Returns:
        pandas.DatetimeIndex: 升序的交易日 (不带时区)。装了 exchange-calendars 时, 它记录的日期
        取其 XSHG 日历; 其余日期取随包附带的 2005 到 2026 年休市表, 之后的年份按节假日规则近似。

    Raises:
        ValueError: 日期不是有效的 "YYYYMMDD" 文本。
    """
    first = pd.Timestamp(dt.datetime.strptime(start, "%Y%m%d"))
    last = pd.Timestamp(dt.datetime.strptime(end, "%Y%m%d"))
    if last < first:
        return pd.DatetimeIndex([], dtype="datetime64[ns]")
    sessions = _package_sessions()
    if sessions is None:
        return _shipped(first, last)
    lo, hi = max(first, sessions[0]), min(last, sessions[-1])
    parts = []
    if first < lo:
        parts.append(_shipped(first, min(last, lo - pd.Timedelta(days=1))))
    if lo <= hi:
        parts.append(sessions[(sessions >= lo) & (sessions <= hi)])
    if hi < last:
        parts.append(_shipped(max(first, hi + pd.Timedelta(days=1)), last))
    return pd.DatetimeIndex(parts[0].append(parts[1:]) if len(parts) > 1 else parts[0], name=None)

"""合成市场的交易日历: 工作日减去一份固定的节假日表。"""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd

__all__ = ["trading_days"]

# 春节 (农历正月初一) 的公历日期; 休市取除夕起 7 天。
_LUNAR_NEW_YEAR: dict[int, tuple[int, int]] = {
    2005: (2, 9), 2006: (1, 29), 2007: (2, 18), 2008: (2, 7), 2009: (1, 26),
    2010: (2, 14), 2011: (2, 3), 2012: (1, 23), 2013: (2, 10), 2014: (1, 31),
    2015: (2, 19), 2016: (2, 8), 2017: (1, 28), 2018: (2, 16), 2019: (2, 5),
    2020: (1, 25), 2021: (2, 12), 2022: (2, 1), 2023: (1, 22), 2024: (2, 10),
    2025: (1, 29), 2026: (2, 17), 2027: (2, 6), 2028: (1, 26), 2029: (2, 13),
    2030: (2, 3), 2031: (1, 23), 2032: (2, 11), 2033: (1, 31), 2034: (2, 19),
    2035: (2, 8),
}


def _holidays(year: int) -> list[dt.date]:
    days = [dt.date(year, 1, 1), dt.date(year, 4, 4), dt.date(year, 4, 5)]
    days += [dt.date(year, 5, d) for d in (1, 2, 3)]
    days += [dt.date(year, 10, d) for d in range(1, 8)]
    if year in _LUNAR_NEW_YEAR:
        month, day = _LUNAR_NEW_YEAR[year]
        eve = dt.date(year, month, day) - dt.timedelta(days=1)
        days += [eve + dt.timedelta(days=k) for k in range(7)]
    return days


def trading_days(start: str, end: str) -> pd.DatetimeIndex:
    """start 到 end (含) 之间的交易日。

    Args:
        start (str): 起始日期, "YYYYMMDD" 文本, 例如 "20150105"。
        end (str): 结束日期, "YYYYMMDD" 文本。

    Returns:
        pandas.DatetimeIndex: 升序的交易日 (周一至周五, 去掉元旦、清明、劳动节、国庆和春节假期)。

    Raises:
        ValueError: 日期不是有效的 "YYYYMMDD" 文本。
    """
    first = pd.Timestamp(dt.datetime.strptime(start, "%Y%m%d"))
    last = pd.Timestamp(dt.datetime.strptime(end, "%Y%m%d"))
    weekdays = pd.bdate_range(first, last)
    holidays = {h for year in range(first.year, last.year + 1) for h in _holidays(year)}
    keep = np.array([d.date() not in holidays for d in weekdays], dtype=bool)
    return weekdays[keep]

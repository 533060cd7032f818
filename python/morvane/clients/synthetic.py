"""A seeded synthetic A-share market that answers the data-client protocol.

The data service cannot be reached from every machine (CI, laptops on a
train), so the package ships a market of its own: the Shanghai exchange's
trading calendar, three boards with their limits, ST periods, listings under
the first-day rules and delistings after a decline, prices in cents, locked
limit days, suspensions, splits and dividends, industries that move together,
rising and falling years, five index memberships reviewed in June and
December, benchmark index bars and one planted factor with a known rank IC.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable, Iterable
from pathlib import Path

import numpy as np
import pandas as pd

from ..exceptions import NetworkError
from ._query import code_list, factor_names, long_table, query_date, wide_table
from ._world import World, generate_world
from ._world_index import BENCHMARK_COMPONENTS, COMPONENT_BANDS
from .calendar import trading_days

__all__ = ["SyntheticMarketClient", "ALPHA_FACTOR_NAME"]

ALPHA_FACTOR_NAME = "synthetic_alpha"
INDEX_BASE_LEVEL = 1000.0


class SyntheticMarketClient:
    """合成 A 股市场数据客户端, 满足 morvane 的数据客户端协议, 无需网络。

    市场在构造时按种子一次生成, 同一组参数总得到同样的表 (交易日历为上交所的真实日历, 见
    morvane.clients.calendar)。它模仿真实市场: 主板涨跌幅 10%、创业板与科创板 20%、北交所
    (代码后缀 ".BJSE") 30%; 主板 ST 股票 5%; 新股上市首日主板最高 +44%, 创业板与科创板前五日、
    北交所首日不设涨跌幅 (这些日子没有 "limit_up"/"limit_down" 的值), 首日大涨; 退市前股价持续
    下跌并先被 ST; 同行业股票同涨同跌; 有上涨、下跌与震荡的年份; 分红除息日散布全年; 指数成分
    在 6 月与 12 月第二个周五之后的首个交易日调整。因子名与数据服务一致:
    "Close"、"Open"、"limit_up"、"limit_down"、"tick_vwap_price_935_1005"、
    "tick_vwap_price_925_1000"、"rq_industry_exposure_new"、"rq_is_suspended"、
    "split_coefficient_to" (每 10 股拆为多少股)、"rq_get_dividend" (每 10 股税前现金)、
    五个成分股因子 (成分股 1, 其他上市股票 0), 以及植入的因子 "synthetic_alpha":
    前一日的值按 0.9 衰减后加上 T+1 到 T+2 开盘到开盘收益排名的带噪副本, 所以逐日的秩自相关
    约 0.9, 与 "forward_return_rank_cache" 的日均 rank IC 约为 alpha_ic, 更长持有期的 IC 递减。

    Args:
        seed (int): 随机种子, 默认 0。
        n_stocks (int): 股票数, 默认 5000; 指数成分规模按比例缩放。
        start_date (str): 第一个日历日, "YYYYMMDD", 默认 "20150105"。
        end_date (str | None): 最后一个日历日, "YYYYMMDD"; None 表示今天。
        alpha_ic (float): 植入因子的目标日均 rank IC, 默认 0.05, 取值 (0, 1)。
        wide (bool): True 时 get_factors 返回宽表 (每个因子一列), 默认长表。
        withhold (Iterable[str]): 假装不存在的因子名 (测试缺失数据用)。
        fail_batch (bool): True 时一次请求多个因子抛出 NetworkError。
        fail_factors (Iterable[str]): 请求中含这些因子名时抛出 NetworkError。

    Raises:
        TypeError: 参数类型错误。
        ValueError: 日期无效、区间为空、n_stocks 不在 [1, 11000] 或 alpha_ic 不在 (0, 1)。
    """

    def __init__(
        self,
        seed: int = 0,
        n_stocks: int = 5000,
        start_date: str = "20150105",
        end_date: str | None = None,
        *,
        alpha_ic: float = 0.05,
        wide: bool = False,
        withhold: Iterable[str] = (),
        fail_batch: bool = False,
        fail_factors: Iterable[str] = (),
    ) -> None:
        if not isinstance(seed, (int, np.integer)) or isinstance(seed, bool):
            raise TypeError(f"参数 seed 类型错误: 期望 int, 收到 {type(seed).__name__}")
        if not isinstance(n_stocks, (int, np.integer)) or isinstance(n_stocks, bool):
            raise TypeError(f"参数 n_stocks 类型错误: 期望 int, 收到 {type(n_stocks).__name__}")
        if not 1 <= n_stocks <= 11000:
            raise ValueError(f"参数 n_stocks 须在 [1, 11000] 之间, 收到 {n_stocks}")
        if not 0.0 < float(alpha_ic) < 1.0:
            raise ValueError(f"参数 alpha_ic 须在 (0, 1) 之间, 收到 {alpha_ic}")
        first = query_date(start_date, "start_date")
        last = query_date(end_date, "end_date") or pd.Timestamp(dt.date.today())
        assert first is not None
        dates = trading_days(first.strftime("%Y%m%d"), last.strftime("%Y%m%d"))
        if len(dates) < 3:
            raise ValueError(f"{start_date} 到 {end_date} 之间的交易日少于 3 个, 无法生成市场")
        self.wide = bool(wide)
        self.withhold = set(withhold)
        self.fail_batch = bool(fail_batch)
        self.fail_factors = set(fail_factors)
        self.query_log: list[tuple[str, tuple[str, ...]]] = []
        self.world: World = generate_world(int(seed), int(n_stocks), dates, float(alpha_ic))
        self._factors = self._factor_table()

    # -- the protocol -------------------------------------------------------

    def get_factors(
        self, *, factor: str | list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """按因子名取个股因子值 (长表 "ukey"、"date"、"value", 多因子另有 "factor" 列; 或宽表)。

        Args:
            factor (str | list[str]): 一个或多个因子名; 未知的因子名不出现在结果中。
            start_date (str | None): 起始日期 "YYYY-MM-DD" (也接受 "YYYYMMDD"), None 表示不限。
            end_date (str | None): 结束日期, 同上, 含当日。

        Returns:
            pandas.DataFrame | None: 因子值表, "ukey" 为带交易所后缀的代码, "date" 为 datetime64;
            没有任何数据时返回 None。

        Raises:
            TypeError: 参数类型错误。
            ValueError: 日期无效。
            NetworkError: 按构造参数模拟的传输失败。
        """
        names = factor_names(factor)
        rows = self._rows(query_date(start_date, "start_date"), query_date(end_date, "end_date"))
        self.query_log.append(("get_factors", tuple(names)))
        if self.fail_batch and len(names) > 1:
            raise NetworkError("模拟的网络错误: 批量因子查询失败")
        failing = self.fail_factors.intersection(names)
        if failing:
            raise NetworkError(f"模拟的网络错误: 因子 {sorted(failing)} 查询失败")
        parts = [(name, self._long(name, rows)) for name in names if self._known(name)]
        if self.wide:
            return wide_table(parts)
        return long_table(parts, with_factor=not isinstance(factor, str))

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """取基准指数日行情: "ukey"、"date"、"close"、"daily_return"。

        Args:
            ukeys (list[str]): 指数代码, 例如 ["000300.XSHG"]; 支持 "000300.XSHG"、"000905.XSHG"、
                "000852.XSHG", 其他代码不出现在结果中。
            start_date (str | None): 起始日期 "YYYYMMDD" (也接受 "YYYY-MM-DD"), None 表示不限。
            end_date (str | None): 结束日期, 同上。

        Returns:
            pandas.DataFrame | None: 每个指数每个交易日一行 (成分股按上一日市值加权的收益);
            没有数据时返回 None。

        Raises:
            TypeError: 参数类型错误。
            ValueError: 日期无效。
        """
        codes = code_list(ukeys)
        rows = self._rows(query_date(start_date, "start_date"), query_date(end_date, "end_date"))
        self.query_log.append(("get_index_daily", tuple(codes)))
        frames = []
        for code in codes:
            if code not in self.world.index_returns:
                continue
            returns = self.world.index_returns[code]
            level = INDEX_BASE_LEVEL * np.cumprod(1.0 + returns)
            frames.append(
                pd.DataFrame(
                    {
                        "ukey": code,
                        "date": self.world.dates[rows],
                        "close": level[rows],
                        "daily_return": returns[rows],
                    }
                )
            )
        frames = [f for f in frames if not f.empty]
        return pd.concat(frames, ignore_index=True) if frames else None

    # -- helpers for users and tests -----------------------------------------

    @property
    def factor_names(self) -> list[str]:
        """本市场提供的全部因子名 (不含 withhold 的)。"""
        return [name for name in self._factors if self._known(name)]

    def alpha_matrix(
        self, start_date: str | None = None, end_date: str | None = None
    ) -> pd.DataFrame:
        """植入因子 "synthetic_alpha" 的日期 × 股票宽表 (行 "YYYYMMDD", 列 6 位代码)。

        Args:
            start_date (str | None): 起始日期, None 表示从头。
            end_date (str | None): 结束日期, None 表示到尾。

        Returns:
            pandas.DataFrame: 未上市处为 NaN。
        """
        rows = self._rows(query_date(start_date, "start_date"), query_date(end_date, "end_date"))
        return self.world.frame(self.world.alpha[rows])

    def write_files(self, directory: str | Path, *, file_format: str = "parquet") -> Path:
        """把整个市场按 LocalFileClient 的目录布局写出 (每个因子一个长表文件, 另有 index_daily)。

        Args:
            directory (str | Path): 目标目录, 不存在时创建。
            file_format (str): "parquet" (需要 pyarrow) 或 "csv"。

        Returns:
            Path: 目录路径。

        Raises:
            ValueError: file_format 不是 "parquet" 或 "csv"。
            ImportError: 选择 parquet 但未安装 pyarrow。
        """
        from .local import write_factor_file, write_index_file

        root = Path(directory)
        rows = slice(0, len(self.world.dates))
        for name in self.factor_names:
            write_factor_file(root, name, self._long(name, rows), file_format)
        index = self.get_index_daily(
            ukeys=list(BENCHMARK_COMPONENTS), start_date=None, end_date=None
        )
        write_index_file(root, index, file_format)
        return root

    # -- internals ----------------------------------------------------------

    def _known(self, name: str) -> bool:
        return name in self._factors and name not in self.withhold

    def _rows(self, first: pd.Timestamp | None, last: pd.Timestamp | None) -> slice:
        dates = self.world.dates
        lo = 0 if first is None else int(dates.searchsorted(first, side="left"))
        hi = len(dates) if last is None else int(dates.searchsorted(last, side="right"))
        return slice(lo, max(lo, hi))

    def _factor_table(self) -> dict[str, Callable[[slice], np.ndarray]]:
        w = self.world
        listed = w.listed

        def cents(values: np.ndarray) -> Callable[[slice], np.ndarray]:
            return lambda rows: np.where(listed[rows], values[rows] / 100.0, np.nan)

        def on_listed(values: np.ndarray) -> Callable[[slice], np.ndarray]:
            return lambda rows: np.where(listed[rows], values[rows], np.nan)

        def member(band: tuple[int, int]) -> Callable[[slice], np.ndarray]:
            scale = len(w.ukeys) / 5000.0
            lo, hi = (int(round(b * scale)) for b in band)

            def values(rows: slice) -> np.ndarray:
                rank = w.cap_rank[rows]
                inside = ((rank >= lo) & (rank < hi)).astype(float)
                return np.where(listed[rows], inside, np.nan)

            return values

        table: dict[str, Callable[[slice], np.ndarray]] = {
            "rq_industry_exposure_new": on_listed(w.industry.astype(float)),
            "limit_down": cents(w.limit_down_c),
            "limit_up": cents(w.limit_up_c),
            "Close": cents(w.close_c),
            "Open": cents(w.open_c),
            "tick_vwap_price_935_1005": on_listed(w.vwap_buy),
            "tick_vwap_price_925_1000": on_listed(w.vwap_sell),
            "split_coefficient_to": on_listed(w.split_to),
            "rq_get_dividend": on_listed(w.dividend),
            "rq_is_suspended": on_listed(w.suspended.astype(float)),
            ALPHA_FACTOR_NAME: on_listed(w.alpha),
        }
        for name, band in COMPONENT_BANDS.items():
            table[name] = member(band)
        return table

    def _long(self, name: str, rows: slice) -> pd.DataFrame:
        values = self._factors[name](rows)
        day, stock = np.nonzero(~np.isnan(values))
        return pd.DataFrame(
            {
                "ukey": self.world.ukeys[stock],
                "date": self.world.dates[rows][day],
                "value": values[day, stock],
            }
        )

"""策略回测的交易流水: 回测时记录每个持有或交易的股票日, 第一次读取时才生成表。"""

from __future__ import annotations

import math
import threading
from collections.abc import Callable
from typing import Any

import pandas as pd

__all__ = ["TradeLedger"]

_Tables = tuple[pd.DataFrame, pd.DataFrame, dict[str, Any], pd.DataFrame]


class TradeLedger:
    """一次策略回测的交易流水 (backtest_strategy(..., record_trades=True) 的结果带有它)。

    回测时只记录引擎每个股票日做了什么, 表在第一次读取 trades、positions、totals 或 values 时生成一次,
    之后复用; 多个线程同时读取也只生成一次。可以 pickle (先生成表, 再保存表)。

    Args:
        build (Callable[[], tuple]): 生成 (trades, positions, totals, values) 的函数, 只调用一次。
    Returns:
        TradeLedger: 交易流水。
    Raises:
        TypeError: build 不可调用。
    """

    def __init__(self, build: Callable[[], _Tables]) -> None:
        if not callable(build):
            raise TypeError(f"参数 build 类型错误: 期望可调用对象, 收到 {type(build).__name__}")
        self._build: Callable[[], _Tables] | None = build
        self._tables: _Tables | None = None
        self._lock = threading.Lock()

    @classmethod
    def from_tables(
        cls,
        trades: pd.DataFrame,
        positions: pd.DataFrame,
        totals: dict[str, Any],
        values: pd.DataFrame,
    ) -> TradeLedger:
        """已经生成好的表组成的交易流水。

        Args:
            trades (pandas.DataFrame): 交易流水表。
            positions (pandas.DataFrame): 日期 x 股票的持股数。
            totals (dict): 合计。
            values (pandas.DataFrame): 日期 x 股票的收盘市值与 "cash" 列。
        Returns:
            TradeLedger: 交易流水。
        """
        ledger = cls(lambda: (trades, positions, totals, values))
        ledger._materialise()
        return ledger

    def _materialise(self) -> _Tables:
        with self._lock:
            if self._tables is None:
                assert self._build is not None
                self._tables = self._build()
                self._build = None  # what it held (the records, the market) is no longer needed
            return self._tables

    @property
    def trades(self) -> pd.DataFrame:
        """每个持有或交易的股票日一到两行, 按日期、代码排序。

        列 "date"、"code"、"side" ("buy" 买入、"sell" 卖出、"hold" 隔夜持有并留下的股份)、"shares"
        (股数)、"price" (买入价、卖出价或收盘价)、"commission" (佣金)、"stamp_duty" (印花税)、
        "dividend" (这些股份当日得到的现金分红)、"split_effect" (当日拆分带来的价值)、"pnl" (这些股份
        当日的盈亏, 含费用)。只含 daily_return 的日期; 同一日各行 pnl 之和除以 total_money 即当日的
        daily_return。卖出的股份按拆分后的价格 (拆分系数 x 卖出价) 成交。
        """
        return self._materialise()[0]

    @property
    def positions(self) -> pd.DataFrame:
        """daily_return 的日期 x 曾持有的股票: 当日交易后的持股数 (0 为不持有)。"""
        return self._materialise()[1]

    @property
    def totals(self) -> dict[str, Any]:
        """合计: "commission"、"stamp_duty"、"traded_value" (买卖成交额)、"average_holding_days"
        (平均每段持有的交易日数: 收盘持有的股票日数 / 持有段数) 与 "trade_count" (买卖笔数)。"""
        return self._materialise()[2]

    @property
    def values(self) -> pd.DataFrame:
        """daily_return 的日期 x (曾持有的股票, "cash"): 当日收盘时各股持仓的市值 (元; 股数 x 收盘价,
        停牌没有收盘价的日子用最近的收盘价) 与现金 "cash" (total_money 加上至今各日的盈亏, 减去股票市值;
        拆分带来的价值与分红也在其中)。每行之和是组合当日的总值, 即 total_money x (1 + 至今 daily_return
        之和), 相邻两行之差是当日的盈亏。即 pyfolio 所要的 positions 布局。"""
        return self._materialise()[3]

    def __reduce__(self) -> tuple[Any, ...]:
        return (TradeLedger.from_tables, self._materialise())

    def __repr__(self) -> str:
        if self._tables is None:
            return "TradeLedger(not built yet; read .trades, .positions, .totals or .values)"
        trades, positions, totals, _ = self._tables
        holding = totals.get("average_holding_days", math.nan)
        return (
            f"TradeLedger(rows={len(trades)}, trades={totals.get('trade_count')}, "
            f"positions={positions.shape[0]}x{positions.shape[1]}, average_holding_days={holding:.4g})"
        )

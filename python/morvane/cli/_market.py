"""The demo's synthetic market and the weights of its top factor group."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._common import CliError

if TYPE_CHECKING:
    import pandas as pd

    from ..clients import SyntheticMarketClient

__all__ = ["DEMO_START", "demo_market", "top_group_weights"]

# The demo's calendar starts on a fixed day, so that the same arguments give
# the same market, figures and charts on any day they are run.
DEMO_START = "20210104"


def demo_market(days: int, stocks: int, seed: int) -> SyntheticMarketClient:
    """包内置的确定性合成市场: 从 2021-01-04 起的 days 个交易日 x stocks 只股票。

    Args:
        days (int): 交易日数, 至少 30, 例如 750 (约 3 年)。
        stocks (int): 股票数, 20 到 11000, 例如 800。
        seed (int): 随机种子, 例如 0。
    Returns:
        SyntheticMarketClient: 生成好的合成市场客户端。
    Raises:
        CliError: days 或 stocks 超出范围。
    """
    from ..clients import SyntheticMarketClient
    from ..clients.calendar import trading_days

    if days < 30:
        raise CliError(f"--days 至少为 30, 收到 {days}")
    if not 20 <= stocks <= 11000:
        raise CliError(f"--stocks 须在 [20, 11000] 之间, 收到 {stocks}")
    # Trading days are about 70% of calendar days; ask for enough of them.
    last_year = int(DEMO_START[:4]) + days // 200 + 2
    calendar = trading_days(DEMO_START, f"{last_year}1231")
    end = calendar[days - 1].strftime("%Y%m%d")
    return SyntheticMarketClient(seed=seed, n_stocks=stocks, start_date=DEMO_START, end_date=end)


def top_group_weights(factor: pd.DataFrame, valid: pd.DataFrame, groups: int) -> pd.DataFrame:
    """Equal weights of the stocks whose factor value lies in the top 1/groups of each day."""
    import numpy as np

    eligible = factor.where(valid.reindex(index=factor.index, columns=factor.columns).notna())
    rank = eligible.rank(axis=1, method="first", ascending=True)
    count = eligible.notna().sum(axis=1)
    # The group backtest's cut: ascending rank r of k joins group (r-1)*n//k + 1.
    group = np.floor((rank - 1.0).mul(groups).div(count.where(count > 0), axis=0)) + 1.0
    top = group.eq(groups)
    held = top.sum(axis=1)
    weights = top.astype(float).div(held.where(held > 0), axis=0)
    return weights.where(top)

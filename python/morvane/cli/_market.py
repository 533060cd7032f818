"""Building a prepared-data store from a data client, with progress, and the demo market."""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import CliError, error_line

if TYPE_CHECKING:
    import pandas as pd

    from ..clients import SyntheticMarketClient
    from ..singleton import DataClient

__all__ = ["DEMO_START", "demo_market", "build_payload", "write_store", "folder_locks"]

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


class _CountingClient:
    """Forwards to a data client and ticks a progress bar after every query."""

    def __init__(self, client: DataClient, bar: Any) -> None:
        self._client = client
        self._bar = bar

    def get_factors(self, *, factor: str | list[str], start_date: str | None, end_date: str | None) -> Any:
        names = [factor] if isinstance(factor, str) else list(factor)
        self._bar.set_postfix_str(", ".join(names)[:40], refresh=False)
        table = self._client.get_factors(factor=factor, start_date=start_date, end_date=end_date)
        self._bar.update(len(names))
        return table

    def get_index_daily(self, *, ukeys: list[str], start_date: str | None, end_date: str | None) -> Any:
        self._bar.set_postfix_str("指数日行情", refresh=False)
        table = self._client.get_index_daily(ukeys=ukeys, start_date=start_date, end_date=end_date)
        self._bar.update(1)
        return table


@contextlib.contextmanager
def _installed(client: DataClient) -> Iterator[None]:
    """Installs `client` as the package's data client and puts the old one back."""
    from .. import singleton

    try:
        old = singleton.get_instance()
    except Exception:
        old = None
    singleton.set_instance(client)
    try:
        yield
    finally:
        singleton.set_instance(old)


def _query_count() -> int:
    from ..backtest import _prepare

    return len(_prepare.BUILD_INPUT_NAMES) + len(_prepare.COMPONENT_FACTOR_NAMES) + 1


def build_payload(
    client: DataClient, start: str, end: str, *, source: str = "数据来源", window_of: list[str] | None = None,
    stored_close: pd.DataFrame | None = None,
) -> dict[str, Any]:
    """从数据客户端构建预备数据 payload, 每次查询推进一格进度条。

    Args:
        client (DataClient): 数据客户端, 只在构建期间装入包的客户端槽位, 之后还原。
        start (str): 首日 "YYYYMMDD"; 给出 window_of 时为写入窗口首日。
        end (str): 末日 "YYYYMMDD"。
        source (str): 数据来源的描述, 出现在错误消息里, 例如 "--source my_files"。
        window_of (list[str] | None): 已存储的 close_price 日期; 给出时构建增量写入窗口。
        stored_close (pandas.DataFrame | None): 已存储的 close_price, 增量窗口用它接续 prev_close。
    Returns:
        dict: 可交给存储 write / update_tail 的 payload。
    Raises:
        CliError: 数据不全 (例如没有收盘价或基准指数行情)。
    """
    from tqdm import tqdm

    from ..backtest import _prepare

    with tqdm(total=_query_count(), desc="读取数据", unit="项", disable=None, leave=False) as bar:
        with _installed(_CountingClient(client, bar)):
            try:
                if window_of is None:
                    payload = _prepare.GroupPreparedDataBuilder(start, end).build()
                else:
                    payload = _prepare.build_incremental_write_window(window_of, start, end,
                                                                      stored_close=stored_close)
            except (KeyError, ValueError) as error:
                # Missing or malformed source data: the builder names what it lacks.
                raise CliError(f"{source}: {error_line(error)}") from error
    close = payload["data"].get("close_price")
    if close is None or close.shape[0] == 0 or close.shape[1] == 0:
        raise CliError(f"{source}: {start} 到 {end} 之间没有收盘价数据 (因子 \"Close\")")
    return payload


@contextlib.contextmanager
def folder_locks(store_dir: Path) -> Iterator[Callable[[], Any]]:
    """The folder's preparation lock, and a callable taking its data lock.

    The service coordinates preparations and loads of a store folder (its own
    and any --store folder alike) with flock locks beside it; a command that
    writes a folder takes the same locks, so that a notebook or a sweep
    loading it meanwhile sees the old store or the new one. Taking the
    preparation lock first puts back a store that an interrupted swap left as
    a backup, and removes the staging folders of killed commands.
    """
    from ..backtest import _service

    with _service._StoreFolderLock(store_dir, "prepare"):
        yield lambda: _service._StoreFolderLock(store_dir, "write")


def write_store(payload: dict[str, Any], store_dir: Path, *, default: bool = False,
                data_lock: Callable[[], Any] | None = None) -> None:
    """把完整 payload 写成预备数据目录: 先写进旁边的临时目录并校验, 通过后才替换原目录。

    Args:
        payload (dict): GroupPreparedDataBuilder.build() 的结果。
        store_dir (Path): 目标目录; 原有内容被整体替换。
        default (bool): 目标是否是包的默认目录 (是则删去已安装数据包的记录)。
        data_lock (Callable | None): 已持有该目录准备锁的调用方给出的取数据锁的函数 (folder_locks 所给);
            默认 None 表示由本函数自己持有目录的锁。
    Returns:
        None: 无返回值。
    Raises:
        MorvaneError: 写出的数据不完整。
    """
    if data_lock is None:
        with folder_locks(store_dir) as held:
            _write_and_swap(payload, store_dir, default=default, data_lock=held)
    else:
        _write_and_swap(payload, store_dir, default=default, data_lock=data_lock)


def _write_and_swap(payload: dict[str, Any], store_dir: Path, *, default: bool,
                    data_lock: Callable[[], Any]) -> None:
    from ..backtest import _prepare
    from ..backtest._service import BacktestService

    store_dir.parent.mkdir(parents=True, exist_ok=True)
    # The service's names for a staging folder and a backup, so that whoever
    # next takes the folder's preparation lock clears what a killed command left.
    staging = store_dir.parent / f".{store_dir.name}.staging-{secrets.token_hex(8)}"
    staging.mkdir()
    backup = store_dir.parent / f".{store_dir.name}.backup"
    try:
        store = _prepare.BinaryPreparedDataStore(staging)
        store.write(payload)
        BacktestService._validate_metadata(store)
        with data_lock():
            if store_dir.exists():
                shutil.rmtree(backup, ignore_errors=True)
                os.replace(store_dir, backup)
            os.replace(staging, store_dir)
            shutil.rmtree(backup, ignore_errors=True)
            if default:
                # The record describes a downloaded package, which this store no longer is.
                (store_dir.parent / "installed_package.json").unlink(missing_ok=True)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


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

"""Prepared-data stores in any folder: built or refreshed from a data client, and loaded.

The package's own flow (`BacktestService.prepare_backtest_data`) downloads the
reference package into the package's folder; this module gives the same store
to callers who bring their data as a data client (the synthetic market, local
files, their own) and keep it where they choose. It stages, checks, swaps and
locks as the service does, with the service's own helpers and lock files, so a
notebook, the command line and a sweep can share one folder.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

    from ..singleton import DataClient
    from .result import BacktestData

__all__ = [
    "FIRST_DATE",
    "default_store_dir",
    "load_store",
    "prepare_from_client",
    "build_payload",
    "write_store",
    "folder_locks",
    "store_is_complete",
    "has_store",
]

# A client's data may reach back to the first listed A shares.
FIRST_DATE = "19900101"


def default_store_dir() -> Path:
    """The package's prepared-data folder, read at call time as the service reads it."""
    from . import _service

    return Path(_service._DEFAULT_DATA_DIR)


def _is_package_folder(store_dir: Path) -> bool:
    return os.path.realpath(store_dir) == os.path.realpath(default_store_dir())


def load_store(store_dir: str | os.PathLike[str]) -> BacktestData:
    """Loads a store folder into memory, as `BacktestService.load_backtest_data` loads the package's.

    A swap that a killed preparation left half done is put back first; the
    folder's data lock is held while reading, so a preparation elsewhere is
    seen before or after, never midway.
    """
    from . import _service
    from ._prepare import BinaryPreparedDataStore
    from .result import BacktestData

    folder = Path(store_dir)
    _service._recover_store_folder(folder)
    store = BinaryPreparedDataStore(folder)
    with _service._StoreFolderLock(folder, "read"):
        payload = (
            store.load(start_date=None, end_date=None, mmap=False)
            if store.metadata_path.exists()
            else None
        )
    if payload is None:  # no metadata, or it vanished between the check and the read
        raise FileNotFoundError(
            f"预备数据目录 {folder} 中没有回测数据, 请先调用 morvane.prepare_backtest_data({str(folder)!r}, client=...)"
        )
    return BacktestData(data=payload["data"])


class _CountingClient:
    """Forwards to a data client and ticks a progress bar after every query."""

    def __init__(self, client: DataClient, bar: Any) -> None:
        self._client = client
        self._bar = bar

    def get_factors(
        self, *, factor: str | list[str], start_date: str | None, end_date: str | None
    ) -> Any:
        names = [factor] if isinstance(factor, str) else list(factor)
        self._bar.set_postfix_str(", ".join(names)[:40], refresh=False)
        table = self._client.get_factors(factor=factor, start_date=start_date, end_date=end_date)
        self._bar.update(len(names))
        return table

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str | None, end_date: str | None
    ) -> Any:
        self._bar.set_postfix_str("指数日行情", refresh=False)
        table = self._client.get_index_daily(ukeys=ukeys, start_date=start_date, end_date=end_date)
        self._bar.update(1)
        return table


@contextlib.contextmanager
def _installed(client: DataClient) -> Iterator[None]:
    """Installs `client` as the package's data client for the build, and puts the old one back."""
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
    from . import _prepare

    return len(_prepare.BUILD_INPUT_NAMES) + len(_prepare.COMPONENT_FACTOR_NAMES) + 1


def _first_line(error: BaseException) -> str:
    text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def build_payload(
    client: DataClient,
    start: str,
    end: str,
    *,
    source: str = "数据来源",
    window_of: list[str] | None = None,
    stored_close: pd.DataFrame | None = None,
) -> dict[str, Any]:
    """从数据客户端构建预备数据 payload, 每次查询推进一格进度条 (只在终端上显示)。

    Args:
        client (DataClient): 数据客户端, 只在构建期间装入包的客户端槽位, 之后还原。
        start (str): 首日 "YYYYMMDD"; 给出 window_of 时为写入窗口首日。
        end (str): 末日 "YYYYMMDD"。
        source (str): 数据来源的描述, 出现在错误消息的开头, 例如 "--source my_files"。
        window_of (list[str] | None): 已存储的 close_price 日期; 给出时构建增量写入窗口。
        stored_close (pandas.DataFrame | None): 已存储的 close_price, 增量窗口用它接续 prev_close。
    Returns:
        dict: 可交给存储 write / update_tail 的 payload。
    Raises:
        ValueError: 数据不全或格式不对 (例如没有收盘价或基准指数行情), 消息以 source 开头。
    """
    from tqdm import tqdm

    from . import _prepare

    with tqdm(total=_query_count(), desc="读取数据", unit="项", disable=None, leave=False) as bar:
        with _installed(_CountingClient(client, bar)):
            try:
                if window_of is None:
                    payload = _prepare.GroupPreparedDataBuilder(start, end).build()
                else:
                    payload = _prepare.build_incremental_write_window(
                        window_of, start, end, stored_close=stored_close
                    )
            except (KeyError, ValueError) as error:
                # Missing or malformed source data: the builder names what it lacks.
                raise ValueError(f"{source}: {_first_line(error)}") from error
    close = payload["data"].get("close_price")
    if close is None or close.shape[0] == 0 or close.shape[1] == 0:
        raise ValueError(f'{source}: {start} 到 {end} 之间没有收盘价数据 (因子 "Close")')
    return payload


@contextlib.contextmanager
def folder_locks(store_dir: Path) -> Iterator[Callable[[], Any]]:
    """The folder's preparation lock, and a callable taking its data lock.

    The service coordinates preparations and loads of a store folder (its own
    and any other alike) with flock locks beside it; whoever writes a folder
    takes the same locks, so that a notebook or a sweep loading it meanwhile
    sees the old store or the new one. Taking the preparation lock first puts
    back a store that an interrupted swap left as a backup, and removes the
    staging folders of killed writers.
    """
    from . import _service

    with _service._StoreFolderLock(store_dir, "prepare"):
        yield lambda: _service._StoreFolderLock(store_dir, "write")


def write_store(
    payload: dict[str, Any],
    store_dir: Path,
    *,
    default: bool = False,
    data_lock: Callable[[], Any] | None = None,
) -> None:
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


def _write_and_swap(
    payload: dict[str, Any], store_dir: Path, *, default: bool, data_lock: Callable[[], Any]
) -> None:
    from . import _prepare
    from ._service import BacktestService

    store_dir.parent.mkdir(parents=True, exist_ok=True)
    # The service's names for a staging folder and a backup, so that whoever
    # next takes the folder's preparation lock clears what a killed writer left.
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


def has_store(store_dir: Path) -> bool:
    """Whether the folder holds a store's metadata, once an interrupted swap has been put back."""
    from . import _service
    from ._prepare import BinaryPreparedDataStore

    _service._recover_store_folder(store_dir)
    return bool(BinaryPreparedDataStore(store_dir).metadata_path.exists())


def store_is_complete(store: Any) -> bool:
    """Whether the store's metadata lists every dataset and every dataset file checks out."""
    from ._service import BacktestService

    if not store.metadata_path.exists():
        return False
    try:
        return not BacktestService._find_missing_datasets(store)
    except Exception:  # an unreadable metadata file: the store is rebuilt whole
        return False


def _require_input_files(client: Any, source: str) -> None:
    """Every input the build cannot do without is a file of a local folder, or nothing is written.

    A missing price, limit or VWAP file would not stop the build: it would
    give a store whose backtests trade on other numbers, without a word.
    """
    from . import _prepare

    required = [*_prepare.REQUIRED_FACTOR_NAMES, *_prepare.COMPONENT_FACTOR_NAMES]
    missing = client.missing_files(required)
    if missing:
        optional = ", ".join(f"factors/{name}" for name in _prepare.OPTIONAL_FACTOR_NAMES)
        raise FileNotFoundError(
            f"{source}: 缺少必需的输入文件 (.parquet 或 .csv): {', '.join(missing)}; "
            f"可选的文件 (缺少时按没有数据处理): {optional}; 没有写入任何数据"
        )


def prepare_from_client(
    client: DataClient,
    store_dir: Path,
    *,
    start: str,
    end: str,
    replace: bool = False,
    source: str,
    extend: bool = True,
) -> str:
    """在 store_dir 从数据客户端构建预备数据, 或在已有的完整数据上增量刷新末尾。

    目录没有完整数据 (没有元信息、缺少数据集或有文件缺失、损坏) 或 replace 为 True 时整体构建:
    写进旁边的临时目录, 校验后替换原目录。否则按包的增量窗口 (末尾两个已存储交易日及之后)
    从客户端重建末尾。全程持有目录的准备锁, 替换或写末尾时持有数据锁。

    Args:
        client (DataClient): 数据来源。
        store_dir (Path): 预备数据目录, 不存在时创建。
        start (str): 整体构建的首日 "YYYYMMDD"。
        end (str): 末日 "YYYYMMDD"。
        replace (bool): 已有完整数据时也整体重建, 默认 False。
        source (str): 数据来源的描述, 出现在错误消息的开头。
        extend (bool): 已有完整数据时是否可以从这个客户端刷新末尾, 默认 True; False 时
            (整体生成的数据来源) 抛出 FileExistsError。
    Returns:
        str: 日志里的状态词: "已就绪" (整体构建)、"已更新" 或 "已是最新"。
    Raises:
        FileNotFoundError: 本地文件客户端缺少必需的输入文件。
        FileExistsError: extend 为 False 而目录已有完整数据。
        ValueError: 数据来源的数据不全 (消息以 source 开头)。
        MorvaneError: 写出的数据不完整, 或增量更新失败。
    """
    from ..clients import LocalFileClient
    from ._prepare import BinaryPreparedDataStore
    from ._service import BacktestService

    if isinstance(client, LocalFileClient):
        _require_input_files(client, source)
    # Held from the check to the end, as the service holds its own: whatever is
    # found here stays so until it has been written.
    with folder_locks(store_dir) as data_lock:
        store = BinaryPreparedDataStore(store_dir)
        if store_is_complete(store) and not replace:
            if not extend:
                raise FileExistsError(f"{store_dir} 已有预备数据")
            action = _refresh(store, client, end, source=source, data_lock=data_lock)
        else:
            payload = build_payload(client, start, end, source=source)
            write_store(
                payload, store_dir, default=_is_package_folder(store_dir), data_lock=data_lock
            )
            action = "已就绪"
            store = BinaryPreparedDataStore(store_dir)
        BacktestService._log_dataset_summary(store, action=action)
    return action


def _refresh(
    store: Any, client: DataClient, last: str, *, source: str, data_lock: Callable[[], Any]
) -> str:
    """Rewrites the store's last stored rows and appends the days after them (preparation lock held)."""
    from ..exceptions import MorvaneError
    from . import _prepare

    index = list(store.load_metadata()["datasets"]["close_price"]["index"])
    write_start = index[max(len(index) - _prepare.TAIL_RELOAD_ROWS, 0)]
    if write_start >= last:
        return "已是最新"
    stored_close = store.load(keys=["close_price"], mmap=True)["data"]["close_price"]
    payload = build_payload(
        client, write_start, last, source=source, window_of=index, stored_close=stored_close
    )
    del stored_close  # the mapping is not held while the tail is written
    with data_lock():
        if not store.update_tail(payload):
            raise MorvaneError("回测数据增量更新失败:基准缺失或元信息不完整")
    return "已更新"

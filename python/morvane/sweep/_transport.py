"""How the data and the inputs reach the runs: loaded here, mapped per worker, or shipped to Dask."""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd

from ._grid import _type_error

if TYPE_CHECKING:
    from ..backtest.result import BacktestData

_DASK_HINT = "Dask 模式需要可选依赖 dask[distributed], 请先安装: pip install morvane[dask]"


def _load_store(path: str | None) -> BacktestData:
    """The prepared data of a store folder (mapped, no copy), or this machine's prepared data.

    Every row is verified against its checksum as it is mapped (which also
    brings the pages in), once per process: a damaged file is an error here,
    never a silently wrong figure in a run.
    """
    import morvane

    if path is None:
        return morvane.load_backtest_data()
    from ..backtest import _service
    from ..backtest._prepare import BinaryPreparedDataStore
    from ..backtest.result import BacktestData

    _service._recover_store_folder(path)
    store = BinaryPreparedDataStore(path)
    with _service._StoreFolderLock(path, "read"):
        if not store.metadata_path.exists():
            raise FileNotFoundError(f"预备数据目录中没有回测数据: {path}")
        payload = store.load(start_date=None, end_date=None, mmap=True, verify=True)
    return BacktestData(data=payload["data"])


def _check_data(data: object) -> None:
    from ..backtest.result import BacktestData

    if not (isinstance(data, BacktestData) or data is None or isinstance(data, (str, os.PathLike))):
        raise _type_error("data", "BacktestData | str | os.PathLike | None", data)


def _local_data(data: object) -> BacktestData:
    from ..backtest.result import BacktestData

    _check_data(data)
    if isinstance(data, BacktestData):
        return data
    return _load_store(None if data is None else os.fspath(data))  # type: ignore[arg-type]


# Per worker process: store path (None: the worker's own prepared data) -> data.
_WORKER_DATA: dict[str | None, BacktestData] = {}
_WORKER_DATA_LOCK = threading.Lock()


def _worker_store_data(path: str | None) -> BacktestData:
    with _WORKER_DATA_LOCK:
        if path not in _WORKER_DATA:
            _WORKER_DATA[path] = _load_store(path)
        return _WORKER_DATA[path]


def _forget_store_data(path: str | None) -> None:
    with _WORKER_DATA_LOCK:
        _WORKER_DATA.pop(path, None)


@dataclass(frozen=True)
class _StoreRef:
    """Tells a Dask task to read the data its worker process loaded from a store."""

    path: str | None


class _ShippedTable:
    """A factor or weight table on its way to the Dask workers.

    Dask sends a DataFrame through its own pandas serialiser, which moves a
    table of a few thousand text labels many times slower than its numbers;
    wrapped, the table travels as a pickle whose arrays go out of band, and
    arrives equal to the original, labels and dtypes included.
    """

    __slots__ = ("table",)

    def __init__(self, table: pd.DataFrame) -> None:
        self.table = table


def _received(table: pd.DataFrame | _ShippedTable, data: object) -> tuple[pd.DataFrame, object]:
    """A Dask task's table and data as the run takes them."""
    if isinstance(data, _StoreRef):
        data = _worker_store_data(data.path)
    if isinstance(table, _ShippedTable):
        table = table.table
    return table, data


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as exc:
        raise ImportError(_DASK_HINT) from exc
    return distributed

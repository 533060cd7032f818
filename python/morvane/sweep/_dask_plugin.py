"""The Dask worker plugin of morvane.sweep; imported only in Dask mode, as it needs distributed."""

from __future__ import annotations

from distributed import WorkerPlugin

from ._transport import _forget_store_data, _worker_store_data


class StoreDataPlugin(WorkerPlugin):
    """Loads the prepared data once per worker process, when the worker joins (or rejoins)."""

    def __init__(self, path: str | None) -> None:
        self.path = path

    def setup(self, worker: object) -> None:
        _worker_store_data(self.path)

    def teardown(self, worker: object) -> None:
        _forget_store_data(self.path)

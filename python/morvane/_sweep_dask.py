"""The Dask worker plugin of morvane.sweep; imported only in Dask mode, as it needs distributed."""

from __future__ import annotations

from distributed import WorkerPlugin

from . import sweep


class StoreDataPlugin(WorkerPlugin):
    """Loads the prepared data once per worker process, when the worker joins (or rejoins)."""

    def __init__(self, path: str | None) -> None:
        self.path = path

    def setup(self, worker: object) -> None:
        sweep._worker_store_data(self.path)

    def teardown(self, worker: object) -> None:
        sweep._forget_store_data(self.path)

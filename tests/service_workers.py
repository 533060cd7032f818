"""Process bodies for the concurrency tests (started with the spawn method)."""

from __future__ import annotations

import traceback
from pathlib import Path

import numpy as np


def _redirect(home: str, today: str) -> None:
    from morvane.backtest import _service

    _service._DEFAULT_DATA_DIR = Path(home) / ".morvane" / "backtest_data" / "enviroment_data"
    _service._today = lambda: today


def prepare(home: str, base_url: str, today: str, answers) -> None:
    try:
        _redirect(home, today)
        from morvane._http import HttpClient
        from morvane.backtest._service import BacktestService

        BacktestService(HttpClient(base_url, retries=2, backoff=0.0)).prepare_backtest_data()
        answers.put("ok")
    except BaseException:  # noqa: BLE001 - the parent reports it
        answers.put(traceback.format_exc())


def fingerprint(data: dict) -> tuple[float, float, float]:
    """Sums that tell which package each of three datasets came from."""
    return tuple(
        round(float(np.nansum(data[key].to_numpy(dtype=float))), 6)
        for key in ("close_price", "open_price", "buy_price")
    )


def load_loop(home: str, today: str, stop, answers) -> None:
    seen: set[tuple[float, float, float]] = set()
    try:
        _redirect(home, today)
        from morvane.backtest._service import BacktestService

        loads = 0
        while not stop.is_set() or loads == 0:
            seen.add(fingerprint(BacktestService(None).load_backtest_data().data))
            loads += 1
        answers.put((loads, sorted(seen)))
    except BaseException:  # noqa: BLE001
        answers.put(traceback.format_exc())

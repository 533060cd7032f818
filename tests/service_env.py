"""A redirected prepared-data folder, a fixed today and a stand-in for the tail window build."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pandas as pd

from morvane.backtest import _prepare, _service


@dataclass
class ServiceEnv:
    home: Path
    today: str = "20240101"  # before every stored date: no refresh unless a test asks
    window_calls: list[tuple[list[str], str, str]] = field(default_factory=list)
    window_payload: dict[str, Any] | None = None

    @property
    def root(self) -> Path:
        return self.home / ".morvane" / "backtest_data"

    @property
    def store_dir(self) -> Path:
        return self.root / "enviroment_data"

    def window(
        self,
        base_index: list[str],
        write_start: str,
        write_end: str,
        *,
        stored_close: pd.DataFrame | None = None,
    ) -> dict[str, Any]:
        self.window_calls.append((list(base_index), write_start, write_end))
        if self.window_payload is None:
            raise AssertionError("the tail window was built, but the test expected no refresh")
        return self.window_payload


def install(monkeypatch, home: Path) -> ServiceEnv:
    env = ServiceEnv(home)
    monkeypatch.setattr(Path, "home", lambda: home)
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", env.store_dir)
    monkeypatch.setattr(_service, "_today", lambda: env.today)
    monkeypatch.setattr(_prepare, "build_incremental_write_window", env.window, raising=False)
    return env


def tail_payload(payload: dict[str, Any], new_date: str) -> dict[str, Any]:
    """The last stored row of every table again, plus a copy of it dated `new_date`."""
    data: dict[str, Any] = {}
    for key, value in payload["data"].items():
        if key == "benchmark_dict":
            data[key] = {
                code: pd.concat([s.iloc[-1:], pd.Series([0.001], index=[new_date], name=s.name)])
                for code, s in value.items()
            }
        else:
            last = value.iloc[-1:]
            data[key] = pd.concat([last, last.set_axis([new_date])])
    meta = dict(payload["meta"], write_start_date=data["close_price"].index[0])
    return {"version": 1, "meta": meta, "data": data}


def child_env(home: Path, scratch: Path) -> dict[str, str]:
    """The environment of a child process that must leave the real home alone.

    Its home is ``home``; matplotlib's configuration and the caches go under ``scratch``.
    """
    return dict(
        os.environ,
        HOME=str(home),
        MPLCONFIGDIR=str(scratch / "mpl"),
        XDG_CACHE_HOME=str(scratch / "cache"),
    )

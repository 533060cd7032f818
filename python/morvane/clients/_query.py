"""Argument checks and table shaping shared by the bundled data clients."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable

import pandas as pd


def _texts(value: object, name: str, expected: str) -> list[str]:
    """One text or a list (or tuple) of texts, as a list; anything else is the caller's type error."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)) and all(isinstance(item, str) for item in value):
        return list(value)
    raise TypeError(f"参数 {name} 类型错误: 期望 {expected}, 收到 {type(value).__name__}")


def factor_names(factor: object) -> list[str]:
    """The names of a `factor` argument: one text or a list of texts."""
    return _texts(factor, "factor", "str 或 list[str]")


def code_list(ukeys: object) -> list[str]:
    """The codes of a `ukeys` argument (one text is taken as a list of one)."""
    return _texts(ukeys, "ukeys", "list[str]")


def query_date(value: object, name: str) -> pd.Timestamp | None:
    """A query bound: "YYYY-MM-DD" or "YYYYMMDD" text, or None for unbounded."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"参数 {name} 类型错误: 期望 str, 收到 {type(value).__name__}")
    for layout in ("%Y-%m-%d", "%Y%m%d"):
        try:
            return pd.Timestamp(dt.datetime.strptime(value.strip(), layout))
        except ValueError:
            continue
    raise ValueError(f"参数 {name} 不是有效日期: {value!r} (应为 YYYY-MM-DD 或 YYYYMMDD)")


def long_table(parts: Iterable[tuple[str, pd.DataFrame]], with_factor: bool) -> pd.DataFrame | None:
    """Concatenates per-factor long tables; None when there is no row at all."""
    frames = []
    for name, frame in parts:
        if frame is None or frame.empty:
            continue
        if with_factor:
            frame = frame.assign(factor=name)
        frames.append(frame)
    if not frames:
        return None
    out = (
        pd.concat(frames, ignore_index=True)
        if len(frames) > 1
        else frames[0].reset_index(drop=True)
    )
    return out


def wide_table(parts: list[tuple[str, pd.DataFrame]]) -> pd.DataFrame | None:
    """Joins per-factor long tables on ("ukey", "date"), one column per factor."""
    frames = [
        f.set_index(["ukey", "date"])["value"].rename(name)
        for name, f in parts
        if f is not None and not f.empty
    ]
    if not frames:
        return None
    joined = pd.concat(frames, axis=1, join="outer").sort_index(level=["date", "ukey"])
    return joined.reset_index()

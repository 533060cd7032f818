"""The parameters of the native entry points, as their bindings declare them.

Each bound backtest function declares its parameters once, in a table (name, type, default,
range, one-line doc), from which its argument list, signature, docstring and range check are
made; the module exports the tables as the read-only mapping ``_PARAMETERS``. The sweeps and
the command line take their defaults from here instead of writing them out again.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Mapping
from types import MappingProxyType
from typing import Any

__all__ = ["defaults", "parameters"]


def parameters(module: str, function: str) -> Mapping[str, Mapping[str, Any]]:
    """一个原生入口的参数表, 按签名顺序。

    Args:
        module (str): morvane.backtest 下的扩展模块名, 例如 "_service"。
        function (str): 表名, 即绑定的函数名 (方法为 "类名.方法名"), 例如
            "BacktestService.backtest"。
    Returns:
        Mapping[str, Mapping[str, Any]]: 参数名到只读记录的映射; 记录的键为 "name"、"type"、
            "required"、"default"、"keyword_only"、"range" (文本或 None)、"doc" (一行说明) 与
            "more"。
    Raises:
        KeyError: 模块没有这个表。
    """
    tables = importlib.import_module(f"morvane.backtest.{module}")._PARAMETERS
    return MappingProxyType({row["name"]: row for row in tables[function]})


def defaults(module: str, function: str, names: Iterable[str]) -> dict[str, Any]:
    """所列参数的默认值, 按 names 的顺序。

    Args:
        module (str): 扩展模块名, 例如 "_service"。
        function (str): 表名, 例如 "BacktestService.backtest_strategy"。
        names (Iterable[str]): 参数名, 例如 ("group_num", "fee")。
    Returns:
        dict[str, Any]: 参数名到默认值。
    Raises:
        KeyError: 没有这个表或参数。
        ValueError: 某个参数没有默认值 (必须给出)。
    """
    table = parameters(module, function)
    out: dict[str, Any] = {}
    for name in names:
        row = table[name]
        if row["required"]:
            raise ValueError(f"{function} 的参数 {name} 没有默认值")
        out[name] = row["default"]
    return out

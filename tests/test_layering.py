"""Dependencies point one way: the binding helpers name no module above them, the factor core no
strategy module, and both backtests draw their charts under the one lock kept below them."""

from __future__ import annotations

import re
from pathlib import Path

import morvane.backtest._chart_lock as chart_lock
import morvane.backtest._ravelle as ravelle

CPP = Path(__file__).resolve().parents[1] / "cpp"
EXTENSIONS = ("_core", "_ravelle", "_store", "_prepare", "_service")


def named_modules(folder: Path) -> dict[str, set[str]]:
    """The extension modules each source file of `folder` names as "morvane.backtest.<module>"."""
    pattern = re.compile(r"morvane\.backtest\.(_[a-z]+)\b")
    found: dict[str, set[str]] = {}
    for source in sorted(folder.glob("*.[ch]pp")):
        modules = set(pattern.findall(source.read_text(encoding="utf-8"))) & set(EXTENSIONS)
        if modules:
            found[source.name] = modules
    return found


def test_sources_are_there_to_scan():
    assert (CPP / "pyglue" / "chart_guards.cpp").is_file()
    assert named_modules(CPP / "backtest" / "_ravelle")  # the scan does find names


def test_binding_helpers_name_no_extension_module():
    assert named_modules(CPP / "pyglue") == {}


def test_factor_core_does_not_reach_up_to_the_strategy_core():
    assert all("_ravelle" not in modules
               for modules in named_modules(CPP / "backtest" / "_core").values())


def test_strategy_module_re_exports_the_one_chart_lock():
    assert ravelle._MATPLOTLIB_PLOT_LOCK is chart_lock._MATPLOTLIB_PLOT_LOCK

"""Dependencies point one way: the binding helpers name no module above them, the factor core no
strategy module, and both backtests draw their charts under the one lock kept below them."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import matplotlib.colors
import pytest

import morvane.backtest._chart_lock as chart_lock
import morvane.backtest._ravelle as ravelle
from morvane.backtest import _core
from test_charts import total_frame
from test_group_backtest import random_market

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


def test_modules_convert_arrays_only_through_the_binding_helpers():
    sources = [*(CPP / "backtest").rglob("*.[ch]pp"), *(CPP / "kernels").rglob("*.[ch]pp")]
    assert len(sources) > 50  # the scan does find the sources
    assert [str(s) for s in sources if "nb::ndarray" in s.read_text(encoding="utf-8")] == []
    assert "nb::ndarray" in (CPP / "pyglue" / "arrays.hpp").read_text(encoding="utf-8")


def test_factor_core_does_not_reach_up_to_the_strategy_core():
    assert all(
        "_ravelle" not in modules for modules in named_modules(CPP / "backtest" / "_core").values()
    )


def test_strategy_module_re_exports_the_one_chart_lock():
    assert ravelle._MATPLOTLIB_PLOT_LOCK is chart_lock._MATPLOTLIB_PLOT_LOCK


@pytest.fixture
def saves_under_lock(monkeypatch):
    """Each chart file saved, with whether the package's chart lock was held and the face colour
    the chart style gives the axes."""
    from morvane.backtest import _chart_png

    seen: list[tuple[bool, str]] = []
    original = _chart_png.save_chart

    def spy(figure, save_path, dpi):
        owned = chart_lock._MATPLOTLIB_PLOT_LOCK._is_owned()
        seen.append((owned, matplotlib.colors.to_hex(figure.axes[0].get_facecolor())))
        return original(figure, save_path, dpi)

    monkeypatch.setattr(_chart_png, "save_chart", spy)
    return seen


def test_both_backtests_save_their_charts_holding_the_one_lock_in_one_style(
    tmp_path, saves_under_lock
):
    market = random_market(7, 130, 30, holes=0.0)
    _core.run_alpha_vwap_backtest_core(
        **market,
        group_num=3,
        plot_save_path=tmp_path / "f.png",
        plot_title="alpha",
        tear_sheet=True,
    )
    assert len(saves_under_lock) == 2  # the factor chart and its tear sheet
    ravelle.plot_weekly_net_value(
        total=total_frame(120),
        strategy_name="s",
        plot_title=None,
        save_path=tmp_path / "w.png",
        image_kind="large",
        benchmark_name="000852",
    )
    assert len(saves_under_lock) == 3
    assert all(owned for owned, _ in saves_under_lock)
    assert {colour for _, colour in saves_under_lock} == {"#fbfbfd"}
    assert not chart_lock._MATPLOTLIB_PLOT_LOCK._is_owned()  # released after each chart


def test_factor_core_loads_and_draws_without_the_strategy_core(tmp_path):
    script = f"""
import sys
import numpy as np
import pandas as pd
import morvane.backtest._core as core
dates = pd.bdate_range("2024-01-01", periods=60).strftime("%Y%m%d")
codes = [f"{{600000 + i:06d}}" for i in range(12)]
rng = np.random.default_rng(3)
def frame(values):
    return pd.DataFrame(values, index=dates, columns=codes)
close = 5.0 + 20.0 * rng.random((60, 12))
ones = np.ones((60, 12))
core.run_alpha_vwap_backtest_core(
    factor_matrix=frame(rng.standard_normal((60, 12))), close_price_valid=frame(ones),
    can_buy_stock=frame(ones > 0), cant_sell_stock=frame(ones < 0), split_factor=frame(ones * np.nan),
    dividend_factor=frame(ones * np.nan), close_price=frame(close), prev_close=frame(close),
    buy_price=frame(close), sell_price=frame(close), group_num=2,
    plot_save_path={str(tmp_path / "f.png")!r})
print("morvane.backtest._ravelle" in sys.modules)
"""
    ran = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert ran.stdout.strip() == "False"
    assert (tmp_path / "f.png").is_file()

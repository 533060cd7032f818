"""The strategy charts: number texts, the chart lock, both figures and their layouts."""

from __future__ import annotations

import struct
import threading
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.figure  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

import morvane.backtest._ravelle as ravelle  # noqa: E402
from reference.stats import YEARLY_COLUMNS  # noqa: E402


def png_size(path: Path) -> tuple[int, int]:
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def total_frame(days: int, start: str = "2022-01-03", seed: int = 0) -> pd.DataFrame:
    """A total frame built the documented way from random daily returns."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range(start, periods=days).strftime("%Y%m%d")
    t = pd.DataFrame(
        {
            "daily_return": rng.normal(5e-4, 0.01, days),
            "index_daily_return": rng.normal(2e-4, 0.01, days),
        },
        index=index,
    )
    t["extra_daily_return"] = t["daily_return"] - t["index_daily_return"]
    nav = 1 + t["daily_return"].cumsum()
    t["long"] = nav / nav.iloc[0]
    t["close_net_value"] = 1 + t["index_daily_return"].cumsum()
    t["max_drowdown"] = t["long"] - t["long"].cummax()
    t["extra_return"] = t["extra_daily_return"].cumsum() - t["extra_daily_return"].iloc[0]
    t["extra_max_drowdown"] = (1 + t["extra_return"]) - (1 + t["extra_return"]).cummax()
    return t


STATS = {
    "annual_return": 12.3,
    "long_sharp": 1.1,
    "max_dd": 0.08,
    "extra_annual_return": 6.0,
    "extra_sharp": 0.7,
    "extra_max_dd": 0.05,
    "win_rate": 0.52,
    "excess_win_rate": 0.51,
    "turnover": 0.1,
    "benchmark_annual_return": 5.0,
    "benchmark_sharp": 0.3,
    "return_corr": 0.4,
    "holding_count": 12.6,
}


class TestNumberTexts:
    @pytest.mark.parametrize(
        ("function", "value", "digits", "text"),
        [
            ("_format_num", 1.234, 2, "1.23"),
            ("_format_num", 2.675, 2, "2.67"),
            ("_format_num", -0.5, 2, "-0.50"),
            ("_format_num", 12, 0, "12"),
            ("_format_num", 12.6, 0, "13"),
            ("_format_num", -0.001, 2, "-0.00"),
            ("_format_num", 0.125, 2, "0.12"),
            ("_format_num", float("inf"), 2, "inf"),
            ("_format_num", float("-inf"), 2, "-inf"),
            ("_format_pct", 0.05, 2, "5.00%"),
            ("_format_pct", -0.1234, 2, "-12.34%"),
            ("_format_pct", 0.125, 2, "12.50%"),
            ("_format_pct", float("inf"), 2, "inf%"),
            ("_format_pct_points", 5.0, 2, "5.00%"),
            ("_format_pct_points", -3.456, 2, "-3.46%"),
            ("_format_pct_points", 12.5, 2, "12.50%"),
            ("_format_num", np.float32(1.5), 1, "1.5"),
            ("_format_num", 3, 2.0, "3.00"),
        ],
    )
    def test_texts(self, function, value, digits, text):
        assert getattr(ravelle, function)(value, digits) == text

    @pytest.mark.parametrize("function", ["_format_num", "_format_pct", "_format_pct_points"])
    @pytest.mark.parametrize("missing", [None, float("nan"), np.nan, pd.NA, pd.NaT])
    def test_missing_values(self, function, missing):
        assert getattr(ravelle, function)(missing) == "--"

    def test_bad_arguments(self):
        with pytest.raises(TypeError, match="digits"):
            ravelle._format_num(1.0, "2")
        with pytest.raises(TypeError, match="value"):
            ravelle._format_pct("0.5")

    def test_annual_excess(self):
        series = pd.Series([0.0512, np.nan, -0.031], index=[2022, 2021, 2023])
        assert ravelle._format_annual_excess(series) == "2022: 5.12% | 2023: -3.10%"
        assert ravelle._format_annual_excess({2020: 0.1}) == "2020: 10.00%"
        for empty in (
            None,
            pd.Series(dtype=float),
            pd.Series([np.nan, np.nan], index=[2020, 2021]),
        ):
            assert ravelle._format_annual_excess(empty) == "--"


class TestPerformanceFigure:
    @pytest.mark.parametrize(
        ("kind", "size", "dpi"),
        [("large", (3547, 2079), 165), ("long", (2247, 4930), 145), ("unknown", (2247, 4930), 145)],
    )
    def test_layouts(self, tmp_path, saved_figures, kind, size, dpi):
        path = tmp_path / f"{kind}.png"
        out = ravelle.plot_strategy_performance(
            total_frame(300), STATS, image_kind=kind, save_path=path
        )
        assert out == {"main": str(path)}
        assert png_size(path) == size
        assert saved_figures[0][1]["dpi"] == dpi

    def test_title_falls_back_to_the_strategy_name(self, tmp_path, saved_figures):
        for title in (None, ""):
            ravelle.plot_strategy_performance(
                total_frame(30),
                {},
                strategy_name="alpha",
                plot_title=title,
                save_path=tmp_path / "a.png",
                benchmark_name="000300",
            )
        texts = [fig._suptitle.get_text() for fig, _ in saved_figures]
        assert texts == ["alpha | Benchmark 000300 | Strategy Performance"] * 2

    def test_cards_tables_and_missing_statistics(self, tmp_path, saved_figures):
        stats = {k: v for k, v in STATS.items() if k != "turnover"}
        ravelle.plot_strategy_performance(
            total_frame(300),
            stats,
            save_path=tmp_path / "a.png",
            image_kind="long",
            rolling_window=5,
        )
        figure = saved_figures[0][0]
        texts = [t.get_text() for ax in figure.axes for t in ax.texts]
        assert "12.30%" in texts and "Strategy Ann." in texts
        cards = figure.axes[0]
        assert [t.get_text() for t in cards.texts][-2:] == ["--", "Turnover"]
        summary = {}
        for table in (t for ax in figure.axes for t in ax.tables):
            cells = table.get_celld()
            if cells[(0, 0)].get_text().get_text() == "Metric":
                summary = {
                    cells[(r, 0)].get_text().get_text(): cells[(r, 1)].get_text().get_text()
                    for r in range(1, 12)
                }
                assert cells[(1, 0)].get_facecolor()[:3] == (1.0, 1.0, 1.0)
                assert matplotlib.colors.to_hex(cells[(2, 0)].get_facecolor()) == "#f8fafc"
        assert summary["Avg Holding"] == "13" and summary["Rolling Window"] == "5"
        assert summary["Trading Days"] == "300" and summary["Turnover"] == "--"

    @pytest.mark.parametrize(
        ("days", "label"), [(40, "13D Excess Sharpe"), (200, "60D Excess Sharpe"), (4, None)]
    )
    def test_rolling_window(self, tmp_path, saved_figures, days, label):
        ravelle.plot_strategy_performance(total_frame(days), STATS, save_path=tmp_path / "a.png")
        figure = saved_figures[0][0]
        rolling = next(ax for ax in figure.axes if ax.get_title() == "Rolling Excess Stability")
        if label is None:
            assert [t.get_text() for t in rolling.texts] == ["Not enough data"]
        else:
            assert rolling.get_lines()[0].get_label() == label
            values = rolling.get_lines()[0].get_ydata()
            assert np.isnan(values[: int(label[:2].rstrip("D")) - 1]).all()

    def test_negative_yearly_excess_labels_hang_below(self, tmp_path, saved_figures):
        total = total_frame(260)
        total["extra_daily_return"] = -0.001
        ravelle.plot_strategy_performance(total, STATS, save_path=tmp_path / "a.png")
        year = next(ax for ax in saved_figures[0][0].axes if ax.get_title() == "Yearly Return")
        labels = [t for t in year.texts if t.get_text().endswith("%")]
        assert labels and all(t.get_va() == "top" and t.get_rotation() == 90 for t in labels)

    def test_empty_total_writes_nothing(self, tmp_path):
        path = tmp_path / "empty.png"
        assert ravelle.plot_strategy_performance(
            total_frame(5).iloc[:0], STATS, save_path=path
        ) == {"main": str(path)}
        assert not path.exists()

    def test_argument_types(self, tmp_path):
        with pytest.raises(TypeError, match="rolling_window"):
            ravelle.plot_strategy_performance(
                total_frame(5), STATS, save_path=tmp_path / "a.png", rolling_window="3"
            )
        with pytest.raises(TypeError, match="stats"):
            ravelle.plot_strategy_performance(total_frame(5), [], save_path=tmp_path / "a.png")


class TestChartLock:
    def test_two_threads_write_two_complete_files(self, tmp_path):
        paths = [tmp_path / f"{k}.png" for k in range(2)]
        errors: list[BaseException] = []

        def draw(path: Path) -> None:
            try:
                ravelle.plot_strategy_performance(total_frame(120), STATS, save_path=path)
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        threads = [threading.Thread(target=draw, args=(p,)) for p in paths]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        assert [png_size(p) for p in paths] == [(3547, 2079)] * 2

    def test_reentrant_and_released_after_errors(self, tmp_path, monkeypatch):
        with ravelle._MATPLOTLIB_PLOT_LOCK:
            ravelle.plot_weekly_net_value(total_frame(30), save_path=tmp_path / "w.png")
        with pytest.raises(KeyError):
            ravelle.plot_strategy_performance(
                total_frame(30).drop(columns="long"), STATS, save_path=tmp_path / "x.png"
            )
        acquired = ravelle._MATPLOTLIB_PLOT_LOCK.acquire(timeout=1)
        assert acquired
        ravelle._MATPLOTLIB_PLOT_LOCK.release()

    def test_entry_point_passes_arguments_by_keyword(self, monkeypatch):
        calls = []
        monkeypatch.setattr(
            ravelle, "_plot_weekly_net_value_unlocked", lambda **kw: calls.append(kw)
        )
        out = ravelle.plot_weekly_net_value(pd.DataFrame(), "s", None, Path("a/b.png"))
        assert out == {"weekly_net_value": str(Path("a/b.png"))}
        assert calls == [
            {
                "total": calls[0]["total"],
                "strategy_name": "s",
                "plot_title": None,
                "save_path": Path("a/b.png"),
                "image_kind": "large",
                "benchmark_name": "000852",
            }
        ]


class TestYearlyTable:
    def metrics(self, years: list) -> pd.DataFrame:
        columns = YEARLY_COLUMNS
        return pd.DataFrame(0.1, index=years, columns=columns)

    def draw(self, metrics: pd.DataFrame, **kwargs):
        figure = matplotlib.figure.Figure()
        ax = figure.add_subplot()
        ravelle._draw_yearly_metrics_table(ax, metrics, **kwargs)
        return ax

    def test_rows_colours_and_headers(self):
        ax = self.draw(self.metrics([2021, 2022.0, 2023]), compact=True)
        cells = ax.tables[0].get_celld()
        assert [cells[(r, 0)].get_text().get_text() for r in range(1, 4)] == [
            "2021",
            "2022",
            "2023",
        ]
        assert [matplotlib.colors.to_hex(cells[(r, 0)].get_facecolor()) for r in range(1, 4)] == [
            "#ffffff",
            "#f8fafc",
            "#ffffff",
        ]
        assert cells[(0, 1)].get_text().get_text() == "Ret"
        assert matplotlib.colors.to_hex(cells[(0, 1)].get_text().get_color()) == "#0f172a"
        assert matplotlib.colors.to_hex(cells[(1, 1)].get_text().get_color()) == "#1d4ed8"
        assert matplotlib.colors.to_hex(cells[(1, 5)].get_text().get_color()) == "#b91c1c"
        assert cells[(1, 1)].get_text().get_text() == "10.00%"
        full = self.draw(self.metrics([2021]))
        assert full.tables[0].get_celld()[(0, 1)].get_text().get_text() == "Strategy Return"

    def test_empty_and_keyword_only(self):
        ax = self.draw(self.metrics([]))
        assert [t.get_text() for t in ax.texts] == ["No yearly metric data"] and not ax.tables
        with pytest.raises(TypeError):
            ravelle._draw_yearly_metrics_table(ax, self.metrics([2021]), True)


class TestWeekly:
    def test_weeks_end_on_friday_with_the_last_values(self):
        total = total_frame(8, start="2024-01-01")  # Monday 1st to Wednesday 10th
        total.loc["20240105", "long"] = np.nan
        weekly = ravelle._build_weekly_net_value_frame(total)
        assert list(weekly.columns) == [
            "long",
            "close_net_value",
            "extra_return",
            "extra_net_value",
        ]
        assert weekly.index.tolist() == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-12")]
        assert weekly["long"].iloc[0] == total.loc["20240104", "long"]
        assert weekly["long"].iloc[1] == total.loc["20240110", "long"]
        np.testing.assert_allclose(weekly["extra_net_value"], weekly["extra_return"] + 1)

    def test_weeks_without_finite_values_vanish(self):
        total = total_frame(10, start="2024-01-01")
        total.iloc[
            5:10, [total.columns.get_loc(c) for c in ("long", "close_net_value", "extra_return")]
        ] = np.inf
        weekly = ravelle._build_weekly_net_value_frame(total)
        assert weekly.index.tolist() == [pd.Timestamp("2024-01-05")]
        assert ravelle._build_weekly_net_value_frame(total.iloc[:0]).empty

    @pytest.mark.parametrize(("kind", "size"), [("large", (3196, 1462)), ("long", (2247, 1798))])
    def test_layouts_and_title(self, tmp_path, saved_figures, kind, size):
        path = tmp_path / "w.png"
        assert ravelle.plot_weekly_net_value(total_frame(200), save_path=path, image_kind=kind) == {
            "weekly_net_value": str(path)
        }
        assert png_size(path) == size
        assert (
            saved_figures[0][0]._suptitle.get_text()
            == "strategy | Benchmark 000852 | Weekly Net Value"
        )

    def test_type_errors_name_the_argument(self, tmp_path):
        with pytest.raises(TypeError, match="image_kind"):
            ravelle.plot_weekly_net_value(
                total_frame(20), save_path=tmp_path / "w.png", image_kind=1
            )

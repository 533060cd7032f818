"""Chart layouts: no text runs into another in either layout at a few sizes, partial years are
marked in the yearly tables, the factor chart names its lines and keeps its legends off the data."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.figure  # noqa: E402
import matplotlib.text  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from matplotlib.backends.backend_agg import RendererAgg  # noqa: E402

import morvane.backtest._ravelle as ravelle  # noqa: E402
from chart_texts import drawn_texts, text_problems  # noqa: E402
from morvane.backtest import _core  # noqa: E402
from reference.stats import YEARLY_COLUMNS  # noqa: E402
from test_charts import STATS, total_frame  # noqa: E402
from test_group_backtest import benchmarks, random_market  # noqa: E402


def saved(saved_figures) -> tuple[matplotlib.figure.Figure, float]:
    figure, arguments = saved_figures[-1]
    return figure, arguments["dpi"]


class TestTheCheck:
    def test_it_finds_overlapping_texts_and_overflowing_cells(self):
        figure = matplotlib.figure.Figure(figsize=(4, 3))
        figure.text(0.1, 0.5, "2021-01")
        figure.text(0.15, 0.5, "2021-05")
        ax = figure.add_subplot()
        ax.axis("off")
        table = ax.table(
            cellText=[["a much longer text than its cell holds"]], colWidths=[0.1], loc="center"
        )
        table.auto_set_font_size(False)
        problems = text_problems(figure, 100)
        assert "'2021-01' overlaps '2021-05'" in problems
        assert any("runs out of table cell (0, 0)" in p for p in problems)

    def test_only_drawn_tick_labels_count(self, tmp_path, saved_figures):
        ravelle.plot_weekly_net_value(total_frame(200), save_path=tmp_path / "w.png")
        figure, _ = saved(saved_figures)
        texts = drawn_texts(figure)
        for ax in figure.axes:
            low, high = sorted(ax.get_xlim())
            for tick in ax.xaxis.get_major_ticks():
                if tick.label1 in texts:
                    assert low <= tick.get_loc() <= high


@pytest.mark.parametrize("kind", ["large", "long"])
class TestStrategyCharts:
    # One year, three (monthly date ticks on every panel) and ten (a long yearly excess list).
    @pytest.mark.parametrize("days", [250, 761, 2500])
    def test_performance_texts_stay_apart(self, tmp_path, saved_figures, kind, days):
        ravelle.plot_strategy_performance(
            total_frame(days, start="2021-01-04"),
            STATS,
            image_kind=kind,
            save_path=tmp_path / "p.png",
            strategy_name="momentum",
        )
        assert text_problems(*saved(saved_figures)) == []

    @pytest.mark.parametrize("days", [250, 2500])
    def test_weekly_texts_stay_apart(self, tmp_path, saved_figures, kind, days):
        ravelle.plot_weekly_net_value(
            total_frame(days, start="2021-01-04"), image_kind=kind, save_path=tmp_path / "w.png"
        )
        assert text_problems(*saved(saved_figures)) == []


class TestDashboardDetails:
    def test_twenty_years_fit_the_yearly_table_panel(self, tmp_path, saved_figures):
        ravelle.plot_strategy_performance(
            total_frame(5200, start="2005-01-03"), STATS, save_path=tmp_path / "p.png"
        )
        figure, dpi = saved(saved_figures)
        assert text_problems(figure, dpi) == []
        table_ax = next(
            ax for ax in figure.axes if ax.get_title() == "Yearly Strategy & Excess Metrics"
        )
        assert len(table_ax.tables[0].get_celld()) == 9 * 21

    def test_annual_excess_is_wrapped_into_its_cell_and_keeps_every_year(
        self, tmp_path, saved_figures
    ):
        total = total_frame(2500, start="2021-01-04")
        ravelle.plot_strategy_performance(total, STATS, save_path=tmp_path / "p.png")
        figure, _ = saved(saved_figures)
        cells = next(
            t
            for ax in figure.axes
            for t in ax.tables
            if t.get_celld()[(0, 0)].get_text().get_text() == "Metric"
        ).get_celld()
        text = cells[(11, 1)].get_text().get_text()
        daily = total.set_axis(pd.to_datetime(total.index), axis=0)["extra_daily_return"]
        expected = ravelle._format_annual_excess(daily.groupby(daily.index.year).sum())
        assert "\n" in text and text.replace(" |\n", " | ") == expected
        assert cells[(11, 1)].get_height() > cells[(10, 1)].get_height()


class TestPartialYears:
    def metrics(self, years: list[int]) -> pd.DataFrame:
        columns = YEARLY_COLUMNS
        return pd.DataFrame(
            np.linspace(0.1, 5.22, len(years) * 8).reshape(len(years), 8),
            index=years,
            columns=columns,
        )

    def test_the_table_marks_them_and_says_how_many_days_they_cover(self):
        figure = matplotlib.figure.Figure()
        ax = figure.add_subplot()
        metrics = self.metrics([2023, 2024])
        ravelle._draw_yearly_metrics_table(ax, metrics, compact=True, partial_years={2024: 11})
        cells = ax.tables[0].get_celld()
        assert [cells[(r, 0)].get_text().get_text() for r in (1, 2)] == ["2023", "2024*"]
        assert cells[(2, 2)].get_text().get_text() == ravelle._format_num(
            metrics.loc[2024, "strategy_sharpe"]
        )
        assert [t.get_text() for t in ax.texts] == ["* Partial year: 2024 (11 trading days)"]
        two = matplotlib.figure.Figure().add_subplot()
        ravelle._draw_yearly_metrics_table(two, metrics, partial_years={2023: 120, 2024: 11})
        assert [t.get_text() for t in two.texts] == [
            "* Partial years: 2023 (120 trading days), 2024 (11 trading days)"
        ]
        with pytest.raises(TypeError, match="partial_years"):
            ravelle._draw_yearly_metrics_table(two, metrics, partial_years=[2024])

    def test_the_title_sits_above_the_table_and_the_note_below(self):
        figure = matplotlib.figure.Figure(figsize=(8, 4))
        ax = figure.add_subplot()
        ravelle._draw_yearly_metrics_table(
            ax, self.metrics([2022, 2023, 2024]), partial_years={2024: 11}
        )
        renderer = RendererAgg(*figure.bbox.size, figure.dpi)
        figure.draw(renderer)
        table = ax.tables[0].get_window_extent(renderer)
        title = ax.title.get_window_extent(renderer)
        note = ax.texts[0].get_window_extent(renderer)
        assert table.y1 <= title.y0 <= table.y1 + 20 and note.y1 <= table.y0

    @pytest.mark.parametrize(
        ("start", "days", "partial"),
        [
            ("2023-12-18", 20, {2023: 10, 2024: 10}),  # a late start and an early end
            ("2023-01-02", 260, {}),  # 2 January to 29 December: whole
            ("2023-01-02", 261, {2024: 1}),  # one day into the next year
        ],
    )
    def test_charts_find_them_from_the_dates(self, tmp_path, saved_figures, start, days, partial):
        ravelle.plot_weekly_net_value(total_frame(days, start=start), save_path=tmp_path / "w.png")
        figure, _ = saved(saved_figures)
        table_ax = next(ax for ax in figure.axes if ax.tables)
        years = [
            c.get_text().get_text()
            for k, c in table_ax.tables[0].get_celld().items()
            if k[1] == 0 and k[0] > 0
        ]
        assert {int(y[:4]) for y in years if y.endswith("*")} == set(partial)
        notes = [t.get_text() for t in table_ax.texts]
        assert bool(notes) == bool(partial)
        for year, count in partial.items():
            assert f"{year} ({count} trading days)" in notes[0]


@pytest.mark.parametrize("kind", ["large", "long"])
@pytest.mark.parametrize("groups", [2, 20])
def test_factor_chart_texts_legends_and_line_names(tmp_path, saved_figures, kind, groups):
    market = random_market(5, 260, 60, holes=0.02)
    _core.run_alpha_vwap_backtest_core(
        **market,
        group_num=groups,
        benchmark_dict=benchmarks(market["close_price"].index),
        benchmark_names="000300",
        plot_image_kind=kind,
        plot_save_path=tmp_path / "f.png",
        plot_title="alpha",
    )
    figure, dpi = saved(saved_figures)
    assert text_problems(figure, dpi) == []
    cumulative = figure.axes[0]
    names = [t.get_text() for t in cumulative.texts if isinstance(t, matplotlib.text.Annotation)]
    assert sorted(names, key=lambda n: int(n[1:])) == [f"G{g}" for g in range(1, groups + 1)]
    renderer = RendererAgg(*figure.bbox.size, figure.dpi)
    figure.draw(renderer)
    for ax in figure.axes:
        legend = ax.get_legend()
        if legend is not None:  # above its panel, never over the data
            assert legend.get_window_extent(renderer).y0 >= ax.get_window_extent(renderer).y1 - 1


# One year (a heatmap row or two), three, and ten years of months; 2 to 50 groups of turnover bars.
@pytest.mark.parametrize(("days", "groups"), [(260, 2), (760, 10), (2500, 20), (760, 50)])
def test_tear_sheet_texts_stay_apart(tmp_path, saved_figures, days, groups):
    market = random_market(6, days, 120, holes=0.02)
    result = _core.run_alpha_vwap_backtest_core(
        **market,
        group_num=groups,
        benchmark_dict=benchmarks(market["close_price"].index),
        benchmark_names="000300",
        plot_save_path=tmp_path / "f.png",
        plot_title="alpha",
        horizons=(1, 5, 10, 20),
        rebalance_every=5,
        tear_sheet=True,
    )
    figure, dpi = saved(saved_figures)
    assert result.plot_paths["tear_sheet"]["primary"] == str(tmp_path / "f_tear_sheet.png")
    assert figure.get_suptitle() == "alpha  (factor tear sheet)"
    assert text_problems(figure, dpi) == []

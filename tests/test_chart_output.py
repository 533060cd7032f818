"""Writing chart files: the PNG writer and its renderer, other formats through savefig, and the
fonts for Chinese chart texts (the morvane[cjk] extra when installed, else one warning)."""

from __future__ import annotations

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.figure  # noqa: E402
import matplotlib.patches  # noqa: E402
import matplotlib.style  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from matplotlib import font_manager  # noqa: E402
from matplotlib.backends.backend_agg import RendererAgg  # noqa: E402
from PIL import Image  # noqa: E402

import morvane  # noqa: E402
import morvane.backtest._ravelle as ravelle  # noqa: E402
from morvane.backtest import _chart_fonts, _chart_png, _chart_renderer, _chart_shortcuts  # noqa: E402
from morvane.exceptions import MorvaneWarning  # noqa: E402
from test_charts import STATS, total_frame  # noqa: E402
from test_group_backtest import benchmarks, random_market  # noqa: E402

CHINESE = "小市值动量策略"


def ink_box(rgba: np.ndarray) -> tuple[int, int, int, int]:
    """Rows and columns of the non-white pixels: (top, bottom, left, right)."""
    rows, cols = np.nonzero(rgba[:, :, :3].min(axis=2) < 250)
    return rows.min(), rows.max(), cols.min(), cols.max()


class TestPngWriter:
    def test_pixels_and_dpi_survive_the_round_trip(self, tmp_path):
        rng = np.random.default_rng(0)
        opaque = rng.integers(0, 256, (37, 53, 4), dtype=np.uint8)
        opaque[:, :, 3] = 255
        _chart_png.write_png(tmp_path / "o.png", opaque, 165)
        with Image.open(tmp_path / "o.png") as image:
            assert image.mode == "RGB" and image.info["dpi"] == pytest.approx((165, 165), abs=0.01)
            np.testing.assert_array_equal(np.asarray(image), opaque[:, :, :3])
        clear = opaque.copy()
        clear[3, 7, 3] = 0
        _chart_png.write_png(tmp_path / "c.png", clear, 100)
        with Image.open(tmp_path / "c.png") as image:
            assert image.mode == "RGBA"
            np.testing.assert_array_equal(np.asarray(image), clear)

    def test_a_chart_saves_the_picture_savefig_would(self, tmp_path):
        figure = matplotlib.figure.Figure(figsize=(4, 3))
        ax = figure.add_subplot()
        ax.plot([0, 1, 2], [1, 3, 2], label="line")
        ax.set_title("Title")
        ax.legend()
        _chart_png.save_chart(figure, tmp_path / "fast.png", 120)
        figure.savefig(tmp_path / "slow.png", dpi=120, facecolor=figure.get_facecolor())
        with Image.open(tmp_path / "fast.png") as fast, Image.open(tmp_path / "slow.png") as slow:
            a, b = np.asarray(fast.convert("RGB"), float), np.asarray(slow.convert("RGB"), float)
        assert a.shape == b.shape == (360, 480, 3)
        assert np.abs(a - b).mean() < 1.0  # text may shift by a fraction of a pixel
        assert figure.dpi == 100  # restored after drawing

    @pytest.mark.parametrize(
        ("angle", "text"), [(0, "12.34% | Ag"), (90, "-7.50%"), (45, "2021-05")]
    )
    def test_text_lands_where_matplotlib_draws_it(self, angle, text):
        def ink(renderer_class: type) -> tuple[int, int, int, int]:
            figure = matplotlib.figure.Figure(figsize=(3, 3))
            figure.text(0.4, 0.3, text, rotation=angle, fontsize=11)
            renderer = renderer_class(*figure.bbox.size, 165)
            figure.set_dpi(165)
            figure.draw(renderer)
            return ink_box(np.asarray(renderer.buffer_rgba()))

        ours, theirs = ink(_chart_renderer.renderer_class()), ink(RendererAgg)
        assert np.abs(np.subtract(ours, theirs)).max() <= 1

    def test_other_formats_go_through_savefig(self, tmp_path):
        figure = matplotlib.figure.Figure(figsize=(2, 2))
        figure.add_subplot().plot([0, 1])
        _chart_png.save_chart(figure, tmp_path / "a.pdf", 100)
        _chart_png.save_chart(figure, str(tmp_path / "b.SVG"), 100)
        assert (tmp_path / "a.pdf").read_bytes()[:4] == b"%PDF"
        assert b"<svg" in (tmp_path / "b.SVG").read_bytes()[:400]


class TestChartRenderer:
    def render(self, figure: matplotlib.figure.Figure, dpi: float = 145) -> np.ndarray:
        return _chart_png.render_rgba(figure, dpi).copy()

    def texts(self) -> matplotlib.figure.Figure:
        figure = matplotlib.figure.Figure(figsize=(3, 2))
        for k, size in enumerate((7.8, 8.4, 11, 15)):
            figure.text(0.05, 0.1 + 0.2 * k, "Excess Sharpe 2021-05", fontsize=size)
        figure.text(0.6, 0.1, "Excess Sharpe 2021-05", fontsize=11, weight="bold")
        return figure

    def test_kept_texts_draw_as_freshly_laid_out_ones(self):
        cold = (_chart_renderer.TEXTS.clear(), self.render(self.texts()))[1]
        warm = self.render(self.texts())
        np.testing.assert_array_equal(warm, cold)
        # the same texts at another dpi are laid out anew, at their own size
        np.testing.assert_array_equal(
            self.render(self.texts(), 100),
            (_chart_renderer.TEXTS.clear(), self.render(self.texts(), 100))[1],
        )
        figure = self.texts()
        figure.set_dpi(145)
        renderer = RendererAgg(*figure.bbox.size, 145)
        figure.draw(renderer)
        assert (
            np.abs(ink_box(np.asarray(renderer.buffer_rgba())) - np.array(ink_box(warm))).max() <= 1
        )

    def test_the_shelf_keeps_the_most_recent_texts_within_its_bytes(self):
        shelf = _chart_renderer.TextShelf(100)
        for key in "abc":
            shelf.put(key, key.upper(), 40)  # "a" goes: 120 bytes
        assert (shelf.get("a"), shelf.get("b"), len(shelf), shelf.nbytes) == (None, "B", 2, 80)
        shelf.put("d", "D", 40)  # "b" was used last: "c" goes
        assert [shelf.get(k) for k in "bcd"] == ["B", None, "D"]
        shelf.put("b", "B2", 90)  # replaced, and alone within the bytes
        assert (shelf.get("b"), len(shelf), shelf.nbytes) == ("B2", 1, 90)
        shelf.put("huge", "H", 500)  # the newest is kept whatever its size
        assert (shelf.get("huge"), len(shelf)) == ("H", 1)
        shelf.clear()
        assert (len(shelf), shelf.nbytes) == (0, 0)

    def test_table_cell_boxes_are_the_patches_own(self, tmp_path, saved_figures):
        ravelle.plot_strategy_performance(total_frame(300), STATS, save_path=tmp_path / "p.png")
        figure, _ = saved_figures[-1]
        renderer = RendererAgg(*figure.bbox.size, figure.dpi)
        cells = [
            cell for ax in figure.axes for table in ax.tables for cell in table.get_celld().values()
        ]
        assert len(cells) > 40
        for cell in cells:
            quick = cell.get_window_extent(renderer)
            np.testing.assert_array_equal(
                quick.get_points(),
                matplotlib.patches.Patch.get_window_extent(cell, renderer).get_points(),
            )

    def test_new_ticks_copy_the_first_tick_as_matplotlib_does(self):
        if not _chart_renderer.tested_matplotlib():
            pytest.skip("matplotlib's own tick copies on this matplotlib release")
        figure = matplotlib.figure.Figure()
        with matplotlib.style.context("seaborn-v0_8-whitegrid"):
            ax = figure.add_subplot()
        ax.tick_params(axis="x", labelrotation=30, colors="red", length=4, grid_alpha=0.5)
        axis = ax.xaxis
        first, theirs, ours = (
            axis.majorTicks[0],
            axis._get_tick(major=True),
            axis._get_tick(major=True),
        )
        axis._copy_tick_props(first, theirs)
        _chart_shortcuts._copy_tick_props_sharing_markers(axis, first, ours)
        own = {
            "_callbacks",
            "stale_callback",
            "_remove_method",
            "_marker",
            "_path",
            "_xy",
            "_x",
            "_y",
            "_xorig",
            "_yorig",
            "_transformed_path",
            "_subslice",
            "_invalidx",
            "_invalidy",
        }

        def state(artist: object) -> dict[str, str]:
            return {k: str(v) for k, v in vars(artist).items() if k not in own}

        for part in ("tick1line", "tick2line", "gridline", "label1", "label2"):
            assert state(getattr(ours, part)) == state(getattr(theirs, part)), part
        for line in ("tick1line", "tick2line", "gridline"):
            assert getattr(ours, line).get_marker() == getattr(theirs, line).get_marker()
        assert {
            k: v
            for k, v in state(ours).items()
            if k not in ("tick1line", "tick2line", "gridline", "label1", "label2")
        } == {
            k: v
            for k, v in state(theirs).items()
            if k not in ("tick1line", "tick2line", "gridline", "label1", "label2")
        }

    @pytest.mark.parametrize("chart", ["dashboard", "weekly", "factor"])
    @pytest.mark.parametrize("kind", ["large", "long"])
    def test_ticks_copied_whole_draw_the_same_file(self, tmp_path, monkeypatch, chart, kind):
        if not _chart_renderer.tested_matplotlib():
            pytest.skip("matplotlib's own tick copies on this matplotlib release")
        market = random_market(5, 260, 60, holes=0.02)

        def draw(path):
            if chart == "dashboard":
                ravelle.plot_strategy_performance(
                    total_frame(300), STATS, image_kind=kind, save_path=path
                )
            elif chart == "weekly":
                ravelle.plot_weekly_net_value(total_frame(300), image_kind=kind, save_path=path)
            else:
                morvane.backtest._core.run_alpha_vwap_backtest_core(
                    **market,
                    group_num=20,
                    benchmark_dict=benchmarks(market["close_price"].index),
                    benchmark_names="000300",
                    plot_image_kind=kind,
                    plot_save_path=path,
                )
            return path.read_bytes()

        def ticks_built_by_matplotlib(figure):
            for ax in figure.axes:
                for axis in (ax.xaxis, ax.yaxis):
                    copy_props = _chart_shortcuts._copy_tick_props_sharing_markers
                    axis._copy_tick_props = copy_props.__get__(axis)

        copied = draw(tmp_path / "copied.png")
        monkeypatch.setattr(_chart_shortcuts, "_quick_new_ticks", ticks_built_by_matplotlib)
        assert draw(tmp_path / "built.png") == copied

    def test_a_copied_tick_owns_its_parts(self):
        if not _chart_renderer.tested_matplotlib():
            pytest.skip("matplotlib's own tick copies on this matplotlib release")
        figure = matplotlib.figure.Figure()
        ax = figure.add_subplot()
        ax.plot([0, 1], [0, 1])
        _chart_shortcuts._quick_new_ticks(figure)
        first = ax.xaxis.majorTicks[0]
        copy = ax.xaxis._get_tick(major=True)
        ax.xaxis._copy_tick_props(first, copy)  # nothing to copy onto a copy of the first tick
        copy.update_position(0.5)
        copy.label1.set_text("copy")
        copy.label1.set_fontsize(30)
        for part in ("tick1line", "tick2line", "gridline", "label1", "label2"):
            assert getattr(copy, part) is not getattr(first, part)
        assert (first.label1.get_text(), first.label1.get_fontsize()) != ("copy", 30)
        assert first.gridline.get_xdata()[0] != 0.5
        assert copy.label1._callbacks is not first.label1._callbacks

    def test_chart_parts_that_leave_no_pixel_are_skipped_alike(self, tmp_path):
        figure = matplotlib.figure.Figure(figsize=(4, 3))
        with matplotlib.style.context("seaborn-v0_8-whitegrid"):
            ax = figure.add_subplot()
            ax.plot([0, 1, 2], [1, 3, 2])
            ax.set_ylabel("Net Value")
        before = RendererAgg(*figure.bbox.size, figure.dpi)
        figure.draw(before)
        _chart_shortcuts._skip_what_draws_nothing(figure)
        assert not ax.xaxis.majorTicks[0].tick1line.get_visible()  # zero points long in this style
        after = RendererAgg(*figure.bbox.size, figure.dpi)
        figure.draw(after)
        np.testing.assert_array_equal(
            np.asarray(after.buffer_rgba()), np.asarray(before.buffer_rgba())
        )


@pytest.fixture
def font_manager_restored():
    """matplotlib's font registry as it was before the test (registering a font lasts for the process)."""
    manager = font_manager.fontManager
    before = list(manager.ttflist)
    yield manager
    manager.ttflist[:] = before
    manager._findfont_cached.cache_clear()


@pytest.fixture
def no_cjk_font(monkeypatch, font_manager_restored):
    """A server without Chinese fonts: of the listed fonts only DejaVu Sans, and no extra."""
    extra = _chart_fonts._extra_font_file()
    font_manager_restored.ttflist[:] = [
        e for e in font_manager_restored.ttflist if e.fname != extra
    ]
    font_manager_restored._findfont_cached.cache_clear()
    dejavu = font_manager.findfont("DejaVu Sans")
    monkeypatch.setattr(_chart_fonts, "_listed_font_files", lambda: [dejavu])
    monkeypatch.setattr(_chart_fonts, "_extra_font_file", lambda: None)


class TestChineseTexts:
    def test_missing_characters_in_order_of_appearance(self):
        dejavu = [font_manager.findfont("DejaVu Sans")]
        assert (
            _chart_fonts.missing_characters(["strategy | Benchmark 000852", "Ünïcödé – ok"], dejavu)
            == ""
        )
        assert (
            _chart_fonts.missing_characters([CHINESE + " 小盘", "alpha"], dejavu) == CHINESE + "盘"
        )

    @pytest.mark.parametrize("chart", ["performance", "weekly"])
    def test_without_a_font_one_warning_names_the_extra(self, tmp_path, no_cjk_font, chart):
        def draw() -> None:
            if chart == "performance":
                ravelle.plot_strategy_performance(
                    total_frame(60), STATS, strategy_name=CHINESE, save_path=tmp_path / "p.png"
                )
            else:
                ravelle.plot_weekly_net_value(
                    total_frame(60), plot_title=CHINESE, save_path=tmp_path / "w.png"
                )

        with pytest.warns(MorvaneWarning) as record:
            draw()
        assert len(record) == 1  # and no "Glyph ... missing" warning per character
        message = str(record[0].message)
        assert CHINESE in message and 'pip install "morvane[cjk]"' in message
        assert (tmp_path / ("p.png" if chart == "performance" else "w.png")).exists()
        assert morvane.MorvaneWarning is MorvaneWarning and issubclass(MorvaneWarning, UserWarning)

    def test_the_glyph_warnings_come_back_after_the_chart(self, tmp_path, no_cjk_font):
        with pytest.warns(MorvaneWarning):
            ravelle.plot_weekly_net_value(
                total_frame(30), plot_title=CHINESE, save_path=tmp_path / "w.png"
            )
        figure = matplotlib.figure.Figure()
        figure.text(0.5, 0.5, CHINESE)
        with pytest.warns(UserWarning, match="Glyph"):
            figure.draw(RendererAgg(*figure.bbox.size, figure.dpi))

    def test_finding_the_extra_never_imports_it(self):
        sys.modules.pop("noto_cjk_sans_otc", None)
        _chart_fonts._extra_font_file()
        assert "noto_cjk_sans_otc" not in sys.modules

    def test_the_extra_font_is_registered_and_prints_the_name(
        self, tmp_path, saved_figures, font_manager_restored
    ):
        pytest.importorskip("noto_cjk_sans_otc", reason="the morvane[cjk] extra is not installed")
        extra = _chart_fonts._extra_font_file()
        font_manager_restored.ttflist[:] = [
            e for e in font_manager_restored.ttflist if e.fname != extra
        ]
        font_manager_restored._findfont_cached.cache_clear()
        ravelle.plot_strategy_performance(
            total_frame(60), STATS, strategy_name=CHINESE, save_path=tmp_path / "p.png"
        )
        figure, _ = saved_figures[-1]
        assert "Noto Sans CJK SC" in {
            e.name for e in font_manager_restored.ttflist if e.fname == extra
        }
        assert os.path.realpath(
            font_manager.findfont(figure._suptitle.get_fontproperties())
        ) == os.path.realpath(extra)
        assert _chart_fonts.missing_characters([CHINESE], _chart_fonts._listed_font_files()) == ""

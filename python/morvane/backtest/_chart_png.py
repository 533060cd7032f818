"""图表文件的写出: PNG 一次绘制后直接编码写盘, 其他格式交给 matplotlib 的 savefig。

matplotlib 的 savefig 写 PNG 时经 Pillow 编码, 逐行试遍五种滤波再压缩, 一张大图要几百毫秒;
图表底色不透明、大片同色, 由 _core._encode_png 编码 (只与左边像素和上一行匹配, 多线程),
文件大小与 zlib 最快档相当, 快几倍。matplotlib 3.11 起
Agg 逐个字形在 Python 里栅格化文字, 每段文字约 1 毫秒, 一张仪表盘三百多段文字;
这里的渲染器对普通文字沿用 3.10 及以前的整段栅格化 (同一个 FreeType 排版结果, 一次画出)。
"""

from __future__ import annotations

import collections
import functools
import os
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["render_rgba", "save_chart", "write_png"]


def _font_height_metrics(font: Any, size: float, dpi: float) -> tuple[float, float, float] | tuple[None, None, None]:
    """(ascent, descent, line gap) in pixels as matplotlib 3.11's Text reads them from the font's tables."""
    for table_name, gap_key, ascent_key, descent_key in (
            ("OS/2", "sTypoLineGap", "sTypoAscender", "sTypoDescender"),
            ("hhea", "lineGap", "ascent", "descent")):
        table = font.get_sfnt_table(table_name)
        if table is None:
            continue
        scale = 1 / font.get_sfnt_table("head")["unitsPerEm"] * size * dpi / 72  # text.py's order
        return table[ascent_key] * scale, -table[descent_key] * scale, table[gap_key] * scale
    return None, None, None


class _TextShelf:
    """Texts laid out and rasterised, kept across charts (least recently used ones dropped).

    FreeType's layout of a text is the dearest part of drawing one (some 20 us
    a glyph in matplotlib 3.11) and charts repeat their texts: titles, labels,
    headers, tick labels. The layout and the glyphs depend only on the font
    files, the size, the dpi, the hinting and the text, which make the key.
    Used by the chart renderer (under the chart lock; the shelf has its own).
    """

    def __init__(self, capacity: int) -> None:
        self._capacity = capacity
        self._items: collections.OrderedDict[tuple[Any, ...], Any] = collections.OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: tuple[Any, ...]) -> Any:
        with self._lock:
            item = self._items.get(key)
            if item is not None:
                self._items.move_to_end(key)
            return item

    def put(self, key: tuple[Any, ...], item: Any) -> None:
        with self._lock:
            self._items[key] = item
            if len(self._items) > self._capacity:
                self._items.popitem(last=False)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()


# A few thousand short texts: a few megabytes of glyphs at most.
_TEXTS = _TextShelf(4096)


def _stock_renderer() -> type:
    from matplotlib.backends.backend_agg import RendererAgg

    return RendererAgg


@functools.cache
def _renderer_class() -> type:
    from matplotlib.backends.backend_agg import RendererAgg, get_hinting_flag
    from matplotlib.font_manager import fontManager, get_font

    import matplotlib
    from matplotlib import rcParams

    # The whole-text drawing below leans on RendererAgg's internals as 3.11 has
    # them (_prepare_font, the font manager's lookup, draw_text_image). Before
    # 3.11 draw_text already draws a whole text at once; a later matplotlib
    # gets its own renderer, slower perhaps but never broken by a change there.
    if not matplotlib.__version__.startswith("3.11.") or not hasattr(RendererAgg, "_draw_text_glyphs_and_boxes"):
        return RendererAgg

    class _WholeTextRenderer(RendererAgg):
        """RendererAgg that rasterises a plain text in one FreeType call.

        Laying a text out (FreeType's set_text) is the dear part, and a text is
        laid out when it is measured: its glyphs are rasterised right then (a
        microsecond or two) and kept with the measure on the shelf, so that
        drawing it later only copies them, whatever was measured in between,
        and a text met again (in this chart or a later one) is not laid out.

        Every layout also looks its font up (the family list is tried name by
        name) and, in matplotlib's Text, reads the font's height tables; both
        are kept per font properties, which hash by their values.
        """

        def __init__(self, width: float, height: float, dpi: float) -> None:
            super().__init__(width, height, dpi)
            # hash(font properties) -> (FT2Font, the font files and settings it stands for)
            self._fonts: dict[int, tuple[Any, tuple[Any, ...]]] = {}
            self._heights: dict[int, tuple[float, float, float] | tuple[None, None, None]] = {}

        def _font(self, prop: Any) -> tuple[Any, tuple[Any, ...]]:
            key = hash(prop)
            found = self._fonts.get(key)
            if found is None:
                paths = fontManager._find_fonts_by_props(prop)
                # What get_font builds the font from, besides the files.
                files = (tuple(paths), rcParams["text.kerning_factor"], rcParams["font.enable_last_resort"])
                found = self._fonts[key] = (get_font(paths), files)
            return found

        def _prepare_font(self, font_prop: Any) -> Any:
            font = self._font(font_prop)[0]
            font.clear()
            font.set_size(font_prop.get_size_in_points(), self.dpi)
            return font

        def _get_font_height_metrics(self, prop: Any) -> tuple[float, float, float] | tuple[None, None, None]:
            # Text._get_layout asks the renderer for these first; the values are
            # the ones it computes itself otherwise (ascent, descent, line gap of
            # the font's OS/2 or hhea table, scaled to the size and dpi).
            key = hash(prop)
            metrics = self._heights.get(key)
            if metrics is None:
                metrics = self._heights[key] = _font_height_metrics(
                    self._font(prop)[0], prop.get_size_in_points(), self.dpi)
            return metrics

        def _laid_out(self, s: str, prop: Any) -> tuple[Any, tuple[np.ndarray, float, float]]:
            """(width, height, descent) of `s` and its glyphs (antialiased) with their offsets."""
            key = (self._font(prop)[1], s, prop.get_size_in_points(), self.dpi, get_hinting_flag())
            text = _TEXTS.get(key)
            if text is None:
                measured = super().get_text_width_height_descent(s, prop, False)
                font = self._font(prop)[0]  # holds the layout of `s` now
                font.draw_glyphs_to_bitmap(antialiased=True)
                x_offset, y_offset = (value / 64.0 for value in font.get_bitmap_offset())
                glyphs = (np.array(font.get_image()), x_offset, y_offset + font.get_descent() / 64.0)
                text = (measured, glyphs)
                _TEXTS.put(key, text)
            return text

        def get_text_width_height_descent(self, s: str, prop: Any, ismath: bool | str) -> Any:
            if ismath is not False:
                return super().get_text_width_height_descent(s, prop, ismath)
            return self._laid_out(s, prop)[0]

        def draw_text(self, gc: Any, x: float, y: float, s: str, prop: Any, angle: float,
                      ismath: bool | str = False, mtext: Any = None) -> None:
            # Rotated texts (a few labels) keep matplotlib's own placement, which
            # moved by a pixel or two in 3.11; so do math, shaped and aliased texts.
            if ismath or angle % 360 != 0 or not gc.get_antialiased() or (mtext is not None and (
                    mtext.get_fontfeatures() is not None or mtext.get_language() is not None)):
                super().draw_text(gc, x, y, s, prop, angle, ismath, mtext)
                return
            image, x_offset, y_offset = self._laid_out(s, prop)[1]
            self._renderer.draw_text_image(image, round(x + x_offset), round(y + y_offset) + 1, 0, gc)

    return _WholeTextRenderer


def render_rgba(figure: Figure, dpi: float) -> np.ndarray:
    """把图按 dpi 画成 RGBA 像素 (高 x 宽 x 4 的 uint8 数组)。

    Args:
        figure (matplotlib.figure.Figure): 要画的图; 画完后恢复它原来的 dpi。
        dpi (float): 每英寸点数, 例如 165。
    Returns:
        numpy.ndarray: 像素数组, 与 savefig 在同一 dpi 下画出的一致。
    """
    original = figure.dpi
    figure.set_dpi(dpi)
    try:
        width, height = figure.bbox.size
        renderer = _renderer_class()(width, height, dpi)
        figure.draw(renderer)
        return np.asarray(renderer.buffer_rgba())
    finally:
        figure.set_dpi(original)


def write_png(path: str | os.PathLike[str], rgba: np.ndarray, dpi: float) -> None:
    """把 RGBA 像素写成 PNG 文件 (全不透明时存 RGB), 附带 dpi。

    Args:
        path (str | os.PathLike): 目标文件, 已存在时覆盖。
        rgba (numpy.ndarray): 高 x 宽 x 4 的 uint8 像素。
        dpi (float): 写进文件的每英寸点数。
    Raises:
        OSError: 文件无法写入。
    """
    from ._core import _encode_png

    data = _encode_png(np.ascontiguousarray(rgba, dtype=np.uint8), float(dpi))
    with open(path, "wb") as file:
        file.write(data)


def _skip_what_draws_nothing(figure: Figure) -> None:
    """Spares the draw the work for axis parts that leave no pixel.

    An axis places its label on every draw below (beside) its tick labels,
    measuring each of them for it, also when the label is empty and never
    drawn; most chart axes have none (no date axis has one): those labels get
    a fixed position. And the chart style's tick marks are zero points long,
    drawn nonetheless, two per tick: they are hidden.
    """
    for ax in figure.axes:
        for axis, position, sides in ((ax.xaxis, (0.5, 0.0), ("bottom", "top")),
                                      (ax.yaxis, (0.0, 0.5), ("left", "right"))):
            if not axis.label.get_text():
                axis.set_label_coords(*position)
            if axis.majorTicks[0].tick1line.get_markersize() == 0:
                ax.tick_params(axis=axis.axis_name, which="major", **dict.fromkeys(sides, False))


# Line2D.update_from's own attributes in matplotlib 3.11, the marker style aside.
_LINE_ATTRIBUTES = ("_linestyle", "_linewidth", "_color", "_gapcolor", "_markersize", "_markerfacecolor",
                    "_markerfacecoloralt", "_markeredgecolor", "_markeredgewidth", "_unscaled_dash_pattern",
                    "_dash_pattern", "_dashcapstyle", "_dashjoinstyle", "_solidcapstyle", "_solidjoinstyle",
                    "_drawstyle")
_TICK_ATTRIBUTES = ("_loc", "_size", "_width", "_base_pad", "_labelrotation", "_zorder", "_tickdir")


def _copy_tick_props_sharing_markers(axis: Any, src: Any, dest: Any) -> None:
    """Axis._copy_tick_props of matplotlib 3.11, with the marker styles shared, not deep-copied.

    A new tick takes the axis' first tick's properties; Line2D.update_from
    deep-copies the marker style of each of its three lines, a third of the
    cost of a tick. Marker styles have no setters (a line given another marker
    gets a new style), so sharing them is safe.
    """
    from matplotlib.artist import Artist

    if src is None or dest is None:
        return
    dest.label1.update_from(src.label1)
    dest.label2.update_from(src.label2)
    for name in ("tick1line", "tick2line", "gridline"):
        line, template = getattr(dest, name), getattr(src, name)
        Artist.update_from(line, template)
        for attribute in _LINE_ATTRIBUTES:
            setattr(line, attribute, getattr(template, attribute))
        line._marker = template._marker
    dest.update_from(src)
    for attribute in _TICK_ATTRIBUTES:
        setattr(dest, attribute, getattr(src, attribute))


def _quick_new_ticks(figure: Figure) -> None:
    """Gives the figure's axes the quick tick copy above (matplotlib 3.11 only)."""
    if _renderer_class() is _stock_renderer():
        return  # another matplotlib: its own tick copies
    for ax in figure.axes:
        for axis in (ax.xaxis, ax.yaxis):
            axis._copy_tick_props = _copy_tick_props_sharing_markers.__get__(axis)


_UNIT_SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])


def _cell_window_extent(cell: Any, renderer: Any = None) -> Any:
    """A table cell's box on the page: its path's corners, transformed, without the path.

    The same numbers as Patch.get_window_extent (the unit square of the cell's
    path through the cell's transform), which builds and scans a path object
    for them; a table asks for every cell's box at least twice a draw.
    """
    from matplotlib.transforms import Bbox

    corners = cell.get_transform().transform(_UNIT_SQUARE)
    return Bbox([corners.min(axis=0), corners.max(axis=0)])


def _quick_table_cells(figure: Figure) -> None:
    """Gives every table cell of the figure the quick box above."""
    from matplotlib.table import Table

    for ax in figure.axes:
        for table in ax.tables:
            if isinstance(table, Table):
                for cell in table.get_celld().values():
                    cell.get_window_extent = _cell_window_extent.__get__(cell)


def save_chart(figure: Figure, save_path: str | os.PathLike[str], dpi: float) -> None:
    """保存一张图表: 底色取图自己的 facecolor; ".png" 走快速路径, 其他扩展名用 savefig。

    Args:
        figure (matplotlib.figure.Figure): 画好的图。
        save_path (str | os.PathLike): 目标文件, 格式由扩展名决定, 已存在时覆盖。
        dpi (float): 每英寸点数, 例如 165。
    Raises:
        OSError: 文件无法写入。
    """
    path = os.fsdecode(save_path)
    _skip_what_draws_nothing(figure)
    _quick_table_cells(figure)
    _quick_new_ticks(figure)
    if Path(path).suffix.lower() != ".png":
        figure.savefig(path, dpi=dpi, facecolor=figure.get_facecolor())
        return
    write_png(path, render_rgba(figure, dpi), dpi)

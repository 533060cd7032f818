"""图表文件的写出: PNG 一次绘制后直接编码写盘, 其他格式交给 matplotlib 的 savefig。

matplotlib 的 savefig 写 PNG 时经 Pillow 编码, 逐行试遍五种滤波再压缩, 一张大图要几百毫秒;
图表底色不透明、大片同色, 由 _core._encode_png 编码 (只与左边像素和上一行匹配, 多线程),
文件大小与 zlib 最快档相当, 快几倍。matplotlib 3.11 起
Agg 逐个字形在 Python 里栅格化文字, 每段文字约 1 毫秒, 一张仪表盘三百多段文字;
这里的渲染器对普通文字沿用 3.10 及以前的整段栅格化 (同一个 FreeType 排版结果, 一次画出)。
"""

from __future__ import annotations

import functools
import os
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


@functools.cache
def _renderer_class() -> type:
    from matplotlib.backends.backend_agg import RendererAgg, get_hinting_flag
    from matplotlib.font_manager import fontManager, get_font

    import matplotlib

    # The whole-text drawing below leans on RendererAgg's internals as 3.11 has
    # them (_prepare_font, the font manager's lookup, draw_text_image). Before
    # 3.11 draw_text already draws a whole text at once; a later matplotlib
    # gets its own renderer, slower perhaps but never broken by a change there.
    if not matplotlib.__version__.startswith("3.11.") or not hasattr(RendererAgg, "_draw_text_glyphs_and_boxes"):
        return RendererAgg

    class _WholeTextRenderer(RendererAgg):
        """RendererAgg that rasterises a plain text in one FreeType call.

        Laying a text out (FreeType's set_text) is the dear part, some 20 us a
        glyph in 3.11, and a text is laid out when it is measured: its glyphs
        are rasterised right then (a microsecond or two) and kept, so that
        drawing it later only copies them, whatever was measured in between.

        Every layout also looks its font up (the family list is tried name by
        name) and, in matplotlib's Text, reads the font's height tables; both
        are kept per font properties, which hash by their values.
        """

        def __init__(self, width: float, height: float, dpi: float) -> None:
            super().__init__(width, height, dpi)
            self._fonts: dict[int, Any] = {}
            self._heights: dict[int, tuple[float, float, float] | tuple[None, None, None]] = {}
            # (font, text, size) -> glyphs (antialiased) and their offsets in pixels
            self._glyphs: dict[tuple[Any, str, float], tuple[np.ndarray, float, float]] = {}

        def _font(self, prop: Any) -> Any:
            key = hash(prop)
            font = self._fonts.get(key)
            if font is None:
                font = self._fonts[key] = get_font(fontManager._find_fonts_by_props(prop))
            return font

        def _prepare_font(self, font_prop: Any) -> Any:
            font = self._font(font_prop)
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
                    self._font(prop), prop.get_size_in_points(), self.dpi)
            return metrics

        def _keep_glyphs(self, font: Any, s: str, size: float) -> tuple[np.ndarray, float, float]:
            """Rasterises the font's current layout of `s` and keeps it."""
            font.draw_glyphs_to_bitmap(antialiased=True)
            x_offset, y_offset = (value / 64.0 for value in font.get_bitmap_offset())
            glyphs = (np.array(font.get_image()), x_offset, y_offset + font.get_descent() / 64.0)
            self._glyphs[font, s, size] = glyphs
            return glyphs

        def get_text_width_height_descent(self, s: str, prop: Any, ismath: bool | str) -> Any:
            measured = super().get_text_width_height_descent(s, prop, ismath)
            if ismath is False:  # the font holds the layout of `s`
                self._keep_glyphs(self._font(prop), s, prop.get_size_in_points())
            return measured

        def draw_text(self, gc: Any, x: float, y: float, s: str, prop: Any, angle: float,
                      ismath: bool | str = False, mtext: Any = None) -> None:
            # Rotated texts (a few labels) keep matplotlib's own placement, which
            # moved by a pixel or two in 3.11; so do math, shaped and aliased texts.
            if ismath or angle % 360 != 0 or not gc.get_antialiased() or (mtext is not None and (
                    mtext.get_fontfeatures() is not None or mtext.get_language() is not None)):
                super().draw_text(gc, x, y, s, prop, angle, ismath, mtext)
                return
            size = prop.get_size_in_points()
            glyphs = self._glyphs.get((self._font(prop), s, size))
            if glyphs is None:  # drawn unmeasured
                font = self._prepare_font(prop)
                font.set_text(s, 0, flags=get_hinting_flag())
                glyphs = self._keep_glyphs(font, s, size)
            image, x_offset, y_offset = glyphs
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
    if Path(path).suffix.lower() != ".png":
        figure.savefig(path, dpi=dpi, facecolor=figure.get_facecolor())
        return
    write_png(path, render_rgba(figure, dpi), dpi)

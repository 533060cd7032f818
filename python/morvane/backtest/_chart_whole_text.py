"""The whole-text Agg renderer of the charts, for matplotlib 3.11 (see _chart_renderer).

Imported only once _chart_renderer has found the matplotlib version it was written against.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from matplotlib import rcParams
from matplotlib.backends.backend_agg import RendererAgg, get_hinting_flag
from matplotlib.font_manager import fontManager, get_font

from ._chart_renderer import TEXTS, _font_height_metrics

__all__ = ["WholeTextRenderer"]


class WholeTextRenderer(RendererAgg):
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
            files = (
                tuple(paths),
                rcParams["text.kerning_factor"],
                rcParams["font.enable_last_resort"],
            )
            found = self._fonts[key] = (get_font(paths), files)
        return found

    def _prepare_font(self, font_prop: Any) -> Any:
        font = self._font(font_prop)[0]
        font.clear()
        font.set_size(font_prop.get_size_in_points(), self.dpi)
        return font

    def _get_font_height_metrics(
        self, prop: Any
    ) -> tuple[float, float, float] | tuple[None, None, None]:
        # Text._get_layout asks the renderer for these first; the values are
        # the ones it computes itself otherwise (ascent, descent, line gap of
        # the font's OS/2 or hhea table, scaled to the size and dpi).
        key = hash(prop)
        metrics = self._heights.get(key)
        if metrics is None:
            metrics = self._heights[key] = _font_height_metrics(
                self._font(prop)[0], prop.get_size_in_points(), self.dpi
            )
        return metrics

    def _laid_out(self, s: str, prop: Any) -> tuple[Any, tuple[np.ndarray, float, float]]:
        """(width, height, descent) of `s` and its glyphs (antialiased) with their offsets."""
        key = (self._font(prop)[1], s, prop.get_size_in_points(), self.dpi, get_hinting_flag())
        text = TEXTS.get(key)
        if text is None:
            measured = super().get_text_width_height_descent(s, prop, False)
            font = self._font(prop)[0]  # holds the layout of `s` now
            font.draw_glyphs_to_bitmap(antialiased=True)
            x_offset, y_offset = (value / 64.0 for value in font.get_bitmap_offset())
            glyphs = (
                np.array(font.get_image()),
                x_offset,
                y_offset + font.get_descent() / 64.0,
            )
            text = (measured, glyphs)
            TEXTS.put(key, text, glyphs[0].nbytes + 256)  # the image, and the rest roughly
        return text

    def get_text_width_height_descent(self, s: str, prop: Any, ismath: bool | str) -> Any:
        if ismath is not False:
            return super().get_text_width_height_descent(s, prop, ismath)
        return self._laid_out(s, prop)[0]

    def draw_text(
        self,
        gc: Any,
        x: float,
        y: float,
        s: str,
        prop: Any,
        angle: float,
        ismath: bool | str = False,
        mtext: Any = None,
    ) -> None:
        # Rotated texts (a few labels) keep matplotlib's own placement, which
        # moved by a pixel or two in 3.11; so do math, shaped and aliased texts.
        if (
            ismath
            or angle % 360 != 0
            or not gc.get_antialiased()
            or (
                mtext is not None
                and (mtext.get_fontfeatures() is not None or mtext.get_language() is not None)
            )
        ):
            super().draw_text(gc, x, y, s, prop, angle, ismath, mtext)
            return
        image, x_offset, y_offset = self._laid_out(s, prop)[1]
        self._renderer.draw_text_image(image, round(x + x_offset), round(y + y_offset) + 1, 0, gc)

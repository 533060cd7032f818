"""The texts a chart draws and where they land: the overlap checks of the chart tests.

A chart is checked on the figure it saves (captured at morvane.backtest._chart_png.save_chart),
laid out at the dpi it is saved at: every drawn text's box against every other's and against the
legends' frames, each table cell's text against its cell, and every text against the page.
"""

from __future__ import annotations

import itertools

import matplotlib.figure
import matplotlib.legend
import matplotlib.table
import matplotlib.text
from matplotlib.backends.backend_agg import RendererAgg
from matplotlib.transforms import Bbox

# Boxes may touch: anti-aliased edges of neighbouring labels share a pixel or two.
TOUCH_PIXELS = 1.5


def _tick_labels(figure: matplotlib.figure.Figure) -> tuple[set[int], set[int]]:
    """Ids of all tick labels, and of those the figure draws (visible ticks inside the view)."""
    every, drawn = set(), set()
    for ax in figure.axes:
        for axis in (ax.xaxis, ax.yaxis):
            for tick in axis.get_major_ticks() + axis.get_minor_ticks():
                every.update((id(tick.label1), id(tick.label2)))
            if ax.get_visible() and ax.axison and axis.get_visible():
                for tick in axis._update_ticks():
                    drawn.update(
                        id(label) for label in (tick.label1, tick.label2) if label.get_visible()
                    )
    return every, drawn


def drawn_texts(figure: matplotlib.figure.Figure) -> list[matplotlib.text.Text]:
    """Every text the figure draws, table cells included, legend entries excluded."""
    every_tick, drawn_tick = _tick_labels(figure)
    in_legends = {
        id(t) for legend in figure.findobj(matplotlib.legend.Legend) for t in legend.get_texts()
    }
    cells = [
        cell.get_text()
        for table in figure.findobj(matplotlib.table.Table)
        for cell in table.get_celld().values()
    ]
    texts = []
    for text in figure.findobj(matplotlib.text.Text) + cells:
        if not text.get_visible() or not text.get_text().strip() or id(text) in in_legends:
            continue
        if id(text) in every_tick and id(text) not in drawn_tick:
            continue
        if text.axes is not None and not text.axes.get_visible():
            continue
        texts.append(text)
    return texts


def _name(artist: object) -> str:
    if isinstance(artist, matplotlib.legend.Legend):
        return "legend[" + ", ".join(t.get_text() for t in artist.get_texts()) + "]"
    return repr(artist.get_text())


def _overlap(a: Bbox, b: Bbox) -> bool:
    return (
        min(a.x1, b.x1) - max(a.x0, b.x0) > TOUCH_PIXELS
        and min(a.y1, b.y1) - max(a.y0, b.y0) > TOUCH_PIXELS
    )


def text_problems(figure: matplotlib.figure.Figure, dpi: float) -> list[str]:
    """Texts that run into each other, out of their table cell or off the page."""
    original = figure.dpi
    figure.set_dpi(dpi)
    try:
        renderer = RendererAgg(*figure.bbox.size, dpi)
        figure.draw(renderer)
        texts = drawn_texts(figure)
        boxes = [(text, text.get_window_extent(renderer)) for text in texts]
        boxes += [
            (legend, legend.get_window_extent(renderer))
            for legend in figure.findobj(matplotlib.legend.Legend)
            if legend.get_visible()
        ]
        problems = [
            f"{_name(a)} overlaps {_name(b)}"
            for (a, box_a), (b, box_b) in itertools.combinations(boxes, 2)
            if _overlap(box_a, box_b)
        ]
        page = figure.bbox
        problems += [
            f"{_name(a)} is off the page"
            for a, box in boxes
            if box.x0 < page.x0 - 1
            or box.y0 < page.y0 - 1
            or box.x1 > page.x1 + 1
            or box.y1 > page.y1 + 1
        ]
        for table in figure.findobj(matplotlib.table.Table):
            for key, cell in table.get_celld().items():
                text = cell.get_text()
                if not text.get_text():
                    continue
                inner, outer = text.get_window_extent(renderer), cell.get_window_extent(renderer)
                if (
                    inner.x0 < outer.x0 - 1
                    or inner.x1 > outer.x1 + 1
                    or inner.y0 < outer.y0 - 1
                    or inner.y1 > outer.y1 + 1
                ):
                    problems.append(f"{_name(text)} runs out of table cell {key}")
        return problems
    finally:
        figure.set_dpi(original)

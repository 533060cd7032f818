"""画图前的捷径: 让 matplotlib 少做不留下像素的工作, 画出的图逐像素不变。

无标签的坐标轴固定标签位置 (否则每次绘制都要测量所有刻度文字来放一个空标签); 图表样式的刻度线
长 0 点, 隐藏而不是照画; 表格单元格的外框由四角直接换算; matplotlib 3.11 上新刻度由首个刻度整体复制
(而不是从头构造再逐项拷贝属性), 其他刻度共用首个刻度的标记样式而不是逐个深拷贝。
"""

from __future__ import annotations

import copy
from typing import TYPE_CHECKING, Any

import numpy as np

from ._chart_renderer import tested_matplotlib

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["take_shortcuts"]


def take_shortcuts(figure: Figure) -> None:
    """在绘制前给图表加上各项捷径 (图的外观不变)。

    Args:
        figure (matplotlib.figure.Figure): 画好、尚未绘制的图表。
    """
    _skip_what_draws_nothing(figure)
    _quick_table_cells(figure)
    if tested_matplotlib():
        _quick_new_ticks(figure)


def _skip_what_draws_nothing(figure: Figure) -> None:
    """Spares the draw the work for axis parts that leave no pixel.

    An axis places its label on every draw below (beside) its tick labels,
    measuring each of them for it, also when the label is empty and never
    drawn; most chart axes have none (no date axis has one): those labels get
    a fixed position. And the chart style's tick marks are zero points long,
    drawn nonetheless, two per tick: they are hidden.
    """
    for ax in figure.axes:
        for axis, position, sides in (
            (ax.xaxis, (0.5, 0.0), ("bottom", "top")),
            (ax.yaxis, (0.0, 0.5), ("left", "right")),
        ):
            if not axis.label.get_text():
                axis.set_label_coords(*position)
            if axis.majorTicks[0].tick1line.get_markersize() == 0:
                ax.tick_params(axis=axis.axis_name, which="major", **dict.fromkeys(sides, False))


# Line2D.update_from's own attributes in matplotlib 3.11, the marker style aside.
_LINE_ATTRIBUTES = (
    "_linestyle",
    "_linewidth",
    "_color",
    "_gapcolor",
    "_markersize",
    "_markerfacecolor",
    "_markerfacecoloralt",
    "_markeredgecolor",
    "_markeredgewidth",
    "_unscaled_dash_pattern",
    "_dash_pattern",
    "_dashcapstyle",
    "_dashjoinstyle",
    "_solidcapstyle",
    "_solidjoinstyle",
    "_drawstyle",
)
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


_TICK_PARTS = ("tick1line", "tick2line", "gridline", "label1", "label2")


def _fresh_artist_state(artist: Any, template: Any) -> None:
    """What a copied artist must own rather than share with the artist it was copied from.

    Its own callbacks and removal hook (it is not in any artist list yet), its
    own sticky edges (lists), its own font properties (mutable in place) and
    its own data and cached paths (set anew when the tick is placed).
    """
    from matplotlib import cbook
    from matplotlib.artist import _XYPair

    artist._callbacks = cbook.CallbackRegistry(signals=["pchanged"])
    artist._remove_method = None
    artist.stale_callback = None
    edges = template._sticky_edges
    artist._sticky_edges = None if edges is None else _XYPair(list(edges.x), list(edges.y))
    if hasattr(template, "_fontproperties"):
        artist._fontproperties = template._fontproperties.copy()
    if hasattr(template, "_xorig"):
        artist.set_data(template.get_xdata(orig=True), template.get_ydata(orig=True))


def _tick_copied_from(template: Any) -> Any:
    """A new tick as a copy of the axis' first tick, with its own parts.

    matplotlib builds each new tick from scratch (three lines and two texts,
    each reading dozens of style settings) and then copies the first tick's
    properties over it; a copy of the first tick is that same tick, made in a
    tenth of the time. The axis then places it and sets its texts, as for a
    tick built from scratch.
    """
    tick = copy.copy(template)
    _fresh_artist_state(tick, template)
    for name in _TICK_PARTS:
        part = copy.copy(getattr(template, name))
        _fresh_artist_state(part, getattr(template, name))
        setattr(tick, name, part)
    tick._copied_from = template
    return tick


def _get_tick_copying_the_first(axis: Any, major: bool) -> Any:
    """Axis._get_tick that copies the first major tick once the axis has one."""
    ticks = vars(axis).get("majorTicks")
    if not major or not ticks:
        return type(axis)._get_tick(axis, major)
    return _tick_copied_from(ticks[0])


def _copy_tick_props_quickly(axis: Any, src: Any, dest: Any) -> None:
    """Nothing to copy onto a tick copied from src; other ticks as matplotlib copies them."""
    if dest is not None and getattr(dest, "_copied_from", None) is src:
        return
    _copy_tick_props_sharing_markers(axis, src, dest)


def _quick_new_ticks(figure: Figure) -> None:
    """Gives the figure's axes the quick new ticks above (matplotlib 3.11 only)."""
    for ax in figure.axes:
        for axis in (ax.xaxis, ax.yaxis):
            axis._get_tick = _get_tick_copying_the_first.__get__(axis)
            axis._copy_tick_props = _copy_tick_props_quickly.__get__(axis)


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

"""图表文件的写出: PNG 一次绘制后直接编码写盘, 其他格式交给 matplotlib 的 savefig。

matplotlib 的 savefig 写 PNG 时经 Pillow 编码, 逐行试遍五种滤波再压缩, 一张大图要几百毫秒;
图表底色不透明、大片同色, 由 _core._encode_png 编码 (只与左边像素和上一行匹配, 按行分段多线程),
文件大小与 zlib 最快档相当, 快几倍。绘制用 _chart_renderer 的渲染器, 之前先走 _chart_shortcuts
的捷径。
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from ._chart_renderer import renderer_class
from ._chart_shortcuts import take_shortcuts

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["render_rgba", "save_chart", "write_png"]


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
        renderer = renderer_class()(width, height, dpi)
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
    take_shortcuts(figure)
    if Path(path).suffix.lower() != ".png":
        figure.savefig(path, dpi=dpi, facecolor=figure.get_facecolor())
        return
    write_png(path, render_rgba(figure, dpi), dpi)

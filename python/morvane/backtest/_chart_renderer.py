"""图表的 Agg 渲染器: 在 matplotlib 3.11 上整段栅格化普通文字, 并保留文字的排版结果。

matplotlib 3.11 起 Agg 逐个字形在 Python 里栅格化文字, 每段文字约 1 毫秒; FreeType 排版
(set_text) 每个字形约 20 微秒, 一张仪表盘有两三百段文字。这里的渲染器对普通文字沿用 3.10 及
以前的整段栅格化 (同一个 FreeType 排版结果, 一次画出), 在测量文字时就栅格化并把测量和字形放进
进程内的文字架 (按字体文件、字号、dpi、hinting 和文字本身; 最久未用的先丢), 同一段文字在本图
或以后的图里不再排版。它依赖 3.11 的内部实现, 其他版本用 matplotlib 自己的渲染器。
"""

from __future__ import annotations

import collections
import functools
import threading
from typing import Any

__all__ = ["TEXTS", "TextShelf", "renderer_class", "tested_matplotlib"]


def tested_matplotlib() -> bool:
    """是否是这里依赖其内部实现的 matplotlib 版本 (3.11.x)。

    Returns:
        bool: 已安装的 matplotlib 为 3.11.x 时为 True。
    """
    import matplotlib
    from matplotlib.backends.backend_agg import RendererAgg

    return matplotlib.__version__.startswith("3.11.") and hasattr(
        RendererAgg, "_draw_text_glyphs_and_boxes"
    )


def _font_height_metrics(
    font: Any, size: float, dpi: float
) -> tuple[float, float, float] | tuple[None, None, None]:
    """(ascent, descent, line gap) in pixels as matplotlib 3.11's Text reads them from the font's tables."""
    for table_name, gap_key, ascent_key, descent_key in (
        ("OS/2", "sTypoLineGap", "sTypoAscender", "sTypoDescender"),
        ("hhea", "lineGap", "ascent", "descent"),
    ):
        table = font.get_sfnt_table(table_name)
        if table is None:
            continue
        scale = 1 / font.get_sfnt_table("head")["unitsPerEm"] * size * dpi / 72  # text.py's order
        return table[ascent_key] * scale, -table[descent_key] * scale, table[gap_key] * scale
    return None, None, None


class TextShelf:
    """排版并栅格化过的文字, 跨图保留; 字形总字节数超出容量时先丢最久未用的。

    FreeType 排版是画一段文字最贵的部分, 而图表反复用同样的文字: 标题、标签、表头、刻度文字。
    排版和字形只取决于字体文件、字号、dpi、hinting 和文字本身, 这些组成键。由图表渲染器在图表锁下
    使用; 架子自己也有锁。按字节计容量: 一个大标题的字形有几十 KB, 一个刻度文字一两 KB。

    Args:
        capacity (int): 最多保留的字形字节数, 例如 32 * 2**20。
    """

    def __init__(self, capacity: int) -> None:
        self._capacity = capacity
        self._bytes = 0
        self._items: collections.OrderedDict[tuple[Any, ...], tuple[Any, int]] = (
            collections.OrderedDict()
        )
        self._lock = threading.Lock()

    def get(self, key: tuple[Any, ...]) -> Any:
        """取出一段文字 (并记为最近使用)。

        Args:
            key (tuple): 字体文件与设置、文字、字号、dpi、hinting。
        Returns:
            Any: 放进去的内容; 没有时为 None。
        """
        with self._lock:
            found = self._items.get(key)
            if found is None:
                return None
            self._items.move_to_end(key)
            return found[0]

    def put(self, key: tuple[Any, ...], item: Any, size: int) -> None:
        """放进一段文字, 超出容量时丢掉最久未用的文字。

        Args:
            key (tuple): 同 get。
            item (Any): 测量结果与字形。
            size (int): 它占的字节数。
        """
        with self._lock:
            previous = self._items.pop(key, None)
            if previous is not None:
                self._bytes -= previous[1]
            self._items[key] = (item, size)
            self._bytes += size
            while self._bytes > self._capacity and len(self._items) > 1:
                self._bytes -= self._items.popitem(last=False)[1][1]

    def clear(self) -> None:
        """清空架子 (性能测试用它测量没有保留文字时的绘制)。"""
        with self._lock:
            self._items.clear()
            self._bytes = 0

    def __len__(self) -> int:
        return len(self._items)

    @property
    def nbytes(self) -> int:
        """保留的字节数。"""
        return self._bytes


# Some thousands of texts of a few charts' sizes.
TEXTS = TextShelf(32 * 2**20)


@functools.cache
def renderer_class() -> type:
    """图表用的 Agg 渲染器类: matplotlib 3.11 上是整段栅格化并保留文字的子类, 其他版本是 RendererAgg。

    Returns:
        type: 以 (宽, 高, dpi) 构造的渲染器类。
    """
    from matplotlib.backends.backend_agg import RendererAgg

    # The whole-text renderer (_chart_whole_text) leans on RendererAgg's internals as 3.11 has
    # them (_prepare_font, the font manager's lookup, draw_text_image). Before
    # 3.11 draw_text already draws a whole text at once; a later matplotlib
    # gets its own renderer, slower perhaps but never broken by a change there.
    if not tested_matplotlib():
        return RendererAgg

    from ._chart_whole_text import WholeTextRenderer

    return WholeTextRenderer

"""图表字体: 图中文字 (如中文策略名) 缺少字形时, 改用可选扩展 morvane[cjk] 的中文字体, 或只警告一次。

图表样式按固定顺序列出字体 (Latin 字体在前, 然后是几种中文字体, 最后是 matplotlib 自带的
DejaVu Sans)。大多数 Linux 服务器和容器一种中文字体也没有, 中文会画成方框, 而 matplotlib 对每个
缺失的字形各发一条警告。这里在画图前检查图中用户给出的文字: 列出的字体都没有某个字形时, 若装了
morvane[cjk] 就把它的 Noto Sans CJK SC 注册给 matplotlib (列表里本来就有这个名字, 顺序不变);
否则发一条 MorvaneWarning 说明缺哪些字、怎么安装, 并压下 matplotlib 的逐字警告。
字体包从不导入: 只按它的安装位置找到字体文件。
"""

from __future__ import annotations

import importlib.util
import logging
import warnings
from collections.abc import Iterable
from pathlib import Path
from types import TracebackType
from typing import Self

from ..exceptions import MorvaneWarning

__all__ = ["CJK_EXTRA_INSTALL", "ChartFonts", "missing_characters"]

CJK_EXTRA_INSTALL = 'pip install "morvane[cjk]"'

# The extra installs the Noto Sans CJK OpenType collection; its "Noto Sans CJK SC"
# face is one of the families the chart style lists.
_FONT_MODULE = "noto_cjk_sans_otc"
_FONT_FILE = "NotoSansCJK-Regular.ttc"
# matplotlib's own warning for each glyph it cannot find (text.py, _text_helpers.py).
_GLYPH_WARNING = r"Glyph \d+ .* missing from font"


def _listed_font_files() -> list[str]:
    """The installed fonts among rcParams["font.sans-serif"], in the listed order."""
    from matplotlib import font_manager, rcParams

    installed = {entry.name for entry in font_manager.fontManager.ttflist}
    return [
        font_manager.findfont(font_manager.FontProperties(family=family), fallback_to_default=False)
        for family in rcParams["font.sans-serif"]
        if family in installed
    ]


def missing_characters(texts: Iterable[str], font_files: list[str]) -> str:
    """texts 中在 font_files 的任何字体里都没有字形的字符 (去重, 按出现顺序)。

    Args:
        texts (Iterable[str]): 要画的文字, 例如 ["小市值动量策略 | Benchmark 000852"]。
        font_files (list[str]): 字体文件 (matplotlib 的 findfont 结果)。
    Returns:
        str: 缺字形的字符; 都有字形时为空字符串。ASCII 字符视为都有字形。
    """
    from matplotlib import font_manager

    wanted = dict.fromkeys(
        ch for text in texts for ch in text if not ch.isascii() and not ch.isspace()
    )
    if not wanted:
        return ""
    fonts = [font_manager.get_font(path) for path in font_files]
    return "".join(ch for ch in wanted if not any(font.get_char_index(ord(ch)) for font in fonts))


def _extra_font_file() -> str | None:
    """morvane[cjk] 的字体文件 (只查找位置, 不导入字体包); 没有安装这个扩展时为 None。"""
    found = importlib.util.find_spec(_FONT_MODULE)
    if found is None or not found.submodule_search_locations:
        return None
    path = Path(next(iter(found.submodule_search_locations))) / _FONT_FILE
    return str(path) if path.is_file() else None


def _registered(font_file: str) -> bool:
    from matplotlib import font_manager

    return any(entry.fname == font_file for entry in font_manager.fontManager.ttflist)


def _register(font_file: str) -> None:
    """Makes the font known to matplotlib's font manager, once per process."""
    from matplotlib import font_manager

    if not _registered(font_file):
        font_manager.fontManager.addfont(font_file)


class _NoBoldFallbackRecords(logging.Filter):
    """Drops matplotlib's record that the extra's font has no bold face.

    The extra ships the Regular weight only: every bold text (titles, headers)
    falls back to it, and matplotlib logs that at warning level, which Python
    prints to stderr when the application configured no logging.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        return not (
            message.startswith("findfont: Failed to find font weight")
            and "Noto Sans CJK" in message
        )


class ChartFonts:
    """在一张图的绘制期间保证文字有字形可用, 否则只警告一次 (上下文管理器)。

    进入时检查 texts; 缺字形且装了 morvane[cjk] 时注册它的字体, 仍缺时发一条 MorvaneWarning,
    并在退出前忽略 matplotlib 逐个字形的 "Glyph ... missing" 警告。必须在图表锁内使用:
    warnings.catch_warnings 改的是进程级的警告过滤器。

    Args:
        texts (Iterable[str]): 图中来自用户的文字 (标题、策略名、因子名、基准名)。
    """

    def __init__(self, texts: Iterable[str]) -> None:
        self._texts = [str(text) for text in texts]
        self._silenced: warnings.catch_warnings | None = None
        self._log_filter: _NoBoldFallbackRecords | None = None

    def __enter__(self) -> Self:
        missing = missing_characters(self._texts, _listed_font_files())
        font_file = _extra_font_file() if missing else None
        if font_file is not None:
            _register(font_file)
            missing = missing_characters(missing, _listed_font_files())
        self._quiet_bold_fallback()
        if not missing:
            return self
        if font_file is not None:
            advice = "morvane[cjk] 的字体也没有这些字形"
        else:
            advice = f"安装中文字体扩展即可正常显示: {CJK_EXTRA_INSTALL}"
        warnings.warn(
            f"图中文字的 {missing} 在已安装的字体中没有字形, 会显示为方框; {advice}",
            MorvaneWarning,
            stacklevel=2,
        )
        self._silenced = warnings.catch_warnings()
        self._silenced.__enter__()
        warnings.filterwarnings("ignore", message=_GLYPH_WARNING, category=UserWarning)
        return self

    def _quiet_bold_fallback(self) -> None:
        """While the extra's font is in use, its missing bold face is not logged."""
        font_file = _extra_font_file()
        if font_file is not None and _registered(font_file):
            self._log_filter = _NoBoldFallbackRecords()
            logging.getLogger("matplotlib.font_manager").addFilter(self._log_filter)

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        if self._log_filter is not None:
            logging.getLogger("matplotlib.font_manager").removeFilter(self._log_filter)
            self._log_filter = None
        if self._silenced is not None:
            self._silenced.__exit__(kind, error, trace)
            self._silenced = None

"""morvane 的日志器: 库默认静默, 需要时一键把日志打到标准错误。"""

from __future__ import annotations

import logging
import os
import sys
import threading
import warnings
from pathlib import Path

from .exceptions import MorvaneWarning

__all__ = ["logger", "enable_console", "disable_console", "warn_user"]

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# 作为库, 默认只挂 NullHandler: 不替调用方决定日志去向, 也避免 Python 的
# "last resort" 处理器把 WARNING 以上的消息直接打到 stderr。
logger: logging.Logger = logging.getLogger("morvane")
if not any(isinstance(h, logging.NullHandler) for h in logger.handlers):
    logger.addHandler(logging.NullHandler())

# 控制台处理器用一个属性做标记, 而不是只存在模块变量里: 模块被 reload 时
# 变量会丢, 标记还在 logger 上, 这样仍能找回同一个处理器, 不会重复挂载。
_CONSOLE_MARK = "_morvane_console"
_lock = threading.Lock()


def _coerce_level(level: str | int) -> int:
    """把 "INFO" / "debug" / 20 这类写法统一成 logging 的整数级别。"""
    if isinstance(level, bool) or not isinstance(level, (str, int)):
        raise TypeError(f"level 应为 str 或 int, 实际为 {type(level).__name__}")
    if isinstance(level, int):
        return level
    mapping = logging.getLevelNamesMapping()
    key = level.strip().upper()
    if key not in mapping:
        raise ValueError(f"未知的日志级别: {level!r}, 可选 {sorted(mapping)}")
    return mapping[key]


def _find_console() -> logging.Handler | None:
    for handler in logger.handlers:
        if getattr(handler, _CONSOLE_MARK, False):
            return handler
    return None


def enable_console(level: str | int = "INFO") -> logging.Handler:
    """在 morvane 日志器上挂一个输出到标准错误的处理器并设置级别。

    重复调用不会重复挂载: 只更新级别并返回同一个处理器。

    Args:
        level (str | int): 日志级别, 默认 "INFO", 例如 "DEBUG"、"warning" 或 logging.DEBUG。
    Returns:
        logging.Handler: 挂在日志器上的控制台处理器。
    Raises:
        TypeError: level 既不是 str 也不是 int。
        ValueError: level 是无法识别的级别名称。
    """
    numeric = _coerce_level(level)
    with _lock:
        handler = _find_console()
        if handler is None:
            handler = logging.StreamHandler(sys.stderr)
            handler.setFormatter(logging.Formatter(_FORMAT))
            setattr(handler, _CONSOLE_MARK, True)
            logger.addHandler(handler)
        handler.setLevel(numeric)
        logger.setLevel(numeric)
    return handler


def disable_console() -> None:
    """移除 enable_console 挂上的控制台处理器; 未挂载时什么也不做。

    日志器级别保持不变, 以免覆盖调用方自己设定的级别。

    Returns:
        None: 无返回值。
    """
    with _lock:
        handler = _find_console()
        if handler is None:
            return
        logger.removeHandler(handler)
    handler.close()


# Frames whose file lies in this folder belong to morvane; a warning points at
# the first frame outside it, the user's own line.
_PACKAGE_DIR = str(Path(__file__).resolve().parent) + os.sep


def _user_stacklevel() -> int:
    """The stacklevel of warn_user's first caller outside the morvane package."""
    level = 2  # 1 is warn_user itself
    frame = sys._getframe(2)
    while frame is not None and str(Path(frame.f_code.co_filename).resolve()).startswith(
        _PACKAGE_DIR
    ):
        frame = frame.f_back
        level += 1
    return level


def warn_user(message: str, *args: object) -> None:
    """给用户的警告: 按 %-格式写入 morvane 日志器 (WARNING 级), 同时以 MorvaneWarning 发出。

    警告指向调用栈中第一处 morvane 包之外的代码 (用户自己的那一行), 所以 notebook
    里能看到是哪一行触发的; 原生扩展里发出的警告同样如此。

    Args:
        message (str): 消息格式, 例如 "基准 %r 不在回测数据中"。
        *args (object): 格式参数。
    Returns:
        None: 无返回值。
    """
    logger.warning(message, *args)
    text = message % args if args else message
    warnings.warn(text, MorvaneWarning, stacklevel=_user_stacklevel())

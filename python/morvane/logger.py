"""morvane 的日志器: 库默认静默, 需要时一键把日志打到标准错误。"""

from __future__ import annotations

import logging
import sys
import threading

__all__ = ["logger", "enable_console", "disable_console"]

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

"""可选依赖的探测: pyarrow 只在读写 Parquet 或调用方自己的数据用 arrow 时才导入。"""

from __future__ import annotations

import importlib.util

__all__ = ["PYARROW_HINT", "has_pyarrow", "require_pyarrow"]

PYARROW_HINT = "pip install 'morvane[parquet]' 或 pip install pyarrow"


def has_pyarrow() -> bool:
    """pyarrow 是否可导入 (只查找, 不导入)。"""
    return importlib.util.find_spec("pyarrow") is not None


def require_pyarrow(purpose: str) -> None:
    """导入 pyarrow, 缺失时抛出说明用途与安装方法的 ImportError。

    Args:
        purpose (str): 需要 pyarrow 的操作, 例如 "读写 Parquet 文件"。
    Raises:
        ImportError: 未安装 pyarrow。
    """
    try:
        import pyarrow  # noqa: F401
    except ImportError as error:
        raise ImportError(f"{purpose}需要 pyarrow: {PYARROW_HINT}") from error

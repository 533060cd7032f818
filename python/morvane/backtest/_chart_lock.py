"""图表锁: 包内所有图表共用的一把可重入锁。

matplotlib 的后端、样式和图形注册表是进程级的, 所有图表在这把锁下依次绘制。它放在
两个回测扩展模块之下: 策略图 (``_ravelle``) 与因子图 (``_core``) 都从这里取同一把锁,
``_ravelle`` 以 ``_MATPLOTLIB_PLOT_LOCK`` 之名转出它。
"""

from __future__ import annotations

import threading

__all__ = ["_MATPLOTLIB_PLOT_LOCK"]

_MATPLOTLIB_PLOT_LOCK = threading.RLock()

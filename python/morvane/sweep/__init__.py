"""参数扫描: 同一份回测数据上成批跑因子回测与策略回测, 本机多线程或 Dask 集群。

研究很少只跑一次回测: 分组数 x 平滑窗口 x 选股范围 x 费率的网格, 或几百个因子变体,
都在同一份已加载的行情数据上。内核计算时释放 GIL, 已加载的数据可被多个线程同时读取,
所以本机用线程池 (不复制数据); 一台机器不够时交给 Dask (dask.distributed)。

结果是一张整洁的 pandas 表: 每个 (输入, 参数组) 一行, 参数是列, 后面是主要指标,
最后是 "error" 列; 行按输入与参数组排序, 与线程数、worker 数无关, 也与逐个调用单次
回测的结果一致。
"""

from __future__ import annotations

from ._api import run_factor, run_strategy
from ._config_file import run_config
from ._grid import grid
from ._parameters import FACTOR_PARAMETERS, STRATEGY_PARAMETERS

__all__ = [
    "grid",
    "run_factor",
    "run_strategy",
    "run_config",
    "FACTOR_PARAMETERS",
    "STRATEGY_PARAMETERS",
]

"""morvane 的异常类: 包内所有自定义错误都从这里取。"""

from __future__ import annotations

__all__ = [
    "DataFileError",
    "DataFileNotFoundError",
    "MorvaneError",
    "MorvaneWarning",
    "NetworkError",
]


class MorvaneError(Exception):
    """morvane 的基础错误: 预备数据目录的状态错误、计算失败等, 携带一条说明文字。"""


class NetworkError(MorvaneError):
    """传输失败: 数据客户端或数据包下载无法连通、连接中断或服务端持续出错。"""


class DataFileError(MorvaneError, OSError):
    """预备数据或数据包的文件无法读写 (缺失、是目录、磁盘已满、没有权限)。

    既是 MorvaneError 也是 OSError: errno 与 filename 照常可用, 消息给出文件与解决办法。
    """


class DataFileNotFoundError(DataFileError, FileNotFoundError):
    """预备数据的文件或目录不存在: 既是 DataFileError, 也是 FileNotFoundError。"""


class MorvaneWarning(UserWarning):
    """morvane 给用户的警告: 结果能算出来, 但可能不是用户想要的。

    例如回测数据里没有所给的基准代码 (按基准收益为 0 计算)、权重只在调仓日给出、
    分组数多于股票数、日期区间与回测数据没有交集 (结果为空)、图中文字缺少字形。每条警告同时写入
    "morvane" 日志器; 可以像其他警告一样过滤, 例如
    ``warnings.filterwarnings("ignore", category=morvane.MorvaneWarning)``。
    """

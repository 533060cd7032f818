"""morvane 的异常类: 包内所有自定义错误都从这里取。"""

from __future__ import annotations

__all__ = ["DataFileError", "DataFileNotFoundError", "MorvaneError", "MorvaneWarning", "NetworkError"]


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
    """morvane 给用户的警告: 结果仍然给出, 但有需要留意的地方 (例如图中文字缺少字形)。"""

"""morvane 的异常类: 包内所有自定义错误都从这里取。"""

from __future__ import annotations

__all__ = ["MorvaneError", "NetworkError"]


class MorvaneError(Exception):
    """morvane 的基础错误: 预备数据目录的状态错误、计算失败等, 携带一条说明文字。"""


class NetworkError(MorvaneError):
    """传输失败: 数据客户端或数据包下载无法连通、连接中断或服务端持续出错。"""

"""morvane 自带的数据客户端: 合成市场 (无需网络) 与本地文件。"""

from .local import LocalFileClient
from .synthetic import ALPHA_FACTOR_NAME, SyntheticMarketClient

__all__ = ["ALPHA_FACTOR_NAME", "LocalFileClient", "SyntheticMarketClient"]

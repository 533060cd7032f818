"""预备回测数据: 数据格式的常量与辅助函数, 以及带成分股扩展的二进制预备数据存储。"""

import os
import pathlib
from typing import Any, TypeAlias, Union

import pandas

import morvane.backtest._store
from morvane.backtest._store import (
    BinaryPreparedDataStoreBase as BinaryPreparedDataStoreBase,
    clean_matrix as clean_matrix,
    component_dataset_key as component_dataset_key,
    normalize_yyyymmdd as normalize_yyyymmdd
)
from morvane.exceptions import NetworkError as NetworkError
from morvane.singleton import get_instance as get_instance


PathLike: TypeAlias = Union[str, pathlib.Path]

FLOAT_STORAGE_DTYPE: str = 'float64'

BOOL_STORAGE_DTYPE: str = 'bool'

TAIL_RELOAD_ROWS: int = 2

PREPARED_DATA_VERSION: int = 1

COMPONENT_FACTOR_NAMES: list = ...

BENCHMARK_INDEX_CODES: dict = ...

REQUIRED_FACTOR_NAMES: list = ...

OPTIONAL_FACTOR_NAMES: list = ...

BUILD_INPUT_NAMES: list = ...

BASE_MATRIX_DTYPE: dict = ...

def parse_name_list(raw_values: object) -> list[str]:
    """
    把名字参数整理为文本列表。

    Args:
        raw_values (None | str | Iterable): None; 或一段文本, 其中的全角逗号 "，"、全角分号 "；"、
            分号 ";" 与换行都视为逗号分隔, 例如 "a，b；c"; 或任意可迭代对象 (元素不再拆分),
            例如 ["a ", 5, ""]。

    Returns:
        list[str]: 每个元素的文本形式去掉首尾空白后的非空项, 保持输入顺序, 保留重复项;
        None 得到空列表。

    Raises:
        TypeError: raw_values 既不是 None、文本, 也不可迭代。
    """

def get_component_factor_names() -> list[str]:
    """
    内置的成分股因子名。

    Returns:
        list[str]: COMPONENT_FACTOR_NAMES 的新副本 (每次调用都是新列表)。

    Raises:
        无。
    """

def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]:
    """
    预备数据存储的数据集类型表。

    Args:
        component_names (list[str] | None): 成分股因子名, 默认 None 表示内置的五个, 例如
            ["rq_index_components_new_000300.XSHG"]; [] 表示不含成分股数据集。

    Returns:
        dict[str, str]: 先是 BASE_MATRIX_DTYPE 的十二项, 再是每个成分股的
        component_dataset_key(name) → "float64"。

    Raises:
        TypeError: component_names 既不是 list 也不是 None。
    """

def series_to_yyyymmdd(values: object) -> pandas.Series:
    """
    把一列日期值转换为 "YYYYMMDD" 文本。

    8 位整数和 8 位的整值浮点数 (CSV 读入的日期, 例如 20240102 或 20240102.0) 按 YYYYMMDD 读取;
    其他值交给 pandas.to_datetime (errors="coerce") 解析。

    Args:
        values (pandas.Series | array-like): 日期值, 例如 pd.Series(["2024-01-02", 20240103])。

    Returns:
        pandas.Series: "YYYYMMDD" 文本; 无法解析的值为缺失。输入为 Series 时保留其索引,
        否则使用默认整数索引; 不删除也不重排行。

    Raises:
        无: 无法解析的值输出为缺失。
    """

class GroupPreparedDataBuilder:
    """
    回测准备数据的增量构建器。

    通过已初始化的数据客户端单例拉取因子与指数数据, 透视为日期 × 股票宽表, 派生回测所需矩阵,
    并组装成可写入二进制存储的 payload。
    """

    def __init__(self, start_date: str, end_date: str, *, close_before_start: pandas.Series | None = None) -> None:
        """
        创建一个覆盖 [start_date, end_date] 的构建器。

        Args:
            start_date (str): 第一个日期, "YYYYMMDD" (或可被 normalize_yyyymmdd 识别的文本)。
            end_date (str): 最后一个日期, 同上。
            close_before_start (pandas.Series | None): 每只股票在 start_date 之前最后一个收盘价
                (索引为股票代码), 默认 None。给出时 prev_close 从它接续 (包括区间内没有收盘价的
                股票), 与从更早日期起构建的结果相同; 增量写入窗口用已存储的收盘价给出它。

        Raises:
            TypeError: start_date 或 end_date 不是文本, 或 close_before_start 不是 Series。
            ValueError: 日期无法识别。
        """

    def build(self) -> dict[str, Any]:
        """
        全量构建 payload (每个因子单独查询), 元信息记 "created_at"。

        Returns:
            dict: {"version", "meta", "data"} 形式的 payload。

        Raises:
            ValueError: 成分股矩阵缺失。
            TypeError: 数据客户端返回的不是表或 None。
            KeyError: 基准数据缺失或原始表缺少列。
            NetworkError: 数据客户端传输失败。
        """

    def build_incremental(self) -> dict[str, Any]:
        """
        增量构建 payload (一次批量查询), 元信息记 "updated_at"。

        Returns:
            dict: {"version", "meta", "data"} 形式的 payload。

        Raises:
            ValueError: 成分股矩阵缺失。
            TypeError: 数据客户端返回的不是表或 None。
            KeyError: 基准数据缺失或原始表缺少列。
            NetworkError: 单独查询传输失败。
        """

class BinaryPreparedDataStore(morvane.backtest._store.BinaryPreparedDataStoreBase):
    """
    带成分股扩展的二进制预备数据存储: 在基类之上, 按内置成分股因子名扩展矩阵类型表,
    并可按需补充成分股矩阵。
    """

    def __init__(self, store_dir: str | os.PathLike[str], component_names: list[str] | None = None) -> None:
        """
        创建存储对象 (不读写磁盘)。

        Args:
            store_dir (str | os.PathLike): 存储目录, 可以尚不存在,
                例如 Path.home() / ".morvane" / "backtest_data" / "enviroment_data"。
            component_names (list[str] | None): 成分股因子名, 默认 None 表示内置的五个。

        Returns:
            None: 无返回值。

        Raises:
            TypeError: store_dir 不是文本或路径, 或 component_names 既不是 list 也不是 None。
        """

    def load(self, start_date: str | int | None = None, end_date: str | int | None = None, keys: list[str] | None = None, mmap: bool = True, verify: bool = True) -> dict[str, Any] | None:
        """
        读取预备数据。

        keys 为 None 时读取 matrix_dtype 中、且存储确实持有的数据集 (按 matrix_dtype 的顺序),
        旧存储缺少的成分股数据集因此被跳过而不报错。

        Args:
            start_date (str | int | None): 起始日期 (含), 默认 None 表示不限, 例如 "20240102"。
            end_date (str | int | None): 结束日期 (含), 默认 None 表示不限。
            keys (list[str] | None): 数据集键, 默认 None, 例如 ["close_price"]; 原样交给基类。
            mmap (bool): 默认 True, 表格建立在只读内存映射上; False 时读入内存。
            verify (bool): 默认 True, 逐行比对校验和 (映射或读入都一样); False 跳过校验, 损坏的数据会
                不加提示地进入结果, 只给愿意承担此风险的调用方。

        Returns:
            dict | None: {"version", "meta", "data"} 形式的 payload; 没有元信息文件时为 None。

        Raises:
            TypeError: keys 既不是 list 也不是 None, 或其他参数类型错误。
            KeyError: keys 中有存储没有的数据集。
            MorvaneError: 文件损坏或缺失 (消息给出文件与修复的命令), 或另一个写入者正在写入。
        """

    def add_component_matrices(self, component_matrices: dict[str, pandas.DataFrame], component_names: list[str]) -> list[str]:
        """
        向已有存储补充成分股矩阵, 不重建存储。

        已存在的数据集从不覆盖。先检查全部新成分股, 再写文件; 元信息原子替换, 之后重写清单。
        任一成分股缺失或为空时不写任何文件。

        Args:
            component_matrices (dict[str, pandas.DataFrame]): 成分股因子名 → 日期 × 股票矩阵
                (属于该指数为 1.0, 否则缺失)。
            component_names (list[str]): 要补充的成分股因子名, 例如 ["rq_index_components_new_000300.XSHG"]。

        Returns:
            list[str]: 实际写入的成分股因子名; 全部已存在时为空列表, 元信息文件保持不变。

        Raises:
            TypeError: component_matrices 不是映射, component_names 不是 list, 或矩阵不是 DataFrame。
            ValueError: 某个成分股的矩阵缺失或没有行, 消息为 "缺失成分股矩阵为空，无法补充: " 加名字;
                或矩阵的行标签、数值不合规。
            FileNotFoundError: 存储没有元信息文件。
            MorvaneError: 另一个写入者正在写入, 或文件损坏。
        """

def build_incremental_write_window(base_index: list[str], write_start_date: str, write_end_date: str, *, stored_close: pandas.DataFrame | None = None) -> dict[str, Any]:
    """
    构建增量写入窗口的 payload。

    写入后的存储与从头整体构建的逐格相同: 从窗口前两个已存储日期开始构建, 每只股票的
    prev_close 从 stored_close 中最后一个已知收盘价接续 (包括窗口内没有收盘价的股票);
    forward_return_rank_cache 依赖其后两日的开盘价, 所以窗口前两个已存储日期的这一行也重写;
    其余矩阵截回要写入的日期。

    Args:
        base_index (list[str]): 已存储的 close_price 日期, 严格升序的 "YYYYMMDD" 文本。
        write_start_date (str): 窗口第一个日期。
        write_end_date (str): 窗口最后一个日期。
        stored_close (pandas.DataFrame | None): 已存储的 close_price (日期 × 股票, 可以是内存
            映射读取的), 默认 None。不给时 prev_close 只能从读取起点接续, 读取起点之前最后一个
            收盘价不在那两日的股票会得到 NaN。

    Returns:
        dict: 截取到写入窗口的 payload, 元信息另含 "requested_write_start_date"、
            "write_end_date"、"read_start_date"。

    Raises:
        TypeError: 参数类型错误。
        ValueError: base_index 为空、不是升序唯一的日期文本, 日期为空, 或窗口起点晚于终点。
        NetworkError: 数据客户端传输失败。
    """

def payload_slice_from_date(payload: dict[str, Any], write_start_date: str) -> dict[str, Any]:
    """
    把 payload 截取到 write_start_date 及以后的日期。

    Args:
        payload (dict): payload, 必须含 "data"。
        write_start_date (str): 第一个保留日期。

    Returns:
        dict: 新 payload; 元信息的 "start_date" 改为起点, 另含 "write_start_date" 与
            "read_start_date" (原 "start_date")。输入不被修改。

    Raises:
        TypeError: 参数类型错误。
        KeyError: payload 缺少 "data"。
    """

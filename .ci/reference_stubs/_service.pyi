"""
因子回测的服务编排。

两条主流程: 数据准备 (下载参考数据包、校验、增量刷新到今天) 与回测 (加载预备数据、按日期裁剪、调用计算核心并整理结果)。
"""

from collections.abc import Sequence
import logging
import os
from typing import TypeAlias, Union

import pandas

import morvane._http
from morvane.backtest import _core as core
from morvane.backtest._pkg import (
    download_benchmark_package as download_benchmark_package,
    flatten_single_subdir as flatten_single_subdir
)
from morvane.backtest._prepare import (
    BinaryPreparedDataStore as BinaryPreparedDataStore
)
from morvane.backtest._store import (
    clean_matrix as clean_matrix,
    component_dataset_key as component_dataset_key,
    normalize_yyyymmdd as normalize_yyyymmdd
)
import morvane.backtest.result
from morvane.backtest.result import (
    BacktestData as BacktestData,
    BacktestResult as BacktestResult,
    StrategyBacktestResult as StrategyBacktestResult
)
from morvane.exceptions import MorvaneError as MorvaneError


logger: logging.Logger = ...

COMPONENT_FACTOR_NAMES: list = ...

TAIL_RELOAD_ROWS: int = 2

DateLike: TypeAlias = Union[str, int]

class BacktestService:
    """因子回测服务,组合数据准备与计算两层。"""

    def __init__(self, http: morvane._http.HttpClient | None) -> None:
        """
        初始化回测服务。

        Args:
            http (HttpClient | None): 下载参考数据包用的 HTTP 客户端, 例如
                HttpClient("https://data.example.com/api/v1", token); None 表示尚未配置,
                此时需要下载时报错。
        Returns:
            None: 无返回值; 不创建目录也不读取任何文件。
        Raises:
            TypeError: http 既不是 HttpClient 也不是 None。
        """

    def prepare_backtest_data(self) -> None:
        """
        准备回测基准数据(无参数)。

        首次调用时下载并解压参考数据包; 本地数据缺失关键数据集或成分股矩阵, 或有数据文件
        缺失、损坏 (每个文件都校验大小、文件头与逐行校验和) 时重新下载; 之后按 close_price
        尾部两行起的窗口从数据客户端增量刷新到今天, 最后打印各数据集的最新日期。新数据包先
        解压到临时目录并校验, 通过后才替换原目录, 所以下载失败、中断或数据包有问题时原有数据
        保持不变; 上次替换中途被中断时先放回原来的目录; 多个进程同时准备时依次进行。

        Args:
            无。
        Returns:
            None: 无返回值。
        Raises:
            NetworkError: 数据包下载失败 (重试之后) 或内容不完整。
            MorvaneError: 没有 HTTP 客户端、下载地址无效、数据包不合法 (含普通文件与目录以外的
                成员、解包后过大) 或不完整、校验和不符, 或增量更新失败。
            DataFileError: 磁盘空间不足或文件无法写入 (也是 OSError)。
        """

    def load_backtest_data(self) -> morvane.backtest.result.BacktestData:
        """
        加载本地完整回测基准数据到内存(供多进程 / 多线程并发回测复用)。

        Args:
            无。
        Returns:
            BacktestData: data 为数据集名到日期 x 股票表的映射, 外加 "benchmark_dict"。
        Raises:
            FileNotFoundError: 尚未准备回测数据, 请先调用 morvane.prepare_backtest_data()。
            MorvaneError: 数据文件损坏或缺失 (每一行都比对校验和); 消息给出文件, 以及修复的办法:
                重新调用 morvane.prepare_backtest_data()。
        """

    def backtest_strategy(self, strategy: pandas.DataFrame, data: morvane.backtest.result.BacktestData, start_date: DateLike, end_date: DateLike, output_dir: str | os.PathLike[str] | None, plot_filename: str, *, benchmark: str = '000852', rolling_window: int = 0, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot: str | None = 'large', record_trades: bool = False) -> morvane.backtest.result.StrategyBacktestResult:
        """
        对目标权重矩阵跑策略回测并出图。

        Args:
            strategy (pandas.DataFrame): 目标权重, 行为 "YYYYMMDD" 日期, 列为股票代码
                (如 "000001"), 值为目标权重; NaN 或 0 表示不持有。行、列都是单层索引, 每个日期只出现
                一次; 带时区的时间戳行标签按上海时间的日历日期读。
            data (BacktestData): load_backtest_data() 的结果, 必填。
            start_date (str | int): 回测首日 (含), 例如 "20200102" 或 20200102。
            end_date (str | int): 回测末日 (含), 例如 "20231229"。
            output_dir (str | PathLike | None): 图片目录, 出图时必填, 不存在时创建, 例如 "out"。
            plot_filename (str): 不带目录和扩展名的图片文件名, 也用作策略名与图标题,
                例如 "my_strategy"; 出图时不能为空, 不能含 NUL 字符。
            benchmark (str): 对比基准代码, "000300"、"000905" 或 "000852", 默认 "000852";
                数据中没有的代码按基准收益为 0 计算并发出 MorvaneWarning。
            rolling_window (int): 权重平滑窗口 (交易日), 不小于 0, 默认 0; 0 或 1 表示不平滑。
            total_money (float): 初始资金, 取值 (0, 1e12], 默认 1e8。
            fee (float): 买卖佣金费率, 取值 [0, 1), 默认 1e-4。
            rule_fee (float): 卖出印花税率, 取值 [0, 1), 默认 5e-4。
            plot (str | None): 图形版式 "large" 或 "long", 默认 "large"; None 不出图。
            record_trades (bool): True 时结果另带交易流水 trades、每日持股 positions 与合计
                trade_totals, 以及 positions_frame() (pyfolio 所要的每日持仓市值与现金), 默认 False。
        Returns:
            StrategyBacktestResult: 日收益、净值、统计指标、基准汇总、基准日收益与图片路径;
                returns_frame() 给出 pyfolio、quantstats、empyrical 可直接用的日收益表。区间内没有可回测的
                权重时结果为空, 并发出 MorvaneWarning。
        Raises:
            TypeError: 参数类型不符, 表的行或列是多层索引, 或某列的值是日期、时长等非数值;
                benchmark 不是 str 时报为 benchmark_names。
            ValueError: 权重矩阵为空、日期重复、含无穷大的值 (指出第一个单元格)、rolling_window 为负、
                资金或费率越界, 出图时 output_dir / plot_filename 为空, 或日期无效。
            NotADirectoryError: 出图时 output_dir 处已有同名文件。
            MorvaneError: 回测数据缺少所需的数据集 (消息说明如何重新准备)。
        """

    def backtest(self, factor: pandas.DataFrame, data: morvane.backtest.result.BacktestData, start_date: DateLike, end_date: DateLike, output_dir: str | os.PathLike[str], plot_filename: str, *, group_num: int = 20, benchmark: str | list[str] | None = '000852', universe: str | list[str] | None = None, rolling_window: int = 0, ascending: bool = False, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot: str = 'long', horizons: int | Sequence[int] = (1,), rebalance_every: int = 1, tear_sheet: bool = False) -> morvane.backtest.result.BacktestResult:
        """
        对宽表因子跑分组回测并出图。

        每个交易日把选股范围内有因子值的股票按因子排序分成 group_num 组, 每组等权持有,
        按 T-1 日分组在 T 日 VWAP 成交 (200 股一手、涨跌停与停牌限制、拆分分红、佣金与
        印花税), 并计算 rank IC 与相对基准的超额。

        Args:
            factor (pandas.DataFrame): 因子宽表, 行为 "YYYYMMDD" 日期, 列为股票代码
                (如 "000001"), 值为因子值 (有限数, NaN 表示没有)。行、列都是单层索引, 每个
                日期只出现一次; 带时区的时间戳行标签按上海时间的日历日期读。
            data (BacktestData): load_backtest_data() 的结果, 必填; 同一份数据可供多个回测
                (包括其它线程与进程中的) 共用。
            start_date (str | int): 回测首日 (含), 例如 "20190102" 或 20190102。
            end_date (str | int): 回测末日 (含), 例如 "20231229"。
            output_dir (str | PathLike): 图片目录, 必填, 不存在时创建, 例如 "out"。
            plot_filename (str): 不带目录和扩展名的图片文件名, 也用作图标题, 例如 "alpha1";
                不能为空, 不能含 NUL 字符; 多个基准时作为各基准图片
                "{plot_filename}_{code}.png" 的前缀。
            group_num (int): 分组数, 取值 [2, 100], 默认 20。某日可分组的股票少于 group_num
                时当日不分组, 并发出 MorvaneWarning。
            benchmark (str | list[str] | None): 对冲基准, "000300"、"000905"、"000852",
                或 "all" / None 表示全部, 默认 "000852"。
            universe (str | list[str] | None): 选股范围指数代码, "000300"、"000905"、
                "000852"、"399303"、"932000" 之一或列表 (取并集); None 为全市场。
            rolling_window (int): 因子滚动均值窗口 (交易日), 取值 [0, 250], 默认 0 不平滑。
            ascending (bool): 排序方向, 默认 False: 因子值越大组号越大。
            total_money (float): 每组的模拟资金, 取值 (0, 1e12], 默认 1e8。
            fee (float): 佣金费率, 取值 [0, 0.01], 默认 1e-4。
            rule_fee (float): 卖出印花税率, 取值 [0, 0.01], 默认 5e-4。
            plot (str): 图形版式 "long" (默认) 或 "large"。
            horizons (int | Sequence[int]): IC 衰减的持有期 (交易日), 每个取值 [1, 250], 默认 (1,);
                例如 (1, 5, 10, 20)。多于 1 天的远期收益取次日开盘到 h 日后开盘。
            rebalance_every (int): 每隔几个交易日重新分组, 取值 [1, 250], 默认 1 (每日); 其间持有
                调仓日的分组, 目标股数在调仓后首个交易日定下。
            tear_sheet (bool): 另画因子分析图 "{plot_filename}_tear_sheet.png" (IC 衰减、月度 IC 热图、
                各组换手), 默认 False。
        Returns:
            BacktestResult: 分组日收益与累计收益、rank IC、最优组、基准汇总、主基准日收益与
                图片路径, 以及按持有期的 IC、IC 衰减表、月度 IC、因子秩自相关、各组换手与股票数;
                returns_frame() 给出 pyfolio、quantstats、empyrical 可直接用的日收益表。
        Raises:
            TypeError: 参数类型不符 (factor 不是 DataFrame、data 不是 BacktestData、
                plot_filename 或 plot 不是 str、group_num 不是数字、universe 不是文本或列表等),
                factor 的行或列是多层索引, 或某列的值是日期、时长等非数值。
            ValueError: 因子宽表为空、日期重复、含无穷大的值 (指出第一个单元格)、group_num 超出
                [2, 100]、rolling_window 为负、output_dir 或 plot_filename 为空、
                选股范围不支持或没有成分股数据、基准代码或版式无效、资金或费率越界、
                因子含非数值列、日期无效、horizons 或 rebalance_every 超出 [1, 250]。
            NotADirectoryError: output_dir 处已有同名文件。
            MorvaneError: data 缺少回测所需的数据集 (消息给出缺少哪些与如何重新准备), 或计算失败。
        """

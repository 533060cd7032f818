"""策略回测计算核心: 早盘 VWAP 成交的每日收益引擎、统计、年度指标与图表。"""

import os

import pandas
import strategy_backtest
import strategy_weekly_net_value

from morvane.backtest._core import safe_sharpe as safe_sharpe


TRADING_DAYS_PER_YEAR: int = 252

ROLLING_STABILITY_DAYS: int = 60

MIN_ROLLING_STABILITY_DAYS: int = 5

def calc_strategy_vwap_daily_return(signal_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, lot_size: int = 200) -> pandas.Series:
    """
    按早盘 VWAP 成交计算一个策略组合的每日收益。

    T-1 日的目标权重在 T 日以 VWAP 成交: 目标股数 = floor(total_money × 权重 / (前收盘价 × lot_size))
    × lot_size (向下取整到整手, 负权重为空头); 可买掩码为 False 时不买入、不可卖掩码为 True 时不卖出,
    差额在之后的交易日重新计算。持仓按前收盘价估值到收盘价, 拆分日按拆分系数放大, 持有或卖出的股份
    获得当日现金分红 (当日买入的不获得)。买卖付佣金 fee, 卖出另付印花税 rule_fee。资金不复利: 每日
    收益 = 当日盈亏 / total_money。

    权重表开头整行缺失的日期不产生收益; 之后整行缺失的日期表示空仓: 全部目标为 0, 可卖的持仓卖出,
    该日照常计算收益。

    Args:
        signal_matrix (pandas.DataFrame): 日期 × 股票的目标权重 (占 total_money 的比例), NaN 表示不持仓。
        can_buy_stock (pandas.DataFrame): 日期 × 股票, True 表示当日可买入。
        cant_sell_stock (pandas.DataFrame): 日期 × 股票, True 表示当日不可卖出。
        split_factor (pandas.DataFrame): 日期 × 股票, 每股拆分后的股数, NaN 表示无拆分, 例如 2.0。
        dividend_factor (pandas.DataFrame): 日期 × 股票, 每股现金分红, NaN 表示无分红。
        close_price (pandas.DataFrame): 日期 × 股票, 收盘价。
        prev_close (pandas.DataFrame): 日期 × 股票, 前收盘价 (持仓估值基准与下单价)。
        buy_price (pandas.DataFrame): 日期 × 股票, 买入成交价 (早盘 VWAP)。
        sell_price (pandas.DataFrame): 日期 × 股票, 卖出成交价 (早盘 VWAP)。
        total_money (float): 名义资金, 默认 1e8, 须为正的有限数。
        fee (float): 佣金费率, 买卖双向收取, 默认 1e-4, 取值 [0, 1)。
        rule_fee (float): 印花税率, 仅卖出收取, 默认 5e-4, 取值 [0, 1)。
        lot_size (int): 每手股数, 默认 200, 须不小于 1, 例如 100。

    Returns:
        pandas.Series: 以交易日为索引的 float64 日收益 (无名称); 没有可交易的权重时为空的 float64 序列。
        输入表不会被修改。

    Raises:
        TypeError: 某个矩阵不是 pandas.DataFrame, 或某个数值参数不是数值。
        ValueError: 权重含非数值数据 (消息中给出列名)、某张表的标签有重复, 或 total_money、fee、
            rule_fee、lot_size 超出取值范围。
    """

def calc_strategy_stats(total_frame: pandas.DataFrame, signal_df: pandas.DataFrame | None) -> dict[str, float]:
    """
    计算策略回测的十三项汇总统计。

    年化按 252 个交易日、线性 (总收益 / 年数) 计算; 年数 = 行数 / 252。夏普比率与胜率只用有限的
    日收益, 无穷值仍计入净值与年化收益。

    Args:
        total_frame (pandas.DataFrame): _build_total_backtesting_frame 的结果; 先去掉任一列缺失的行。
        signal_df (pandas.DataFrame | None): 策略实际交易的权重表 (日期 × 股票), 用于持股数与换手率;
            None 时这两项为 NaN。

    Returns:
        dict[str, float]: 依次为 "annual_return" (策略年化收益, 百分数)、"long_sharp" (策略夏普)、
        "max_dd" (策略最大回撤, 正数)、"benchmark_annual_return" (基准年化收益, 百分数)、
        "benchmark_sharp"、"extra_annual_return" (超额年化收益, 百分数)、"extra_sharp"、
        "extra_max_dd" (超额最大回撤, 正数)、"return_corr" (策略与基准日收益的相关系数)、
        "win_rate" (策略日收益为正的比例)、"excess_win_rate" (超额日收益为正的比例)、
        "holding_count" (每日有限权重个数的均值, 0 权重也计入)、"turnover" (权重单边日均换手,
        缺失按 0 计; 只有一行时为 NaN)。表为空时十三项均为 NaN, 顺序为 annual_return、long_sharp、
        max_dd、extra_annual_return、extra_sharp、extra_max_dd、benchmark_annual_return、
        benchmark_sharp、return_corr、win_rate、excess_win_rate、holding_count、turnover。

    Raises:
        TypeError: total_frame 不是 pandas.DataFrame, 或 signal_df 既不是 DataFrame 也不是 None。
        KeyError: 缺少逐日回测表的某一列。
        ValueError: 某列或权重表含非数值数据。
    """

def run_strategy_backtest_core(strategy_matrix: pandas.DataFrame, can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, benchmark_dict: dict[str, pandas.Series] | None = None, benchmark_names: str = '000852', rolling_window: int = 0, total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot_image_kind: str | None = 'large', plot_save_path: str | os.PathLike[str] | None = None, strategy_name: str = 'strategy', plot_title: str | None = None, *, record_trades: bool = False) -> _RavelleResult:
    """
    策略回测入口: 对齐并平滑权重, 计算每日收益, 与基准比较并汇总。

    权重只保留行情 (close_price) 中也有的交易日与股票, 并去掉没有任何权重的股票; T-1 日的权重在
    T 日以 VWAP 成交 (每手 200 股), 只保留不晚于最后一个有权重日期的收益。权重表在其日期范围内
    缺少交易日时会通过 morvane 日志器给出警告 (每行权重在下一行的日期成交, 缺少的日期不调仓也
    不计收益)。没有可回测的数据 (无共同日期、无权重、与主基准无重叠) 不是错误: 返回空结果。
    输入表不会被修改。

    Args:
        strategy_matrix (pandas.DataFrame): 日期 × 股票的目标权重, NaN 表示不持仓。
        can_buy_stock (pandas.DataFrame): 日期 × 股票, True 表示当日可买入。
        cant_sell_stock (pandas.DataFrame): 日期 × 股票, True 表示当日不可卖出。
        split_factor (pandas.DataFrame): 日期 × 股票, 每股拆分后的股数, NaN 表示无拆分。
        dividend_factor (pandas.DataFrame): 日期 × 股票, 每股现金分红, NaN 表示无分红。
        close_price (pandas.DataFrame): 日期 × 股票, 收盘价; 其行列标签定义交易日与股票池。
        prev_close (pandas.DataFrame): 日期 × 股票, 前收盘价。
        buy_price (pandas.DataFrame): 日期 × 股票, 买入成交价 (早盘 VWAP)。
        sell_price (pandas.DataFrame): 日期 × 股票, 卖出成交价 (早盘 VWAP)。
        benchmark_dict (dict[str, pandas.Series] | None): 基准代码 → 基准日收益序列, 例如
            {"000852": 序列}; {} 与 None 相同。
        benchmark_names (str): 主基准代码, 默认 "000852"; 不在 benchmark_dict 中时基准收益按 0 计。
        rolling_window (int): 权重平滑窗口, 默认 0 (不平滑)。
        total_money (float): 名义资金, 默认 1e8。
        fee (float): 佣金费率, 默认 1e-4。
        rule_fee (float): 印花税率 (仅卖出), 默认 5e-4。
        plot_image_kind (str | None): 图表版式, 默认 "large"; None 表示不画图。
        plot_save_path (str | os.PathLike | None): 主图文件路径, 默认 None (不画图)。
        strategy_name (str): 策略名称, 默认 "strategy"。
        plot_title (str | None): 图表标题, 默认 None。
        record_trades (bool): 仅限关键字; True 时另记交易流水, 返回 _RavelleLedgerResult, 默认 False
            (不记录, 引擎的速度不受影响)。

    Returns:
        _RavelleResult: strategy_name; daily_return (日收益, 与主基准对齐后); cumulative_return (策略
        净值, 从 1.0 开始); stats (calc_strategy_stats 的十三项统计); benchmark_summary (每个与回测有
        共同日期的基准一行: "benchmark_name"、"benchmark_annual_return" (基准日均收益 × 252, 小数)、
        "excess_annual_return" (超额日均收益 × 252)、"excess_sharpe"、"excess_max_dd" (累计超额收益
        的最大回撤, 0 或负)); plot_paths (画图时为 {"main": 主图路径, "weekly_net_value": 同目录下
        文件名加 "_weekly_net_value" 的周净值图路径}, 否则为 {})。没有可回测的数据时两个序列为空、
        统计全为 NaN、汇总为空表、plot_paths 为 {}。record_trades=True 时为其子类
        _RavelleLedgerResult, 另有交易流水 ledger (morvane.backtest.ledger.TradeLedger)。

    Raises:
        TypeError: 某个矩阵不是 pandas.DataFrame; benchmark_dict 不是 dict 或 None, 或其中的值不是
            pandas.Series; benchmark_names、strategy_name 不是 str; plot_image_kind、plot_title 不是
            str 或 None; rolling_window、total_money、fee、rule_fee 不是数值。
        ValueError: 权重表含非数值数据 (消息中给出第一列出错的列名)、权重表或行情表标签重复, 或
            total_money、fee、rule_fee 超出取值范围。
        OSError: 请求了图表 (plot_image_kind 与 plot_save_path 都不为 None) 而图片文件无法写入。
    """

def plot_strategy_performance(total: pandas.DataFrame, stats: dict, strategy_name: str = 'strategy', plot_title: str | None = None, save_path: str | os.PathLike = './strategy_backtest.png', image_kind: str = 'large', benchmark_name: str = '000852', rolling_window: int = 0) -> dict[str, str]:
    """
    画策略绩效总览图并保存为图片 (持有图表锁)。

    包含标题、九张指标卡、累计收益、超额收益与回撤、年度收益、滚动超额稳定性、回撤五个面板,
    以及汇总表与年度指标表。年度指标表中数据只覆盖一部分的首年或末年标 "*", 表下注明其交易日数。
    标题等文字在已安装字体中缺字形 (如服务器上的中文策略名) 时, 若装了 morvane[cjk] 就用它的
    Noto Sans CJK SC, 否则发出一条 MorvaneWarning 说明安装方法, 缺字形的字显示为方框。

    Args:
        total (pandas.DataFrame): 每日回测总表 (列 long、close_net_value、extra_return、max_drowdown、
            extra_max_drowdown、daily_return、index_daily_return、extra_daily_return)。
        stats (dict): 统计量字典; 缺少的键显示为 "--"。
        strategy_name (str): 策略名, 默认 "strategy", 未给标题时用于标题。
        plot_title (str | None): 图标题, 默认 None (或空文本) 表示用 strategy_name。
        save_path (str | os.PathLike): 输出文件, 默认 "./strategy_backtest.png", 格式由扩展名决定。
        image_kind (str): "large" 为横版宽图, 其他值 (如 "long") 为竖版长图, 默认 "large"。
        benchmark_name (str): 基准名, 默认 "000852"。
        rolling_window (int): 本次回测的权重平滑窗口, 只显示在汇总表中, 默认 0。

    Returns:
        dict[str, str]: {"main": save_path 的文本}; total 为空时不写文件, 仍返回该字典。

    Raises:
        TypeError: 参数类型错误 (消息中给出参数名)。
        KeyError: total 缺少需要的列。
        OSError: 文件无法写入。
    """

def plot_weekly_net_value(total: pandas.DataFrame, strategy_name: str = 'strategy', plot_title: str | None = None, save_path: str | os.PathLike = './strategy_weekly_net_value.png', image_kind: str = 'large', benchmark_name: str = '000852') -> dict[str, str]:
    """
    画周度净值图并保存为图片 (持有图表锁)。

    年度指标表与缺字形时的字体处理同 plot_strategy_performance。

    Args:
        total (pandas.DataFrame): 每日回测总表。
        strategy_name (str): 策略名, 默认 "strategy"。
        plot_title (str | None): 图标题, 默认 None 表示用 strategy_name。
        save_path (str | os.PathLike): 输出文件, 默认 "./strategy_weekly_net_value.png"。
        image_kind (str): "large" 为横版, 其他值为竖版, 默认 "large"。
        benchmark_name (str): 基准名, 默认 "000852"。

    Returns:
        dict[str, str]: {"weekly_net_value": save_path 的文本}; 没有周度数据时不写文件, 仍返回该字典。

    Raises:
        TypeError: 参数类型错误 (消息中给出参数名)。
        KeyError: total 缺少需要的列。
        OSError: 文件无法写入。
    """

"""morvane 的回测子包: 策略回测核心、因子分组回测核心与预备数据存储。

子包本身可以调用: ``morvane.backtest(factor, data, ...)`` 跑因子分组回测,
与 ``BacktestService.backtest`` 同参同义。
"""

from __future__ import annotations

import inspect
import sys
import types
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import os
    from collections.abc import Sequence

    import pandas as pd

    from .result import BacktestData, BacktestResult


class _CallableBacktestPackage(types.ModuleType):
    """The subpackage, callable as the factor backtest.

    ``morvane.backtest`` names both the subpackage and the factor backtest; a
    function of that name in ``morvane`` would hide the subpackage, so the
    subpackage itself takes the call. Type checkers learn of the call from the
    annotation of ``backtest`` in ``morvane``; ``help()`` and
    ``inspect.signature`` from the module's ``__doc__`` and ``__signature__``.
    """

    def __call__(
        self,
        factor: pd.DataFrame,
        data: BacktestData,
        start_date: str | int,
        end_date: str | int,
        output_dir: str | os.PathLike[str],
        plot_filename: str,
        *,
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 1e8,
        fee: float = 1e-4,
        rule_fee: float = 5e-4,
        plot: str = "long",
        horizons: int | Sequence[int] = (1,),
        rebalance_every: int = 1,
        tear_sheet: bool = False,
    ) -> BacktestResult:
        """对宽表因子跑分组回测并出图。

        每个交易日把选股范围内有因子值的股票按因子排序分成 group_num 组, 每组等权持有,
        按 T-1 日分组在 T 日 VWAP 成交 (200 股一手、涨跌停与停牌限制、拆分分红、佣金与
        印花税), 并计算 rank IC 与相对基准的超额。

        Args:
            factor (pandas.DataFrame): 因子宽表, 行为 "YYYYMMDD" 日期, 列为股票代码 (如 "000001"),
                值为因子值 (有限数, NaN 表示没有)。行、列都是单层索引, 每个日期只出现一次;
                带时区的时间戳行标签按上海时间的日历日期读。
            data (BacktestData): load_backtest_data() 的结果, 必填; 同一份数据可供多个回测
                (包括其它线程与进程中的) 共用。
            start_date (str | int): 回测首日 (含), 例如 "20190102" 或 20190102。
            end_date (str | int): 回测末日 (含), 例如 "20231229"。
            output_dir (str | PathLike): 图片目录, 必填, 不存在时创建, 例如 "out"。
            plot_filename (str): 不带目录和扩展名的图片文件名, 也用作图标题, 例如 "alpha1";
                不能为空, 不能含 NUL 字符; 多个基准时作为各基准图片 "{plot_filename}_{code}.png"
                的前缀。
            group_num (int): 分组数, 取值 [2, 100], 默认 20。某日可分组的股票少于 group_num
                时当日不分组, 并发出 MorvaneWarning。
            benchmark (str | list[str] | None): 对冲基准, "000300"、"000905"、"000852", 或 "all" /
                None 表示全部, 默认 "000852"。
            universe (str | list[str] | None): 选股范围指数代码,
                "000300"、"000905"、"000852"、"399303"、"932000" 之一或列表 (取并集), None 为全市场,
                默认 None。
            rolling_window (int): 因子滚动均值窗口 (交易日), 0 或 1 不平滑, 须不小于 0, 默认 0。
            ascending (bool): 排序方向, False 时因子值越大组号越大, 默认 False。
            total_money (float): 每组的模拟资金, 须为正的有限数, 默认 1e8。
            fee (float): 佣金费率, 取值 [0, 1), 默认 1e-4。
            rule_fee (float): 卖出印花税率, 取值 [0, 1), 默认 5e-4。
            plot (str): 图形版式 "long" 或 "large", 默认 "long"。
            horizons (int | Sequence[int]): IC 衰减的持有期 (交易日), 每个取值 [1, 250], 默认
                (1,)。例如 (1, 5, 10, 20)。多于 1 天的远期收益取次日开盘到 h 日后开盘。
            rebalance_every (int): 每隔几个交易日重新分组, 1 为每日, 取值 [1, 250], 默认
                1。其间持有调仓日的分组, 目标股数在调仓后首个交易日定下。
            tear_sheet (bool): 另画因子分析图 "{plot_filename}_tear_sheet.png" (IC 衰减、月度 IC
                热图、各组换手), 默认 False。
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
        from .. import _backtest_service

        return _backtest_service().backtest(  # type: ignore[no-any-return]
            factor,
            data,
            start_date,
            end_date,
            output_dir,
            plot_filename,
            group_num=group_num,
            benchmark=benchmark,
            universe=universe,
            rolling_window=rolling_window,
            ascending=ascending,
            total_money=total_money,
            fee=fee,
            rule_fee=rule_fee,
            plot=plot,
            horizons=horizons,
            rebalance_every=rebalance_every,
            tear_sheet=tear_sheet,
        )


def _call_signature() -> inspect.Signature:
    """The call's signature as the caller sees it (without the module itself)."""
    signature = inspect.signature(_CallableBacktestPackage.__call__)
    return signature.replace(parameters=list(signature.parameters.values())[1:])


def _signature_text(signature: inspect.Signature) -> str:
    """The signature as written in the source: annotations unquoted, defaults as reprs."""
    parts: list[str] = []
    for parameter in signature.parameters.values():
        if parameter.kind is inspect.Parameter.KEYWORD_ONLY and "*" not in parts:
            parts.append("*")
        text = parameter.name
        if parameter.annotation is not inspect.Parameter.empty:
            text += f": {parameter.annotation}"
        if parameter.default is not inspect.Parameter.empty:
            text += f" = {parameter.default!r}"
        parts.append(text)
    return f"({', '.join(parts)}) -> {signature.return_annotation}"


sys.modules[__name__].__class__ = _CallableBacktestPackage
__signature__ = _call_signature()
# help() renders a module as a module page, whose description is the module's
# docstring: it leads with the call.
__doc__ = (
    f"morvane.backtest{_signature_text(__signature__)}\n\n"
    f"{inspect.cleandoc(_CallableBacktestPackage.__call__.__doc__ or '')}\n\n{inspect.cleandoc(__doc__ or '')}"
)

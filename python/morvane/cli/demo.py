"""`morvane demo`: the whole workflow on the embedded synthetic market, offline."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from ._command import Command
from ._common import print_table
from ._market import demo_market, top_group_weights
from ._report import (
    chart_rows,
    factor_rows,
    research_rows,
    run_factor_backtest,
    strategy_rows,
)

__all__ = ["COMMAND", "run", "run_demo"]

DEMO_GROUPS = 10
DEMO_BENCHMARK = "000300"
DEMO_HORIZONS = (1, 5, 10, 20)
STORE_FOLDER = "prepared-data"


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--out", default="morvane-demo", metavar="DIR", help="输出目录, 默认 ./morvane-demo"
    )
    parser.add_argument(
        "--days", type=int, default=750, metavar="N", help="交易日数, 默认 750 (约 3 年)"
    )
    parser.add_argument("--stocks", type=int, default=800, metavar="N", help="股票数, 默认 800")
    parser.add_argument("--seed", type=int, default=0, metavar="N", help="随机种子, 默认 0")


def run(args: argparse.Namespace) -> int:
    run_demo(Path(args.out), days=args.days, stocks=args.stocks, seed=args.seed)
    return 0


def run_demo(out: Path, *, days: int = 750, stocks: int = 800, seed: int = 0) -> dict[str, object]:
    """演示: 合成市场 -> 预备数据 -> 因子回测 -> 最高分组等权的策略回测 -> 图片。

    预备数据写在 out / "prepared-data" 并直接从那里加载, 包的默认数据目录
    (用户主目录下) 既不读也不写。

    Args:
        out (Path): 输出目录, 不存在时创建, 例如 Path("morvane-demo")。
        days (int): 交易日数, 默认 750。
        stocks (int): 股票数, 默认 800。
        seed (int): 随机种子, 默认 0。
    Returns:
        dict: "factor" 为 BacktestResult, "strategy" 为 StrategyBacktestResult, "store" 为预备数据目录。
    Raises:
        CliError: 参数超出范围。
    """
    from tqdm import tqdm

    import morvane

    from ..clients import ALPHA_FACTOR_NAME

    out = Path(out)
    steps = ["生成合成市场", "准备预备数据", "因子回测", "策略回测"]
    with tqdm(total=len(steps), desc="演示", unit="步", disable=None) as bar:
        bar.set_postfix_str(steps[0])
        market = demo_market(days, stocks, seed)
        first, last = (
            market.world.dates[0].strftime("%Y%m%d"),
            market.world.dates[-1].strftime("%Y%m%d"),
        )
        bar.update()

        bar.set_postfix_str(steps[1])
        store_dir = out / STORE_FOLDER
        # Built anew each time, as the package function builds any client's store.
        morvane.prepare_backtest_data(
            store_dir, client=market, start_date=first, end_date=last, replace=True
        )
        data = morvane.load_backtest_data(store_dir)
        bar.update()

        bar.set_postfix_str(steps[2])
        factor = market.alpha_matrix().rename_axis(columns=ALPHA_FACTOR_NAME)
        factor_result = run_factor_backtest(
            factor,
            data,
            first,
            last,
            out,
            ALPHA_FACTOR_NAME,
            group_num=DEMO_GROUPS,
            benchmark=DEMO_BENCHMARK,
            horizons=DEMO_HORIZONS,
            tear_sheet=True,
        )
        bar.update()

        bar.set_postfix_str(steps[3])
        weights = top_group_weights(factor, data.data["close_price_valid"], DEMO_GROUPS)
        strategy_name = f"{ALPHA_FACTOR_NAME}_top_group"
        strategy_result = morvane.backtest_strategy(
            weights,
            data,
            first,
            last,
            out,
            strategy_name,
            benchmark=DEMO_BENCHMARK,
        )
        bar.update()

    _print_demo(
        data, (first, last, seed), factor_result, (strategy_name, strategy_result), store_dir
    )
    return {"factor": factor_result, "strategy": strategy_result, "store": store_dir}


def _print_demo(
    data: Any,
    market: tuple[str, str, int],
    factor_result: Any,
    strategy: tuple[str, Any],
    store_dir: Path,
) -> None:
    """The demo's figures and files: the market, both backtests' tables and the charts."""
    from ..clients import ALPHA_FACTOR_NAME

    first, last, seed = market
    strategy_name, strategy_result = strategy
    shape = data.data["close_price"].shape
    print(f"合成市场: {first} 到 {last}, {shape[0]} 个交易日 x {shape[1]} 只股票 (种子 {seed})")
    print()
    print_table(
        f"因子回测 {ALPHA_FACTOR_NAME}: {DEMO_GROUPS} 组, 基准 {DEMO_BENCHMARK}",
        factor_rows(factor_result, benchmark=DEMO_BENCHMARK),
    )
    print()
    print_table("IC 衰减与换手", research_rows(factor_result))
    print()
    print_table(
        f"策略回测 {strategy_name}: 第 {DEMO_GROUPS} 组 (因子最高) 等权, 基准 {DEMO_BENCHMARK}",
        strategy_rows(strategy_result),
    )
    print()
    print_table(
        "图片",
        chart_rows(factor_result.plot_paths, prefix="因子回测 ")
        + chart_rows(strategy_result.plot_paths, prefix="策略回测 "),
    )
    print()
    print(
        f"预备数据在 {store_dir}; 用它试试其他命令: morvane backtest 因子文件.csv --store {store_dir}"
    )


COMMAND = Command(
    "demo",
    help="在内置合成市场上跑一遍完整流程 (无需网络)",
    description=(
        "用内置的确定性合成 A 股市场准备一份小的预备数据 (放在输出目录里, 不动用户主目录), "
        f"对植入因子跑 {DEMO_GROUPS} 组因子回测 (基准 {DEMO_BENCHMARK}, 另算 1/5/10/20 日的 IC 衰减与"
        "各组换手), 再对最高分组的等权组合跑策略回测, 打印关键数字并把图片 (含因子分析图) 写进输出目录。"
    ),
    add_arguments=_add_arguments,
    run=run,
)

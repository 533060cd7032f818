"""`morvane prepare`: prepare or refresh the prepared-data store."""

from __future__ import annotations

import argparse
import importlib
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._command import Command
from ._common import CliError, console_logging, default_store_dir, parse_date
from ._market import demo_market

if TYPE_CHECKING:
    from ..singleton import DataClient

__all__ = ["COMMAND", "run"]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--source", metavar="synthetic|DIR", help="数据来源: synthetic 或本地文件目录"
    )
    parser.add_argument(
        "--store", metavar="DIR", help="预备数据目录 (只和 --source 一起用), 默认为包的数据目录"
    )
    parser.add_argument(
        "--replace", action="store_true", help="目录已有数据时整体重建, 而不是增量刷新"
    )
    parser.add_argument("--start", metavar="DATE", help="本地文件: 整体构建的首日, 默认不限")
    parser.add_argument("--end", metavar="DATE", help="本地文件: 末日, 默认今天")
    parser.add_argument(
        "--days", type=int, default=750, metavar="N", help="合成市场: 交易日数, 默认 750"
    )
    parser.add_argument(
        "--stocks", type=int, default=800, metavar="N", help="合成市场: 股票数, 默认 800"
    )
    parser.add_argument(
        "--seed", type=int, default=0, metavar="N", help="合成市场: 随机种子, 默认 0"
    )
    parser.add_argument(
        "--client",
        metavar="MODULE:NAME",
        help="数据客户端: 模块里的客户端对象或无参工厂, 例如 mypkg.data:make_client",
    )
    parser.add_argument("--base-url", metavar="URL", help="参考数据包服务的根地址")
    parser.add_argument("--token", metavar="TOKEN", help="与 --base-url 一起用的访问令牌")


def run(args: argparse.Namespace) -> int:
    import logging

    # The summary of every dataset's latest date is the command's output;
    # warnings go to stderr as for every command.
    with console_logging("INFO", stream=sys.stdout, below=logging.WARNING):
        if args.source is None:
            _prepare_package(args)
        else:
            _prepare_from_source(args)
    return 0


def _load_client(target: str) -> DataClient:
    module_name, _, attribute = target.partition(":")
    if not module_name or not attribute:
        raise CliError(f"--client: 应为 模块:名字, 例如 mypkg.data:make_client, 收到 {target!r}")
    try:
        module = importlib.import_module(module_name)
    except ImportError as error:
        raise CliError(f"--client: 无法导入模块 {module_name}: {error}") from error
    target: Any = getattr(module, attribute, None)
    if target is None:
        raise CliError(f"--client: 模块 {module_name} 里没有 {attribute}")
    if isinstance(target, type) or (callable(target) and not hasattr(target, "get_factors")):
        target = target()
    return target  # type: ignore[no-any-return]


def _prepare_package(args: argparse.Namespace) -> None:
    """The package's own flow: download the reference package once, then refresh."""
    import morvane

    if args.store is not None:
        raise CliError("--store 只能和 --source 一起用: 包的标准流程固定使用包的数据目录")
    client = _load_client(args.client) if args.client else None
    if args.token is not None and args.base_url is None:
        raise CliError("--token 需要和 --base-url 一起给出")
    morvane.init(client, base_url=args.base_url, token=args.token)
    store_dir = default_store_dir()
    from ..backtest import _service
    from ..backtest._prepare import BinaryPreparedDataStore

    # A store an interrupted swap left as a backup is the store: put it back first.
    _service._recover_store_folder(store_dir)
    if (
        morvane.get_http_client() is None
        and not BinaryPreparedDataStore(store_dir).metadata_path.exists()
    ):
        raise CliError(
            "还没有预备数据, 下载参考数据包需要 --base-url 和 --token; "
            "离线可用 --source synthetic 或 --source 本地文件目录"
        )
    morvane.prepare_backtest_data()


def _prepare_from_source(args: argparse.Namespace) -> None:
    """Builds the store from the synthetic market or local files, or refreshes its tail."""
    from ..backtest import _folders
    from ..clients import LocalFileClient

    store_dir = default_store_dir() if args.store is None else Path(args.store)
    synthetic = args.source == "synthetic"
    client: DataClient
    if synthetic:
        client = demo_market(args.days, args.stocks, args.seed)
        first = client.world.dates[0].strftime("%Y%m%d")
        last = client.world.dates[-1].strftime("%Y%m%d")
    else:
        if not Path(args.source).is_dir():
            raise CliError(f"--source {args.source}: 既不是 synthetic, 也不是存在的目录")
        client = LocalFileClient(args.source)
        first = parse_date(args.start, "--start") if args.start else _folders.FIRST_DATE
        last = parse_date(args.end, "--end") if args.end else _today()
        if first > last:
            raise CliError(f"--start {first} 晚于 --end {last}")
    try:
        # A synthetic market is generated whole from the options: its tail
        # cannot extend a store that another set of options may have built.
        _folders.prepare_from_client(
            client,
            store_dir,
            start=first,
            end=last,
            replace=args.replace,
            source=f"--source {args.source}",
            extend=not synthetic,
        )
    except FileExistsError as error:
        raise CliError(f"{store_dir} 已有预备数据; 用合成市场替换它请加 --replace") from error
    print(f"预备数据目录: {store_dir}")


def _today() -> str:
    from ..backtest import _service

    return str(_service._today())


COMMAND = Command(
    "prepare",
    help="准备或刷新预备数据",
    description=(
        "准备或刷新回测用的预备数据, 最后打印各数据集的最新日期。不给 --source 时走包的标准流程: "
        "首次下载参考数据包 (需要 --base-url/--token), 之后用数据客户端 (--client) 增量刷新。"
        "--source synthetic 用内置合成市场构建; --source DIR 用本地文件目录 "
        "(DIR/factors/<因子名>.parquet|.csv 与 DIR/index_daily.parquet|.csv) 构建或增量刷新。"
    ),
    add_arguments=_add_arguments,
    run=run,
)

"""`morvane prepare`: prepare or refresh the prepared-data store."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import CliError, console_logging, default_store_dir, parse_date
from ._market import build_payload, demo_market, folder_locks, write_store

if TYPE_CHECKING:
    from ..singleton import DataClient

__all__ = ["add_parser", "run"]

# Local files may reach back to the first listed A shares.
_LOCAL_FIRST_DATE = "19900101"


def add_parser(commands: argparse._SubParsersAction, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "prepare",
        parents=[common],
        help="准备或刷新预备数据",
        description=(
            "准备或刷新回测用的预备数据, 最后打印各数据集的最新日期。不给 --source 时走包的标准流程: "
            "首次下载参考数据包 (需要 --base-url/--token), 之后用数据客户端 (--client) 增量刷新。"
            "--source synthetic 用内置合成市场构建; --source DIR 用本地文件目录 "
            "(DIR/factors/<因子名>.parquet|.csv 与 DIR/index_daily.parquet|.csv) 构建或增量刷新。"
        ),
    )
    parser.add_argument("--source", metavar="synthetic|DIR", help="数据来源: synthetic 或本地文件目录")
    parser.add_argument("--store", metavar="DIR", help="预备数据目录 (只和 --source 一起用), 默认为包的数据目录")
    parser.add_argument("--replace", action="store_true", help="目录已有数据时整体重建, 而不是增量刷新")
    parser.add_argument("--start", metavar="DATE", help="本地文件: 整体构建的首日, 默认不限")
    parser.add_argument("--end", metavar="DATE", help="本地文件: 末日, 默认今天")
    parser.add_argument("--days", type=int, default=750, metavar="N", help="合成市场: 交易日数, 默认 750")
    parser.add_argument("--stocks", type=int, default=800, metavar="N", help="合成市场: 股票数, 默认 800")
    parser.add_argument("--seed", type=int, default=0, metavar="N", help="合成市场: 随机种子, 默认 0")
    parser.add_argument("--client", metavar="MODULE:NAME",
                        help="数据客户端: 模块里的客户端对象或无参工厂, 例如 mypkg.data:make_client")
    parser.add_argument("--base-url", metavar="URL", help="参考数据包服务的根地址")
    parser.add_argument("--token", metavar="TOKEN", help="与 --base-url 一起用的访问令牌")
    parser.set_defaults(run=run)


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
    if morvane.get_http_client() is None and not BinaryPreparedDataStore(store_dir).metadata_path.exists():
        raise CliError(
            "还没有预备数据, 下载参考数据包需要 --base-url 和 --token; "
            "离线可用 --source synthetic 或 --source 本地文件目录"
        )
    morvane.prepare_backtest_data()


def _prepare_from_source(args: argparse.Namespace) -> None:
    """Builds the store from the synthetic market or local files, or refreshes its tail."""
    from ..backtest._prepare import BinaryPreparedDataStore
    from ..backtest._service import BacktestService
    from ..clients import LocalFileClient

    store_dir = default_store_dir() if args.store is None else Path(args.store)
    # The package's folder, however it was named: its record of an installed package goes.
    default = os.path.realpath(store_dir) == os.path.realpath(default_store_dir())
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
        _require_input_files(client, f"--source {args.source}")
        first = parse_date(args.start, "--start") if args.start else _LOCAL_FIRST_DATE
        last = parse_date(args.end, "--end") if args.end else _today()
        if first > last:
            raise CliError(f"--start {first} 晚于 --end {last}")

    source = f"--source {args.source}"
    # Held from the check to the end, as the service holds its own: whatever this
    # command finds stays so until it has written.
    with folder_locks(store_dir) as data_lock:
        store = BinaryPreparedDataStore(store_dir)
        # Missing or damaged dataset files make the store incomplete: it is rebuilt.
        complete = store.metadata_path.exists() and not _missing(store)
        if complete and not args.replace:
            if synthetic:
                # A synthetic market is generated whole: its tail cannot extend a store.
                raise CliError(f"{store_dir} 已有预备数据; 用合成市场替换它请加 --replace")
            _refresh(store, client, last, source=source, data_lock=data_lock)
            return
        payload = build_payload(client, first, last, source=source)
        write_store(payload, store_dir, default=default, data_lock=data_lock)
    BacktestService._log_dataset_summary(BinaryPreparedDataStore(store_dir), action="已就绪")
    print(f"预备数据目录: {store_dir}")


def _require_input_files(client: Any, source: str) -> None:
    """Every input the build cannot do without is a file of the directory, or nothing is written.

    A missing price, limit or VWAP file would not stop the build: it would
    give a store whose backtests trade on other numbers, without a word.
    """
    from ..backtest import _prepare

    required = [*_prepare.REQUIRED_FACTOR_NAMES, *_prepare.COMPONENT_FACTOR_NAMES]
    missing = client.missing_files(required)
    if missing:
        optional = ", ".join(f"factors/{name}" for name in _prepare.OPTIONAL_FACTOR_NAMES)
        raise CliError(
            f"{source}: 缺少必需的输入文件 (.parquet 或 .csv): {', '.join(missing)}; "
            f"可选的文件 (缺少时按没有数据处理): {optional}; 没有写入任何数据"
        )


def _missing(store: Any) -> list[str]:
    from ..backtest._service import BacktestService

    try:
        return list(BacktestService._find_missing_datasets(store))
    except Exception:  # an unreadable metadata file: the store is rebuilt whole
        return ["metadata"]


def _refresh(store: Any, client: DataClient, last: str, *, source: str, data_lock: Any) -> None:
    """Rewrites the store's last stored rows and appends the days after them (preparation lock held)."""
    from ..backtest import _prepare
    from ..backtest._service import BacktestService
    from ..exceptions import MorvaneError

    store_dir = Path(store.metadata_path).parent
    index = list(store.load_metadata()["datasets"]["close_price"]["index"])
    write_start = index[max(len(index) - _prepare.TAIL_RELOAD_ROWS, 0)]
    if write_start >= last:
        BacktestService._log_dataset_summary(store, action="已是最新")
        return
    stored_close = store.load(keys=["close_price"], mmap=True)["data"]["close_price"]
    payload = build_payload(client, write_start, last, source=source, window_of=index,
                            stored_close=stored_close)
    del stored_close  # the mapping is not held while the tail is written
    with data_lock():
        if not store.update_tail(payload):
            raise MorvaneError("回测数据增量更新失败:基准缺失或元信息不完整")
    BacktestService._log_dataset_summary(store, action="已更新")
    print(f"预备数据目录: {store_dir}")


def _today() -> str:
    from ..backtest import _service

    return str(_service._today())

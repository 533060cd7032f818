"""`morvane sweep CONFIG.toml`: a parameter sweep described by a TOML file."""

from __future__ import annotations

import argparse
from pathlib import Path

from ._command import Command
from ._common import CliError

__all__ = ["COMMAND", "run"]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("config", metavar="CONFIG.toml", help="扫描配置文件")
    parser.add_argument("--out", metavar="DIR", help="输出目录, 默认取配置里的设置")


def run(args: argparse.Namespace) -> int:
    config = Path(args.config)
    if not config.is_file():
        raise CliError(
            f"配置文件 {config}: 文件不存在"
            if not config.exists()
            else f"配置文件 {config}: 不是文件"
        )
    # The sweep module is imported only for this command: the others do not pay for it.
    try:
        from .. import sweep
    except ImportError as error:
        raise CliError(f"这个版本的 morvane 没有参数扫描 (morvane.sweep): {error}") from error
    table = sweep.run_config(config, out_dir=None if args.out is None else Path(args.out))
    files = table.attrs.get("output_files", ())
    print(f"扫描完成: {len(table)} 行, 汇总表写在 " + " 与 ".join(files))
    return 0


COMMAND = Command(
    "sweep",
    help="按 TOML 配置跑参数扫描",
    description="按 TOML 配置文件跑一组回测的参数扫描, 把汇总表写进输出目录并打印其位置。",
    add_arguments=_add_arguments,
    run=run,
)

"""morvane 的命令行: `morvane demo | prepare | backtest | strategy | sweep`。

退出码: 0 成功; 1 输入有误 (标准错误上一行说明, 加 --debug 显示调用栈); 2 用法错误。
"""

from __future__ import annotations

import argparse
import sys
import traceback
import warnings
from collections.abc import Sequence

from ..exceptions import MorvaneError, MorvaneWarning
from . import backtest, demo, prepare, sweep
from ._common import CliError, error_line

__all__ = ["main", "build_parser", "CliError"]

PROG = "morvane"
# Errors that describe the input or the data folder; others may be a bug and name their type.
_USER_ERRORS: tuple[type[BaseException], ...] = (
    CliError,
    ValueError,
    KeyError,
    OSError,
    MorvaneError,
)


def _common_options(*, top: bool) -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    # On a command the default is left out, so that `morvane --debug demo` is
    # not reset by the command's own copy of the option.
    default = False if top else argparse.SUPPRESS
    common.add_argument(
        "--debug", action="store_true", default=default, help="出错时显示完整调用栈"
    )
    common.add_argument(
        "-v", "--verbose", action="store_true", default=default, help="显示 morvane 的进度日志"
    )
    return common


def build_parser() -> argparse.ArgumentParser:
    """构建命令行解析器。

    Returns:
        argparse.ArgumentParser: 带全部子命令的解析器。
    """
    from .. import __version__

    parser = argparse.ArgumentParser(
        prog=PROG,
        parents=[_common_options(top=True)],
        description="morvane: A 股因子与策略回测。先试 `morvane demo` (无需网络)。",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(title="命令", metavar="COMMAND", required=True)
    common = _common_options(top=False)
    for command in (
        demo.COMMAND,
        prepare.COMMAND,
        backtest.FACTOR_COMMAND,
        backtest.STRATEGY_COMMAND,
        sweep.COMMAND,
    ):
        subparser = commands.add_parser(
            command.name, parents=[common], help=command.help, description=command.description
        )
        command.add_arguments(subparser)
        subparser.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """命令行入口。

    Args:
        argv (Sequence[str] | None): 参数列表 (不含程序名), 默认 None 表示 sys.argv[1:]。
    Returns:
        int: 退出码, 0 成功, 1 输入或数据有误, 2 用法错误 (由 argparse 以 SystemExit 给出), 130 被中断。
    Raises:
        SystemExit: 用法错误或 --help / --version。
    """
    from ._common import console_logging

    parser = build_parser()
    args = parser.parse_args(argv)
    command = next(
        (a for a in (argv if argv is not None else sys.argv[1:]) if not a.startswith("-")), PROG
    )
    try:
        # Warnings of the package (such as weights given only on rebalance
        # days) always reach the user, once each, through the log; the same
        # warnings raised as MorvaneWarning would show them a second time.
        # Progress lines only with --verbose.
        with console_logging("INFO" if args.verbose else "WARNING"), warnings.catch_warnings():
            warnings.simplefilter("ignore", MorvaneWarning)
            return int(args.run(args))
    except KeyboardInterrupt:
        print(f"{PROG} {command}: 已中断", file=sys.stderr)
        return 130
    except Exception as error:  # every failure ends as one line, or a traceback with --debug
        if args.debug:
            traceback.print_exc()
        else:
            hint = (
                ""
                if isinstance(error, _USER_ERRORS)
                else f" ({type(error).__name__}; 加 --debug 查看调用栈)"
            )
            print(f"{PROG} {command}: 错误: {error_line(error)}{hint}", file=sys.stderr)
        return 1

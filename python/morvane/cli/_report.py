"""The key figures of a backtest result as printed rows, and the factor backtest call."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._common import CliError

if TYPE_CHECKING:
    from ..backtest.result import BacktestResult, StrategyBacktestResult

__all__ = [
    "run_factor_backtest",
    "factor_rows",
    "research_rows",
    "strategy_rows",
    "ledger_rows",
    "chart_rows",
]

# The rows come from the package, which shows the same figures in a result's
# repr and notebook view; it brings pandas, so it is imported when a command runs.


def factor_rows(result: BacktestResult, *, benchmark: str) -> list[tuple[str, str]]:
    from ..backtest import _figures

    return _figures.factor_rows(result, benchmark=benchmark)


def research_rows(result: BacktestResult) -> list[tuple[str, str]]:
    from ..backtest import _figures

    return _figures.research_rows(result)


def strategy_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    from ..backtest import _figures

    return _figures.strategy_rows(result)


def ledger_rows(result: StrategyBacktestResult) -> list[tuple[str, str]]:
    from ..backtest import _figures

    return _figures.ledger_rows(result)


def chart_rows(plot_paths: dict[str, Any], *, prefix: str = "") -> list[tuple[str, str]]:
    from ..backtest import _figures

    return _figures.chart_rows(plot_paths, prefix=prefix)


def run_factor_backtest(*args: Any, **kwargs: Any) -> BacktestResult:
    """Calls morvane.backtest, which a build without the factor backtest lacks."""
    import morvane

    function = getattr(morvane, "backtest", None)
    if not callable(function):
        raise CliError("这个版本的 morvane 没有因子回测 morvane.backtest(...)")
    return function(*args, **kwargs)  # type: ignore[no-any-return]

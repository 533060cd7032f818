"""Speed of the charts against their PNG floor.

Builds the engine benchmark's random market on business days (750 days x 800
stocks by default, about three years) and prints, measured side by side in one
run:

* the strategy backtest without charts and with them, in each layout;
* each chart on its own, in each layout: the performance dashboard, the weekly
  net value chart and the factor chart (the factor backtest with its chart less
  the same backtest without one, both on one thread);
* each chart twice: as drawn again and again in one process, where its texts'
  layouts are kept from the draws before (every repeat draws the same data, so
  every text is met again), and with none kept ("new texts": the first chart of
  a process, or texts never drawn before);
* beside each chart its floor: an empty figure of the same size saved as PNG at
  the same dpi with matplotlib's savefig, and the ratios (goal: at most 2); and
  the same empty figure saved through the charts' own PNG writer, whose ratio is
  what drawing the chart adds over our own save.

Each figure is the best of --repeat runs, chart and floor taken in turn so that
a busy machine slows both alike.

Run: ``python bench/charts.py [--days N] [--stocks N] [--groups N] [--repeat N]``.
"""

from __future__ import annotations

import os
import platform
import tempfile
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from engine import build_inputs, size_options  # noqa: E402
from factor import build_factor_inputs  # noqa: E402
from morvane.backtest import _chart_renderer, _core  # noqa: E402
from morvane.backtest._chart_png import save_chart  # noqa: E402
from morvane.backtest._ravelle import (  # noqa: E402
    _build_total_backtesting_frame,
    plot_strategy_performance,
    plot_weekly_net_value,
    run_strategy_backtest_core,
)
from runner import build_benchmarks  # noqa: E402

# Page size (inches) and dpi of each chart, by layout.
PAGES = {
    ("performance", "large"): ((21.5, 12.6), 165),
    ("performance", "long"): ((15.5, 34.0), 145),
    ("weekly", "large"): ((18.8, 8.6), 170),
    ("weekly", "long"): ((15.5, 12.4), 145),
    ("factor", "large"): ((21.0, 11.5), 110),
    ("factor", "long"): ((14.0, 20.0), 110),
}


def on_business_days(table: pd.DataFrame) -> pd.DataFrame:
    """The same table on real trading-like dates: the charts read calendar years and weeks."""
    days = pd.bdate_range("2021-01-04", periods=len(table)).strftime("%Y%m%d")
    return table.set_axis(days, axis=0)


def floor(size: tuple[float, float], dpi: int, path: Path) -> None:
    figure = plt.figure(figsize=size)
    figure.savefig(path, dpi=dpi, facecolor=figure.get_facecolor())
    plt.close(figure)


def own_floor(size: tuple[float, float], dpi: int, path: Path) -> None:
    """The same empty figure through the charts' own writer: what drawing adds to our save."""
    figure = plt.figure(figsize=size)
    save_chart(figure, path, dpi)
    plt.close(figure)


def best_in_turn(repeat: int, *works: Callable[[], object]) -> list[float]:
    """Best wall time of each work, the works run in turn `repeat` times."""
    best = [float("inf")] * len(works)
    for _ in range(repeat):
        for k, work in enumerate(works):
            start = time.perf_counter()
            work()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def main() -> None:
    args = size_options(__doc__, days=750, stocks=800, groups=20, repeat=5)
    print(
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}, matplotlib {matplotlib.__version__}"
    )
    print(
        f"inputs: {args.days} days x {args.stocks} stocks, factor chart with {args.groups} groups, "
        f"best of {args.repeat}"
    )

    weights, market = build_inputs(args.days, args.stocks)
    weights = on_business_days(weights)
    market = {name: on_business_days(table) for name, table in market.items()}
    benchmarks = build_benchmarks(weights.index)
    factor_inputs = {
        name: on_business_days(table)
        for name, table in build_factor_inputs(args.days, args.stocks).items()
    }
    factor_inputs["benchmark_dict"] = benchmarks
    factor_inputs["benchmark_names"] = "000852"

    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder)

        def backtest(kind: str | None) -> object:
            return run_strategy_backtest_core(
                weights,
                **market,
                benchmark_dict=benchmarks,
                plot_image_kind=kind or "large",
                plot_save_path=None if kind is None else out / "strategy.png",
            )

        result = backtest(None)
        bench = benchmarks["000852"].reindex(result.daily_return.index)
        total = _build_total_backtesting_frame(
            pd.DataFrame({"daily_return": result.daily_return, "index_daily_return": bench})
        )
        stats = result.stats

        (plain,) = best_in_turn(args.repeat, lambda: backtest(None))
        print(f"\nstrategy backtest without charts {plain * 1e3:8.1f} ms")
        for kind in ("large", "long"):
            (charted,) = best_in_turn(args.repeat, lambda kind=kind: backtest(kind))
            print(f"strategy backtest with charts, {kind:5s} {charted * 1e3:6.0f} ms")

        charts: dict[str, Callable[[str], object]] = {
            "performance": lambda kind: plot_strategy_performance(
                total, stats, image_kind=kind, save_path=out / "performance.png"
            ),
            "weekly": lambda kind: plot_weekly_net_value(
                total, image_kind=kind, save_path=out / "weekly.png"
            ),
        }

        def without_kept_texts(work: Callable[[], object]) -> Callable[[], object]:
            def cold() -> object:
                _chart_renderer.TEXTS.clear()  # a few hundred entries: microseconds
                return work()

            return cold

        print(
            f"\n{'chart':12s} {'layout':6s} {'chart ms':>9s} {'new texts':>9s} {'floor ms':>9s} "
            f"{'ratio':>6s} {'new texts':>9s} {'own floor':>9s} {'ratio':>6s}"
        )
        for name in ("performance", "weekly", "factor"):
            for kind in ("large", "long"):
                size, dpi = PAGES[name, kind]
                empty = partial(floor, size, dpi, out / "floor.png")
                own_empty = partial(own_floor, size, dpi, out / "own_floor.png")
                if name == "factor":

                    def charted(kind: str = kind) -> object:
                        return _core.run_alpha_vwap_backtest_core(
                            **factor_inputs,
                            group_num=args.groups,
                            plot_image_kind=kind,
                            plot_save_path=out / "factor.png",
                        )

                    def uncharted() -> object:
                        return _core.run_alpha_vwap_backtest_core(
                            **factor_inputs, group_num=args.groups
                        )

                    # One thread: the backtest's own time then varies least between
                    # the two runs whose difference is the chart.
                    _core._set_thread_count(1)
                    with_chart, with_new_texts, without, empty_time, own_time = best_in_turn(
                        args.repeat,
                        charted,
                        without_kept_texts(charted),
                        uncharted,
                        empty,
                        own_empty,
                    )
                    _core._set_thread_count(0)
                    chart_time, cold_time = with_chart - without, with_new_texts - without
                else:

                    def draw(name: str = name, kind: str = kind) -> object:
                        return charts[name](kind)

                    chart_time, cold_time, empty_time, own_time = best_in_turn(
                        args.repeat, draw, without_kept_texts(draw), empty, own_empty
                    )
                print(
                    f"{name:12s} {kind:6s} {chart_time * 1e3:9.0f} {cold_time * 1e3:9.0f} "
                    f"{empty_time * 1e3:9.0f} {chart_time / empty_time:6.2f} {cold_time / empty_time:9.2f} "
                    f"{own_time * 1e3:9.0f} {chart_time / own_time:6.2f}"
                )
    print(
        "\ngoal: every ratio to the savefig floor at most 2; the own floor is the same empty figure "
        "saved through the charts' writer (its ratio is what drawing costs over our own save)"
    )


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()

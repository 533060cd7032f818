"""Speed and memory of the strategy backtest runner.

Builds the engine benchmark's random market (2,500 days x 5,000 stocks by
default) with three benchmark series and prints, measured side by side in one
run:

* the native ``run_strategy_backtest_core`` without charts, end to end;
* the native engine alone (``calc_strategy_vwap_daily_return``) on the same
  weights: the runner's alignment, statistics and summaries should add under
  30% to it;
* the literal pandas transcription (``tests/reference/stats.py``) of everything the
  runner does around the engine, applied to the engine's output;
* ``calc_strategy_stats`` plus the yearly table, native against pandas, on the
  backtest table and the full weight table;
* the peak memory the runner adds beyond the engine's, with weights whose
  labels match the market (no copy) and with weights that need aligning (one
  aligned copy at most);
* the trade ledger (``record_trades=True``) against the same runner without
  it, and the ledger's rows added up against the daily returns.

Run: ``python bench/runner.py [--days N] [--stocks N] [--repeat N]``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from engine import best_of, build_inputs, machine_line, peak_extra_mib, size_options
from from_tests import reference_stats as ref
from morvane.backtest._ravelle import (
    _build_total_backtesting_frame,
    _calc_yearly_performance_metrics,
    calc_strategy_stats,
    calc_strategy_vwap_daily_return,
    run_strategy_backtest_core,
)

BENCHMARKS = ("000852", "000300", "000905")


def build_benchmarks(index: pd.Index, seed: int = 1) -> dict[str, pd.Series]:
    rng = np.random.default_rng(seed)
    return {
        name: pd.Series(rng.normal(0.0003, 0.012, len(index)), index=index) for name in BENCHMARKS
    }


def check_agreement(native, expected) -> None:
    np.testing.assert_allclose(
        native.daily_return.to_numpy(), expected.daily_return.to_numpy(), rtol=1e-12
    )
    np.testing.assert_allclose(
        list(native.stats.values()), list(expected.stats.values()), rtol=1e-9
    )
    np.testing.assert_allclose(
        native.benchmark_summary.iloc[:, 1:].to_numpy(),
        expected.benchmark_summary.iloc[:, 1:].to_numpy(),
        rtol=1e-9,
    )


def main() -> None:
    args = size_options(__doc__, repeat=3)

    weights, market = build_inputs(args.days, args.stocks)
    benchmarks = build_benchmarks(weights.index)
    weight_mib = weights.to_numpy().nbytes / 2**20
    print(machine_line())
    print(
        f"inputs: {args.days} days x {args.stocks} stocks, weight table {weight_mib:.0f} MiB, "
        f"{len(benchmarks)} benchmarks, no charts"
    )

    def runner(table: pd.DataFrame = weights, **options: object) -> object:
        return run_strategy_backtest_core(
            table, **market, benchmark_dict=benchmarks, plot_save_path=None, **options
        )

    def engine() -> pd.Series:
        return calc_strategy_vwap_daily_return(weights, **market)

    native = runner()
    daily = engine()
    work = ref.align_weights(weights, market["close_price"], 0)
    expected = ref.after_engine(daily, work, benchmarks, "000852")
    check_agreement(native, expected)

    t_runner = best_of(args.repeat, runner)
    t_engine = best_of(args.repeat, engine)
    t_pandas = best_of(
        1,
        lambda: ref.after_engine(
            daily, ref.align_weights(weights, market["close_price"], 0), benchmarks, "000852"
        ),
    )
    print(
        f"native runner, no charts          {t_runner * 1e3:9.1f} ms"
        f"   runner/engine {t_runner / t_engine:5.2f}  (goal <= 1.3)"
    )
    print(f"native engine alone               {t_engine * 1e3:9.1f} ms")
    print(
        f"pandas around the engine's output {t_pandas * 1e3:9.1f} ms"
        f"   native extra {(t_runner - t_engine) * 1e3:7.1f} ms"
    )

    recorded = runner(record_trades=True)
    t_ledger = best_of(args.repeat, lambda: runner(record_trades=True))
    t_off = best_of(args.repeat, runner)
    t_tables = best_of(args.repeat, lambda: runner(record_trades=True).ledger.trades)
    trades = recorded.ledger.trades
    pnl = (
        trades.groupby("date")["pnl"].sum().reindex(recorded.daily_return.index, fill_value=0.0)
        / 1e8
    )
    gap = float(np.abs(pnl.to_numpy() - recorded.daily_return.to_numpy()).max())
    print(
        f"runner with the trade ledger      {t_ledger * 1e3:9.1f} ms   ledger/off {t_ledger / t_off:5.2f}  "
        f"(goal <= 1.5; {len(trades):,} rows, max gap to daily_return {gap:.1e})"
    )
    print(
        f"  and its tables built            {t_tables * 1e3:9.1f} ms   /off {t_tables / t_off:5.2f}"
    )

    total = _build_total_backtesting_frame(
        expected.total.loc[:, ["daily_return", "close", "index_daily_return"]]
    )
    # The yearly table reads calendar years: give the days real dates.
    daily_frame = total[["daily_return", "extra_daily_return"]].set_axis(
        pd.bdate_range("2010-01-04", periods=len(total)), axis=0
    )

    def native_stats() -> None:
        calc_strategy_stats(total, weights)
        _calc_yearly_performance_metrics(daily_frame)

    def pandas_stats() -> None:
        ref.calc_strategy_stats(total, weights)
        ref.calc_yearly_performance_metrics(daily_frame)

    t_native_stats = best_of(args.repeat, native_stats)
    t_pandas_stats = best_of(args.repeat, pandas_stats)
    print(f"native statistics + yearly table  {t_native_stats * 1e3:9.1f} ms")
    print(
        f"pandas statistics + yearly table  {t_pandas_stats * 1e3:9.1f} ms"
        f"   ratio {t_pandas_stats / t_native_stats:6.1f}x  (goal >= 5x)"
    )

    # A foreign column and a non-trading day force the one aligned copy. The
    # table is one block, as a frame built from an array is; a frame grown
    # column by column is first consolidated by pandas when read as a matrix.
    values = np.full((args.days + 1, args.stocks + 1), 0.001)
    values[:-1, :-1] = weights.to_numpy()
    misaligned = pd.DataFrame(
        values,
        index=weights.index.append(pd.Index(["29991231"])),
        columns=weights.columns.append(pd.Index(["999999"])),
        copy=False,
    )
    engine_peak = peak_extra_mib(engine)
    runner_peak = peak_extra_mib(runner)
    aligned_peak = peak_extra_mib(lambda: runner(misaligned))
    print(
        f"peak extra memory: engine {engine_peak:6.0f} MiB, runner {runner_peak:6.0f} MiB, "
        f"runner needing alignment {aligned_peak:6.0f} MiB"
    )
    print(
        f"weight copies beyond the engine: labels aligned {(runner_peak - engine_peak) / weight_mib:5.2f}, "
        f"needing alignment {(aligned_peak - engine_peak) / weight_mib:5.2f}  (goal <= 1)"
    )


if __name__ == "__main__":
    main()

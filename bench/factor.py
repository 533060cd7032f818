"""Speed and memory of the factor group backtest core.

Builds random aligned inputs (2,500 days x 5,000 stocks by default, with NaN
holes, blocked days, splits and dividends), 20 groups, and prints in one run:

* the native ``run_alpha_vwap_backtest_core`` without a chart, on one thread
  pinned to one CPU and on every usable CPU;
* a straightforward pandas implementation (row ranks, group numbers, the
  strategy engine's rules per group, row-wise Spearman), checked to agree;
* alphalens-reloaded's ``get_clean_factor_and_forward_returns`` (20
  quantiles, period 1, ``max_loss=1.0``), ``mean_return_by_quantile`` and
  ``factor_information_coefficient`` on the same data, with the reshaping to
  its long format untimed (it does less: no lots, masks or fees);
* the peak memory the native run adds beyond its inputs, against the size of
  one aligned copy of the inputs;
* factor research on one CPU: the IC at horizons (1, 5, 10, 20) with the rank
  autocorrelation at the same lags (the group turnover and the lag-1
  autocorrelation are part of every run) against the plain run, and holding
  periods of five days (``rebalance_every=5``) against daily rebalancing.

Run: ``python bench/factor.py [--days N] [--stocks N] [--groups N]``.
"""

from __future__ import annotations

import os
import platform
import time
import warnings
from collections.abc import Callable

import numpy as np
import pandas as pd

from engine import build_inputs, peak_extra_mib, size_options
from from_tests import MARKET_KEYS, reference_daily_return
from morvane.backtest import _core


def build_factor_inputs(days: int, stocks: int, seed: int = 1) -> dict[str, pd.DataFrame]:
    _, market = build_inputs(days, stocks, seed)
    rng = np.random.default_rng(seed + 1)
    shape = (days, stocks)
    index, columns = market["close_price"].index, market["close_price"].columns

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    opens = market["prev_close"].to_numpy() * rng.uniform(0.95, 1.05, shape)
    forward = (
        pd.DataFrame(opens).shift(-2).to_numpy() / pd.DataFrame(opens).shift(-1).to_numpy() - 1
    )
    factor = np.where(rng.random(shape) < 0.05, np.nan, rng.standard_normal(shape) + 20 * forward)
    valid = np.where(rng.random(shape) < 0.05, np.nan, 1.0)
    return {
        "factor_matrix": frame(factor),
        "close_price_valid": frame(valid),
        **market,
        "forward_return_rank_cache": frame(pd.DataFrame(forward).rank(axis=1).to_numpy()),
        "open_price": frame(opens),
    }


def timed(work: Callable[[], object]) -> tuple[float, object]:
    start = time.perf_counter()
    out = work()
    return time.perf_counter() - start, out


def pandas_backtest(inputs: dict[str, pd.DataFrame], groups: int) -> tuple[pd.DataFrame, pd.Series]:
    """Row ranks, group numbers, the engine per group and a row-wise Spearman."""
    factor = inputs["factor_matrix"].where(inputs["close_price_valid"].notna())
    k = factor.notna().sum(axis=1)
    rank = factor.rank(axis=1, method="first")
    group = np.floor((rank - 1).mul(groups).div(k, axis=0)) + 1
    group = group.where(k.ge(groups), axis=0)
    market = {key: inputs[key] for key in MARKET_KEYS}
    columns = {}
    for g in range(1, groups + 1):
        member = group.eq(g)
        weights = member.astype(float).where(member).div(member.sum(axis=1), axis=0)
        columns[g] = reference_daily_return(weights, **market)
    daily = pd.DataFrame(columns)
    formed = group.notna().any(axis=1)
    daily = daily[daily.index <= formed[formed].index.max()]
    fwd = inputs["forward_return_rank_cache"].where(factor.notna())
    fac = factor.where(fwd.notna())
    ic = fac.rank(axis=1).corrwith(fwd.rank(axis=1), axis=1)
    return daily, ic


def alphalens_run(inputs: dict[str, pd.DataFrame], groups: int) -> float | str:
    try:
        import alphalens as al
    except ImportError:
        return "alphalens-reloaded is not installed"
    factor = inputs["factor_matrix"].where(inputs["close_price_valid"].notna())
    dates = pd.bdate_range(
        "2000-01-03", periods=len(factor)
    )  # the bench labels are not calendar dates
    stacked = factor.set_axis(dates).stack()
    stacked.index.names = ["date", "asset"]
    prices = inputs["open_price"].set_axis(dates).shift(-1)  # trade at the next open
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        clean = al.utils.get_clean_factor_and_forward_returns(
            stacked, prices, quantiles=groups, periods=(1,), max_loss=1.0
        )
        al.performance.mean_return_by_quantile(clean)
        al.performance.factor_information_coefficient(clean)
        return time.perf_counter() - start


def research(native: Callable[..., object], plain: object) -> None:
    """The research options on one CPU, each against the plain run, best of three."""
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    _core._set_thread_count(1)
    try:

        def best(**options: object) -> tuple[float, object]:
            runs = [timed(lambda: native(**options)) for _ in range(3)]
            return min(t for t, _ in runs), runs[0][1]

        t_plain, _ = best()
        t_horizons, decayed = best(horizons=(1, 5, 10, 20))
        t_weekly, _ = best(rebalance_every=5)
    finally:
        os.sched_setaffinity(0, cpus)
        _core._set_thread_count(0)
    same = decayed.rank_ic_by_horizon[1].equals(plain.rank_ic["rank_ic"])  # type: ignore[attr-defined]
    print(f"plain core, one CPU (best of 3):  {t_plain:7.3f} s")
    print(
        f"horizons 1,5,10,20, one CPU:      {t_horizons:7.3f} s   ratio {t_horizons / t_plain:4.2f} "
        f"(goal <= 1.30; one-day IC {'identical' if same else 'DIFFERS'})"
    )
    print(
        f"rebalance_every=5, one CPU:       {t_weekly:7.3f} s   ratio {t_weekly / t_plain:4.2f} (goal <= 1.00)"
    )


def main() -> None:
    args = size_options(__doc__, groups=20)
    print(
        f"machine: {platform.processor() or platform.machine()}, "
        f"{len(os.sched_getaffinity(0))} usable CPUs, python {platform.python_version()}"
    )
    inputs = build_factor_inputs(args.days, args.stocks)
    aligned_mib = sum(t.memory_usage(index=False).sum() for t in inputs.values()) / 2**20
    print(
        f"inputs: {args.days} days x {args.stocks} stocks, {args.groups} groups, "
        f"{aligned_mib:.0f} MiB of tables"
    )

    def native(**options: object) -> object:
        return _core.run_alpha_vwap_backtest_core(**inputs, group_num=args.groups, **options)

    cpus = os.sched_getaffinity(0)
    native()  # warm up
    os.sched_setaffinity(0, {min(cpus)})
    _core._set_thread_count(1)
    one_cpu, result = timed(native)
    os.sched_setaffinity(0, cpus)
    _core._set_thread_count(0)
    all_cpus, _ = timed(native)
    print(f"native core, pinned to one CPU:   {one_cpu:7.3f} s   (goal: under 2 s)")
    print(f"native core, {len(cpus)} CPUs:             {all_cpus:7.3f} s")
    extra = peak_extra_mib(native)
    print(
        f"native peak extra memory:        {extra:7.0f} MiB  (one aligned copy of the inputs: "
        f"{aligned_mib:.0f} MiB)"
    )

    pandas_time, (daily, ic) = timed(lambda: pandas_backtest(inputs, args.groups))
    diff = np.abs(daily.to_numpy() - result.group_daily_return.to_numpy()).max()
    ic_diff = np.nanmax(np.abs(ic.to_numpy() - result.rank_ic["rank_ic"].to_numpy()))
    print(
        f"pandas implementation:           {pandas_time:7.3f} s   ({pandas_time / one_cpu:.0f}x the "
        f"one-CPU core; max return diff {diff:.1e}, max IC diff {ic_diff:.1e})"
    )
    if not (diff < 1e-12 and ic_diff < 1e-12):
        raise SystemExit("the pandas implementation disagrees with the core")

    research(native, result)

    al_time = alphalens_run(inputs, args.groups)
    if isinstance(al_time, str):
        print(f"alphalens: {al_time}")
    else:
        print(
            f"alphalens-reloaded:              {al_time:7.3f} s   ({al_time / one_cpu:.0f}x the "
            f"one-CPU core; goal: at least 20x)"
        )


if __name__ == "__main__":
    main()

// The module-level names of _ravelle that are not functions: the helpers bound
// from _core, the chart lock, the constants and the result record class.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

inline constexpr int kTradingDaysPerYear = 252;
inline constexpr int kRollingStabilityDays = 60;
inline constexpr int kMinRollingStabilityDays = 5;

// Defines, in this order: _build_market_arrays, _with_datetime_index and
// safe_sharpe (taken from morvane.backtest._core), _MATPLOTLIB_PLOT_LOCK,
// TRADING_DAYS_PER_YEAR, ROLLING_STABILITY_DAYS, MIN_ROLLING_STABILITY_DAYS
// and _RavelleResult; and binds the modules the Python side expects
// (contextlib, threading, dataclass, Path, np, pd).
void define_module_body(nanobind::module_& m);

}  // namespace morvane::ravelle

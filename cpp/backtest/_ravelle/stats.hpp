// Bindings of the per-day backtest table and the strategy statistics, and the
// pieces of them the runner reuses.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "kernels/strategy_stats.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

// _build_total_backtesting_frame.
[[nodiscard]] nb::object build_total_backtesting_frame(nb::handle total_backtesting);

// calc_strategy_stats.
[[nodiscard]] nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df);

// The statistics dictionary, keys in reporting order.
[[nodiscard]] nb::dict stats_dict(const kernels::StrategyStats& stats);

// The all-NaN dictionary of a backtest without data.
[[nodiscard]] nb::dict empty_stats_dict();

// Holding count and turnover of a weight table (None: no figures), computed
// with the GIL released.
[[nodiscard]] std::optional<kernels::WeightFigures> weight_figures_of(nb::handle signal_df);

}  // namespace morvane::ravelle

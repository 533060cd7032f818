// The weekly net value chart: strategy, benchmark and excess net values
// sampled on Fridays, their drawdowns and the yearly metrics table.
#pragma once

#include <nanobind/nanobind.h>

#include "perf_figure.hpp"

namespace morvane::ravelle {

// _build_weekly_net_value_frame(total).
[[nodiscard]] nb::object build_weekly_net_value_frame(nb::handle total);

// _plot_weekly_net_value_unlocked: the caller holds the chart lock. Reads the
// ChartArgs fields but `stats` and `rolling_window`.
void plot_weekly_net_value_unlocked(const ChartArgs& args);

}  // namespace morvane::ravelle

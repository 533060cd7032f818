// The strategy performance dashboard: title, nine headline cards, five chart
// panels, a summary table and the yearly metrics table, in a wide ("large")
// or a tall layout.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

namespace nb = nanobind;

struct ChartArgs {
  nb::handle total;
  nb::handle stats;  // only the performance figure reads statistics
  nb::handle strategy_name;
  nb::handle plot_title;
  nb::handle save_path;
  nb::handle image_kind;
  nb::handle benchmark_name;
  nb::handle rolling_window;  // performance figure only
};

// _plot_strategy_performance_unlocked: the caller holds the chart lock.
void plot_strategy_performance_unlocked(const ChartArgs& args);

}  // namespace morvane::ravelle

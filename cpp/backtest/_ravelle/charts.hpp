// The runner's chart step: the two chart files of a backtest.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace morvane::ravelle {

namespace nb = nanobind;

struct ChartRequest {
  nb::handle total;  // the per-day backtest table
  nb::handle stats;  // the statistics dictionary
  std::string strategy_name;
  std::optional<std::string> plot_title;
  std::string image_kind;
  nb::handle save_path;  // text or path of the main chart
  std::string benchmark_name;
  std::int64_t rolling_window;
};

// {"main": main file, "weekly_net_value": weekly file}; the weekly file sits
// beside the main one, its stem followed by "_weekly_net_value".
[[nodiscard]] nb::dict draw_strategy_charts(const ChartRequest& request);

}  // namespace morvane::ravelle

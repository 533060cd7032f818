#include "charts.hpp"

#include <nanobind/stl/string.h>

#include "mpl.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

nb::dict draw_strategy_charts(const ChartRequest& request) {
  const nb::object main_path = pyglue::imports().path(request.save_path);
  const nb::object weekly_path = main_path.attr("with_name")(
      nb::str("{}_weekly_net_value{}").format(main_path.attr("stem"), main_path.attr("suffix")));
  const nb::object title =
      request.plot_title ? nb::object(nb::str(request.plot_title->c_str())) : nb::none();
  // Through the module, so each chart takes the chart lock at its entry point.
  module_function("plot_strategy_performance")(
      "total"_a = request.total, "stats"_a = request.stats,
      "strategy_name"_a = request.strategy_name, "plot_title"_a = title, "save_path"_a = main_path,
      "image_kind"_a = request.image_kind, "benchmark_name"_a = request.benchmark_name,
      "rolling_window"_a = request.rolling_window);
  module_function("plot_weekly_net_value")(
      "total"_a = request.total, "strategy_name"_a = request.strategy_name, "plot_title"_a = title,
      "save_path"_a = weekly_path, "image_kind"_a = request.image_kind,
      "benchmark_name"_a = request.benchmark_name);
  nb::dict paths;
  paths["main"] = nb::str(main_path);
  paths["weekly_net_value"] = nb::str(weekly_path);
  return paths;
}

}  // namespace morvane::ravelle

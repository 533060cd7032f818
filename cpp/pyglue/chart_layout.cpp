#include "chart_layout.hpp"

#include <algorithm>

#include "chart_style.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

void no_data_note(nb::handle ax, const char* text) {
  ax.attr("text")(0.5, 0.5, text, "ha"_a = "center", "va"_a = "center",
                  "transform"_a = ax.attr("transAxes"));
}

void hide_spines(nb::handle ax, std::initializer_list<const char*> sides) {
  const nb::object spines = ax.attr("spines");
  for (const char* side : sides) spines[side].attr("set_visible")(false);
}

std::pair<double, double> axes_size_points(nb::handle ax) {
  // The box's bounds are (x0, y0, width, height) in figure fractions; the
  // figure's size is (width, height) in inches.
  const nb::object bounds = ax.attr("get_position")().attr("bounds");
  const nb::object inches = ax.attr("get_figure")().attr("get_size_inches")();
  return {nb::cast<double>(bounds[2]) * nb::cast<double>(inches[0]) * 72.0,
          nb::cast<double>(bounds[3]) * nb::cast<double>(inches[1]) * 72.0};
}

nb::object plot_dates(nb::handle index) { return index.attr("to_numpy")(); }

void date_ticks(nb::handle ax) {
  const ChartImports& charts = chart_imports();
  const double inches = axes_size_points(ax).first / 72.0;
  const long most = std::max(7L, static_cast<long>(inches / kInchesPerDateLabel));
  // The locator takes the coarsest unit giving `fewest` ticks (years before
  // months), then steps months by at most 6: `most` must reach 2 * fewest + 1
  // for every range to find an interval (else it warns). matplotlib's own
  // fewest is 5, which wide panels keep.
  const long fewest = std::clamp((most - 1) / 2, 3L, 5L);
  const nb::object locator = charts.date_locator("minticks"_a = fewest, "maxticks"_a = most);
  ax.attr("xaxis").attr("set_major_locator")(locator);
  ax.attr("xaxis").attr("set_major_formatter")(charts.date_formatter(locator));
}

}  // namespace morvane::pyglue

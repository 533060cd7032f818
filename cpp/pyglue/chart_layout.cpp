#include "chart_layout.hpp"

#include <algorithm>

using namespace nanobind::literals;

namespace morvane::pyglue {

std::pair<double, double> axes_size_points(nb::handle ax) {
  const nb::object box = ax.attr("get_position")();
  const nb::object figure = ax.attr("get_figure")();
  return {
      nb::cast<double>(box.attr("width")) * nb::cast<double>(figure.attr("get_figwidth")()) * 72.0,
      nb::cast<double>(box.attr("height")) * nb::cast<double>(figure.attr("get_figheight")()) *
          72.0};
}

nb::object plot_dates(nb::handle index) { return index.attr("to_numpy")(); }

void date_ticks(nb::handle ax) {
  const nb::object dates = nb::module_::import_("matplotlib.dates");
  const double inches = axes_size_points(ax).first / 72.0;
  const long most = std::max(7L, static_cast<long>(inches / kInchesPerDateLabel));
  // The locator takes the coarsest unit giving `fewest` ticks (years before
  // months), then steps months by at most 6: `most` must reach 2 * fewest + 1
  // for every range to find an interval (else it warns). matplotlib's own
  // fewest is 5, which wide panels keep.
  const long fewest = std::clamp((most - 1) / 2, 3L, 5L);
  const nb::object locator =
      dates.attr("AutoDateLocator")("minticks"_a = fewest, "maxticks"_a = most);
  ax.attr("xaxis").attr("set_major_locator")(locator);
  ax.attr("xaxis").attr("set_major_formatter")(dates.attr("AutoDateFormatter")(locator));
}

}  // namespace morvane::pyglue

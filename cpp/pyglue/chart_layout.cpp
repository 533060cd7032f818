#include "chart_layout.hpp"

namespace morvane::pyglue {

nb::object plot_dates(nb::handle index) { return index.attr("to_numpy")(); }

}  // namespace morvane::pyglue

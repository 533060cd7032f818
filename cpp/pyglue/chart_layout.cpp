#include "chart_layout.hpp"

#include "draw.hpp"

namespace morvane::pyglue {

namespace {

draw::Axes axes(nb::handle ax) { return draw::Axes(nb::borrow(ax)); }

}  // namespace

nb::object plot_dates(nb::handle index) { return index.attr("to_numpy")(); }

void no_data_note(nb::handle ax, const char* text) { axes(ax).note(text); }

void hide_spines(nb::handle ax, std::initializer_list<const char*> sides) {
  axes(ax).hide_spines(sides);
}

std::pair<double, double> axes_size_points(nb::handle ax) { return axes(ax).size_points(); }

void date_ticks(nb::handle ax) { axes(ax).date_ticks(); }

}  // namespace morvane::pyglue

#include "chart_tables.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

void style_table_cells(nb::handle table, const std::vector<const char*>& column_colours) {
  for (nb::handle item : table.attr("get_celld")().attr("items")()) {
    const auto row = nb::cast<long>(item[0][0]);
    const auto col = nb::cast<std::size_t>(item[0][1]);
    const nb::object cell = item[1];
    cell.attr("set_edgecolor")("#e2e8f0");
    if (row == 0) {
      cell.attr("set_text_props")("weight"_a = "bold", "color"_a = "#0f172a");
      cell.attr("set_facecolor")("#eef2ff");
      continue;
    }
    cell.attr("set_facecolor")(row % 2 == 1 ? "white" : "#f8fafc");
    if (col < column_colours.size() && *column_colours[col] != '\0') {
      cell.attr("get_text")().attr("set_color")(column_colours[col]);
    }
  }
}

double table_height(nb::handle table) {
  double height = 0.0;
  for (nb::handle item : table.attr("get_celld")().attr("items")()) {
    if (nb::cast<long>(item[0][1]) == 0) height += nb::cast<double>(item[1].attr("get_height")());
  }
  return height;
}

}  // namespace morvane::pyglue

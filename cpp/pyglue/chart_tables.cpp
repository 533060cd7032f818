#include "chart_tables.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

nb::dict table_cells(nb::handle table) { return nb::borrow<nb::dict>(table.attr("get_celld")()); }

void style_table_cells(nb::handle table, const std::vector<const char*>& column_colours) {
  for (const auto [position, cell] : table_cells(table)) {
    const auto row = nb::cast<long>(position[0]);
    const auto col = nb::cast<std::size_t>(position[1]);
    cell.attr("set_edgecolor")("#e2e8f0");
    cell.attr("set_facecolor")(row == 0 ? "#eef2ff" : row % 2 == 1 ? "white" : "#f8fafc");
    if (row == 0) {
      cell.attr("set_text_props")("weight"_a = "bold", "color"_a = "#0f172a");
    } else if (col < column_colours.size() && *column_colours[col] != '\0') {
      cell.attr("get_text")().attr("set_color")(column_colours[col]);
    }
  }
}

double table_height(nb::handle table) {
  double height = 0.0;
  for (const auto [position, cell] : table_cells(table)) {
    if (nb::cast<long>(position[1]) == 0) height += nb::cast<double>(cell.attr("get_height")());
  }
  return height;
}

}  // namespace morvane::pyglue

// The table look shared by every chart: light cell edges, a bold header row
// on "#eef2ff", data rows alternating "white" (odd) and "#f8fafc" (even).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

// The cells of a matplotlib table by (row, column), row 0 the header: the
// table's own dict (Table.get_celld), not a copy.
[[nodiscard]] nb::dict table_cells(nb::handle table);

// Styles every cell of a matplotlib table. When `column_colours` is given,
// data cell text of column c takes its colour (an empty text keeps the default).
void style_table_cells(nb::handle table, const std::vector<const char*>& column_colours = {});

// Height of the table's rows in axes fractions, summed over the first column
// (what loc="center" centres on the axes).
[[nodiscard]] double table_height(nb::handle table);

}  // namespace morvane::pyglue

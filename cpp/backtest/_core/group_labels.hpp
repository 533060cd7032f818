// The names of the factor chart's group lines, written at the lines' ends and
// pushed apart to a line of text: every group while they fit the panel's
// height, else the first, the last, the best and evenly spaced ones between.
// Needs the GIL, under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace morvane::core {

namespace nb = nanobind;

inline constexpr double kLabelFontSize = 8.5;

// Labels "G<group>" after the last date of `cum` (a table of the groups'
// cumulative returns), in each group's colour, the best group's bold.
void label_line_ends(nb::handle ax, nb::handle cum, const std::vector<nb::object>& colours,
                     std::size_t best);

}  // namespace morvane::core

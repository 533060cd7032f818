// The names of the factor chart's group lines, written at the lines' ends and
// pushed apart to a line of text: every group while they fit the panel's
// height, else the first, the last, the best and evenly spaced ones between.
// Needs the GIL, under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "pyglue/draw.hpp"

namespace morvane::core {

namespace nb = nanobind;

inline constexpr double kLabelFontSize = 8.5;

// Labels "G<group>" at `x_end` (the last date, as a date number) beside the
// lines' last values `last` (NaN: none, labelled mid-height), in each group's
// colour, the best group's bold.
void label_line_ends(const pyglue::draw::Axes& ax, const std::vector<double>& last, double x_end,
                     const std::vector<pyglue::draw::Colour>& colours, std::size_t best);

}  // namespace morvane::core

// Placement helpers shared by the charts of both backtests. They need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace morvane::pyglue {

namespace nb = nanobind;

// Width and height of an axes in points, from its position in the figure.
[[nodiscard]] std::pair<double, double> axes_size_points(nb::handle ax);

// The dates of a datetime index as numpy datetime64 values, to plot against:
// matplotlib reads a pandas index element by element (as Timestamps) to find
// its units, twice for every line or area drawn; an array it reads at once.
[[nodiscard]] nb::object plot_dates(nb::handle index);

// Date ticks spaced for the axis' width: matplotlib's automatic locator and
// formatter, with one label per kInchesPerDateLabel at most (left to itself
// the locator fits up to ten labels whatever the width, and "2021-01" labels
// then run together on a narrow panel). Axes sharing x share the ticks, so
// call it for the narrowest of them.
void date_ticks(nb::handle ax);
inline constexpr double kInchesPerDateLabel = 0.95;

}  // namespace morvane::pyglue

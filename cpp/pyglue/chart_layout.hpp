// The dates the charts of both backtests plot against. Needs the GIL.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::pyglue {

namespace nb = nanobind;

// The dates of a datetime index as numpy datetime64 values, to plot against:
// matplotlib reads a pandas index element by element (as Timestamps) to find
// its units, twice for every line or area drawn; an array it reads at once.
[[nodiscard]] nb::object plot_dates(nb::handle index);

}  // namespace morvane::pyglue

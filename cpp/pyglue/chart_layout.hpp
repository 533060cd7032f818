// Placement helpers shared by the charts of both backtests. They need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace morvane::pyglue {

namespace nb = nanobind;

// The dates of a datetime index as numpy datetime64 values, to plot against:
// matplotlib reads a pandas index element by element (as Timestamps) to find
// its units, twice for every line or area drawn; an array it reads at once.
[[nodiscard]] nb::object plot_dates(nb::handle index);

// The drawing layer's Axes::note, hide_spines, size_points and date_ticks
// (draw.hpp) on a bare matplotlib axes, for code that does not draw through
// the layer.
void no_data_note(nb::handle ax, const char* text);
void hide_spines(nb::handle ax, std::initializer_list<const char*> sides);
[[nodiscard]] std::pair<double, double> axes_size_points(nb::handle ax);
void date_ticks(nb::handle ax);

}  // namespace morvane::pyglue

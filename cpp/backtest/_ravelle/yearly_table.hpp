// The yearly metrics table drawn at the bottom of both strategy charts.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

namespace nb = nanobind;

// _draw_yearly_metrics_table(ax, yearly_metrics, *, compact=False).
void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics, bool compact);

}  // namespace morvane::ravelle

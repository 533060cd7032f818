// Registers the strategy chart functions of _ravelle: number formats, the
// plot style, the performance figure, the yearly table and the weekly chart.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

void define_charts(nanobind::module_& m);

}  // namespace morvane::ravelle

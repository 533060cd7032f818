// _encode_png: the PNG file of a chart's pixels, written by every chart
// (morvane.backtest._chart_png) of both backtests.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::core {

void define_chart_png(nanobind::module_& m);

}  // namespace morvane::core

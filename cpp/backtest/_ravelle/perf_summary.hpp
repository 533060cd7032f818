// The performance dashboard's summary table: date range and trading days (of
// `days`, the dashboard's dates as YYYYMMDD numbers), the
// rolling window, the benchmark's figures, holdings, turnover and the yearly
// excess returns (wrapped to the value column). Needs the GIL, under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pyglue/draw.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

void draw_summary_table(const pyglue::draw::Axes& ax, const std::vector<std::int32_t>& days,
                        nb::handle stats, nb::handle yearly, std::int64_t rolling_window,
                        const std::string& bench, bool tall);

}  // namespace morvane::ravelle

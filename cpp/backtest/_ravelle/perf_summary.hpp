// The performance dashboard's summary table: date range, trading days, the
// rolling window, the benchmark's figures, holdings, turnover and the yearly
// excess returns (wrapped to the value column). Needs the GIL, under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "pyglue/draw.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

void draw_summary_table(const pyglue::draw::Axes& ax, nb::handle plot_df, nb::handle stats,
                        nb::handle yearly, std::int64_t rolling_window, const std::string& bench,
                        bool tall);

}  // namespace morvane::ravelle

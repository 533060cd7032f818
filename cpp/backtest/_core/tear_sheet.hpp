// The factor tear sheet: one PNG beside the factor chart with the IC decay
// over holding periods (and the factor's rank autocorrelation at the same
// lags), the mean turnover of every group at its rebalances, and the
// monthly rank IC as a year x month heatmap. Drawn behind the package's
// chart lock, as every chart is.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "group_result.hpp"

namespace morvane::core {

namespace nb = nanobind;

// Draws "{stem}_tear_sheet.png" beside `save_path` (creating its folder) and
// returns {"primary": path text}.
[[nodiscard]] nb::dict draw_tear_sheet(const GroupOutcome& outcome, const std::string& title,
                                       nb::handle save_path);

}  // namespace morvane::core

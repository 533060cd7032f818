// The number texts of the strategy charts: "--" for a missing value, ratios as
// percentages, percentage points with a bare "%", plain numbers fixed-point.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::ravelle {

namespace nb = nanobind;

// True for None, NaN and pandas' other missing-value markers (pd.NA, NaT).
[[nodiscard]] bool is_missing(nb::handle value);

[[nodiscard]] std::string format_num(nb::handle value, nb::handle digits);
[[nodiscard]] std::string format_pct(nb::handle value, nb::handle digits);
[[nodiscard]] std::string format_pct_points(nb::handle value, nb::handle digits);
[[nodiscard]] std::string format_annual_excess(nb::handle annual_excess);

// The same with the default two decimals, for the chart code.
[[nodiscard]] std::string format_num(nb::handle value, int digits = 2);
[[nodiscard]] std::string format_pct(nb::handle value, int digits = 2);
[[nodiscard]] std::string format_pct_points(nb::handle value, int digits = 2);

}  // namespace morvane::ravelle

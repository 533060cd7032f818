// The excess performance of a daily return series against every benchmark of
// a benchmark mapping, shared by the strategy runner and the factor group
// backtest. All functions need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

// One row per benchmark of `benchmark_dict` (in its order) that shares a date
// with `dates`: "benchmark_name", "benchmark_annual_return",
// "excess_annual_return", "excess_sharpe", "excess_max_dd". An empty
// DataFrame when none does.
[[nodiscard]] nb::object benchmark_summary(nb::handle dates,
                                           const std::vector<double>& daily_return,
                                           nb::handle benchmark_dict);

// The benchmark codes a factor backtest reports: "all" or None, every code of
// `benchmark_dict` (in its order); a text, that code; a list, those codes
// without repeats. A code the mapping lacks is a ValueError listing the
// available ones; a value of another type a TypeError naming `name` (the
// caller's argument). Without a mapping (None) nothing is available, and
// only the types are checked.
[[nodiscard]] std::vector<std::string> choose_benchmarks(nb::handle names,
                                                         nb::handle benchmark_dict,
                                                         const char* name);

// Raises TypeError unless every value of `benchmark_dict` (a dict or None) is
// a pandas Series.
void check_benchmark_series(nb::handle benchmark_dict);

}  // namespace morvane::pyglue

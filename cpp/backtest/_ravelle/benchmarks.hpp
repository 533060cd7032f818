// The strategy's daily returns joined with the primary benchmark, and the
// excess figures against every supplied benchmark.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace morvane::ravelle {

namespace nb = nanobind;

// The per-day inputs of the backtest table, in the order of the strategy's
// dates.
struct JoinedDays {
  nb::object index;
  std::vector<double> daily_return;
  std::vector<double> index_daily_return;
  std::vector<double> close;  // benchmark level: 1 + cumulated index return
};

// With `benchmark` None: every date, index return 0.0 and level 1.0.
// Otherwise the dates the benchmark also has, between the first and the last
// strategy date; the benchmark's missing and infinite returns count as 0.0,
// and its level cumulates from the benchmark's own first date.
[[nodiscard]] JoinedDays join_primary_benchmark(nb::handle dates, std::vector<double>&& returns,
                                                nb::handle benchmark, const char* name);

// One row per benchmark of `benchmark_dict` (in its order) that shares a date
// with `dates`: "benchmark_name", "benchmark_annual_return",
// "excess_annual_return", "excess_sharpe", "excess_max_dd". An empty
// DataFrame when none does.
[[nodiscard]] nb::object benchmark_summary(nb::handle dates,
                                           const std::vector<double>& daily_return,
                                           nb::handle benchmark_dict);

// Raises TypeError unless every value of `benchmark_dict` (a dict or None) is
// a pandas Series.
void check_benchmark_series(nb::handle benchmark_dict);

}  // namespace morvane::ravelle

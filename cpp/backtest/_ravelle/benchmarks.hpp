// The strategy's daily returns joined with the primary benchmark (the excess
// figures against every benchmark live in pyglue/benchmark_summary.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "pyglue/benchmark_summary.hpp"

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

}  // namespace morvane::ravelle

// What a backtest tells besides its computation: progress lines in the
// package log, and the primary benchmark's daily returns on the result's
// dates (which the result records carry for the tools that compare a
// strategy with its benchmark).
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <string>

namespace morvane::service {

namespace nb = nanobind;

// The progress of one backtest at info level: a line when it starts (kind,
// name, dates and the size of the user's table within them) and one when it
// is done (trading days, seconds, chart files).
class ProgressLog {
 public:
  ProgressLog(const char* kind, nb::handle name, nb::handle start, nb::handle end,
              nb::handle table);
  void done(nb::handle daily_returns, nb::handle plot_paths) const;

 private:
  std::string kind_;
  nb::object name_;
  std::chrono::steady_clock::time_point started_;
};

// The float Series of benchmark `code` in `benchmarks` on the dates of the
// result's `daily_returns`, named by the code: NaN on a date the series
// lacks. A code the mapping lacks (or None) gives zeros when
// `zero_when_missing` (as the strategy backtest counts such a benchmark),
// else NaN.
[[nodiscard]] nb::object benchmark_returns(nb::handle benchmarks, nb::handle code,
                                           nb::handle daily_returns, bool zero_when_missing);

// The primary benchmark of a factor backtest: the first code of its
// benchmark summary, or None when the summary is empty.
[[nodiscard]] nb::object primary_benchmark(nb::handle benchmark_summary);

}  // namespace morvane::service

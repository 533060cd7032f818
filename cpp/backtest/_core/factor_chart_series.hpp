// The numbers the factor chart draws, computed from the backtest's own arrays
// instead of through chains of pandas calls: the rows in date order, the
// group lines, the best group's excess over a benchmark, the rank IC's
// rolling means and its summary figures. Each is what the pandas expression
// it replaces gave, bit for bit (the summary's texts to their last digit).
// Needs the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "group_result.hpp"

namespace morvane::core {

namespace nb = nanobind;

// The rows of a table with "YYYYMMDD" labels in date order, as the chart
// shows them (the market's rows need not be in order; equal dates keep
// theirs), with the dates to plot against. Labels that are no such dates
// raise _with_datetime_index's ValueError.
struct DatedRows {
  nb::object labels;               // the table's own row labels
  std::vector<std::size_t> order;  // row positions in date order
  nb::object dates;                // numpy datetime64, in date order

  // The dates at these places of the date order.
  [[nodiscard]] nb::object dates_at(const std::vector<std::size_t>& places) const;
};
[[nodiscard]] DatedRows dated_rows(nb::handle labels);

// A series drawn against some of the dates: the dates and the values (numpy).
struct DatedLine {
  nb::object dates;
  nb::object values;
};

// Every group's cumulative return in date order, and where each line ends.
struct GroupLines {
  DatedRows rows;
  std::vector<nb::object> values;  // one numpy array per group
  std::vector<double> last;        // each line's last present value (NaN: none)
};
[[nodiscard]] GroupLines group_lines(const GroupOutcome& outcome);

// The benchmark's 1 + cumulative return over the return days it has, and the
// best group's cumulative excess over it on the days both have (summed in the
// tables' row order, drawn in date order). Nothing when they share no day.
struct ExcessLines {
  DatedLine benchmark;
  DatedLine excess;
};
[[nodiscard]] std::optional<ExcessLines> excess_lines(const GroupOutcome& outcome,
                                                      const DatedRows& rows, nb::handle benchmark,
                                                      const std::string& code);

// The rank IC in date order: missing days as 0 (the area), and the trailing
// `window`-day means of the IC and, with industries, of the industry-neutral IC
// (None without), over whatever days of the window have one.
struct IcLines {
  nb::object dates;
  nb::object filled;
  nb::object mean;
  nb::object neutral_mean;
};
[[nodiscard]] IcLines ic_lines(nb::handle rank_ic, std::size_t window);

// The rank IC's mean, mean / sample deviation (NaN without deviation) and
// share of days above 0, over the days that have one.
struct IcFigures {
  double mean = 0.0;
  double icir = 0.0;
  double positive_share = 0.0;
};
[[nodiscard]] IcFigures ic_figures(nb::handle rank_ic);

// The benchmark summary's first row for benchmark `code`, if it has one.
struct BenchmarkRow {
  double benchmark_annual_return = 0.0;
  double excess_annual_return = 0.0;
  double excess_sharpe = 0.0;
  double excess_max_dd = 0.0;
};
[[nodiscard]] std::optional<BenchmarkRow> benchmark_row(nb::handle summary,
                                                        const std::string& code);

}  // namespace morvane::core

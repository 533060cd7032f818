// The pandas side of a factor group backtest: the group tables, the rank IC
// table, the group matrix, the best group's benchmark summary and the result
// record class.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "factor_research.hpp"
#include "kernels/group_days.hpp"
#include "kernels/group_holding.hpp"
#include "kernels/group_portfolio.hpp"

namespace morvane::core {

namespace nb = nanobind;

struct GroupOutcome {
  nb::object group_daily_return;       // return dates x groups 1..n
  nb::object group_cumulative_return;  // 1 + cumulative sum per group
  nb::object rank_ic;                  // factor dates x "rank_ic" [, "industry_neutral_rank_ic"]
  nb::object group_matrix;             // dates x stocks, NaN outside groups
  double best_group = 0.0;             // NaN without returns
  std::vector<double> best_returns;    // the best group's daily returns
  std::vector<double> group_means;     // mean daily return per group
  nb::object summary;                  // benchmark summary (DataFrame)
  ResearchTables research;             // IC decay, autocorrelation, turnover
  [[nodiscard]] bool has_returns() const { return !best_returns.empty(); }
};

// The group matrix shows the groups each day holds (`schedule`).
[[nodiscard]] GroupOutcome build_outcome(const kernels::GroupDays& days,
                                         const kernels::HoldingSchedule& schedule,
                                         const kernels::GroupTurnover& turnover,
                                         kernels::GroupReturns&& returns, nb::handle dates,
                                         nb::handle stocks, bool with_ic);

// One row per chosen benchmark sharing a date with the best group's returns:
// "best_group" followed by the five excess columns of the strategy summary.
[[nodiscard]] nb::object group_benchmark_summary(const GroupOutcome& outcome,
                                                 nb::handle benchmark_dict,
                                                 const std::vector<std::string>& codes);

// An instance of the module's result class.
[[nodiscard]] nb::object make_result(const GroupOutcome& outcome, nb::handle plot_paths);

// Defines the result class `_GroupBacktestResult` on the module.
void define_result_class(nb::module_& m);

}  // namespace morvane::core

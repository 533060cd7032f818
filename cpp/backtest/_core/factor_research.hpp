// The tables of factor research beyond the group returns: the rank IC by
// holding period and its decay, the monthly IC, the factor's rank
// autocorrelation, and each group's size and turnover.
#pragma once

#include <nanobind/nanobind.h>

#include "kernels/group_days.hpp"
#include "kernels/group_holding.hpp"

namespace morvane::core {

namespace nb = nanobind;

struct ResearchTables {
  nb::object rank_ic_by_horizon;    // factor dates x horizons
  nb::object ic_decay;              // horizons x "mean", "std", "ir", "t_stat", "count"
  nb::object monthly_ic;            // years x months 1..12: mean one-day rank IC
  nb::object rank_autocorrelation;  // factor dates x lags
  nb::object group_turnover;        // rebalance dates x groups: share of names new
  nb::object group_counts;          // rebalance dates x groups: stocks per group
};

// `rank_ic` is the one-day IC table already built (its "rank_ic" column
// feeds the monthly table); `with_ic` tells whether there were forward returns.
[[nodiscard]] ResearchTables research_tables(const kernels::GroupDays& days,
                                             const kernels::GroupTurnover& turnover,
                                             nb::handle dates, nb::handle rank_ic, bool with_ic);

}  // namespace morvane::core

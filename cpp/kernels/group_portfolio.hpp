// The trading half of the factor group backtest: every group is an
// equal-weight portfolio (1 / group size on its members) traded by the
// shared portfolio engine, the weights of day T on day T + 1.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "group_days.hpp"
#include "group_holding.hpp"
#include "portfolio.hpp"

namespace morvane::kernels {

struct GroupReturns {
  std::size_t first_day = 0;  // market row of the first return
  std::size_t days = 0;       // number of return days
  std::vector<double> daily;  // days x groups, row-major
};

// Returns of every group on the market rows after the first day holding
// groups up to the last day holding groups (a later day's groups have nothing
// to trade on); a day without groups leaves every group empty (target 0).
// Each day trades toward the groups it holds (`schedule`); a stock's target
// shares are sized on the day after a rebalance day and kept until the next
// one, so a blocked trade is tried again on the following days. Empty when
// fewer than two days hold groups. The market is aligned to the dates and
// stocks of `groups`.
//
// Stocks are handled in fixed blocks (independent of `threads`) whose money
// P&L is summed block by block in order, so any thread count gives the same
// numbers. Each stock's days are cut into episodes per group (from the first
// day the group targets the stock to the day it is sold off), and only those
// days are traded, so the cost grows with the stock-days held, not with the
// number of groups times every day.
[[nodiscard]] GroupReturns run_group_portfolios(const GroupDays& groups,
                                                const HoldingSchedule& schedule,
                                                const MarketView& market,
                                                const PortfolioParams& params, std::size_t threads);

}  // namespace morvane::kernels

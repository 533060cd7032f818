// Holding periods of the factor group backtest: groups formed on a rebalance
// day are held until the next one, and what that does to each group's
// membership (its size and the share of its names that are new).
#pragma once

#include <cstdint>
#include <vector>

#include "group_days.hpp"

namespace morvane::kernels {

// Which day's groups each day holds. Rebalance days fall every `every`
// trading days from the first day with groups; the days up to the next one
// hold that day's groups (none when it formed none), and no day after the
// factor's last date holds any. With `every` = 1 every day holds its own
// groups, exactly the days that formed some.
struct HoldingSchedule {
  std::vector<std::int64_t> source;     // per day: the rebalance day whose groups it holds, or -1
  std::vector<std::uint8_t> rebalance;  // per day: 1 on a rebalance day (targets sized anew)
  [[nodiscard]] bool holds(std::size_t day) const { return source[day] >= 0; }
};
[[nodiscard]] HoldingSchedule holding_schedule(const GroupDays& days, std::size_t every);

// Per rebalance day that formed groups, and per group: the number of stocks
// and the share of them that the group did not hold the day before (all of
// them after a rebalance day without groups; NaN on the first such day).
struct GroupTurnover {
  std::vector<std::size_t> days;
  std::vector<std::int64_t> counts;  // days x groups, row-major
  std::vector<double> turnover;      // days x groups, row-major
};
[[nodiscard]] GroupTurnover group_turnover(const GroupDays& days, const HoldingSchedule& schedule);

}  // namespace morvane::kernels

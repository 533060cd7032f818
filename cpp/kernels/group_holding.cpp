#include "group_holding.hpp"

#include <algorithm>
#include <limits>

namespace morvane::kernels {

HoldingSchedule holding_schedule(const GroupDays& days, std::size_t every) {
  HoldingSchedule out;
  out.source.assign(days.days, -1);
  out.rebalance.assign(days.days, 0);
  const auto first = std::find(days.formed.begin(), days.formed.end(), 1);
  if (first == days.formed.end()) return out;
  const auto f0 = static_cast<std::size_t>(first - days.formed.begin());
  const auto last_factor = std::find(days.has_factor.rbegin(), days.has_factor.rend(), 1);
  const std::size_t last =
      days.days - 1 - static_cast<std::size_t>(last_factor - days.has_factor.rbegin());
  const std::size_t step = std::max<std::size_t>(every, 1);
  for (std::size_t d = f0; d <= last; ++d) {
    const std::size_t rebalance_day = f0 + (d - f0) / step * step;
    out.rebalance[d] = static_cast<std::uint8_t>(d == rebalance_day);
    if (days.formed[rebalance_day]) out.source[d] = static_cast<std::int64_t>(rebalance_day);
  }
  return out;
}

GroupTurnover group_turnover(const GroupDays& days, const HoldingSchedule& schedule) {
  GroupTurnover out;
  const std::size_t n = days.groups;
  const std::size_t n_stocks = days.stocks;
  std::vector<std::int64_t> counts(n), fresh(n);
  std::int64_t previous = -1;  // the last rebalance day before this one, formed or not
  for (std::size_t d = 0; d < days.days; ++d) {
    if (!schedule.rebalance[d]) continue;
    const std::int64_t before = previous;
    previous = static_cast<std::int64_t>(d);
    if (!days.formed[d]) continue;
    std::fill(counts.begin(), counts.end(), 0);
    std::fill(fresh.begin(), fresh.end(), 0);
    const std::uint8_t* const today = days.group.data() + d * n_stocks;
    const bool held_before = before >= 0 && days.formed[static_cast<std::size_t>(before)];
    const std::uint8_t* const earlier =
        held_before ? days.group.data() + static_cast<std::size_t>(before) * n_stocks : nullptr;
    for (std::size_t j = 0; j < n_stocks; ++j) {
      const std::uint8_t g = today[j];
      if (g == 0) continue;
      ++counts[g - 1U];
      fresh[g - 1U] += static_cast<std::int64_t>(earlier == nullptr || earlier[j] != g);
    }
    out.days.push_back(d);
    for (std::size_t g = 0; g < n; ++g) {
      out.counts.push_back(counts[g]);
      out.turnover.push_back(before < 0
                                 ? std::numeric_limits<double>::quiet_NaN()
                                 : static_cast<double>(fresh[g]) / static_cast<double>(counts[g]));
    }
  }
  return out;
}

}  // namespace morvane::kernels

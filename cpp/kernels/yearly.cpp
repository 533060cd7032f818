#include "yearly.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <numeric>

#include "moments.hpp"
#include "series.hpp"
#include "strategy_stats.hpp"

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A drawdown below this is rounding noise, not a loss to measure a Calmar
// ratio against.
constexpr double kMinDrawdown = 1e-12;

}  // namespace

PeriodFigures period_figures(std::span<const double> daily_return) {
  if (daily_return.empty()) return {kNaN, kNaN, kNaN};
  const double annualised = nanmean(daily_return) * kTradingDaysPerYear;
  std::vector<double> cumulative(daily_return.size());
  cumsum_skipna(daily_return, cumulative);
  std::vector<double> drawdown(cumulative.size());
  cummax_skipna(cumulative, drawdown);
  for (std::size_t i = 0; i < drawdown.size(); ++i) {
    // Clip the peak below at 0 (a NaN peak stays NaN).
    const double peak = drawdown[i] < 0.0 ? 0.0 : drawdown[i];
    drawdown[i] = cumulative[i] - peak;
  }
  PeriodFigures out{nansum(daily_return), std::fabs(nanmin(drawdown)), kNaN};
  if (!std::isnan(out.max_drawdown) && out.max_drawdown > kMinDrawdown) {
    out.calmar = annualised / out.max_drawdown;
  }
  return out;
}

std::vector<YearFigures> yearly_figures(std::span<const double> years,
                                        std::span<const double> strategy,
                                        std::span<const double> excess) {
  assert(years.size() == strategy.size() && years.size() == excess.size());
  std::vector<std::size_t> order;
  order.reserve(years.size());
  for (std::size_t i = 0; i < years.size(); ++i) {
    if (!std::isnan(years[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return years[a] < years[b]; });

  std::vector<YearFigures> out;
  std::vector<double> year_strategy;
  std::vector<double> year_excess;
  for (std::size_t begin = 0; begin < order.size();) {
    const double year = years[order[begin]];
    std::size_t end = begin;
    year_strategy.clear();
    year_excess.clear();
    for (; end < order.size() && years[order[end]] == year; ++end) {
      const std::size_t row = order[end];
      if (std::isfinite(strategy[row])) year_strategy.push_back(strategy[row]);
      if (std::isfinite(excess[row])) year_excess.push_back(excess[row]);
    }
    begin = end;
    if (year_strategy.empty() && year_excess.empty()) continue;
    out.push_back({year, period_figures(year_strategy),
                   sharpe_ratio(year_strategy, kTradingDaysPerYear), period_figures(year_excess),
                   sharpe_ratio(year_excess, kTradingDaysPerYear)});
  }
  return out;
}

}  // namespace morvane::kernels

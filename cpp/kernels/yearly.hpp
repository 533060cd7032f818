// Return, drawdown, Calmar and Sharpe ratio of a period of daily returns, and
// the split of a return history into calendar years.
//
// Returns do not compound: a period's return is the sum of its daily returns
// and its drawdown is measured on the cumulative sum, with the starting level
// 0 counting as a peak (a period that only loses has a drawdown equal to its
// loss).
#pragma once

#include <span>
#include <vector>

namespace morvane::kernels {

struct PeriodFigures {
  double period_return;  // sum of the non-NaN returns
  double max_drawdown;   // positive magnitude
  double calmar;         // annualised mean return / max_drawdown, NaN without drawdown
};

// NaN figures for an empty span; NaN values are skipped as missing.
[[nodiscard]] PeriodFigures period_figures(std::span<const double> daily_return);

struct YearFigures {
  double year;
  PeriodFigures strategy;
  double strategy_sharpe;
  PeriodFigures excess;
  double excess_sharpe;
};

// One entry per calendar year, ascending. `years[i]` is the calendar year of
// row i (NaN for a row without a date, which is left out). Within a year the
// rows keep their order; non-finite returns are dropped, and a year with no
// finite return on either side is skipped.
[[nodiscard]] std::vector<YearFigures> yearly_figures(std::span<const double> years,
                                                      std::span<const double> strategy,
                                                      std::span<const double> excess);

}  // namespace morvane::kernels

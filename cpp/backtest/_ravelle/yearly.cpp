#include "yearly.hpp"

#include <cstdint>
#include <vector>

#include "kernels/yearly.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

nb::tuple as_tuple(const kernels::PeriodFigures& figures) {
  return nb::make_tuple(figures.period_return, figures.max_drawdown, figures.calmar);
}

// Calendar year of every row (NaN for a row without a date).
glue::FloatVector years_of(nb::handle daily) {
  const nb::object index = daily.attr("index");
  if (!nb::hasattr(index, "year")) {
    glue::raise_type_error("daily 的行索引", "pandas.DatetimeIndex", index);
  }
  return glue::read_float_vector(index.attr("year"), "daily 的行索引年份");
}

}  // namespace

nb::object calc_yearly_performance_metrics(nb::handle daily) {
  glue::require_dataframe(daily, "daily");
  if (nb::len(daily) == 0) return glue::imports().data_frame();
  const glue::FloatVector years = years_of(daily);
  const glue::FloatVector strategy = glue::read_float_column(daily, "daily_return");
  const glue::FloatVector excess = glue::read_float_column(daily, "extra_daily_return");

  std::vector<kernels::YearFigures> rows;
  {
    const nb::gil_scoped_release unlocked;
    rows = kernels::yearly_figures(years.values, strategy.values, excess.values);
  }
  if (rows.empty()) return glue::imports().data_frame();

  const std::size_t n = rows.size();
  std::vector<std::int64_t> year(n);
  std::vector<std::vector<double>> columns(8, std::vector<double>(n));
  for (std::size_t k = 0; k < n; ++k) {
    const kernels::YearFigures& r = rows[k];
    year[k] = static_cast<std::int64_t>(r.year);
    const double values[] = {
        r.strategy.period_return, r.strategy_sharpe, r.strategy.max_drawdown, r.strategy.calmar,
        r.excess.period_return,   r.excess_sharpe,   r.excess.max_drawdown,   r.excess.calmar};
    for (std::size_t c = 0; c < 8; ++c) columns[c][k] = values[c];
  }
  const nb::object index = glue::int64_index(std::move(year), "year");
  const char* const names[] = {"strategy_return", "strategy_sharpe", "strategy_max_dd",
                               "strategy_calmar", "excess_return",   "excess_sharpe",
                               "excess_max_dd",   "excess_calmar"};
  std::vector<std::pair<const char*, std::vector<double>>> named;
  for (std::size_t c = 0; c < 8; ++c) named.emplace_back(names[c], std::move(columns[c]));
  return glue::make_float_frame(std::move(named), index);
}

nb::tuple period_return_drawdown_calmar(nb::handle daily_return) {
  if (daily_return.is_none()) return as_tuple(kernels::period_figures({}));
  const glue::FloatVector values = glue::read_float_vector(daily_return, "daily_return");
  return as_tuple(kernels::period_figures(values.values));
}

}  // namespace morvane::ravelle

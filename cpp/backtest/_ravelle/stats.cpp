#include "stats.hpp"

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::span<const double> values_of(const glue::FloatVector& column) { return column.values; }

}  // namespace

nb::dict stats_dict(const kernels::StrategyStats& s) {
  using S = kernels::StrategyStats;
  // The figures in the order the dict lists them.
  constexpr std::pair<const char*, double S::*> kFigures[] = {
      {"annual_return", &S::annual_return},
      {"long_sharp", &S::long_sharp},
      {"max_dd", &S::max_dd},
      {"benchmark_annual_return", &S::benchmark_annual_return},
      {"benchmark_sharp", &S::benchmark_sharp},
      {"extra_annual_return", &S::extra_annual_return},
      {"extra_sharp", &S::extra_sharp},
      {"extra_max_dd", &S::extra_max_dd},
      {"return_corr", &S::return_corr},
      {"win_rate", &S::win_rate},
      {"excess_win_rate", &S::excess_win_rate},
      {"holding_count", &S::holding_count},
      {"turnover", &S::turnover}};
  nb::dict out;
  for (const auto& [key, figure] : kFigures) out[key] = s.*figure;
  return out;
}

nb::dict empty_stats_dict() {
  // Without data the excess figures come before the benchmark ones.
  nb::dict out;
  for (const char* key :
       {"annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp",
        "extra_max_dd", "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate",
        "excess_win_rate", "holding_count", "turnover"}) {
    out[key] = kNaN;
  }
  return out;
}

std::optional<kernels::WeightFigures> weight_figures_of(nb::handle signal_df) {
  if (signal_df.is_none()) return std::nullopt;
  const glue::LabelledMatrix<double> weights = glue::read_float_frame(signal_df, "signal_df");
  const nb::gil_scoped_release unlocked;
  return kernels::weight_figures(weights.view);
}

nb::object build_total_backtesting_frame(nb::handle total_backtesting) {
  glue::require_dataframe(total_backtesting, "total_backtesting");
  // dropna builds a new table, so the caller's is never written.
  nb::object total = total_backtesting.attr("dropna")();
  if (nb::len(total) == 0) return total;

  const glue::FloatVector daily = glue::read_float_column(total, "daily_return");
  const glue::FloatVector index_daily = glue::read_float_column(total, "index_daily_return");
  const bool has_close = glue::contains(total, "close");  // a table contains its columns
  std::optional<glue::FloatVector> close;
  if (has_close) close = glue::read_float_column(total, "close");

  kernels::TotalColumns columns;
  {
    const nb::gil_scoped_release unlocked;
    columns = kernels::build_total_columns(
        daily.values, index_daily.values,
        close ? std::optional<std::span<const double>>(close->values) : std::nullopt);
  }
  // Added in this order, through assign (see glue::with_column for why not
  // by setting items).
  nb::dict added;
  added["extra_daily_return"] = glue::numpy_from(std::move(columns.extra_daily_return));
  added["long"] = glue::numpy_from(std::move(columns.long_nav));
  added["close_net_value"] = glue::numpy_from(std::move(columns.close_net_value));
  if (!has_close) added["close"] = glue::numpy_from(std::move(columns.close));
  added["max_drowdown"] = glue::numpy_from(std::move(columns.max_drawdown));
  added["extra_return"] = glue::numpy_from(std::move(columns.extra_return));
  added["extra_max_drowdown"] = glue::numpy_from(std::move(columns.extra_max_drawdown));
  return total.attr("assign")(**added);
}

nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df) {
  glue::require_dataframe(total_frame, "total_frame");
  if (!signal_df.is_none()) {
    if (!nb::isinstance(signal_df, glue::imports().data_frame)) {
      glue::raise_type_error("signal_df", "pandas.DataFrame | None", signal_df);
    }
  }
  const nb::object total = total_frame.attr("dropna")();
  if (nb::len(total) == 0) return empty_stats_dict();

  const char* const names[] = {"daily_return", "index_daily_return", "extra_daily_return",
                               "long",         "close_net_value",    "max_drowdown",
                               "extra_return", "extra_max_drowdown"};
  std::vector<glue::FloatVector> columns;
  columns.reserve(std::size(names));
  for (const char* name : names) columns.push_back(glue::read_float_column(total, name));
  const kernels::TotalView view{values_of(columns[0]), values_of(columns[1]), values_of(columns[2]),
                                values_of(columns[3]), values_of(columns[4]), values_of(columns[5]),
                                values_of(columns[6]), values_of(columns[7])};
  const std::optional<kernels::WeightFigures> weights = weight_figures_of(signal_df);
  kernels::StrategyStats stats{};
  {
    const nb::gil_scoped_release unlocked;
    stats = kernels::strategy_stats(view, weights);
  }
  return stats_dict(stats);
}

}  // namespace morvane::ravelle

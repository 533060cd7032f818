#include "benchmarks.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "kernels/series.hpp"
#include "kernels/strategy_stats.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

std::string entry_name(nb::handle key) {
  return "benchmark_dict[" + nb::cast<std::string>(nb::repr(key)) + "]";
}

// Dates d of `dates` with first <= d <= last, as the benchmark's date filter
// leaves them: all of them when the dates ascend.
std::vector<std::uint8_t> inside_own_span(nb::handle dates) {
  const std::size_t n = nb::len(dates);
  std::vector<std::uint8_t> out(n, 1);
  if (n == 0 || nb::cast<bool>(dates.attr("is_monotonic_increasing"))) return out;
  const nb::object first = dates[nb::int_(0)];
  const nb::object last = dates[nb::int_(n - 1)];
  const nb::object inside = dates.attr("__ge__")(first).attr("__and__")(dates.attr("__le__")(last));
  const nb::object flags = inside.attr("tolist")();
  for (std::size_t i = 0; i < n; ++i) out[i] = nb::cast<bool>(flags[nb::int_(i)]);
  return out;
}

}  // namespace

void check_benchmark_series(nb::handle benchmark_dict) {
  if (benchmark_dict.is_none()) return;
  const nb::object series_type = nb::module_::import_("pandas").attr("Series");
  for (const auto& [key, value] : nb::borrow<nb::dict>(benchmark_dict)) {
    if (!nb::isinstance(value, series_type)) {
      const std::string name = entry_name(key);
      glue::raise_type_error(name.c_str(), "pandas.Series", value);
    }
  }
}

JoinedDays join_primary_benchmark(nb::handle dates, std::vector<double>&& returns,
                                  nb::handle benchmark, const char* name) {
  const std::size_t n = returns.size();
  if (benchmark.is_none()) {
    return {nb::borrow(dates), std::move(returns), std::vector<double>(n, 0.0),
            std::vector<double>(n, 1.0)};
  }
  const glue::FloatVector values = glue::read_float_vector(benchmark, name);
  std::vector<double> daily(values.values.begin(), values.values.end());
  for (double& v : daily) v = std::isfinite(v) ? v : 0.0;
  std::vector<double> level(daily.size());
  kernels::cumsum_skipna(daily, level);
  for (double& v : level) v += 1.0;

  const std::vector<std::int64_t> at =
      glue::label_positions(benchmark.attr("index"), dates, name, "行");
  const std::vector<std::uint8_t> inside = inside_own_span(dates);
  JoinedDays out;
  nb::list kept;
  for (std::size_t i = 0; i < n; ++i) {
    if (at[i] < 0 || !inside[i]) continue;
    const auto k = static_cast<std::size_t>(at[i]);
    kept.append(i);
    out.daily_return.push_back(returns[i]);
    out.index_daily_return.push_back(daily[k]);
    out.close.push_back(level[k]);
  }
  out.index = dates.attr("take")(kept);
  return out;
}

nb::object benchmark_summary(nb::handle dates, const std::vector<double>& daily_return,
                             nb::handle benchmark_dict) {
  const nb::object pd = nb::module_::import_("pandas");
  nb::list names;
  std::vector<double> columns[4];
  if (!benchmark_dict.is_none()) {
    for (const auto& [key, series] : nb::borrow<nb::dict>(benchmark_dict)) {
      const std::string name = entry_name(key);
      const glue::FloatVector values = glue::read_float_vector(series, name);
      const std::vector<std::int64_t> at =
          glue::label_positions(series.attr("index"), dates, name.c_str(), "行");
      std::vector<double> strategy;
      std::vector<double> bench;
      for (std::size_t i = 0; i < at.size(); ++i) {
        if (at[i] < 0 || std::isnan(values.values[static_cast<std::size_t>(at[i])])) continue;
        strategy.push_back(daily_return[i]);
        bench.push_back(values.values[static_cast<std::size_t>(at[i])]);
      }
      if (strategy.empty()) continue;
      const kernels::BenchmarkFigures f = kernels::benchmark_figures(strategy, bench);
      names.append(key);
      columns[0].push_back(f.benchmark_annual_return);
      columns[1].push_back(f.excess_annual_return);
      columns[2].push_back(f.excess_sharpe);
      columns[3].push_back(f.excess_max_dd);
    }
  }
  if (nb::len(names) == 0) return pd.attr("DataFrame")();
  nb::dict data;
  data["benchmark_name"] = names;
  const char* const labels[] = {"benchmark_annual_return", "excess_annual_return", "excess_sharpe",
                                "excess_max_dd"};
  for (std::size_t c = 0; c < 4; ++c) data[labels[c]] = glue::numpy_from(std::move(columns[c]));
  return pd.attr("DataFrame")(data);
}

}  // namespace morvane::ravelle

#include "benchmarks.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

#include "kernels/series.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/labels.hpp"

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

// Dates d of `dates` with first <= d <= last, as the benchmark's date filter
// leaves them: all of them when the dates ascend.
std::vector<std::uint8_t> inside_own_span(nb::handle dates) {
  const std::size_t n = nb::len(dates);
  std::vector<std::uint8_t> out(n, 1);
  if (n == 0) return out;
  if (const std::optional<glue::TextLabels> texts = glue::text_labels(dates)) {
    if (texts->ascending()) return out;
  }
  if (nb::cast<bool>(dates.attr("is_monotonic_increasing"))) return out;
  const nb::object first = dates[nb::int_(0)];
  const nb::object last = dates[nb::int_(n - 1)];
  const nb::list flags =
      glue::python_values(glue::at_least(dates, first) & glue::at_most(dates, last));
  for (std::size_t i = 0; i < n; ++i) out[i] = nb::cast<bool>(flags[i]);
  return out;
}

}  // namespace

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
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < n; ++i) {
    if (at[i] < 0 || !inside[i]) continue;
    const auto k = static_cast<std::size_t>(at[i]);
    kept.push_back(i);
    out.daily_return.push_back(returns[i]);
    out.index_daily_return.push_back(daily[k]);
    out.close.push_back(level[k]);
  }
  out.index = glue::take_labels(dates, kept);
  return out;
}

}  // namespace morvane::ravelle

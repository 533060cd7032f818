#include "factor_chart_series.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>

#include "imports.hpp"
#include "kernels/moments.hpp"
#include "kernels/series.hpp"
#include "kernels/series_stats.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/chart_layout.hpp"
#include "pyglue/frames.hpp"

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// `values` (in the table's row order) in date order.
std::vector<double> in_date_order(const DatedRows& rows, std::span<const double> values) {
  std::vector<double> out;
  out.reserve(rows.order.size());
  for (const std::size_t row : rows.order) out.push_back(values[row]);
  return out;
}

// The present values of `values` (in the table's row order) in date order,
// against their dates.
DatedLine present_in_date_order(const DatedRows& rows, const std::vector<double>& values) {
  std::vector<std::size_t> places;
  std::vector<double> kept;
  for (std::size_t place = 0; place < rows.order.size(); ++place) {
    const double v = values[rows.order[place]];
    if (std::isnan(v)) continue;
    places.push_back(place);
    kept.push_back(v);
  }
  return {rows.dates_at(places), glue::numpy_from(std::move(kept))};
}

nb::object rolling_mean_line(const DatedRows& rows, const glue::FloatVector& column,
                             std::size_t window) {
  return glue::numpy_from(kernels::rolling_mean(in_date_order(rows, column.values), window, 1));
}

}  // namespace

nb::object DatedRows::dates_at(const std::vector<std::size_t>& places) const {
  return glue::take_labels(dates, places);
}

DatedRows dated_rows(nb::handle labels) {
  // The row numbers under the labels, put in date order the way the strategy
  // charts order their rows (_with_datetime_index), which also gives the dates.
  std::vector<double> numbers(nb::len(labels));
  std::iota(numbers.begin(), numbers.end(), 0.0);
  const nb::object sorted =
      imports().with_datetime_index(glue::make_series(std::move(numbers), labels));
  DatedRows rows;
  rows.labels = nb::borrow(labels);
  for (const double number : glue::float64_values(sorted)) {
    rows.order.push_back(static_cast<std::size_t>(number));
  }
  rows.dates = glue::plot_dates(sorted.attr("index"));
  return rows;
}

GroupLines group_lines(const GroupOutcome& outcome) {
  const nb::handle table = outcome.group_cumulative_return;
  const glue::LabelledMatrix<double> cumulative =
      glue::read_float_frame(table, "group_cumulative_return");
  GroupLines lines{dated_rows(cumulative.index), {}, {}};
  std::vector<double> column(cumulative.view.rows);
  for (std::size_t g = 0; g < cumulative.view.cols; ++g) {
    for (std::size_t t = 0; t < column.size(); ++t) column[t] = cumulative.view(t, g);
    std::vector<double> drawn = in_date_order(lines.rows, column);
    double last = kNaN;
    for (auto it = drawn.rbegin(); it != drawn.rend() && std::isnan(last); ++it) last = *it;
    lines.last.push_back(last);
    lines.values.push_back(glue::numpy_from(std::move(drawn)));
  }
  return lines;
}

std::optional<ExcessLines> excess_lines(const GroupOutcome& outcome, const DatedRows& rows,
                                        nb::handle benchmark, const std::string& code) {
  const std::string name = "benchmark_dict[" + code + "]";
  const std::vector<double> placed = glue::float64_on_rows(benchmark, rows.labels, name);
  const std::vector<double>& daily = outcome.best_returns;
  std::vector<double> benchmark_sum(placed.size(), kNaN);
  std::vector<double> excess_sum(placed.size(), kNaN);
  double benchmark_total = 0.0;
  double excess_total = 0.0;
  for (std::size_t t = 0; t < placed.size(); ++t) {
    const double b = placed[t];
    if (!std::isnan(b)) {
      benchmark_total += b;
      benchmark_sum[t] = benchmark_total + 1.0;
    }
    const double excess = daily[t] - b;
    if (!std::isnan(excess)) {
      excess_total += excess;
      excess_sum[t] = excess_total;
    }
  }
  ExcessLines lines{present_in_date_order(rows, benchmark_sum),
                    present_in_date_order(rows, excess_sum)};
  if (nb::len(lines.excess.values) == 0) return std::nullopt;
  return lines;
}

IcLines ic_lines(nb::handle rank_ic, std::size_t window) {
  const DatedRows rows = dated_rows(rank_ic.attr("index"));
  const glue::FloatVector ic = glue::read_float_column(rank_ic, "rank_ic");
  std::vector<double> filled = in_date_order(rows, ic.values);
  IcLines lines{rows.dates, {}, rolling_mean_line(rows, ic, window), nb::none()};
  for (double& v : filled) v = std::isnan(v) ? 0.0 : v;
  lines.filled = glue::numpy_from(std::move(filled));
  if (glue::contains(rank_ic, "industry_neutral_rank_ic")) {
    lines.neutral_mean = rolling_mean_line(
        rows, glue::read_float_column(rank_ic, "industry_neutral_rank_ic"), window);
  }
  return lines;
}

IcFigures ic_figures(nb::handle rank_ic) {
  const glue::FloatVector column = glue::read_float_column(rank_ic, "rank_ic");
  std::vector<double> days;
  for (const double v : column.values) {
    if (!std::isnan(v)) days.push_back(v);
  }
  IcFigures figures;
  figures.mean = kernels::mean(days);
  const double deviation = kernels::sample_std(days);
  figures.icir = deviation > 0.0 ? figures.mean / deviation : kNaN;
  figures.positive_share = kernels::positive_share(days);
  return figures;
}

std::optional<BenchmarkRow> benchmark_row(nb::handle summary, const std::string& code) {
  if (nb::len(summary) == 0) return std::nullopt;
  const nb::list names = glue::python_values(summary["benchmark_name"]);
  for (std::size_t row = 0; row < nb::len(names); ++row) {
    if (nb::cast<std::string>(nb::str(names[row])) != code) continue;
    const auto at = [&](const char* column) {
      return glue::read_float_column(summary, column).values[row];
    };
    return BenchmarkRow{at("benchmark_annual_return"), at("excess_annual_return"),
                        at("excess_sharpe"), at("excess_max_dd")};
  }
  return std::nullopt;
}

}  // namespace morvane::core

#include "factor_research.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kernels/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
nb::object int_index(const std::vector<T>& values, const char* name) {
  return glue::int64_index(std::vector<std::int64_t>(values.begin(), values.end()), name);
}

// Group numbers 1..n, as the group return tables label them.
nb::object group_index(std::size_t n) {
  return glue::int_range_index(1, static_cast<std::int64_t>(n) + 1);
}

// Rows `rows` of a days x width row-major table, as a frame over `index`.
nb::object rows_frame(const std::vector<double>& table, std::size_t width,
                      const std::vector<std::size_t>& rows, nb::handle index, nb::handle columns) {
  std::vector<double> values(rows.size() * width);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < width; ++c) values[r * width + c] = table[rows[r] * width + c];
  }
  return glue::imports().data_frame(glue::numpy_from(std::move(values), rows.size(), width),
                                    "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

// Mean, sample standard deviation, their ratio and the t-statistic of the
// finite values of one column (NaN where too few values).
struct ColumnFigures {
  double mean = kNaN, std = kNaN, ir = kNaN, t_stat = kNaN;
  std::size_t count = 0;
};

ColumnFigures column_figures(const std::vector<double>& table, std::size_t width, std::size_t col,
                             const std::vector<std::size_t>& rows) {
  ColumnFigures out;
  double sum = 0.0;
  for (const std::size_t r : rows) {
    const double v = table[r * width + col];
    if (std::isnan(v)) continue;
    sum += v;
    ++out.count;
  }
  if (out.count == 0) return out;
  const auto n = static_cast<double>(out.count);
  out.mean = sum / n;
  if (out.count < 2) return out;
  double squares = 0.0;
  for (const std::size_t r : rows) {
    const double v = table[r * width + col];
    if (!std::isnan(v)) squares += (v - out.mean) * (v - out.mean);
  }
  out.std = std::sqrt(squares / (n - 1.0));
  if (out.std > 0.0) {
    out.ir = out.mean / out.std;
    out.t_stat = out.ir * std::sqrt(n);
  }
  return out;
}

nb::object decay_table(const kernels::GroupDays& days, const std::vector<std::size_t>& rows,
                       bool with_ic) {
  const std::size_t n_h = days.horizons.size();
  std::vector<double> mean(n_h, kNaN), sd(n_h, kNaN), ir(n_h, kNaN), t(n_h, kNaN), count(n_h, 0.0);
  for (std::size_t h = 0; h < n_h && with_ic; ++h) {
    const ColumnFigures f = column_figures(days.horizon_ic, n_h, h, rows);
    mean[h] = f.mean;
    sd[h] = f.std;
    ir[h] = f.ir;
    t[h] = f.t_stat;
    count[h] = static_cast<double>(f.count);
  }
  std::vector<std::pair<const char*, std::vector<double>>> columns;
  columns.emplace_back("mean", std::move(mean));
  columns.emplace_back("std", std::move(sd));
  columns.emplace_back("ir", std::move(ir));
  columns.emplace_back("t_stat", std::move(t));
  columns.emplace_back("count", std::move(count));
  nb::object table =
      glue::make_float_frame(std::move(columns), int_index(days.horizons, "horizon"));
  nb::dict count_type;
  count_type["count"] = "int64";
  return table.attr("astype")(count_type);
}

// The calendar month (year * 100 + month) of each "YYYYMMDD" label; nothing
// when a label is no such date.
std::optional<std::vector<std::int32_t>> label_months(nb::handle index) {
  const nb::list labels = glue::python_values(index);
  std::vector<std::int32_t> months(nb::len(labels));
  for (std::size_t row = 0; row < months.size(); ++row) {
    const std::string text = nb::cast<std::string>(nb::str(labels[row]));
    const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                          return c >= '0' && c <= '9';
                        });
    const std::optional<std::int32_t> date =
        digits ? kernels::checked_date_number(std::stoi(text)) : std::nullopt;
    if (!date) return std::nullopt;
    months[row] = *date / 100;
  }
  return months;
}

// Year x month mean of the one-day rank IC, months 1 to 12 as columns, every
// year with a dated row as a row; empty when the dates are not "YYYYMMDD"
// labels or there is no IC. The sums are compensated as pandas' group means
// are, so the figures match a groupby to the last bit.
nb::object monthly_table(nb::handle rank_ic) {
  std::optional<std::vector<std::int32_t>> months;
  if (nb::len(rank_ic) > 0) months = label_months(rank_ic.attr("index"));
  std::vector<std::int32_t> by_row = months ? std::move(*months) : std::vector<std::int32_t>{};
  std::vector<std::int64_t> years;
  for (const std::int32_t month : by_row) years.push_back(month / 100);
  std::sort(years.begin(), years.end());
  years.erase(std::unique(years.begin(), years.end()), years.end());
  std::vector<double> sums(years.size() * 12, 0.0), carry(sums.size(), 0.0), counts(sums.size());
  const glue::FloatVector ic =
      by_row.empty() ? glue::FloatVector{} : glue::read_float_column(rank_ic, "rank_ic");
  for (std::size_t row = 0; row < by_row.size(); ++row) {
    const double value = ic.values[row];
    if (std::isnan(value)) continue;
    const auto year = std::lower_bound(years.begin(), years.end(), by_row[row] / 100);
    const std::size_t cell = static_cast<std::size_t>(year - years.begin()) * 12 +
                             static_cast<std::size_t>(by_row[row] % 100 - 1);
    const double step = value - carry[cell];
    const double total = sums[cell] + step;
    carry[cell] = total - sums[cell] - step;
    if (std::isnan(carry[cell])) carry[cell] = 0.0;  // an infinite value stays infinite
    sums[cell] = total;
    counts[cell] += 1.0;
  }
  for (std::size_t cell = 0; cell < sums.size(); ++cell) {
    sums[cell] = counts[cell] > 0.0 ? sums[cell] / counts[cell] : kNaN;
  }
  const std::size_t n_years = years.size();
  return glue::imports().data_frame(glue::numpy_from(std::move(sums), n_years, 12),
                                    "index"_a = glue::int64_index(std::move(years), "year"),
                                    "columns"_a = glue::int_range_index(1, 13, "month"),
                                    "copy"_a = false);
}

}  // namespace

ResearchTables research_tables(const kernels::GroupDays& days,
                               const kernels::GroupTurnover& turnover, nb::handle dates,
                               nb::handle rank_ic, bool with_ic) {
  ResearchTables out;
  std::vector<std::size_t> factor_days;
  for (std::size_t d = 0; d < days.days; ++d) {
    if (days.has_factor[d]) factor_days.push_back(d);
  }
  const nb::object factor_dates = glue::take_labels(dates, factor_days);
  const nb::object horizons = int_index(days.horizons, "horizon");
  if (with_ic) {
    out.rank_ic_by_horizon =
        rows_frame(days.horizon_ic, days.horizons.size(), factor_days, factor_dates, horizons);
  } else {
    out.rank_ic_by_horizon =
        rows_frame({}, days.horizons.size(), {}, dates[glue::py_slice(0, 0)], horizons);
  }
  out.ic_decay = decay_table(days, factor_days, with_ic);
  out.monthly_ic = monthly_table(rank_ic);
  out.rank_autocorrelation = rows_frame(days.autocorrelation, days.lags.size(), factor_days,
                                        factor_dates, int_index(days.lags, "lag"));

  const std::size_t n = days.groups;
  const nb::object rebalance_dates = glue::take_labels(dates, turnover.days);
  std::vector<std::size_t> every_row(turnover.days.size());
  for (std::size_t r = 0; r < every_row.size(); ++r) every_row[r] = r;
  out.group_turnover = rows_frame(turnover.turnover, n, every_row, rebalance_dates, group_index(n));
  std::vector<double> counts(turnover.counts.begin(), turnover.counts.end());
  out.group_counts =
      rows_frame(counts, n, every_row, rebalance_dates, group_index(n)).attr("astype")("int64");
  return out;
}

}  // namespace morvane::core

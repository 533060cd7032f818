#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "builder_parts.hpp"
#include "factor_read.hpp"
#include "imports.hpp"
#include "names.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

// GroupPreparedDataBuilder's benchmark series: the index daily table read
// through the data client, cleaned into one daily return series per index.
// The cleaning runs on the columns' values: rows without a date go, rows of
// other indices go, the rows are put in date order (stably, so that of two
// rows for one date the later one stays last) and only the last row of each
// date is kept.
namespace morvane::prepare::builder {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A column's values as numbers, what cannot be one as NaN.
glue::FloatVector numbers_of(nb::handle column) {
  return glue::read_float_vector(imports().to_numeric(column, "errors"_a = "coerce"), "column");
}

// The rows kept, in date order: dated, of `code` when the table names its
// index per row, the last one of each date.
std::vector<std::size_t> kept_rows(const std::vector<std::string>& dates,
                                   const std::vector<bool>& dated, const nb::object& ukeys,
                                   const std::string& code) {
  std::vector<std::size_t> rows;
  const nb::list keys = ukeys.is_valid() ? glue::python_values(ukeys) : nb::list();
  for (std::size_t row = 0; row < dates.size(); ++row) {
    if (!dated[row]) continue;
    if (ukeys.is_valid() && nb::cast<std::string>(nb::str(keys[row])) != code) continue;
    rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [&](std::size_t a, std::size_t b) { return dates[a] < dates[b]; });
  std::vector<std::size_t> last;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (k + 1 < rows.size() && dates[rows[k + 1]] == dates[rows[k]]) continue;
    last.push_back(rows[k]);
  }
  return last;
}

// The daily return of each kept row: a return column's, or the return between
// consecutive closes (close / previous close - 1, NaN on the first row), taken
// only once every date is unique and without filling gaps.
std::vector<double> daily_returns(nb::handle table, nb::handle columns,
                                  const std::vector<std::size_t>& rows, const std::string& name) {
  std::vector<double> out(rows.size(), kNaN);
  for (const char* column : {"daily_return", "return", "returns", "pct_change", "change_rate"}) {
    if (!glue::contains(columns, column)) continue;
    const glue::FloatVector values = numbers_of(table[column]);
    for (std::size_t k = 0; k < rows.size(); ++k) out[k] = values.values[rows[k]];
    return out;
  }
  if (!glue::contains(columns, "close")) {
    throw nb::key_error((name + " 基准缺少 daily_return/close 列").c_str());
  }
  const glue::FloatVector closes = numbers_of(table["close"]);
  for (std::size_t k = 1; k < rows.size(); ++k) {
    out[k] = closes.values[rows[k]] / closes.values[rows[k - 1]] - 1.0;
  }
  return out;
}

}  // namespace

nb::object format_benchmark_daily_return(nb::handle, nb::handle df, nb::handle benchmark_name,
                                         nb::handle index_code) {
  const std::string name = glue::to_text(benchmark_name, "benchmark_name");
  const std::string code = glue::to_text(index_code, "index_code");
  if (!df.is_none()) glue::require_dataframe(df, "df");
  if (!has_rows(df)) {
    throw nb::key_error(("基准日频数据为空: " + name + " (" + code + ")").c_str());
  }
  const nb::object columns = df.attr("columns");
  const char* const date_column = glue::contains(columns, "date") ? "date" : "DataDate";
  if (!glue::contains(columns, date_column)) {
    throw nb::key_error((name + " 基准缺少 DataDate 列").c_str());
  }
  const nb::object date_texts = series_to_yyyymmdd(df[date_column]);
  const nb::list date_values = glue::python_values(date_texts);
  std::vector<std::string> dates(nb::len(date_values));
  std::vector<bool> dated(dates.size());
  for (std::size_t row = 0; row < dates.size(); ++row) {
    dated[row] = PyUnicode_Check(date_values[row].ptr());
    if (dated[row]) dates[row] = nb::cast<std::string>(date_values[row]);
  }
  const nb::object ukeys = glue::contains(columns, "ukey") ? nb::object(df["ukey"]) : nb::object();
  const std::vector<std::size_t> rows = kept_rows(dates, dated, ukeys, code);
  const std::vector<double> returns = daily_returns(df, columns, rows, name);
  nb::list labels;
  std::vector<double> values;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (std::isnan(returns[k])) continue;
    labels.append(date_values[rows[k]]);
    values.push_back(returns[k]);
  }
  // The labels keep the type of the date texts (pandas' text type), without
  // the date column's name.
  const nb::object index = glue::imports().index(labels, "dtype"_a = date_texts.attr("dtype"));
  return glue::make_series(std::move(values), index, "index_daily_return");
}

nb::object read_benchmark_dict(nb::handle self) {
  const nb::dict codes = nb::cast<nb::dict>(imports().module.attr("BENCHMARK_INDEX_CODES"));
  nb::list ukeys;
  for (auto [name, code] : codes) ukeys.append(code);
  nb::object table = client().attr("get_index_daily")("ukeys"_a = ukeys,
                                                      "start_date"_a = self.attr("default_start"),
                                                      "end_date"_a = self.attr("end_date"));
  table = checked_answer(std::move(table), "get_index_daily");
  nb::dict result;
  for (auto [name, code] : codes) {
    result[name] = format_benchmark_daily_return(self, table, name, code);
  }
  return result;
}

}  // namespace morvane::prepare::builder

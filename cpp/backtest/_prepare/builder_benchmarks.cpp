#include <nanobind/stl/string.h>

#include <limits>
#include <span>
#include <string>
#include <vector>

#include "builder_parts.hpp"
#include "factor_read.hpp"
#include "imports.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

// GroupPreparedDataBuilder's benchmark series: the index daily table read
// through the data client, cleaned into one daily return series per index.
namespace morvane::prepare::builder {

namespace {

namespace glue = morvane::pyglue;

bool has_column(nb::handle frame, const char* name) {
  return pyglue::contains(nb::object(frame.attr("columns")), name);
}

nb::object to_numbers(nb::handle column) {
  return imports().to_numeric(column, "errors"_a = "coerce");
}

// The daily return between consecutive closes (close / previous close - 1),
// NaN on the first row, over the closes' index.
nb::object return_from_close(nb::handle close) {
  const glue::FloatVector closes = glue::read_float_vector(close, "close");
  const std::span<const double> c = closes.values;
  std::vector<double> out(c.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t i = 1; i < c.size(); ++i) out[i] = c[i] / c[i - 1] - 1.0;
  return glue::make_series(std::move(out), close.attr("index"));
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
  nb::object table = df.attr("copy")();
  if (has_column(table, "date")) {
    nb::dict rename;
    rename["date"] = "DataDate";
    table = table.attr("rename")("columns"_a = rename);
  }
  if (!has_column(table, "DataDate")) throw nb::key_error((name + " 基准缺少 DataDate 列").c_str());
  table = glue::with_column(table, "DataDate",
                            imports().module.attr("series_to_yyyymmdd")(table["DataDate"]));
  nb::list date_only;
  date_only.append("DataDate");
  table = table.attr("dropna")("subset"_a = date_only);
  // A stable sort, so that of two rows for one date the later one stays last.
  table = table.attr("sort_values")("DataDate", "kind"_a = "stable");
  if (has_column(table, "ukey")) {
    table = glue::with_column(table, "ukey", table["ukey"].attr("astype")("str"));
    table = table[table["ukey"].attr("__eq__")(index_code)];
  }
  nb::list keys;
  if (has_column(table, "ukey")) keys.append("ukey");
  keys.append("DataDate");
  table = table.attr("drop_duplicates")("subset"_a = keys, "keep"_a = "last");
  table = table.attr("drop_duplicates")("subset"_a = date_only, "keep"_a = "last");
  // The return from the close is taken only once every date is unique, and
  // between consecutive rows without filling gaps.
  if (!has_column(table, "daily_return")) {
    bool found = false;
    for (const char* column : {"return", "returns", "pct_change", "change_rate"}) {
      if (has_column(table, column)) {
        table = glue::with_column(table, "daily_return", to_numbers(table[column]));
        found = true;
        break;
      }
    }
    if (!found) {
      if (!has_column(table, "close")) {
        throw nb::key_error((name + " 基准缺少 daily_return/close 列").c_str());
      }
      table =
          glue::with_column(table, "daily_return", return_from_close(to_numbers(table["close"])));
    }
  }
  table = glue::with_column(table, "daily_return", to_numbers(table["daily_return"]));
  nb::object series = table.attr("set_index")("DataDate")["daily_return"];
  series = series.attr("astype")("float64").attr("rename")("index_daily_return").attr("dropna")();
  series = series.attr("sort_index")("kind"_a = "stable");
  series.attr("index").attr("name") = nb::none();
  return series;
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

#include "request.hpp"

#include <nanobind/stl/string.h>

#include <system_error>
#include <utility>

#include "pyglue/args.hpp"

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;
namespace fs = std::filesystem;

bool is_empty_dir_argument(nb::handle output_dir) {
  return output_dir.is_none() ||
         (PyUnicode_Check(output_dir.ptr()) && nb::len(nb::borrow<nb::str>(output_dir)) == 0);
}

nb::object as_path(nb::handle output_dir) {
  return nb::module_::import_("pathlib").attr("Path")(output_dir);
}

}  // namespace

void require_table_and_data(nb::handle table, const char* table_name, nb::handle data) {
  if (!table.is_none()) glue::require_dataframe(table, table_name);
  if (!nb::isinstance(data, nb::module_::import_("morvane.backtest.result").attr("BacktestData"))) {
    glue::raise_type_error("data", "BacktestData", data);
  }
}

TradingCosts trading_costs(nb::handle total_money, nb::handle fee, nb::handle rule_fee) {
  return {glue::to_float(total_money, "total_money"), glue::to_float(fee, "fee"),
          glue::to_float(rule_fee, "rule_fee")};
}

nb::object normalized_date(nb::handle value, const char* name) {
  const nb::object text =
      nb::module_::import_("morvane.backtest._store").attr("normalize_yyyymmdd")(value);
  if (!PyUnicode_CheckExact(text.ptr())) glue::raise_type_error(name, "str | int", value);
  return text;
}

void require_output_dir_type(nb::handle output_dir) {
  if (!output_dir.is_none() && !PyUnicode_Check(output_dir.ptr()) &&
      !nb::isinstance(output_dir, nb::module_::import_("os").attr("PathLike"))) {
    glue::raise_type_error("output_dir", "str | os.PathLike | None", output_dir);
  }
}

void require_chart_target(nb::handle output_dir, const std::string& plot_filename) {
  if (is_empty_dir_argument(output_dir)) {
    glue::raise_value_error("plot 非 None 时,output_dir 必须提供");
  }
  if (plot_filename.empty()) glue::raise_value_error("plot 非 None 时,plot_filename 必须提供");
}

nb::object chart_path(nb::handle output_dir, const std::string& plot_filename) {
  return nb::str(
      as_path(output_dir).attr("__truediv__")(nb::str((plot_filename + ".png").c_str())));
}

ChartFolder::ChartFolder(nb::handle output_dir) {
  const std::string dir =
      nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(as_path(output_dir)));
  for (fs::path p = fs::absolute(dir); !p.empty() && !fs::exists(p); p = p.parent_path()) {
    created_.push_back(p);
    if (p == p.parent_path()) break;
  }
  fs::create_directories(dir);
}

ChartFolder::~ChartFolder() {
  for (const fs::path& p : created_) {
    std::error_code ignored;
    fs::remove(p, ignored);  // only removes an empty folder
  }
}

void add_market_keywords(nb::dict& keywords, nb::handle matrices) {
  // The store keeps splits and dividends under their data-client names.
  static constexpr std::pair<const char*, const char*> kMarket[] = {
      {"can_buy_stock", "can_buy_stock"},  {"cant_sell_stock", "cant_sell_stock"},
      {"split_factor", "rq_get_split"},    {"dividend_factor", "rq_get_dividend"},
      {"close_price", "close_price"},      {"prev_close", "prev_close"},
      {"buy_price", "buy_price"},          {"sell_price", "sell_price"},
      {"benchmark_dict", "benchmark_dict"}};
  for (const auto& [keyword, key] : kMarket) keywords[keyword] = matrices[key];
}

}  // namespace morvane::service

#include "request.hpp"

#include <nanobind/stl/string.h>

#include <system_error>
#include <utility>

#include "common.hpp"
#include "imports.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/log.hpp"
#include "pyglue/portfolio_params.hpp"

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;
namespace fs = std::filesystem;

bool is_empty_dir_argument(nb::handle output_dir) {
  return output_dir.is_none() ||
         (PyUnicode_Check(output_dir.ptr()) && nb::len(nb::borrow<nb::str>(output_dir)) == 0);
}

nb::object as_path(nb::handle output_dir) { return pyglue::imports().path(output_dir); }

}  // namespace

TradingCosts trading_costs(nb::handle total_money, nb::handle fee, nb::handle rule_fee) {
  const kernels::PortfolioParams params = glue::read_portfolio_params(
      total_money, fee, rule_fee, nb::int_(kernels::PortfolioParams{}.lot_size));
  return {params.total_money, params.fee, params.rule_fee};
}

nb::object normalized_date(nb::handle value, const char* name) {
  const std::string what = std::string("参数 ") + name;
  nb::object text;
  try {
    text = imports().module.attr("normalize_yyyymmdd")(value);
  } catch (const nb::python_error& error) {
    const std::string received = nb::cast<std::string>(nb::repr(value));
    if (error.matches(PyExc_TypeError)) {
      throw nb::type_error((what + " 类型错误: 期望 str | int (YYYYMMDD 或 YYYY-MM-DD), 收到 " +
                            glue::python_type_name(value) + " " + received)
                               .c_str());
    }
    if (error.matches(PyExc_ValueError)) {
      glue::raise_value_error(what + " 不是有效日期: 收到 " + received +
                              ", 应为 YYYYMMDD 或 YYYY-MM-DD");
    }
    throw;
  }
  if (!PyUnicode_CheckExact(text.ptr())) glue::raise_type_error(name, "str | int", value);
  return text;
}

void require_output_dir_type(nb::handle output_dir) {
  if (!output_dir.is_none() && !PyUnicode_Check(output_dir.ptr()) &&
      !nb::isinstance(output_dir, pyglue::imports().path_like)) {
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
  return nb::str(pyglue::divide(as_path(output_dir), nb::str((plot_filename + ".png").c_str())));
}

ChartFolder::ChartFolder(nb::handle output_dir) {
  const std::string dir = nb::cast<std::string>(pyglue::imports().fspath(as_path(output_dir)));
  std::error_code failure;
  for (fs::path p = fs::absolute(dir); !p.empty() && !fs::exists(p); p = p.parent_path()) {
    created_.push_back(p);
    if (p == p.parent_path()) break;
  }
  fs::create_directories(dir, failure);
  if (failure) {
    for (const fs::path& p : created_) {
      std::error_code ignored;
      fs::remove(p, ignored);  // the parents made before the failure
    }
    // OSError picks its subclass (PermissionError, NotADirectoryError, ...) from the errno.
    const nb::object error = nb::handle(PyExc_OSError)(
        failure.value(), "参数 output_dir 的图片目录无法创建: " + failure.message(), dir);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
  }
}

ChartFolder::~ChartFolder() {
  for (const fs::path& p : created_) {
    std::error_code ignored;
    fs::remove(p, ignored);  // only removes an empty folder
  }
}

nb::object rows_in_range(nb::handle table, const char* name, nb::handle matrices, nb::handle loaded,
                         nb::handle start, nb::handle end) {
  nb::object cut = rows_between(table, start, end);
  if (nb::len(nb::object(matrices["close_price"])) == 0) {
    glue::warn_user("回测区间 %s 至 %s 与回测数据的日期 (%s) 没有交集, 结果为空", start, end,
                    glue::date_span(loaded["close_price"].attr("index")));
  } else if (nb::len(cut) == 0) {
    glue::warn_user("参数 %s 在回测区间 %s 至 %s 内没有日期行 (%s 的日期: %s), 结果为空", name,
                    start, end, name, glue::date_span(table.attr("index")));
  }
  return cut;
}

void add_cost_keywords(nb::dict& keywords, const TradingCosts& costs) {
  keywords["total_money"] = costs.total_money;
  keywords["fee"] = costs.fee;
  keywords["rule_fee"] = costs.rule_fee;
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

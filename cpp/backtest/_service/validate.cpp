#include "validate.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common.hpp"
#include "doc.hpp"
#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/files.hpp"
#include "kernels/finite.hpp"
#include "pyglue/args.hpp"
#include "pyglue/benchmark_summary.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/params.hpp"
#include "pyglue/portfolio_params.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

// What each flow reads of the loaded data.
constexpr const char* kMarketDatasets[] = {"can_buy_stock",   "cant_sell_stock", "rq_get_split",
                                           "rq_get_dividend", "close_price",     "prev_close",
                                           "buy_price",       "sell_price",      "benchmark_dict"};
constexpr const char* kFactorOnlyDatasets[] = {"close_price_valid"};

bool truth(nb::handle value) {
  const int flag = PyObject_IsTrue(value.ptr());
  if (flag < 0) throw nb::python_error();
  return flag == 1;
}

void require_backtest_data(nb::handle data) {
  if (!nb::isinstance(data, imports().module.attr("BacktestData"))) {
    glue::raise_type_error("data", "BacktestData", data);
  }
  const nb::object mapping = data_mapping(data);
  if (!PyDict_Check(mapping.ptr())) glue::raise_type_error("data.data", "dict", mapping);
}

// A loaded record without a dataset the flow reads: the prepared data is
// incomplete (an old or partial store), which only a new preparation mends.
void require_datasets(nb::handle data, bool factor) {
  const nb::dict mapping = nb::borrow<nb::dict>(data_mapping(data));
  std::string missing;
  const auto need = [&](const char* key) {
    if (!mapping.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
  };
  for (const char* key : kMarketDatasets) need(key);
  if (factor) {
    for (const char* key : kFactorOnlyDatasets) need(key);
  }
  if (!missing.empty()) {
    raise_morvane("回测数据缺少数据集 " + missing +
                  ", 无法回测; 请重新准备回测数据: 删除回测数据目录后调用 "
                  "morvane.prepare_backtest_data() (命令行 morvane prepare), 再用 "
                  "morvane.load_backtest_data() 加载");
  }
}

// The chart file name: a text without NUL (which no file name can hold; the
// result would name files that do not exist).
std::string checked_plot_filename(nb::handle plot_filename) {
  std::string name = glue::to_text(plot_filename, "plot_filename");
  if (name.find('\0') != std::string::npos) {
    glue::raise_value_error("参数 plot_filename 不能含 NUL 字符 (\\x00), 收到 " +
                            nb::cast<std::string>(nb::repr(plot_filename)));
  }
  return name;
}

void check_plot_kind(const std::string& plot) {
  if (plot != "long" && plot != "large") {
    glue::raise_value_error("参数 plot 只能是 \"long\" 或 \"large\", 收到 \"" + plot + "\"");
  }
}

// The chart folder is created when missing; a file in its place (or in place
// of one of its parents) is refused before any work, as the OS would refuse
// it: NotADirectoryError naming output_dir.
void require_folder_can_exist(nb::handle output_dir) {
  const nb::object absolute = imports().abspath(glue::imports().fspath(output_dir));
  // The file system's bytes of the path (a text's undecodable names kept as
  // the OS gave them). A NUL names no file, as os.path.exists answers for it.
  const bool given_bytes = PyBytes_Check(absolute.ptr());
  const nb::bytes encoded =
      given_bytes ? nb::borrow<nb::bytes>(absolute)
                  : nb::borrow<nb::bytes>(glue::owned(PyUnicode_EncodeFSDefault(absolute.ptr())));
  std::string path(encoded.c_str(), encoded.size());
  const auto exists = [](const std::string& p) {
    return p.find('\0') == std::string::npos && kernels::path_exists(p);
  };
  // An absolute, normalised path: "/" or slash-separated names without a
  // trailing slash, so its parent is the text before the last slash.
  while (!exists(path)) {
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    if (parent == path) return;
    path = parent;
  }
  std::error_code unreadable;
  if (std::filesystem::is_directory(path, unreadable)) return;
  const nb::object shown = given_bytes ? nb::object(nb::bytes(path.data(), path.size()))
                                       : glue::owned(PyUnicode_DecodeFSDefaultAndSize(
                                             path.data(), static_cast<Py_ssize_t>(path.size())));
  const nb::object error = nb::handle(PyExc_NotADirectoryError)(
      ENOTDIR, "参数 output_dir 不能用作图片目录: 这里已有同名文件", shown);
  PyErr_SetObject(PyExc_NotADirectoryError, error.ptr());
  throw nb::python_error();
}

// The runner accepts only a text code; a Part of the design fixes the message
// (it names the runner's argument).
void require_benchmark_text(nb::handle benchmark) {
  if (!PyUnicode_Check(benchmark.ptr())) {
    glue::raise_type_error("benchmark_names", "str", benchmark);
  }
}

}  // namespace

nb::object data_mapping(nb::handle data) { return data.attr("data"); }

nb::object checked_user_table(nb::handle table, const char* name) {
  const nb::object& multi = glue::imports().multi_index;
  const glue::FrameLabels labels = glue::labels_of(table);
  const nb::object& index = labels.index;
  if (nb::isinstance(index, multi)) {
    throw nb::type_error(
        (std::string("参数 ") + name + " 的行索引是多层索引 (pandas.MultiIndex), 应为单层的日期")
            .c_str());
  }
  if (nb::isinstance(labels.columns, multi)) {
    throw nb::type_error((std::string("参数 ") + name +
                          " 的列索引是多层索引 (pandas.MultiIndex), 应为单层的股票代码")
                             .c_str());
  }
  // Cleaning keeps the last of a repeated date; in a user's table a repeat is
  // a mistake, refused like a repeated code.
  std::vector<std::int32_t> dates = glue::index_date_numbers(index, name);
  std::sort(dates.begin(), dates.end());
  const auto repeat = std::adjacent_find(dates.begin(), dates.end());
  if (repeat != dates.end()) {
    glue::raise_value_error(std::string("参数 ") + name + " 的行标签整理后重复: " +
                            kernels::format_date_number(*repeat) + " (同一日期出现在多行)");
  }
  nb::object cleaned =
      imports().module.attr("clean_matrix")(table, "copy"_a = false, "name"_a = name);
  const glue::LabelledMatrix<double> values = glue::read_float_frame(cleaned, name);
  std::optional<kernels::Cell> infinite;
  {
    const nb::gil_scoped_release unlocked;
    infinite = kernels::first_infinite(values.view);
  }
  if (infinite) {
    const nb::object row = values.index[nb::int_(infinite->row)];
    const nb::object col = values.columns[nb::int_(infinite->col)];
    const double value = values.view(infinite->row, infinite->col);
    glue::raise_value_error(std::string("参数 ") + name +
                            " 含无穷大的值: " + nb::cast<std::string>(nb::str(row)) + " 行 " +
                            nb::cast<std::string>(nb::str(col)) + " 列为 " +
                            (value > 0 ? "inf" : "-inf") + "; 值须为有限数 (NaN 表示没有)");
  }
  return cleaned;
}

namespace {

// What both flows check first: the table's type (`name` its argument), the
// data's, then the chart's file name, which is returned.
std::string checked_types_first(nb::handle table, const char* name, nb::handle data,
                                nb::handle plot_filename, const CheckScope& scope) {
  if (scope.table && !table.is_none()) glue::require_dataframe(table, name);
  if (scope.data) require_backtest_data(data);
  return checked_plot_filename(plot_filename);
}

}  // namespace

CheckedStrategy check_strategy_request(const StrategyRequest& r, const CheckScope& scope) {
  CheckedStrategy c;
  // Types and single values first, then the table, the chart target, the
  // dates and the data: nothing is touched before everything passed.
  c.plot_filename = checked_types_first(r.strategy, "strategy", r.data, r.plot_filename, scope);
  c.rolling_window =
      static_cast<std::int64_t>(glue::read_rolling_window(r.rolling_window, "rolling_window"));
  c.costs = trading_costs(r.total_money, r.fee, r.rule_fee);
  c.plot = glue::to_optional_text(r.plot, "plot");
  if (c.plot) check_plot_kind(*c.plot);
  require_output_dir_type(r.output_dir);
  require_benchmark_text(r.benchmark);
  c.record_trades = truth(r.record_trades);

  c.table = nb::none();
  if (scope.table) {
    if (r.strategy.is_none() || nb::len(r.strategy) == 0)
      glue::raise_value_error("策略权重矩阵为空");
    c.table = checked_user_table(r.strategy, "strategy");
  }
  if (c.plot && scope.chart) {
    require_chart_target(r.output_dir, c.plot_filename);
    require_folder_can_exist(r.output_dir);
  }
  c.start_date = normalized_date(r.start_date, "start_date");
  c.end_date = normalized_date(r.end_date, "end_date");
  if (scope.data) require_datasets(r.data, false);
  return c;
}

CheckedFactor check_factor_request(const FactorRequest& r, const CheckScope& scope) {
  CheckedFactor c;
  c.plot_filename = checked_types_first(r.factor, "factor", r.data, r.plot_filename, scope);
  c.group_num = glue::to_int(r.group_num, "group_num");
  c.rolling_window =
      static_cast<std::int64_t>(glue::read_rolling_window(r.rolling_window, "rolling_window"));
  c.ascending = truth(r.ascending);
  c.costs = trading_costs(r.total_money, r.fee, r.rule_fee);
  c.plot = glue::to_text(r.plot, "plot");
  check_plot_kind(c.plot);
  c.horizons = glue::read_horizons(r.horizons);
  c.rebalance_every = static_cast<std::int64_t>(glue::read_rebalance_every(r.rebalance_every));
  c.tear_sheet = truth(r.tear_sheet);
  require_output_dir_type(r.output_dir);
  const nb::object benchmark_dict =
      scope.data ? glue::get_item(data_mapping(r.data), "benchmark_dict") : nb::none();
  (void)glue::choose_benchmarks(r.benchmark, nb::none(), "benchmark");  // types only
  const nb::list universe = parse_universe(r.universe);

  c.table = nb::none();
  if (scope.table && (r.factor.is_none() || nb::len(r.factor) == 0)) {
    glue::raise_value_error("因子宽表为空");
  }
  c.group_num = static_cast<std::int64_t>(glue::read_group_num(r.group_num));
  // The chart is always drawn, so its folder and name must be usable before
  // any work starts.
  if (scope.chart) {
    require_chart_target(r.output_dir, c.plot_filename);
    require_folder_can_exist(r.output_dir);
  }
  if (scope.table) c.table = checked_user_table(r.factor, "factor");
  c.start_date = normalized_date(r.start_date, "start_date");
  c.end_date = normalized_date(r.end_date, "end_date");
  check_universe_codes(universe, scope.data ? data_mapping(r.data) : nb::none());
  if (scope.data) {
    require_datasets(r.data, true);
    if (PyDict_Check(benchmark_dict.ptr())) {
      (void)glue::choose_benchmarks(r.benchmark, benchmark_dict, "benchmark");
    }
  }
  return c;
}

namespace {

CheckScope scope_of(nb::handle table, nb::handle data, bool chart) {
  return {!table.is_none(), !data.is_none(), chart};
}

nb::dict common_values(const TradingCosts& costs, nb::handle start, nb::handle end) {
  nb::dict out;
  out["start_date"] = start;
  out["end_date"] = end;
  add_cost_keywords(out, costs);
  return out;
}

nb::dict strategy_check(nb::handle strategy, nb::handle data, nb::handle start_date,
                        nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                        nb::handle benchmark, nb::handle rolling_window, nb::handle total_money,
                        nb::handle fee, nb::handle rule_fee, nb::handle plot,
                        nb::handle record_trades) {
  const StrategyRequest request{strategy,      data,      start_date,     end_date,    output_dir,
                                plot_filename, benchmark, rolling_window, total_money, fee,
                                rule_fee,      plot,      record_trades};
  const CheckedStrategy c = check_strategy_request(request, scope_of(strategy, data, true));
  nb::dict out = common_values(c.costs, c.start_date, c.end_date);
  out["strategy"] = c.table;
  out["rolling_window"] = c.rolling_window;
  out["record_trades"] = c.record_trades;
  return out;
}

nb::dict factor_check(nb::handle factor, nb::handle data, nb::handle start_date,
                      nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                      nb::handle group_num, nb::handle benchmark, nb::handle universe,
                      nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
                      nb::handle fee, nb::handle rule_fee, nb::handle plot, nb::handle chart,
                      nb::handle horizons, nb::handle rebalance_every, nb::handle tear_sheet) {
  const FactorRequest request{
      factor,    data,      start_date, end_date,       output_dir,      plot_filename,
      group_num, benchmark, universe,   rolling_window, ascending,       total_money,
      fee,       rule_fee,  plot,       horizons,       rebalance_every, tear_sheet};
  const CheckedFactor c = check_factor_request(request, scope_of(factor, data, truth(chart)));
  nb::dict out = common_values(c.costs, c.start_date, c.end_date);
  out["factor"] = c.table;
  out["group_num"] = c.group_num;
  out["rolling_window"] = c.rolling_window;
  out["ascending"] = c.ascending;
  nb::list horizon_list;
  for (const std::size_t h : c.horizons) horizon_list.append(static_cast<std::int64_t>(h));
  out["horizons"] = nb::tuple(horizon_list);
  out["rebalance_every"] = c.rebalance_every;
  out["tear_sheet"] = c.tear_sheet;
  return out;
}

}  // namespace

void define_request_checks(nb::module_& m) {
  glue::def<doc::kCheckStrategyRequestParams>(m, &strategy_check, doc::kCheckStrategyRequest);
  glue::def<doc::kCheckFactorRequestParams>(m, &factor_check, doc::kCheckFactorRequest);
}

}  // namespace morvane::service

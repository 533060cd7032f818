// morvane.backtest._core: helpers shared by the strategy core and the factor
// group backtest core.
#include <nanobind/nanobind.h>

#include <atomic>
#include <utility>
#include <vector>

#include "chart_png.hpp"
#include "doc.hpp"
#include "group_backtest.hpp"
#include "group_result.hpp"
#include "imports.hpp"
#include "kernels/moments.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"
#include "pyglue/market.hpp"
#include "pyglue/params.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace glue = morvane::pyglue;

namespace {

// Threads of the group backtest (0: one per usable CPU). A module-level
// setting because the backtest's 25 keywords are fixed by its callers and
// leave no room for it; only tests and benchmarks change it, and an atomic
// keeps a concurrent read well defined.
std::atomic<std::int64_t> g_group_threads{0};

std::int64_t set_thread_count(nb::handle count) {
  const std::int64_t n = glue::to_int(count, "count");
  if (n < 0) glue::raise_value_error("参数 count 不能为负数, 收到 " + std::to_string(n));
  return g_group_threads.exchange(n);
}

// A sweep runs many backtests on its own threads; each of them sets its own
// pool size here so that the sweep's threads times the pools' threads stays
// within the machine. Thread-local, so it never touches another caller; 0
// falls back to the process-wide setting above.
thread_local std::int64_t t_task_threads = 0;

std::int64_t set_task_thread_count(nb::handle count) {
  const std::int64_t n = glue::to_int(count, "count");
  if (n < 0) glue::raise_value_error("参数 count 不能为负数, 收到 " + std::to_string(n));
  return std::exchange(t_task_threads, n);
}

nb::object run_alpha_vwap_backtest_core(
    nb::handle factor_matrix, nb::handle industry_matrix, nb::handle close_price_valid,
    nb::handle can_buy_stock, nb::handle cant_sell_stock, nb::handle split_factor,
    nb::handle dividend_factor, nb::handle close_price, nb::handle prev_close, nb::handle buy_price,
    nb::handle sell_price, nb::handle benchmark_dict, nb::handle forward_return_rank_cache,
    nb::handle open_price, nb::handle benchmark_names, nb::handle rolling_window,
    nb::handle ascending, nb::handle group_num, nb::handle total_money, nb::handle fee,
    nb::handle rule_fee, nb::handle plot_image_kind, nb::handle plot_save_path,
    nb::handle factor_name, nb::handle plot_title, nb::handle horizons, nb::handle rebalance_every,
    nb::handle tear_sheet) {
  const morvane::core::GroupBacktestArgs args{factor_matrix,
                                              industry_matrix,
                                              close_price_valid,
                                              can_buy_stock,
                                              cant_sell_stock,
                                              split_factor,
                                              dividend_factor,
                                              close_price,
                                              prev_close,
                                              buy_price,
                                              sell_price,
                                              benchmark_dict,
                                              forward_return_rank_cache,
                                              open_price,
                                              benchmark_names,
                                              rolling_window,
                                              ascending,
                                              group_num,
                                              total_money,
                                              fee,
                                              rule_fee,
                                              plot_image_kind,
                                              plot_save_path,
                                              factor_name,
                                              plot_title,
                                              horizons,
                                              rebalance_every,
                                              tear_sheet};
  return morvane::core::run_group_backtest(
      args, static_cast<std::size_t>(t_task_threads > 0 ? t_task_threads : g_group_threads.load()));
}

nb::dict build_market_arrays(nb::handle index, nb::handle columns, nb::handle can_buy_stock,
                             nb::handle cant_sell_stock, nb::handle split_factor,
                             nb::handle dividend_factor, nb::handle close_price,
                             nb::handle prev_close, nb::handle buy_price, nb::handle sell_price) {
  const glue::MarketTables tables{can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                                  close_price,   prev_close,      buy_price,    sell_price};
  return glue::build_market_arrays(index, columns, tables).arrays;
}

nb::object with_datetime_index(nb::handle table) {
  const glue::Imports& py = glue::imports();
  if (!nb::isinstance(table, py.data_frame) && !nb::isinstance(table, py.series)) {
    glue::raise_type_error("table", "pandas.DataFrame | pandas.Series", table);
  }
  const nb::object labels = table.attr("index");
  nb::object dates;
  try {
    dates = glue::yyyymmdd_datetimes(labels);
  } catch (const nb::python_error&) {
    glue::raise_value_error("参数 table 的行标签不是有效的 YYYYMMDD 日期");
  }
  nb::object out = table.attr("copy")("deep"_a = false);
  out.attr("index") = dates;
  if (!nb::cast<bool>(dates.attr("is_monotonic_increasing"))) {
    out = out.attr("sort_index")("kind"_a = "stable");
  }
  return out;
}

double safe_sharpe(nb::handle series, nb::handle periods) {
  const double periods_per_year = glue::to_float(periods, "periods");
  nb::object values;
  try {
    values = glue::contiguous_array(glue::float64_array(series).attr("ravel")(), "float64");
  } catch (const nb::python_error&) {
    glue::raise_value_error("参数 series 含无法转换为数值的数据");
  }
  return morvane::kernels::sharpe_ratio(glue::contiguous_span<const double>(values),
                                        periods_per_year);
}

}  // namespace

NB_MODULE(_core, m) {
  m.doc() = morvane::doc::kCoreModule;
  m.def("_build_market_arrays", &build_market_arrays, "index"_a, "columns"_a, "can_buy_stock"_a,
        "cant_sell_stock"_a, "split_factor"_a, "dividend_factor"_a, "close_price"_a, "prev_close"_a,
        "buy_price"_a, "sell_price"_a,
        nb::sig("def _build_market_arrays(index: object, columns: object, "
                "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame) "
                "-> dict[str, numpy.ndarray]"),
        morvane::doc::kBuildMarketArrays);
  m.def("_with_datetime_index", &with_datetime_index, "table"_a,
        nb::sig("def _with_datetime_index(table: pandas.DataFrame | pandas.Series) "
                "-> pandas.DataFrame | pandas.Series"),
        morvane::doc::kWithDatetimeIndex);
  m.def("safe_sharpe", &safe_sharpe, "series"_a, "periods"_a = 252,
        nb::sig("def safe_sharpe(series: object, periods: float = 252) -> float"),
        morvane::doc::kSafeSharpe);
  morvane::core::define_result_class(m);
  morvane::core::define_chart_png(m);
  glue::def<morvane::doc::kRunAlphaVwapBacktestCoreParams>(m, &run_alpha_vwap_backtest_core,
                                                           morvane::doc::kRunAlphaVwapBacktestCore);
  m.def("_set_thread_count", &set_thread_count, "count"_a,
        nb::sig("def _set_thread_count(count: int) -> int"), morvane::doc::kSetThreadCount);
  m.def("_set_task_thread_count", &set_task_thread_count, "count"_a,
        nb::sig("def _set_task_thread_count(count: int) -> int"),
        "设置当前线程上的因子分组回测线程数 (供参数扫描使用), 优先于 _set_thread_count。\n\n"
        "Args:\n    count (int): 线程数; 0 表示取消本线程的设置, 沿用进程级设置。\n\n"
        "Returns:\n    int: 本线程之前的设置。\n\n"
        "Raises:\n    ValueError: count 为负数。\n    TypeError: count 不是数字。");
  // Last: the objects it gathers include this module's own functions and class.
  morvane::core::load_imports(m);
}

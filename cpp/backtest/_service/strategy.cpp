// The strategy backtest: checks the request, slices the loaded data to the
// date range and hands everything to the strategy runner.
#include <nanobind/stl/string.h>

#include <string>

#include "common.hpp"
#include "pyglue/args.hpp"
#include "pyglue/log.hpp"
#include "request.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

// A benchmark code absent from the data gives a zero benchmark return; that
// is kept, but a typo ("00852") or "all" should not pass unnoticed.
void warn_unknown_benchmark(nb::handle benchmark, nb::handle matrices) {
  if (!PyUnicode_Check(benchmark.ptr())) return;  // the runner rejects it by type
  const nb::object benchmarks = matrices.attr("get")("benchmark_dict");
  if (!PyDict_Check(benchmarks.ptr()) || nb::borrow<nb::dict>(benchmarks).contains(benchmark)) {
    return;
  }
  const nb::object available =
      nb::module_::import_("builtins")
          .attr("sorted")(
              nb::module_::import_("builtins")
                  .attr("map")(nb::module_::import_("builtins").attr("str"), benchmarks));
  glue::log_message("warning", "基准 %r 不在回测数据中, 按基准收益为 0 计算; 可用的基准: %s",
                    benchmark, nb::str(", ").attr("join")(available));
}

}  // namespace

nb::object backtest_strategy(nb::handle self, const StrategyRequest& r) {
  const nb::object runner =
      nb::module_::import_("morvane.backtest._ravelle").attr("run_strategy_backtest_core");
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");

  require_table_and_data(r.strategy, "strategy", r.data);
  const std::string plot_filename = glue::to_text(r.plot_filename, "plot_filename");
  const std::int64_t rolling_window = glue::to_int(r.rolling_window, "rolling_window");
  const TradingCosts costs = trading_costs(r.total_money, r.fee, r.rule_fee);
  const std::optional<std::string> plot = glue::to_optional_text(r.plot, "plot");
  require_output_dir_type(r.output_dir);

  if (r.strategy.is_none() || nb::len(r.strategy) == 0) glue::raise_value_error("策略权重矩阵为空");
  const nb::object strategy = nb::module_::import_("morvane.backtest._store")
                                  .attr("clean_matrix")(r.strategy, "copy"_a = false);
  if (plot) require_chart_target(r.output_dir, plot_filename);
  const nb::object bt_start = normalized_date(r.start_date, "start_date");
  const nb::object bt_end = normalized_date(r.end_date, "end_date");
  const nb::object matrices = self.attr("_slice_data")(r.data.attr("data"), bt_start, bt_end);

  nb::object chart = nb::none();
  std::optional<ChartFolder> folder;
  if (plot) {
    chart = chart_path(r.output_dir, plot_filename);
    folder.emplace(r.output_dir);
  }
  warn_unknown_benchmark(r.benchmark, matrices);

  const nb::object name = nb::str(plot_filename.c_str());
  nb::dict keywords;
  keywords["strategy_matrix"] = rows_between(strategy, bt_start, bt_end);
  add_market_keywords(keywords, matrices);
  keywords["benchmark_names"] = r.benchmark;
  keywords["rolling_window"] = rolling_window;
  keywords["total_money"] = costs.total_money;
  keywords["fee"] = costs.fee;
  keywords["rule_fee"] = costs.rule_fee;
  keywords["plot_image_kind"] = r.plot;
  keywords["plot_save_path"] = chart;
  keywords["strategy_name"] = name;
  keywords["plot_title"] = name;
  const nb::object core_result = runner(**keywords);
  if (folder) folder->keep();

  return result.attr("StrategyBacktestResult")(
      "strategy_name"_a = name, "daily_return"_a = core_result.attr("daily_return"),
      "cumulative_return"_a = core_result.attr("cumulative_return"),
      "stats"_a = core_result.attr("stats"),
      "benchmark_summary"_a = core_result.attr("benchmark_summary"),
      "plot_paths"_a = core_result.attr("plot_paths"));
}

}  // namespace morvane::service

// The strategy backtest: checks the request (validate.hpp), slices the loaded
// data to the date range and hands everything to the strategy runner.
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "common.hpp"
#include "report.hpp"
#include "request.hpp"
#include "service.hpp"
#include "validate.hpp"

using namespace nanobind::literals;

namespace morvane::service {

nb::object backtest_strategy(nb::handle self, const StrategyRequest& r) {
  const nb::object runner =
      nb::module_::import_("morvane.backtest._ravelle").attr("run_strategy_backtest_core");
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");

  const CheckedStrategy c = check_strategy_request(r, CheckScope{});
  const nb::object matrices =
      self.attr("_slice_data")(r.data.attr("data"), c.start_date, c.end_date);

  nb::object chart = nb::none();
  std::optional<ChartFolder> folder;
  if (c.plot) {
    chart = chart_path(r.output_dir, c.plot_filename);
    folder.emplace(r.output_dir);
  }

  const nb::object name = nb::str(c.plot_filename.c_str());
  const nb::object weights = rows_between(c.table, c.start_date, c.end_date);
  warn_about_empty_range(weights, c.table, "strategy", matrices["close_price"],
                         r.data.attr("data")["close_price"], c.start_date, c.end_date);
  const ProgressLog progress("策略回测", name, c.start_date, c.end_date, weights);
  nb::dict keywords;
  keywords["strategy_matrix"] = weights;
  add_market_keywords(keywords, matrices);
  keywords["benchmark_names"] = r.benchmark;
  keywords["rolling_window"] = c.rolling_window;
  keywords["total_money"] = c.costs.total_money;
  keywords["fee"] = c.costs.fee;
  keywords["rule_fee"] = c.costs.rule_fee;
  keywords["plot_image_kind"] = r.plot;
  keywords["plot_save_path"] = chart;
  keywords["strategy_name"] = name;
  keywords["plot_title"] = name;
  const nb::object core_result = runner(**keywords);
  if (folder) folder->keep();
  const nb::object daily = core_result.attr("daily_return");
  progress.done(daily, core_result.attr("plot_paths"));

  return result.attr("StrategyBacktestResult")(
      "strategy_name"_a = name, "daily_return"_a = core_result.attr("daily_return"),
      "cumulative_return"_a = core_result.attr("cumulative_return"),
      "stats"_a = core_result.attr("stats"),
      "benchmark_summary"_a = core_result.attr("benchmark_summary"),
      "plot_paths"_a = core_result.attr("plot_paths"),
      "benchmark_return"_a = benchmark_returns(matrices["benchmark_dict"], r.benchmark,
                                               daily.attr("index"), true));
}

}  // namespace morvane::service

// The strategy backtest: checks the request (validate.hpp), slices the loaded
// data to the date range and hands everything to the strategy runner.
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "common.hpp"
#include "imports.hpp"
#include "report.hpp"
#include "request.hpp"
#include "service.hpp"
#include "validate.hpp"

using namespace nanobind::literals;

namespace morvane::service {

nb::object backtest_strategy(nb::handle self, const StrategyRequest& r) {
  const CheckedStrategy c = check_strategy_request(r, CheckScope{});
  const nb::object loaded = data_mapping(r.data);
  const nb::object matrices = self.attr("_slice_data")(loaded, c.start_date, c.end_date);

  nb::object chart = nb::none();
  std::optional<ChartFolder> folder;
  if (c.plot) {
    chart = chart_path(r.output_dir, c.plot_filename);
    folder.emplace(r.output_dir);
  }

  const nb::object name = nb::str(c.plot_filename.c_str());
  const nb::object weights =
      rows_in_range(c.table, "strategy", matrices, loaded, c.start_date, c.end_date);
  const ProgressLog progress("策略回测", name, c.start_date, c.end_date, weights);
  nb::dict keywords;
  keywords["strategy_matrix"] = weights;
  add_market_keywords(keywords, matrices);
  keywords["benchmark_names"] = r.benchmark;
  keywords["rolling_window"] = c.rolling_window;
  add_cost_keywords(keywords, c.costs);
  keywords["plot_image_kind"] = r.plot;
  keywords["plot_save_path"] = chart;
  keywords["strategy_name"] = name;
  keywords["plot_title"] = name;
  if (c.record_trades) keywords["record_trades"] = true;
  // Looked up on _service's `ravelle` when it runs, as the factor flow reads
  // `core`: a caller may replace either the module or its runner.
  const nb::object core_result =
      imports().module.attr("ravelle").attr("run_strategy_backtest_core")(**keywords);
  if (folder) folder->keep();
  nb::dict fields;
  fields["strategy_name"] = name;
  for (const char* field :
       {"daily_return", "cumulative_return", "stats", "benchmark_summary", "plot_paths"}) {
    fields[field] = core_result.attr(field);
  }
  const nb::object daily = fields["daily_return"];
  progress.done(daily, fields["plot_paths"]);
  fields["benchmark_return"] =
      benchmark_returns(matrices["benchmark_dict"], r.benchmark, daily, true);
  if (c.record_trades) fields["ledger"] = nb::getattr(core_result, "ledger", nb::none());
  return imports().strategy_result(**fields);
}

}  // namespace morvane::service

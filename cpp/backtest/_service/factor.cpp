// The factor group backtest: checks the request, slices the loaded data to
// the date range, narrows it to the universe and hands everything to the
// group backtest core; the core's result becomes the public record.
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "common.hpp"
#include "pyglue/args.hpp"
#include "request.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

constexpr std::int64_t kMinGroups = 2;
constexpr std::int64_t kMaxGroups = 100;

bool truth(nb::handle value) {
  const int flag = PyObject_IsTrue(value.ptr());
  if (flag < 0) throw nb::python_error();
  return flag == 1;
}

// A usable display name: present, not empty, and not a pandas object (a
// column called "name" makes `table.name` a whole column).
std::optional<nb::object> display_name(nb::handle owner) {
  if (!nb::hasattr(owner, "name")) return std::nullopt;
  const nb::object name = owner.attr("name");
  if (name.is_none()) return std::nullopt;
  const nb::module_ pd = nb::module_::import_("pandas");
  for (const char* kind : {"Series", "DataFrame", "Index"}) {
    if (nb::isinstance(name, pd.attr(kind))) return std::nullopt;
  }
  if (nb::len(nb::str(name)) == 0) return std::nullopt;
  return name;
}

}  // namespace

nb::str factor_name(nb::handle factor) {
  std::optional<nb::object> name;
  if (nb::hasattr(factor, "columns")) name = display_name(factor.attr("columns"));
  if (!name) name = display_name(factor);
  return name ? nb::str(*name) : nb::str("factor");
}

nb::object to_public_result(nb::handle core_result, nb::handle name) {
  (void)glue::to_text(name, "factor_name");
  const nb::object pd = nb::module_::import_("pandas");
  nb::dict plot_paths;
  nb::object charts = nb::getattr(core_result, "plot_paths", nb::none());
  if (!charts.is_none() && nb::len(charts) > 0) {
    for (nb::handle chart : charts) {
      plot_paths[chart] = charts[chart].attr("get")("primary", "");
    }
  }
  const nb::object best = core_result.attr("best_group");
  const nb::object best_group = truth(pd.attr("notna")(best)) ? nb::int_(best) : nb::int_(-1);
  return nb::module_::import_("morvane.backtest.result")
      .attr("BacktestResult")(
          "factor_name"_a = name, "best_group"_a = best_group,
          "group_daily_return"_a = core_result.attr("group_daily_return"),
          "group_cumulative_return"_a = core_result.attr("group_cumulative_return"),
          "rank_ic"_a = core_result.attr("rank_ic"),
          "benchmark_summary"_a = core_result.attr("benchmark_summary")(),
          "plot_paths"_a = plot_paths);
}

nb::object backtest_factor(nb::handle self, const FactorRequest& r) {
  const nb::module_ service = nb::module_::import_("morvane.backtest._service");

  require_table_and_data(r.factor, "factor", r.data);
  const std::string plot_filename = glue::to_text(r.plot_filename, "plot_filename");
  const std::int64_t group_num = glue::to_int(r.group_num, "group_num");
  const std::int64_t rolling_window = glue::to_int(r.rolling_window, "rolling_window");
  const bool ascending = truth(r.ascending);
  const TradingCosts costs = trading_costs(r.total_money, r.fee, r.rule_fee);
  const std::string plot = glue::to_text(r.plot, "plot");
  require_output_dir_type(r.output_dir);

  if (r.factor.is_none() || nb::len(r.factor) == 0) glue::raise_value_error("因子宽表为空");
  if (group_num < kMinGroups || group_num > kMaxGroups) {
    glue::raise_value_error("group_num 取值范围 [2, 100]");
  }
  // The chart is always drawn, so its folder and name must be usable before
  // any work starts.
  require_chart_target(r.output_dir, plot_filename);

  const nb::object factor_matrix = service.attr("clean_matrix")(r.factor, "copy"_a = false);
  const nb::object bt_start = normalized_date(r.start_date, "start_date");
  const nb::object bt_end = normalized_date(r.end_date, "end_date");
  const nb::object matrices = self.attr("_slice_data")(r.data.attr("data"), bt_start, bt_end);
  self.attr("_apply_universe_filter")(matrices, r.universe, bt_start, bt_end);
  const nb::object name = self.attr("_factor_name")(r.factor);
  const nb::object path = chart_path(r.output_dir, plot_filename);
  const nb::object title = nb::str(plot_filename.c_str());

  const auto optional = [&](const char* key) { return matrices.attr("get")(key); };
  ChartFolder folder(r.output_dir);
  nb::dict keywords;
  keywords["factor_matrix"] = rows_between(factor_matrix, bt_start, bt_end);
  keywords["industry_matrix"] = optional("industry_matrix");
  keywords["close_price_valid"] = matrices["close_price_valid"];
  add_market_keywords(keywords, matrices);
  keywords["forward_return_rank_cache"] = optional("forward_return_rank_cache");
  keywords["open_price"] = optional("open_price");
  keywords["benchmark_names"] = r.benchmark;
  keywords["rolling_window"] = rolling_window;
  keywords["ascending"] = ascending;
  keywords["group_num"] = group_num;
  keywords["total_money"] = costs.total_money;
  keywords["fee"] = costs.fee;
  keywords["rule_fee"] = costs.rule_fee;
  keywords["plot_image_kind"] = nb::str(plot.c_str());
  keywords["plot_save_path"] = path;
  keywords["factor_name"] = name;
  keywords["plot_title"] = title;
  const nb::object core_result =
      service.attr("core").attr("run_alpha_vwap_backtest_core")(**keywords);
  folder.keep();
  return self.attr("_to_public_result")(core_result, name);
}

}  // namespace morvane::service

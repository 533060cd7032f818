// The factor group backtest: checks the request (validate.hpp), slices the
// loaded data to the date range, narrows it to the universe and hands
// everything to the group backtest core; the core's result becomes the public
// record.
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "imports.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "report.hpp"
#include "request.hpp"
#include "service.hpp"
#include "validate.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

bool truth(nb::handle value) {
  const int flag = PyObject_IsTrue(value.ptr());
  if (flag < 0) throw nb::python_error();
  return flag == 1;
}

// A usable display name: present, not empty, and not a pandas object (a
// column called "name" makes `table.name` a whole column).
std::optional<nb::object> display_name(nb::handle owner) {
  const nb::object name = nb::getattr(owner, "name", nb::none());
  if (name.is_none()) return std::nullopt;
  const pyglue::Imports& pandas = pyglue::imports();
  for (const nb::object* kind : {&pandas.series, &pandas.data_frame, &pandas.index}) {
    if (nb::isinstance(name, *kind)) return std::nullopt;
  }
  if (nb::len(nb::str(name)) == 0) return std::nullopt;
  return name;
}

}  // namespace

nb::str factor_name(nb::handle factor) {
  std::optional<nb::object> name = display_name(nb::getattr(factor, "columns", nb::none()));
  if (!name) name = display_name(factor);
  return name ? nb::str(*name) : nb::str("factor");
}

nb::object to_public_result(nb::handle core_result, nb::handle name) {
  (void)glue::to_text(name, "factor_name");
  nb::dict plot_paths;
  nb::object charts = nb::getattr(core_result, "plot_paths", nb::none());
  if (!charts.is_none() && nb::len(charts) > 0) {
    for (nb::handle chart : charts) {
      plot_paths[chart] = pyglue::get_item(nb::object(charts[chart]), "primary", nb::str(""));
    }
  }
  const nb::object best = core_result.attr("best_group");
  const nb::object best_group =
      truth(pyglue::imports().notna(best)) ? nb::int_(best) : nb::int_(-1);
  nb::dict fields;
  fields["factor_name"] = name;
  fields["best_group"] = best_group;
  for (const char* field : {"group_daily_return", "group_cumulative_return", "rank_ic"}) {
    fields[field] = core_result.attr(field);
  }
  fields["benchmark_summary"] = core_result.attr("benchmark_summary")();
  fields["plot_paths"] = plot_paths;
  // The research tables, from a core that computes them (the record keeps
  // empty tables otherwise).
  for (const char* table : {"rank_ic_by_horizon", "ic_decay", "monthly_ic", "rank_autocorrelation",
                            "group_turnover", "group_counts"}) {
    if (nb::hasattr(core_result, table)) fields[table] = core_result.attr(table);
  }
  return imports().backtest_result(**fields);
}

nb::object backtest_factor(nb::handle self, const FactorRequest& r) {
  const CheckedFactor c = check_factor_request(r, CheckScope{});
  const nb::object loaded = data_mapping(r.data);
  const nb::object matrices = self.attr("_slice_data")(loaded, c.start_date, c.end_date);
  self.attr("_apply_universe_filter")(matrices, r.universe, c.start_date, c.end_date);
  const nb::object name = self.attr("_factor_name")(r.factor);
  const nb::object path = chart_path(r.output_dir, c.plot_filename);
  const nb::object title = nb::str(c.plot_filename.c_str());

  const auto optional = [&](const char* key) { return pyglue::get_item(matrices, key); };
  ChartFolder folder(r.output_dir);
  const nb::object factor_rows =
      rows_in_range(c.table, "factor", matrices, loaded, c.start_date, c.end_date);
  const ProgressLog progress("因子回测", name, c.start_date, c.end_date, factor_rows);
  nb::dict keywords;
  keywords["factor_matrix"] = factor_rows;
  keywords["industry_matrix"] = optional("industry_matrix");
  keywords["close_price_valid"] = matrices["close_price_valid"];
  add_market_keywords(keywords, matrices);
  keywords["forward_return_rank_cache"] = optional("forward_return_rank_cache");
  keywords["open_price"] = optional("open_price");
  keywords["benchmark_names"] = r.benchmark;
  keywords["rolling_window"] = c.rolling_window;
  keywords["ascending"] = c.ascending;
  keywords["group_num"] = c.group_num;
  add_cost_keywords(keywords, c.costs);
  keywords["plot_image_kind"] = nb::str(c.plot.c_str());
  keywords["plot_save_path"] = path;
  keywords["factor_name"] = name;
  keywords["plot_title"] = title;
  // The research options follow the 25 keywords only when they ask for
  // more than the plain backtest, whose call stays as it always was.
  if (c.horizons != std::vector<std::size_t>{1}) {
    nb::list horizons;
    for (const std::size_t h : c.horizons) horizons.append(static_cast<std::int64_t>(h));
    keywords["horizons"] = nb::tuple(horizons);
  }
  if (c.rebalance_every != 1) keywords["rebalance_every"] = c.rebalance_every;
  if (c.tear_sheet) keywords["tear_sheet"] = true;
  // Looked up on _service's `core` when it runs, as the strategy flow reads
  // `ravelle`: a caller may replace either the module or its runner.
  const nb::object core_result =
      imports().module.attr("core").attr("run_alpha_vwap_backtest_core")(**keywords);
  folder.keep();
  const nb::object record = self.attr("_to_public_result")(core_result, name);
  const nb::object daily = record.attr("group_daily_return");
  progress.done(daily, record.attr("plot_paths"));
  // The primary benchmark's returns beside the groups', for the tools that
  // compare the two (returns_frame).
  record.attr("benchmark_return") =
      benchmark_returns(matrices["benchmark_dict"],
                        primary_benchmark(record.attr("benchmark_summary")), daily, false);
  return record;
}

}  // namespace morvane::service

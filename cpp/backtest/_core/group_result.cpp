#include "group_result.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/benchmark_summary.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

nb::object group_columns(std::size_t n) {
  return glue::int_range_index(1, static_cast<std::int64_t>(n) + 1);
}

nb::object frame(std::vector<double>&& values, std::size_t rows, std::size_t cols, nb::handle index,
                 nb::handle columns) {
  return glue::imports().data_frame(glue::numpy_from(std::move(values), rows, cols),
                                    "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

nb::object rank_ic_frame(const kernels::GroupDays& days, nb::handle dates, bool with_ic) {
  std::vector<std::size_t> kept;
  std::vector<double> ic, neutral;
  const bool industries = !days.neutral_ic.empty();
  if (with_ic) {
    // One row per date that has a factor row (groups or not).
    for (std::size_t i = 0; i < days.days; ++i) {
      if (!days.has_factor[i]) continue;
      kept.push_back(i);
      ic.push_back(days.rank_ic[i]);
      if (industries) neutral.push_back(days.neutral_ic[i]);
    }
  }
  std::vector<std::pair<const char*, std::vector<double>>> columns;
  columns.emplace_back("rank_ic", std::move(ic));
  if (industries) columns.emplace_back("industry_neutral_rank_ic", std::move(neutral));
  return glue::make_float_frame(std::move(columns), glue::take_labels(dates, kept));
}

nb::object summary_of(nb::handle result) {
  return result.attr("_benchmark_summary").attr("copy")();
}

}  // namespace

GroupOutcome build_outcome(const kernels::GroupDays& days, const kernels::HoldingSchedule& schedule,
                           const kernels::GroupTurnover& turnover, kernels::GroupReturns&& returns,
                           nb::handle dates, nb::handle stocks, bool with_ic) {
  GroupOutcome out;
  const std::size_t n = days.groups;
  const std::size_t t_days = returns.days;
  const nb::object columns = group_columns(n);

  // Means per group, then the best: highest mean, lowest number on ties.
  out.group_means.assign(n, kNaN);
  out.best_group = kNaN;
  if (t_days > 0) {
    double best = -std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g < n; ++g) {
      double sum = 0.0;
      for (std::size_t t = 0; t < t_days; ++t) sum += returns.daily[t * n + g];
      out.group_means[g] = sum / static_cast<double>(t_days);
      if (out.group_means[g] > best) {
        best = out.group_means[g];
        out.best_group = static_cast<double>(g + 1);
      }
    }
    if (std::isnan(out.best_group)) out.best_group = 1.0;  // every mean NaN cannot happen
    const auto b = static_cast<std::size_t>(out.best_group) - 1;
    out.best_returns.resize(t_days);
    for (std::size_t t = 0; t < t_days; ++t) out.best_returns[t] = returns.daily[t * n + b];
  }
  std::vector<double> cumulative(returns.daily.size());
  for (std::size_t g = 0; g < n; ++g) {
    double sum = 0.0;
    for (std::size_t t = 0; t < t_days; ++t) {
      sum += returns.daily[t * n + g];
      cumulative[t * n + g] = sum;
    }
  }
  for (double& v : cumulative) v += 1.0;
  const nb::object return_index =
      dates[glue::py_slice(returns.first_day, returns.first_day + t_days)];
  out.group_daily_return = frame(std::move(returns.daily), t_days, n, return_index, columns);
  out.group_cumulative_return = frame(std::move(cumulative), t_days, n, return_index, columns);
  out.rank_ic = rank_ic_frame(days, dates, with_ic);

  out.research = research_tables(days, turnover, dates, out.rank_ic, with_ic);

  std::vector<double> matrix(days.group.size(), kNaN);
  {
    const nb::gil_scoped_release unlocked;
    const std::size_t n_stocks = days.stocks;
    for (std::size_t d = 0; d < days.days; ++d) {
      if (!schedule.holds(d)) continue;
      const std::uint8_t* const held =
          days.group.data() + static_cast<std::size_t>(schedule.source[d]) * n_stocks;
      double* const row = matrix.data() + d * n_stocks;
      for (std::size_t j = 0; j < n_stocks; ++j) {
        row[j] = held[j] == 0 ? kNaN : static_cast<double>(held[j]);
      }
    }
  }
  out.group_matrix = frame(std::move(matrix), days.days, days.stocks, dates, stocks);
  return out;
}

nb::object group_benchmark_summary(const GroupOutcome& outcome, nb::handle benchmark_dict,
                                   const std::vector<std::string>& codes) {
  if (!outcome.has_returns() || codes.empty()) return glue::imports().data_frame();
  nb::dict chosen;
  const nb::dict all = nb::borrow<nb::dict>(benchmark_dict);
  for (const auto& [key, value] : all) {
    const std::string code = nb::cast<std::string>(nb::str(key));
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) chosen[key] = value;
  }
  // In the order the caller chose them.
  nb::dict ordered;
  for (const std::string& code : codes) {
    for (const auto& [key, value] : chosen) {
      if (nb::cast<std::string>(nb::str(key)) == code) ordered[key] = value;
    }
  }
  nb::object summary = glue::benchmark_summary(outcome.group_daily_return.attr("index"),
                                               outcome.best_returns, ordered);
  if (nb::len(summary) > 0) {
    summary.attr("insert")(0, "best_group", static_cast<std::int64_t>(outcome.best_group));
  }
  return summary;
}

nb::object make_result(const GroupOutcome& outcome, nb::handle plot_paths) {
  return imports().group_result(
      "plot_paths"_a = plot_paths, "best_group"_a = outcome.best_group,
      "group_daily_return"_a = outcome.group_daily_return,
      "group_cumulative_return"_a = outcome.group_cumulative_return, "rank_ic"_a = outcome.rank_ic,
      "group_matrix"_a = outcome.group_matrix, "_benchmark_summary"_a = outcome.summary,
      "rank_ic_by_horizon"_a = outcome.research.rank_ic_by_horizon,
      "ic_decay"_a = outcome.research.ic_decay, "monthly_ic"_a = outcome.research.monthly_ic,
      "rank_autocorrelation"_a = outcome.research.rank_autocorrelation,
      "group_turnover"_a = outcome.research.group_turnover,
      "group_counts"_a = outcome.research.group_counts);
}

void define_result_class(nb::module_& m) {
  const nb::object& frame = glue::imports().data_frame;
  const nb::object dataclasses = nb::module_::import_("dataclasses");
  nb::list fields;
  fields.append(
      nb::make_tuple("plot_paths", nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))));
  fields.append(
      nb::make_tuple("best_group", nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type))));
  fields.append(nb::make_tuple("group_daily_return", frame));
  fields.append(nb::make_tuple("group_cumulative_return", frame));
  fields.append(nb::make_tuple("rank_ic", frame));
  fields.append(nb::make_tuple("group_matrix", frame));
  fields.append(
      nb::make_tuple("_benchmark_summary", frame, dataclasses.attr("field")("repr"_a = false)));
  for (const char* name : {"rank_ic_by_horizon", "ic_decay", "monthly_ic", "rank_autocorrelation",
                           "group_turnover", "group_counts"}) {
    fields.append(nb::make_tuple(name, frame, dataclasses.attr("field")("repr"_a = false)));
  }
  const nb::object summary =
      nb::cpp_function(&summary_of, "result"_a, doc::kBenchmarkSummaryMethod);
  nb::dict namespace_;
  namespace_["__doc__"] = doc::kGroupBacktestResult;
  // A bound method over a native function: result.benchmark_summary() hands
  // out a copy, so the record's own table cannot be changed through it.
  namespace_["benchmark_summary"] =
      nb::module_::import_("functools").attr("partialmethod")(summary);
  (void)glue::make_record_class(m, "_GroupBacktestResult", fields, namespace_);
}

}  // namespace morvane::core

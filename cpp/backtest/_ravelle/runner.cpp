#include "runner.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "align_weights.hpp"
#include "benchmarks.hpp"
#include "charts.hpp"
#include "engine.hpp"
#include "imports.hpp"
#include "kernels/strategy_stats.hpp"
#include "ledger.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"
#include "pyglue/labels.hpp"
#include "pyglue/log.hpp"
#include "pyglue/portfolio_params.hpp"
#include "stats.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

// Every argument, checked and converted before any work.
struct Checked {
  std::string primary;
  std::string strategy_name;
  std::optional<std::string> image_kind;
  std::optional<std::string> plot_title;
  std::int64_t rolling_window = 0;
  kernels::PortfolioParams params;
  bool charts = false;
  bool record_trades = false;
};

Checked check_arguments(const RunnerArgs& args) {
  glue::require_market_frames(args.weights, "strategy_matrix", args.market);
  glue::require_dict(args.benchmark_dict, "benchmark_dict", true);
  glue::check_benchmark_series(args.benchmark_dict);
  Checked checked;
  checked.primary = glue::to_text(args.benchmark_names, "benchmark_names");
  checked.rolling_window = glue::to_int(args.rolling_window, "rolling_window");
  checked.params = glue::read_portfolio_params(args.total_money, args.fee, args.rule_fee,
                                               nb::int_(kernels::PortfolioParams{}.lot_size));
  checked.image_kind = glue::to_optional_text(args.plot_image_kind, "plot_image_kind");
  checked.strategy_name = glue::to_text(args.strategy_name, "strategy_name");
  checked.plot_title = glue::to_optional_text(args.plot_title, "plot_title");
  checked.charts = checked.image_kind.has_value() && !args.plot_save_path.is_none();
  checked.record_trades = nb::cast<bool>(nb::bool_(args.record_trades));
  return checked;
}

// The record, with the trade ledger (a TradeLedger) when the run kept one.
nb::object make_result(nb::dict&& fields, std::optional<nb::object> ledger) {
  if (!ledger) return imports().result(**fields);
  fields["ledger"] = *ledger;
  return imports().ledger_result(**fields);
}

// Nothing to backtest: empty returns, all-NaN statistics, no summary, no chart
// (and an empty ledger when one was asked for).
nb::object empty_result(const std::string& strategy_name, bool record_trades) {
  const nb::object empty = glue::empty_float_series();
  nb::dict fields;
  fields["strategy_name"] = strategy_name;
  fields["daily_return"] = empty;
  fields["cumulative_return"] = empty;
  fields["stats"] = empty_stats_dict();
  fields["benchmark_summary"] = glue::imports().data_frame();
  fields["plot_paths"] = nb::dict();
  return make_result(std::move(fields),
                     record_trades ? std::optional<nb::object>(ready_ledger(empty_ledger_tables()))
                                   : std::nullopt);
}

// The primary benchmark's series, or None when the mapping lacks it. A code
// the data lacks (a typo such as "00852", or "all") measures the strategy
// against a zero benchmark: kept, but said.
nb::object primary_series(nb::handle benchmark_dict, const std::string& primary) {
  if (benchmark_dict.is_none()) return nb::none();
  const nb::dict benchmarks = nb::borrow<nb::dict>(benchmark_dict);
  if (benchmarks.contains(primary.c_str())) return benchmarks[primary.c_str()];
  if (nb::len(benchmarks) > 0) {
    std::vector<std::string> codes;
    for (auto [code, series] : benchmarks) codes.push_back(nb::cast<std::string>(nb::str(code)));
    std::sort(codes.begin(), codes.end());
    std::string available;
    for (const std::string& code : codes) available += (available.empty() ? "" : ", ") + code;
    glue::warn_user(
        "基准 %r 不在回测数据中, 按基准收益为 0 计算, 超额指标即策略自身; 可用的基准: %s", primary,
        available);
  }
  return nb::none();
}

// The latest date among the weighted rows of the weight table, and which
// engine days fall on or before it. Text dates are compared by their bytes,
// which is their order as texts; other labels by pandas.
class LastWeightDate {
 public:
  LastWeightDate(nb::handle index, const std::vector<std::size_t>& weighted_rows) {
    if (const std::optional<glue::TextLabels> texts = glue::text_labels(index)) {
      std::string_view last = texts->texts[weighted_rows.front()];
      for (const std::size_t row : weighted_rows) last = std::max(last, texts->texts[row]);
      text_ = std::string(last);
    } else {
      label_ = glue::take_labels(index, weighted_rows).attr("max")();
    }
  }

  [[nodiscard]] std::vector<std::uint8_t> on_or_before(nb::handle dates) const {
    const std::size_t n = nb::len(dates);
    std::vector<std::uint8_t> out(n, 0);
    if (text_) {
      if (const std::optional<glue::TextLabels> texts = glue::text_labels(dates)) {
        for (std::size_t i = 0; i < n; ++i) out[i] = texts->texts[i] <= *text_;
        return out;
      }
    }
    const nb::object last = text_ ? nb::object(nb::str(text_->data(), text_->size())) : label_;
    const nb::list flags = glue::python_values(glue::at_most(dates, last));
    for (std::size_t i = 0; i < n; ++i) out[i] = nb::cast<bool>(flags[i]);
    return out;
  }

 private:
  std::optional<std::string> text_;
  nb::object label_;
};

// The per-day backtest table of the joined days, with its rows that hold a
// NaN dropped, and the statistics of it.
struct Backtest {
  nb::object total;
  nb::object dates;              // the table's row labels
  nb::object daily_series;       // total["daily_return"]
  nb::object cumulative_series;  // total["long"]
  nb::dict stats;
  std::vector<double> daily_return;  // the table's "daily_return"
};

std::optional<Backtest> build_backtest(JoinedDays&& days, bool with_benchmark,
                                       const kernels::WeightFigures& held) {
  const std::vector<std::size_t> rows = [&] {
    const std::span<const double> inputs[] = {days.daily_return, days.index_daily_return,
                                              days.close};
    return kernels::complete_rows(inputs);
  }();
  if (rows.empty()) return std::nullopt;
  std::vector<double> daily = kernels::take(days.daily_return, rows);
  std::vector<double> index_daily = kernels::take(days.index_daily_return, rows);
  std::vector<double> close = kernels::take(days.close, rows);
  const nb::object dates = glue::take_labels(days.index, rows);

  kernels::TotalColumns derived = kernels::build_total_columns(daily, index_daily, close);
  // The statistics skip the days on which a derived figure is NaN.
  const kernels::TotalView all{daily,
                               index_daily,
                               derived.extra_daily_return,
                               derived.long_nav,
                               derived.close_net_value,
                               derived.max_drawdown,
                               derived.extra_return,
                               derived.extra_max_drawdown};
  const std::span<const double> every[] = {
      all.daily_return,       all.index_daily_return, close,
      all.extra_daily_return, all.long_nav,           all.close_net_value,
      all.max_drawdown,       all.extra_return,       all.extra_max_drawdown};
  const std::vector<std::size_t> clean = kernels::complete_rows(every);
  nb::dict stats;
  if (clean.empty()) {
    stats = empty_stats_dict();
  } else {
    std::vector<std::vector<double>> kept_columns;
    const std::span<const double> wanted[] = {all.daily_return,       all.index_daily_return,
                                              all.extra_daily_return, all.long_nav,
                                              all.close_net_value,    all.max_drawdown,
                                              all.extra_return,       all.extra_max_drawdown};
    for (const auto& column : wanted) kept_columns.push_back(kernels::take(column, clean));
    const kernels::TotalView view{kept_columns[0], kept_columns[1], kept_columns[2],
                                  kept_columns[3], kept_columns[4], kept_columns[5],
                                  kept_columns[6], kept_columns[7]};
    stats = stats_dict(kernels::strategy_stats(view, held));
  }

  Backtest out;
  out.daily_return = daily;
  // The result's two series, built directly rather than cut from the table.
  out.daily_series = glue::make_series(std::vector<double>(daily), dates, "daily_return");
  out.cumulative_series = glue::make_series(std::vector<double>(derived.long_nav), dates, "long");
  std::vector<std::pair<const char*, std::vector<double>>> columns;
  columns.emplace_back("daily_return", std::move(daily));
  if (with_benchmark) {
    columns.emplace_back("close", std::move(close));
    columns.emplace_back("index_daily_return", std::move(index_daily));
  } else {
    columns.emplace_back("index_daily_return", std::move(index_daily));
    columns.emplace_back("close", std::move(close));
  }
  columns.emplace_back("extra_daily_return", std::move(derived.extra_daily_return));
  columns.emplace_back("long", std::move(derived.long_nav));
  columns.emplace_back("close_net_value", std::move(derived.close_net_value));
  columns.emplace_back("max_drowdown", std::move(derived.max_drawdown));
  columns.emplace_back("extra_return", std::move(derived.extra_return));
  columns.emplace_back("extra_max_drowdown", std::move(derived.extra_max_drawdown));
  out.total = glue::make_float_frame(std::move(columns), dates);
  out.dates = dates;
  out.stats = std::move(stats);
  return out;
}

}  // namespace

nb::object run_strategy_backtest(const RunnerArgs& args) {
  const Checked checked = check_arguments(args);

  WorkWeights weights = work_weights(args.weights, args.market.close_price, checked.rolling_window);
  TradedWeights traded =
      trade_work_weights(weights, args.market, checked.params, checked.record_trades);
  if (traded.weighted_rows.empty()) {
    // An empty input is the caller's choice of dates (the service says so);
    // two tables with rows and nothing in common are a mismatch of labels.
    if (nb::len(args.weights) > 0 && nb::len(args.market.close_price) > 0) {
      glue::warn_user(
          "策略权重对齐行情%s后没有任何一行有权重 (权重 %s, 行情 %s; 日期与股票代码须对得上), "
          "结果为空",
          checked.rolling_window > 1 ? "并平滑" : "", glue::date_span(args.weights.attr("index")),
          glue::date_span(args.market.close_price.attr("index")));
    }
    return empty_result(checked.strategy_name, checked.record_trades);
  }
  const LastWeightDate last_weight_date(weights.matrix.index, traded.weighted_rows);
  EngineRun& run = traded.run;
  if (run.pnl_index.is_none()) return empty_result(checked.strategy_name, checked.record_trades);

  // Returns dated after the last weights are not the strategy's.
  const std::vector<std::uint8_t> on_or_before = last_weight_date.on_or_before(run.pnl_index);
  std::vector<std::size_t> trimmed_rows;
  std::vector<double> trimmed;
  for (std::size_t i = 0; i < run.returns.size(); ++i) {
    if (on_or_before[i]) {
      trimmed_rows.push_back(i);
      trimmed.push_back(run.returns[i]);
    }
  }
  if (trimmed.empty()) return empty_result(checked.strategy_name, checked.record_trades);
  const nb::object dates = glue::take_labels(run.pnl_index, trimmed_rows);

  const nb::object primary = primary_series(args.benchmark_dict, checked.primary);
  const std::string primary_name =
      "benchmark_dict[" + nb::cast<std::string>(nb::repr(nb::str(checked.primary.c_str()))) + "]";
  JoinedDays days =
      join_primary_benchmark(dates, std::move(trimmed), primary, primary_name.c_str());
  if (days.daily_return.empty()) {
    // Often a mismatch of label types (numbers against "YYYYMMDD" texts).
    glue::warn_user("主基准 %s 与策略收益没有共同日期 (%s 至 %s), 返回空结果", checked.primary,
                    dates.attr("min")(), dates.attr("max")());
    return empty_result(checked.strategy_name, checked.record_trades);
  }

  std::optional<Backtest> backtest =
      build_backtest(std::move(days), !primary.is_none(), traded.figures);
  if (!backtest) return empty_result(checked.strategy_name, checked.record_trades);

  const nb::object summary =
      glue::benchmark_summary(backtest->dates, backtest->daily_return, args.benchmark_dict);
  nb::dict plot_paths;
  if (checked.charts) {
    plot_paths = draw_strategy_charts({backtest->total, backtest->stats, checked.strategy_name,
                                       checked.plot_title, *checked.image_kind, args.plot_save_path,
                                       checked.primary, checked.rolling_window});
  }
  std::optional<nb::object> ledger;
  if (checked.record_trades) {
    ledger = deferred_ledger(run.trades, checked.params, backtest->dates);
  }
  nb::dict fields;
  fields["strategy_name"] = checked.strategy_name;
  fields["daily_return"] = backtest->daily_series;
  fields["cumulative_return"] = backtest->cumulative_series;
  fields["stats"] = backtest->stats;
  fields["benchmark_summary"] = summary;
  fields["plot_paths"] = plot_paths;
  return make_result(std::move(fields), ledger);
}

}  // namespace morvane::ravelle

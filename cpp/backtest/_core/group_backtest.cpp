#include "group_backtest.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "aligned.hpp"
#include "factor_chart.hpp"
#include "group_result.hpp"
#include "imports.hpp"
#include "kernels/gather.hpp"
#include "kernels/group_days.hpp"
#include "kernels/group_holding.hpp"
#include "kernels/group_portfolio.hpp"
#include "pyglue/args.hpp"
#include "pyglue/benchmark_summary.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"
#include "pyglue/log.hpp"
#include "pyglue/market.hpp"
#include "pyglue/portfolio_params.hpp"
#include "tear_sheet.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every argument, checked and converted before any work.
struct Checked {
  std::size_t group_num = 20;
  std::size_t rolling_window = 0;
  bool ascending = false;
  kernels::PortfolioParams params;
  std::optional<std::string> image_kind;
  std::string factor_name;
  std::optional<std::string> plot_title;
  std::vector<std::string> benchmarks;  // chosen codes, in order
  std::vector<std::size_t> horizons{1};
  std::size_t rebalance_every = 1;
  bool tear_sheet = false;
};

Checked check_arguments(const GroupBacktestArgs& args) {
  const char* const names[] = {
      "factor_matrix",   "close_price_valid", "can_buy_stock", "cant_sell_stock", "split_factor",
      "dividend_factor", "close_price",       "prev_close",    "buy_price",       "sell_price"};
  const nb::handle tables[] = {args.factor_matrix,   args.close_price_valid, args.can_buy_stock,
                               args.cant_sell_stock, args.split_factor,      args.dividend_factor,
                               args.close_price,     args.prev_close,        args.buy_price,
                               args.sell_price};
  for (std::size_t k = 0; k < std::size(tables); ++k) glue::require_dataframe(tables[k], names[k]);
  const char* const optional_names[] = {"industry_matrix", "forward_return_rank_cache",
                                        "open_price"};
  const nb::handle optional_tables[] = {args.industry_matrix, args.forward_return_rank_cache,
                                        args.open_price};
  for (std::size_t k = 0; k < std::size(optional_tables); ++k) {
    if (!optional_tables[k].is_none())
      glue::require_dataframe(optional_tables[k], optional_names[k]);
  }
  glue::require_dict(args.benchmark_dict, "benchmark_dict", true);
  glue::check_benchmark_series(args.benchmark_dict);

  Checked checked;
  checked.group_num = glue::read_group_num(args.group_num);
  checked.rolling_window = glue::read_rolling_window(args.rolling_window, "rolling_window");
  checked.ascending = nb::cast<bool>(nb::bool_(args.ascending));
  checked.params = glue::read_portfolio_params(args.total_money, args.fee, args.rule_fee,
                                               nb::int_(kernels::PortfolioParams{}.lot_size));
  checked.image_kind = glue::to_optional_text(args.plot_image_kind, "plot_image_kind");
  if (checked.image_kind && *checked.image_kind != "long" && *checked.image_kind != "large") {
    glue::raise_value_error("参数 plot_image_kind 只能是 \"long\" 或 \"large\", 收到 \"" +
                            *checked.image_kind + "\"");
  }
  if (!args.plot_save_path.is_none()) static_cast<void>(chart_path_text(args.plot_save_path));
  checked.factor_name = glue::to_text(args.factor_name, "factor_name");
  checked.plot_title = glue::to_optional_text(args.plot_title, "plot_title");
  checked.benchmarks =
      glue::choose_benchmarks(args.benchmark_names, args.benchmark_dict, "benchmark_names");
  checked.horizons = glue::read_horizons(args.horizons);
  checked.rebalance_every = glue::read_rebalance_every(args.rebalance_every);
  checked.tear_sheet = nb::cast<bool>(nb::bool_(args.tear_sheet));
  // The rank cache holds one-day returns only; longer ones come from the opens.
  if (checked.horizons.back() > 1 && args.open_price.is_none() &&
      !args.forward_return_rank_cache.is_none()) {
    glue::raise_value_error(
        "参数 horizons 含多于 1 天的持有期, 需要开盘价 open_price 计算远期收益 "
        "(forward_return_rank_cache 只有 1 天的收益)");
  }
  return checked;
}

// Lag 1 and every holding period, ascending.
std::vector<std::size_t> autocorrelation_lags(const std::vector<std::size_t>& horizons) {
  std::vector<std::size_t> lags{1};
  for (const std::size_t h : horizons) {
    if (h != 1) lags.push_back(h);
  }
  return lags;
}

// The factor as the days read it: its rows (smoothed down its own rows when
// asked) and, per market date, the row to read or -1. Without smoothing, a
// factor whose stocks line up with the market's is read in place, whatever
// its dates: the days look their rows up by label.
struct FactorRows {
  glue::LabelledMatrix<double> source;  // keeps the table's array alive
  std::vector<double> values;           // the gathered copy, when one was needed
  kernels::MatrixView<double> view;
  std::vector<std::int64_t> row_of_day;
};

FactorRows read_factor(nb::handle factor_matrix, nb::handle dates, nb::handle stocks,
                       std::size_t window) {
  FactorRows out;
  out.source = glue::read_float_frame(factor_matrix, "factor_matrix");
  const kernels::MatrixView<double>& src = out.source.view;
  out.row_of_day = glue::label_positions(out.source.index, dates, "factor_matrix", "行");
  const std::vector<std::int64_t> cols =
      glue::label_positions(out.source.columns, stocks, "factor_matrix", "列");
  if (window <= 1 && !cols.empty() && kernels::is_consecutive(cols)) {
    out.view = src;
    out.view.data = src.rows == 0 ? src.data : &src(0, static_cast<std::size_t>(cols.front()));
    out.view.cols = cols.size();
    return out;
  }
  std::vector<std::int64_t> rows;
  if (window > 1) {
    rows.resize(src.rows);
    std::iota(rows.begin(), rows.end(), 0);
  } else {
    // Without smoothing only the market's dates are read, in their order.
    rows = out.row_of_day;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (out.row_of_day[i] >= 0) out.row_of_day[i] = static_cast<std::int64_t>(i);
    }
  }
  out.values.resize(rows.size() * cols.size());
  {
    const nb::gil_scoped_release unlocked;
    kernels::gather_matrix<double>(src, rows, cols, kNaN, out.values);
    kernels::rolling_mean_columns(out.values, rows.size(), cols.size(), window);
  }
  out.source = {};  // a converted table is not needed once gathered
  out.view = kernels::row_major_view(out.values.data(), rows.size(), cols.size());
  return out;
}

// Groups need at least `group_num` eligible stocks (finite factor, inside the
// universe) on a day; a day with fewer forms none. Said when it happens, and
// loudly when it happens every day: the result then has no group returns.
void warn_about_short_days(const kernels::GroupDays& days, nb::handle factor_dates,
                           nb::handle market_dates) {
  std::size_t with_stocks = 0, short_days = 0, formed = 0;
  std::uint32_t most = 0, fewest = std::numeric_limits<std::uint32_t>::max();
  for (std::size_t d = 0; d < days.days; ++d) {
    if (days.has_factor[d] == 0 || days.eligible[d] == 0) continue;
    ++with_stocks;
    formed += days.formed[d];
    most = std::max(most, days.eligible[d]);
    if (days.formed[d] == 0) {
      ++short_days;
      fewest = std::min(fewest, days.eligible[d]);
    }
  }
  const auto groups = static_cast<std::int64_t>(days.groups);
  // An empty input is the caller's choice of dates (the service says so).
  if (nb::len(factor_dates) == 0 || nb::len(market_dates) == 0) return;
  if (with_stocks == 0) {
    glue::warn_user(
        "因子与行情没有可分组的股票日 (因子 %s, 行情 %s; 需要日期与股票代码都对得上、"
        "因子值有限且在选股范围内), 结果为空",
        glue::date_span(factor_dates), glue::date_span(market_dates));
  } else if (formed == 0) {
    glue::warn_user(
        "每个交易日可分组的股票都少于分组数 group_num=%d (最多 %d 只), 没有分组收益; "
        "请减少分组数或扩大选股范围",
        groups, most);
  } else if (short_days > 0) {
    glue::warn_user(
        "有 %d 个交易日可分组的股票少于分组数 group_num=%d (最少 %d 只), 这些交易日不分组",
        short_days, groups, fewest);
  }
}

// A failure of the native computation (memory, an internal error) reaches the
// caller as MorvaneError, as every failed backtest computation does.
template <class F>
auto computing(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const nb::python_error&) {
    throw;
  } catch (const std::exception& e) {
    PyErr_SetString(imports().morvane_error.ptr(),
                    (std::string("因子分组回测计算失败: ") + e.what()).c_str());
    throw nb::python_error();
  }
}

}  // namespace

nb::object run_group_backtest(const GroupBacktestArgs& args, std::size_t threads) {
  const Checked checked = check_arguments(args);
  const glue::FrameLabels market_labels = glue::labels_of(args.close_price);
  const nb::object dates = glue::imports().index(market_labels.index);
  const nb::object stocks = glue::imports().index(market_labels.columns);

  FactorRows factor = read_factor(args.factor_matrix, dates, stocks, checked.rolling_window);
  const AlignedMatrix valid = align_to(args.close_price_valid, "close_price_valid", dates, stocks);
  std::optional<AlignedMatrix> cache, open, industry;
  kernels::GroupDayInputs in;
  if (!args.forward_return_rank_cache.is_none()) {
    cache = align_to(args.forward_return_rank_cache, "forward_return_rank_cache", dates, stocks);
    in.forward.rank_cache = cache->view;
  }
  // The opens give the forward returns without a cache, and those over more
  // than one day in any case.
  if (!args.open_price.is_none() && (!cache || checked.horizons.back() > 1)) {
    open = align_to(args.open_price, "open_price", dates, stocks);
    in.forward.open = open->view;
  }
  if (!args.industry_matrix.is_none()) {
    industry = align_to(args.industry_matrix, "industry_matrix", dates, stocks);
    in.industry = industry->view;
  }
  const glue::MarketTables tables{args.can_buy_stock,   args.cant_sell_stock, args.split_factor,
                                  args.dividend_factor, args.close_price,     args.prev_close,
                                  args.buy_price,       args.sell_price};
  const glue::MarketArrays market = glue::build_market_arrays(dates, stocks, tables);
  in.factor = factor.view;
  in.factor_row = factor.row_of_day;
  in.valid = valid.view;
  in.group_num = checked.group_num;
  in.ascending = checked.ascending;
  in.horizons = checked.horizons;
  in.lags = autocorrelation_lags(checked.horizons);

  kernels::GroupDays days;
  kernels::HoldingSchedule schedule;
  kernels::GroupReturns returns;
  kernels::GroupTurnover turnover;
  computing([&] {
    const nb::gil_scoped_release unlocked;
    days = kernels::run_group_days(in, threads);
    schedule = kernels::holding_schedule(days, checked.rebalance_every);
    returns = kernels::run_group_portfolios(days, schedule, market.view, checked.params, threads);
    turnover = kernels::group_turnover(days, schedule);
    return 0;
  });
  factor = FactorRows{};  // the copy, if any, is not needed for the results
  warn_about_short_days(days, args.factor_matrix.attr("index"), dates);

  GroupOutcome outcome =
      build_outcome(days, schedule, turnover, std::move(returns), dates, stocks, in.forward.any());
  outcome.summary = group_benchmark_summary(outcome, args.benchmark_dict, checked.benchmarks);
  nb::dict plot_paths;
  if (checked.image_kind && !args.plot_save_path.is_none() && outcome.has_returns()) {
    ChartRequest request{&outcome,
                         args.benchmark_dict,
                         checked.benchmarks,
                         *checked.image_kind,
                         checked.plot_title && !checked.plot_title->empty() ? *checked.plot_title
                                                                            : checked.factor_name,
                         checked.factor_name};
    plot_paths = draw_factor_charts(request, args.plot_save_path);
    if (checked.tear_sheet) {
      plot_paths["tear_sheet"] = draw_tear_sheet(outcome, request.title, args.plot_save_path);
    }
  }
  return make_result(outcome, plot_paths);
}

}  // namespace morvane::core

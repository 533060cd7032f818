#include "perf_figure.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "chart_format.hpp"
#include "kernels/series_stats.hpp"
#include "module_body.hpp"
#include "mpl.hpp"
#include "perf_summary.hpp"
#include "pyglue/args.hpp"
#include "pyglue/dates.hpp"
#include "yearly_table.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;
using draw::Axes;

constexpr const char* kStrategy = "#2563eb";
constexpr const char* kBenchmark = "#111827";
constexpr const char* kExcess = "#ef4444";

// Sizes that differ between the tall and the wide layout.
struct Sizes {
  bool tall;
  [[nodiscard]] double pick(double tall_value, double wide_value) const {
    return tall ? tall_value : wide_value;
  }
};

std::vector<double> minus_one(std::vector<double> values) {
  for (double& v : values) v -= 1.0;
  return values;
}

struct Panels {
  draw::Figure figure;
  Axes cards{}, cum{}, excess{}, year{}, rolling{}, drawdown{}, table{}, yearly_table{};
};

// Grid row and column span of each panel, in the order of Panels' axes.
struct Span {
  long row, first_col, end_col;
};
constexpr Span kTallSpans[] = {{0, 0, 2}, {1, 0, 2}, {2, 0, 2}, {3, 0, 1},
                               {3, 1, 2}, {4, 0, 2}, {5, 0, 2}, {6, 0, 2}};
constexpr Span kWideSpans[] = {{0, 0, 3}, {1, 0, 2}, {1, 2, 3}, {2, 0, 1},
                               {2, 1, 2}, {2, 2, 3}, {3, 0, 1}, {3, 1, 3}};

draw::PanelGrid tall_grid(const draw::Figure& figure) {
  // The page margins are set before the panels, so that the panels' final
  // widths are known while they are drawn (date ticks, wrapped texts).
  figure.margins({.left = 0.06, .right = 0.94, .top = 0.965, .bottom = 0.035});
  return figure.grid({.rows = 7,
                      .cols = 2,
                      .height_ratios = {0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0},
                      .hspace = 0.42,
                      .wspace = 0.22});
}

draw::PanelGrid wide_grid(const draw::Figure& figure) {
  return figure.grid({.rows = 4,
                      .cols = 3,
                      .height_ratios = {0.78, 2.75, 2.35, 1.95},
                      // wspace 0.3: the cumulative panel's right axis ("Drawdown")
                      // and the excess panel's left axis ("Excess Return") share
                      // this gap.
                      .width_ratios = {1.12, 1.12, 1.0},
                      .hspace = 0.3,
                      .wspace = 0.3,
                      .margins = {.left = 0.045, .right = 0.955, .top = 0.915, .bottom = 0.045}});
}

Panels make_panels(const Sizes& size) {
  Panels p{draw::Figure({.size = size.tall ? std::pair{15.5, 34.0} : std::pair{21.5, 12.6},
                         .constrained_layout = false})};
  const draw::PanelGrid grid = size.tall ? tall_grid(p.figure) : wide_grid(p.figure);
  Axes* const axes[] = {&p.cards,   &p.cum,      &p.excess, &p.year,
                        &p.rolling, &p.drawdown, &p.table,  &p.yearly_table};
  const Span* const spans = size.tall ? kTallSpans : kWideSpans;
  for (std::size_t k = 0; k < std::size(axes); ++k) {
    *axes[k] = grid.panel(spans[k].row, spans[k].first_col, spans[k].end_col);
  }
  return p;
}

void draw_cards(const Axes& ax, nb::handle stats, const Sizes& size) {
  const std::pair<const char*, std::string> cards[] = {
      {"Strategy Ann.", format_pct_points(stat_value(stats, "annual_return"))},
      {"Strategy Sharpe", format_num(stat_value(stats, "long_sharp"))},
      {"Strategy Max DD", format_pct(stat_value(stats, "max_dd"))},
      {"Excess Ann.", format_pct_points(stat_value(stats, "extra_annual_return"))},
      {"Excess Sharpe", format_num(stat_value(stats, "extra_sharp"))},
      {"Excess Max DD", format_pct(stat_value(stats, "extra_max_dd"))},
      {"Strategy Win", format_pct(stat_value(stats, "win_rate"))},
      {"Excess Win", format_pct(stat_value(stats, "excess_win_rate"))},
      {"Turnover", format_pct(stat_value(stats, "turnover"))},
  };
  ax.axis_off();
  const double n = static_cast<double>(std::size(cards));
  nb::dict box;
  box["boxstyle"] = "round,pad=0.30";
  box["facecolor"] = "white";
  box["edgecolor"] = "#d6dbe6";
  box["linewidth"] = 1.0;
  for (std::size_t i = 0; i < std::size(cards); ++i) {
    const double x = (static_cast<double>(i) + 0.5) / n;
    ax.text(x, 0.58, cards[i].second,
            {.ha = "center",
             .va = "center",
             .fontsize = size.pick(13.0, 12.2),
             .fontweight = "bold",
             .color = "#0f172a",
             .bbox = box,
             .in_axes = true});
    ax.text(x, 0.16, cards[i].first,
            {.ha = "center",
             .va = "center",
             .fontsize = size.pick(8.5, 8.0),
             .color = "#64748b",
             .in_axes = true});
  }
}

// Room a year label takes along the yearly panel's axis, in points: four
// digits at 10 points and a gap, upright in the wide layout, at 45 degrees
// (its box's width) in the tall one.
constexpr double kWideYearLabelPoints = 34.0;
constexpr double kTallYearLabelPoints = 30.0;

struct Curves {
  nb::object dates;
  nb::object strategy_cum, benchmark_cum, excess_cum, strategy_dd, benchmark_dd, excess_dd;
};

draw::Title panel_title(const Sizes& size) {
  return {.fontsize = size.pick(12.5, 11.5), .y = kTitleY};
}

// What the two return panels share once their curves are drawn: the zero
// line, title and labels, percentage axes, one legend for both axes, dates.
void finish_return_panel(const Axes& ax, const Axes& twin, const char* title, const char* ylabel,
                         double legend_fontsize, const Sizes& size) {
  zero_line(ax);
  ax.title(title, panel_title(size));
  ax.ylabel(ylabel);
  ax.y_percent();
  twin.ylabel("Drawdown", size.pick(10, 9));
  twin.y_percent();
  plain_twin(twin);
  combined_legend(ax, twin, "upper left", legend_fontsize);
  ax.date_ticks();
}

void draw_cumulative(const Axes& ax, const Curves& c, const std::string& bench, const Sizes& size) {
  ax.line(c.dates, c.strategy_cum, {.color = kStrategy, .linewidth = 2.4, .label = "Strategy"});
  ax.line(c.dates, c.benchmark_cum,
          {.color = kBenchmark, .linewidth = 1.7, .linestyle = "--", .label = bench});
  // The drawdown areas sit behind the lines.
  const Axes twin = ax.twin_x_behind();
  twin.area(c.dates, c.strategy_dd,
            {.color = "#bfdbfe", .alpha = 0.28, .zorder = 0, .label = "Strategy Drawdown"});
  twin.area(c.dates, c.benchmark_dd,
            {.color = "#d1d5db", .alpha = 0.24, .zorder = 0, .label = bench + " Drawdown"});
  finish_return_panel(ax, twin, "Cumulative Return", "Return", size.pick(9.0, 8.2), size);
}

void draw_excess(const Axes& ax, const Curves& c, const Sizes& size) {
  ax.line(c.dates, c.excess_cum, {.color = kExcess, .linewidth = 2.2, .label = "Excess Return"});
  const Axes twin = ax.twin_x();
  twin.area(c.dates, c.excess_dd, {.color = "#fecaca", .alpha = 0.34, .label = "Excess Drawdown"});
  finish_return_panel(ax, twin, "Excess Return & Drawdown", "Excess Return", size.pick(9.0, 8.0),
                      size);
}

void draw_yearly(const Axes& ax, nb::handle yearly, const std::string& bench, const Sizes& size) {
  const std::size_t n = nb::len(yearly);
  if (n > 0) {
    // Three bars a year, side by side around the year's position.
    const double width = 0.26;
    std::vector<double> x(n);
    std::vector<double> left(n);
    std::vector<double> right(n);
    for (std::size_t k = 0; k < n; ++k) {
      x[k] = static_cast<double>(k);
      left[k] = x[k] - width;
      right[k] = x[k] + width;
    }
    const std::vector<double> strategy = column_values(yearly, "daily_return");
    const std::vector<double> benchmark = column_values(yearly, "index_daily_return");
    const std::vector<double> excess = column_values(yearly, "extra_daily_return");
    ax.bars(numpy_array(left), numpy_array(strategy),
            {.width = width, .color = kStrategy, .alpha = 0.86, .label = "Strategy"});
    ax.bars(numpy_array(x), numpy_array(benchmark),
            {.width = width, .color = kBenchmark, .alpha = 0.72, .label = bench});
    ax.bars(numpy_array(right), numpy_array(excess),
            {.width = width, .color = kExcess, .alpha = 0.82, .label = "Excess"});

    double max_abs = std::numeric_limits<double>::quiet_NaN();
    for (const std::vector<double>* column : {&strategy, &benchmark, &excess}) {
      for (const double v : *column) {
        if (!std::isnan(v))
          max_abs = std::isnan(max_abs) ? std::abs(v) : std::max(max_abs, std::abs(v));
      }
    }
    const double offset = std::isfinite(max_abs) ? std::max(max_abs * 0.025, 0.003) : 0.003;
    // Each excess bar's value written along it, above a gain, below a loss.
    for (std::size_t k = 0; k < n; ++k) {
      const double value = excess[k];
      if (std::isnan(value)) continue;
      const bool up = value >= 0.0;
      ax.text(right[k], up ? value + offset : value - offset, format_pct(nb::float_(value)),
              {.ha = "center",
               .va = up ? "bottom" : "top",
               .fontsize = size.pick(8.2, 7.6),
               .color = "#991b1b",
               .rotation = 90});
    }
    ax.object().attr("margins")("y"_a = 0.22);
    ax.xticks(numpy_array(x));
    nb::list labels;
    // Every bar keeps its tick; with more years than the panel's width holds
    // labels for, every step-th year is named (all of them ran together).
    const double per_label = size.pick(kTallYearLabelPoints, kWideYearLabelPoints);
    const auto step = static_cast<std::size_t>(
        std::ceil(static_cast<double>(n) * per_label / ax.size_points().first));
    std::size_t position = 0;
    for (nb::handle year : yearly.attr("index")) {
      labels.append(position++ % std::max<std::size_t>(step, 1) == 0 ? nb::str(year) : nb::str(""));
    }
    if (size.tall) {
      ax.xticklabels(labels, {.rotation = 45, .ha = "right"});
    } else {
      ax.xticklabels(labels, {.rotation = 0, .ha = "center"});
    }
    ax.legend(framed_legend("best", size.pick(9.0, 8.0)));
  } else {
    ax.note("No yearly data");
  }
  zero_line(ax);
  ax.title("Yearly Return", panel_title(size));
  ax.y_percent();
}

void draw_rolling(const Axes& ax, nb::handle daily, const nb::object& dates, const Sizes& size) {
  const std::size_t rows = nb::len(daily);
  const std::size_t full = static_cast<std::size_t>(kRollingStabilityDays);
  const std::size_t days =
      rows >= full ? full : std::max<std::size_t>(kMinRollingStabilityDays, rows / 3);
  if (rows >= days && days > 1) {
    const kernels::RollingStability rolling = kernels::rolling_stability(
        column_values(daily, "extra_daily_return"), days, kTradingDaysPerYear);
    const std::string window = std::to_string(days);
    ax.line(dates, numpy_array(rolling.sharpe),
            {.color = "#7c3aed", .linewidth = 2.0, .label = window + "D Excess Sharpe"});
    zero_line(ax);
    const Axes twin = ax.twin_x();
    twin.line(dates, numpy_array(rolling.win_rate),
              {.color = "#16a34a", .linewidth = 1.6, .alpha = 0.8, .label = window + "D Win Rate"});
    twin.y_percent();
    plain_twin(twin);
    combined_legend(ax, twin, "best", size.pick(9.0, 7.8));
    ax.date_ticks();
  } else {
    ax.note("Not enough data");
  }
  ax.title("Rolling Excess Stability", panel_title(size));
}

void draw_drawdown(const Axes& ax, const Curves& c, const Sizes& size) {
  ax.area(c.dates, c.strategy_dd,
          {.color = "#bfdbfe", .alpha = 0.62, .label = "Strategy Drawdown"});
  ax.line(c.dates, c.excess_dd, {.color = kExcess, .linewidth = 1.7, .label = "Excess Drawdown"});
  zero_line(ax);
  ax.title("Drawdown", panel_title(size));
  ax.y_percent();
  ax.legend(framed_legend("lower left", size.pick(9.0, 8.0)));
  ax.date_ticks();
}

}  // namespace

void plot_strategy_performance_unlocked(const ChartArgs& args) {
  glue::require_dataframe(args.total, "total");
  glue::require_dict(args.stats, "stats", false);
  const ChartTexts texts = chart_texts(args.strategy_name, args.plot_title, args.save_path,
                                       args.image_kind, args.benchmark_name);
  const std::string& bench = texts.benchmark_name;
  const std::int64_t rolling_window = glue::to_int(args.rolling_window, "rolling_window");

  glue::begin_chart();
  const nb::object plot_df = imports().with_datetime_index(args.total);
  if (nb::len(plot_df) == 0) return;

  const nb::object dates = plot_df.attr("index");
  const nb::object x = plot_dates(dates);
  const std::vector<std::int32_t> days = glue::index_date_numbers(dates, "total");
  const std::vector<double> close_net_value = column_values(plot_df, "close_net_value");
  const Curves curves{x,
                      numpy_array(minus_one(column_values(plot_df, "long"))),
                      numpy_array(minus_one(close_net_value)),
                      numpy_array(column_values(plot_df, "extra_return")),
                      numpy_array(column_values(plot_df, "max_drowdown")),
                      numpy_array(kernels::drawdown_from_peak(close_net_value)),
                      numpy_array(column_values(plot_df, "extra_max_drowdown"))};
  const nb::object daily = daily_returns(plot_df);
  const nb::object yearly = daily.attr("groupby")(daily.attr("index").attr("year")).attr("sum")();
  const nb::object yearly_metrics = module_function("_calc_yearly_performance_metrics")(daily);

  const Sizes size{texts.tall()};
  const ChartFonts fonts({texts.title(), bench});
  const Panels p = make_panels(size);
  const FigureGuard guard(p.figure.object());

  p.figure.suptitle(texts.title() + " | Benchmark " + bench + " | Strategy Performance",
                    {.fontsize = size.pick(17, 15),
                     .fontweight = "bold",
                     .color = kBenchmark,
                     .y = size.pick(0.986, 0.975)});
  draw_cards(p.cards, args.stats, size);
  draw_cumulative(p.cum, curves, bench, size);
  draw_excess(p.excess, curves, size);
  draw_yearly(p.year, yearly, bench, size);
  draw_rolling(p.rolling, daily, x, size);
  draw_drawdown(p.drawdown, curves, size);
  draw_summary_table(p.table, days, args.stats, yearly, rolling_window, bench, size.tall);
  module_function("_draw_yearly_metrics_table")(p.yearly_table.object(), yearly_metrics,
                                                "compact"_a = !size.tall,
                                                "partial_years"_a = partial_years(days));
  for (const Axes* ax : {&p.cum, &p.excess, &p.year, &p.rolling, &p.drawdown}) style_panel(*ax);

  p.figure.save(texts.save_path, size.tall ? 145 : 165);
}

}  // namespace morvane::ravelle

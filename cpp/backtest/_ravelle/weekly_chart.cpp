#include "weekly_chart.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kernels/series_stats.hpp"
#include "mpl.hpp"
#include "pyglue/args.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"
#include "yearly_table.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;
using draw::Axes;

// Room the yearly table's title and partial-year note take in its panel.
constexpr double kTitleAndNotePoints = 44.0;

nb::list names(std::initializer_list<const char*> columns) {
  nb::list out;
  for (const char* column : columns) out.append(column);
  return out;
}

// The yearly table's font size: the table layout's 7.8 / 8.4 points are
// meant for the dashboard's narrow bottom panel and look tiny on this page, so
// the table grows to fill its panel's height (title and note included), up to
// the size of the chart's other texts (the table then also keeps it within
// its columns' widths).
double table_font_size(const Axes& ax, std::size_t years, bool tall) {
  const double layout_size = tall ? 8.4 : 7.8;
  const double layout_scale = tall ? 1.24 : 1.22;
  const double widest = 11.0;
  const double height = ax.size_points().second;
  // A row is 12 points at the layout's size (matplotlib's table rows are 1.2
  // times a 10-point line), times the layout's row scale.
  const double rows = static_cast<double>(years + 1);
  const double fitting =
      layout_size * (height - kTitleAndNotePoints) / (rows * 12.0 * layout_scale);
  return std::clamp(fitting, layout_size, widest);
}

}  // namespace

nb::object build_weekly_net_value_frame(nb::handle total) {
  glue::require_dataframe(total, "total");
  const nb::object daily = imports().with_datetime_index(total);
  if (nb::len(daily) == 0) return glue::imports().data_frame();
  const double infinity = std::numeric_limits<double>::infinity();
  const nb::object infinities = nb::make_tuple(infinity, -infinity);
  nb::object weekly = daily[names({"long", "close_net_value", "extra_return"})]
                          .attr("replace")(nb::list(infinities), glue::imports().nan)
                          .attr("resample")("W-FRI")
                          .attr("last")()
                          .attr("dropna")("how"_a = "all");
  if (nb::len(weekly) == 0) return weekly;
  weekly = glue::with_column(weekly, "extra_net_value", weekly["extra_return"] + nb::int_(1));
  return weekly.attr("dropna")("subset"_a = names({"long", "close_net_value", "extra_net_value"}),
                               "how"_a = "all");
}

namespace {

struct WeeklyPanels {
  draw::Figure figure;
  Axes nav{}, drawdown{}, table{};
};

// The figure and its three panels: stacked in the tall layout; the net value
// across the top and the drawdown beside the table in the wide one.
WeeklyPanels weekly_panels(bool tall) {
  WeeklyPanels p{draw::Figure(
      {.size = tall ? std::pair{15.5, 12.4} : std::pair{18.8, 8.6}, .constrained_layout = false})};
  if (tall) {
    // Margins first, so that the panels have their final size while drawn.
    // top 0.925: the net value panel's own title needs the room under the
    // figure title (at 0.94 the two touched).
    p.figure.margins({.left = 0.065, .right = 0.965, .top = 0.925, .bottom = 0.055});
    const draw::PanelGrid grid =
        p.figure.grid({.rows = 3, .cols = 1, .height_ratios = {3.1, 1.45, 1.9}, .hspace = 0.34});
    p.nav = grid.panel(0, 0);
    p.drawdown = grid.panel(1, 0, &p.nav);
    p.table = grid.panel(2, 0);
  } else {
    const draw::PanelGrid grid =
        p.figure.grid({.rows = 2,
                       .cols = 2,
                       .height_ratios = {2.35, 1.55},
                       .width_ratios = {2.55, 1.2},
                       .hspace = 0.26,
                       .wspace = 0.16,
                       .margins = {.left = 0.055, .right = 0.985, .top = 0.9, .bottom = 0.08}});
    p.nav = grid.panel(0, 0, 2);
    p.drawdown = grid.panel(1, 0, &p.nav);
    p.table = grid.panel(1, 1);
  }
  return p;
}

// The strategy's, the benchmark's and the excess weekly net values.
struct WeeklyCurves {
  nb::object dates;
  std::vector<double> strategy, benchmark, excess;
};

void draw_weekly_nav(const Axes& ax, const WeeklyCurves& c, const std::string& bench, bool tall) {
  ax.line(c.dates, numpy_array(c.strategy),
          {.color = "#2563eb", .linewidth = 2.4, .label = "Strategy"});
  ax.line(c.dates, numpy_array(c.benchmark),
          {.color = "#111827", .linewidth = 1.8, .linestyle = "--", .label = bench});
  ax.line(c.dates, numpy_array(c.excess),
          {.color = "#ef4444", .linewidth = 2.0, .alpha = 0.92, .label = "Excess"});
  zero_line(ax, 1.0, 0.9);
  ax.ylabel("Net Value");
  if (tall) ax.title("Weekly Net Value", {.y = kTitleY});
  ax.legend(framed_legend("best"));
}

void draw_weekly_drawdown(const Axes& ax, const WeeklyCurves& c, const std::string& bench,
                          bool tall) {
  ax.area(c.dates, numpy_array(kernels::drawdown_from_peak(c.strategy)),
          {.color = "#bfdbfe", .alpha = 0.58, .label = "Strategy Drawdown"});
  ax.line(c.dates, numpy_array(kernels::drawdown_from_peak(c.benchmark)),
          {.color = "#111827", .linewidth = 1.25, .alpha = 0.76, .label = bench + " Drawdown"});
  ax.line(c.dates, numpy_array(kernels::drawdown_from_peak(c.excess)),
          {.color = "#ef4444", .linewidth = 1.45, .alpha = 0.86, .label = "Excess Drawdown"});
  zero_line(ax);
  ax.title("Weekly Drawdown", {.fontsize = tall ? 12 : 11, .y = kTitleY});
  ax.ylabel("Drawdown");
  ax.y_percent();
  draw::Legend legend = framed_legend("lower left");
  legend.ncol = tall ? 3 : 1;
  ax.legend(legend);
}

}  // namespace

void plot_weekly_net_value_unlocked(const ChartArgs& args) {
  glue::require_dataframe(args.total, "total");
  const ChartTexts texts = chart_texts(args.strategy_name, args.plot_title, args.save_path,
                                       args.image_kind, args.benchmark_name);
  const std::string& bench = texts.benchmark_name;

  glue::begin_chart();
  const nb::object weekly = module_function("_build_weekly_net_value_frame")(args.total);
  if (nb::len(weekly) == 0) return;

  const nb::object daily = daily_returns(imports().with_datetime_index(args.total));
  const nb::object yearly_metrics = module_function("_calc_yearly_performance_metrics")(daily);
  const WeeklyCurves curves{plot_dates(weekly.attr("index")), column_values(weekly, "long"),
                            column_values(weekly, "close_net_value"),
                            column_values(weekly, "extra_net_value")};

  const bool tall = texts.tall();
  const ChartFonts fonts({texts.title(), bench});
  const WeeklyPanels p = weekly_panels(tall);
  const FigureGuard guard(p.figure.object());
  p.figure.suptitle(texts.title() + " | Benchmark " + bench + " | Weekly Net Value",
                    {.fontsize = tall ? 16 : 15,
                     .fontweight = "bold",
                     .color = "#111827",
                     .y = tall ? 0.975 : 0.965});
  draw_weekly_nav(p.nav, curves, bench, tall);
  draw_weekly_drawdown(p.drawdown, curves, bench, tall);
  p.drawdown.date_ticks();  // shared with the net value; the narrower of the two when wide

  module_function("_draw_yearly_metrics_table")(
      p.table.object(), yearly_metrics, "compact"_a = !tall,
      "fontsize"_a = table_font_size(p.table, nb::len(yearly_metrics), tall),
      "partial_years"_a = partial_years(glue::index_date_numbers(daily.attr("index"), "total")));
  style_panel(p.nav);
  style_panel(p.drawdown);

  p.figure.save(texts.save_path, tall ? 145 : 170);
}

}  // namespace morvane::ravelle

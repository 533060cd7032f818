#include "weekly_chart.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "kernels/series_stats.hpp"
#include "mpl.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "yearly_table.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

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
double table_font_size(nb::handle ax, std::size_t years, bool tall) {
  const double layout_size = tall ? 8.4 : 7.8;
  const double layout_scale = tall ? 1.24 : 1.22;
  const double widest = 11.0;
  const double height = axes_size_points(ax).second;
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
  const nb::object pd = nb::module_::import_("pandas");
  const nb::object np = nb::module_::import_("numpy");
  const nb::object daily = module_function("_with_datetime_index")(total);
  if (nb::len(daily) == 0) return pd.attr("DataFrame")();
  const nb::object infinities = nb::make_tuple(np.attr("inf"), np.attr("inf").attr("__neg__")());
  nb::object weekly = daily.attr("__getitem__")(names({"long", "close_net_value", "extra_return"}))
                          .attr("replace")(nb::list(infinities), np.attr("nan"))
                          .attr("resample")("W-FRI")
                          .attr("last")()
                          .attr("dropna")("how"_a = "all");
  if (nb::len(weekly) == 0) return weekly;
  weekly = glue::with_column(weekly, "extra_net_value",
                             weekly.attr("__getitem__")("extra_return").attr("__add__")(1));
  return weekly.attr("dropna")("subset"_a = names({"long", "close_net_value", "extra_net_value"}),
                               "how"_a = "all");
}

void plot_weekly_net_value_unlocked(const ChartArgs& args) {
  glue::require_dataframe(args.total, "total");
  const ChartTexts texts = chart_texts(args.strategy_name, args.plot_title, args.save_path,
                                       args.image_kind, args.benchmark_name);
  const std::string& bench = texts.benchmark_name;

  const Pyplot mpl = begin_chart();
  const nb::object weekly = module_function("_build_weekly_net_value_frame")(args.total);
  if (nb::len(weekly) == 0) return;

  const nb::object daily =
      module_function("_with_datetime_index")(args.total)
          .attr("__getitem__")(names({"daily_return", "index_daily_return", "extra_daily_return"}))
          .attr("copy")();
  const nb::object yearly_metrics = module_function("_calc_yearly_performance_metrics")(daily);
  const nb::object dates = plot_dates(weekly.attr("index"));
  const std::vector<double> strategy_nav = column_values(weekly, "long");
  const std::vector<double> benchmark_nav = column_values(weekly, "close_net_value");
  const std::vector<double> excess_nav = column_values(weekly, "extra_net_value");

  const bool tall = texts.tall();
  const ChartFonts fonts({texts.title(), bench});
  nb::object figure = mpl.plt.attr("figure")(
      "figsize"_a = tall ? nb::make_tuple(15.5, 12.4) : nb::make_tuple(18.8, 8.6),
      "constrained_layout"_a = false);
  const FigureGuard guard(mpl.plt, figure);

  nb::object ax_nav, ax_dd, ax_table;
  if (tall) {
    // Margins first, so that the panels have their final size while drawn.
    // top 0.925: the net value panel's own title needs the room under the
    // figure title (at 0.94 the two touched).
    figure.attr("subplots_adjust")("left"_a = 0.065, "right"_a = 0.965, "top"_a = 0.925,
                                   "bottom"_a = 0.055);
    const nb::object grid = figure.attr("add_gridspec")(
        3, 1, "height_ratios"_a = nb::make_tuple(3.1, 1.45, 1.9), "hspace"_a = 0.34);
    ax_nav = figure.attr("add_subplot")(grid[0]);
    ax_dd = figure.attr("add_subplot")(grid[1], "sharex"_a = ax_nav);
    ax_table = figure.attr("add_subplot")(grid[2]);
  } else {
    const nb::object grid = figure.attr("add_gridspec")(
        2, 2, "width_ratios"_a = nb::make_tuple(2.55, 1.2),
        "height_ratios"_a = nb::make_tuple(2.35, 1.55), "hspace"_a = 0.26, "wspace"_a = 0.16,
        "left"_a = 0.055, "right"_a = 0.985, "top"_a = 0.9, "bottom"_a = 0.08);
    ax_nav = figure.attr("add_subplot")(
        grid[nb::make_tuple(0, nb::slice(nb::none(), nb::none(), nb::none()))]);
    ax_dd = figure.attr("add_subplot")(grid[nb::make_tuple(1, 0)], "sharex"_a = ax_nav);
    ax_table = figure.attr("add_subplot")(grid[nb::make_tuple(1, 1)]);
  }

  figure.attr("suptitle")(texts.title() + " | Benchmark " + bench + " | Weekly Net Value",
                          "fontsize"_a = tall ? 16 : 15, "fontweight"_a = "bold",
                          "color"_a = "#111827", "y"_a = tall ? 0.975 : 0.965);

  ax_nav.attr("plot")(dates, numpy_array(strategy_nav), "color"_a = "#2563eb", "linewidth"_a = 2.4,
                      "label"_a = "Strategy");
  ax_nav.attr("plot")(dates, numpy_array(benchmark_nav), "color"_a = "#111827", "linewidth"_a = 1.8,
                      "linestyle"_a = "--", "label"_a = bench);
  ax_nav.attr("plot")(dates, numpy_array(excess_nav), "color"_a = "#ef4444", "linewidth"_a = 2.0,
                      "alpha"_a = 0.92, "label"_a = "Excess");
  zero_line(ax_nav, 1.0, 0.9);
  ax_nav.attr("set_ylabel")("Net Value");
  if (tall) ax_nav.attr("set_title")("Weekly Net Value", "y"_a = kTitleY);
  ax_nav.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);

  ax_dd.attr("fill_between")(dates, numpy_array(kernels::drawdown_from_peak(strategy_nav)), 0,
                             "color"_a = "#bfdbfe", "alpha"_a = 0.58,
                             "label"_a = "Strategy Drawdown");
  ax_dd.attr("plot")(dates, numpy_array(kernels::drawdown_from_peak(benchmark_nav)),
                     "color"_a = "#111827", "linewidth"_a = 1.25, "alpha"_a = 0.76,
                     "label"_a = bench + " Drawdown");
  ax_dd.attr("plot")(dates, numpy_array(kernels::drawdown_from_peak(excess_nav)),
                     "color"_a = "#ef4444", "linewidth"_a = 1.45, "alpha"_a = 0.86,
                     "label"_a = "Excess Drawdown");
  zero_line(ax_dd);
  ax_dd.attr("set_title")("Weekly Drawdown", "fontsize"_a = tall ? 12 : 11, "y"_a = kTitleY);
  ax_dd.attr("set_ylabel")("Drawdown");
  percent_ticks(mpl, ax_dd);
  ax_dd.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92,
                       "ncol"_a = tall ? 3 : 1);
  date_ticks(ax_dd);  // shared with ax_nav; the narrower of the two in the wide layout

  module_function("_draw_yearly_metrics_table")(
      ax_table, yearly_metrics, "compact"_a = !tall,
      "fontsize"_a = table_font_size(ax_table, nb::len(yearly_metrics), tall),
      "partial_years"_a = partial_years(daily.attr("index")));
  style_panel(ax_nav);
  style_panel(ax_dd);

  save_chart(figure, texts.save_path, tall ? 145 : 170);
}

}  // namespace morvane::ravelle

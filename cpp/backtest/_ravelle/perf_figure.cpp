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
#include "pyglue/args.hpp"
#include "yearly_table.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

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

nb::object stat(nb::handle stats, const char* key) { return stats.attr("get")(key); }

nb::object cell(nb::object grid, long row, long col0, long col1) {
  return grid[nb::make_tuple(row, nb::slice(nb::int_(col0), nb::int_(col1), nb::none()))];
}

struct Panels {
  nb::object figure, cards, cum, excess, year, rolling, drawdown, table, yearly_table;
};

// Grid row and column span of each panel, in the order of Panels' axes.
struct Span {
  long row, first_col, end_col;
};
constexpr Span kTallSpans[] = {{0, 0, 2}, {1, 0, 2}, {2, 0, 2}, {3, 0, 1},
                               {3, 1, 2}, {4, 0, 2}, {5, 0, 2}, {6, 0, 2}};
constexpr Span kWideSpans[] = {{0, 0, 3}, {1, 0, 2}, {1, 2, 3}, {2, 0, 1},
                               {2, 1, 2}, {2, 2, 3}, {3, 0, 1}, {3, 1, 3}};

Panels make_panels(const Pyplot& mpl, const Sizes& size) {
  Panels p;
  nb::object grid;
  if (size.tall) {
    p.figure = mpl.plt.attr("figure")("figsize"_a = nb::make_tuple(15.5, 34.0),
                                      "constrained_layout"_a = false);
    // The page margins are set before the panels, so that the panels' final
    // widths are known while they are drawn (date ticks, wrapped texts).
    p.figure.attr("subplots_adjust")("left"_a = 0.06, "right"_a = 0.94, "top"_a = 0.965,
                                     "bottom"_a = 0.035);
    grid = p.figure.attr("add_gridspec")(
        7, 2, "height_ratios"_a = nb::make_tuple(0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0),
        "hspace"_a = 0.42, "wspace"_a = 0.22);
  } else {
    p.figure = mpl.plt.attr("figure")("figsize"_a = nb::make_tuple(21.5, 12.6),
                                      "constrained_layout"_a = false);
    grid = p.figure.attr("add_gridspec")(
        4, 3, "height_ratios"_a = nb::make_tuple(0.78, 2.75, 2.35, 1.95),
        // wspace 0.3: the cumulative panel's right axis ("Drawdown") and the
        // excess panel's left axis ("Excess Return") share this gap.
        "width_ratios"_a = nb::make_tuple(1.12, 1.12, 1.0), "hspace"_a = 0.3, "wspace"_a = 0.3,
        "left"_a = 0.045, "right"_a = 0.955, "top"_a = 0.915, "bottom"_a = 0.045);
  }
  nb::object* const axes[] = {&p.cards,   &p.cum,      &p.excess, &p.year,
                              &p.rolling, &p.drawdown, &p.table,  &p.yearly_table};
  const Span* const spans = size.tall ? kTallSpans : kWideSpans;
  for (std::size_t k = 0; k < std::size(axes); ++k) {
    *axes[k] = p.figure.attr("add_subplot")(
        cell(grid, spans[k].row, spans[k].first_col, spans[k].end_col));
  }
  return p;
}

void draw_cards(nb::handle ax, nb::handle stats, const Sizes& size) {
  const std::pair<const char*, std::string> cards[] = {
      {"Strategy Ann.", format_pct_points(stat(stats, "annual_return"))},
      {"Strategy Sharpe", format_num(stat(stats, "long_sharp"))},
      {"Strategy Max DD", format_pct(stat(stats, "max_dd"))},
      {"Excess Ann.", format_pct_points(stat(stats, "extra_annual_return"))},
      {"Excess Sharpe", format_num(stat(stats, "extra_sharp"))},
      {"Excess Max DD", format_pct(stat(stats, "extra_max_dd"))},
      {"Strategy Win", format_pct(stat(stats, "win_rate"))},
      {"Excess Win", format_pct(stat(stats, "excess_win_rate"))},
      {"Turnover", format_pct(stat(stats, "turnover"))},
  };
  ax.attr("axis")("off");
  const double n = static_cast<double>(std::size(cards));
  nb::dict box;
  box["boxstyle"] = "round,pad=0.30";
  box["facecolor"] = "white";
  box["edgecolor"] = "#d6dbe6";
  box["linewidth"] = 1.0;
  for (std::size_t i = 0; i < std::size(cards); ++i) {
    const double x = (static_cast<double>(i) + 0.5) / n;
    ax.attr("text")(x, 0.58, cards[i].second, "ha"_a = "center", "va"_a = "center",
                    "fontsize"_a = size.pick(13.0, 12.2), "fontweight"_a = "bold",
                    "color"_a = "#0f172a", "bbox"_a = box, "transform"_a = ax.attr("transAxes"));
    ax.attr("text")(x, 0.16, cards[i].first, "ha"_a = "center", "va"_a = "center",
                    "fontsize"_a = size.pick(8.5, 8.0), "color"_a = "#64748b",
                    "transform"_a = ax.attr("transAxes"));
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

void draw_cumulative(const Pyplot& mpl, nb::handle ax, const Curves& c, const std::string& bench,
                     const Sizes& size) {
  ax.attr("plot")(c.dates, c.strategy_cum, "color"_a = kStrategy, "linewidth"_a = 2.4,
                  "label"_a = "Strategy");
  ax.attr("plot")(c.dates, c.benchmark_cum, "color"_a = kBenchmark, "linewidth"_a = 1.7,
                  "linestyle"_a = "--", "label"_a = bench);
  const nb::object twin = ax.attr("twinx")();
  // The drawdown areas sit behind the lines: the twin one level below, and
  // the main axes' background made transparent.
  twin.attr("set_zorder")(ax.attr("get_zorder")().attr("__sub__")(1));
  ax.attr("patch").attr("set_visible")(false);
  twin.attr("fill_between")(c.dates, c.strategy_dd, 0, "color"_a = "#bfdbfe", "alpha"_a = 0.28,
                            "zorder"_a = 0, "label"_a = "Strategy Drawdown");
  twin.attr("fill_between")(c.dates, c.benchmark_dd, 0, "color"_a = "#d1d5db", "alpha"_a = 0.24,
                            "zorder"_a = 0, "label"_a = bench + " Drawdown");
  zero_line(ax);
  ax.attr("set_title")("Cumulative Return", "fontsize"_a = size.pick(12.5, 11.5), "y"_a = kTitleY);
  ax.attr("set_ylabel")("Return");
  percent_ticks(mpl, ax);
  twin.attr("set_ylabel")("Drawdown", "fontsize"_a = size.pick(10, 9));
  percent_ticks(mpl, twin);
  plain_twin(twin);
  combined_legend(ax, twin, "upper left", size.pick(9.0, 8.2));
  date_ticks(ax);
}

void draw_excess(const Pyplot& mpl, nb::handle ax, const Curves& c, const Sizes& size) {
  ax.attr("plot")(c.dates, c.excess_cum, "color"_a = kExcess, "linewidth"_a = 2.2,
                  "label"_a = "Excess Return");
  const nb::object twin = ax.attr("twinx")();
  twin.attr("fill_between")(c.dates, c.excess_dd, 0, "color"_a = "#fecaca", "alpha"_a = 0.34,
                            "label"_a = "Excess Drawdown");
  zero_line(ax);
  ax.attr("set_title")("Excess Return & Drawdown", "fontsize"_a = size.pick(12.5, 11.5),
                       "y"_a = kTitleY);
  ax.attr("set_ylabel")("Excess Return");
  percent_ticks(mpl, ax);
  twin.attr("set_ylabel")("Drawdown", "fontsize"_a = size.pick(10, 9));
  percent_ticks(mpl, twin);
  plain_twin(twin);
  combined_legend(ax, twin, "upper left", size.pick(9.0, 8.0));
  date_ticks(ax);
}

void draw_yearly(const Pyplot& mpl, nb::handle ax, nb::handle yearly, const std::string& bench,
                 const Sizes& size) {
  const std::size_t n = nb::len(yearly);
  if (n > 0) {
    const nb::object np = nb::module_::import_("numpy");
    const nb::object x = np.attr("arange")(n).attr("astype")("float64");
    const double width = 0.26;
    const std::vector<double> excess = column_values(yearly, "extra_daily_return");
    ax.attr("bar")(x.attr("__sub__")(width), numpy_array(column_values(yearly, "daily_return")),
                   "width"_a = width, "label"_a = "Strategy", "color"_a = kStrategy,
                   "alpha"_a = 0.86);
    ax.attr("bar")(x, numpy_array(column_values(yearly, "index_daily_return")), "width"_a = width,
                   "label"_a = bench, "color"_a = kBenchmark, "alpha"_a = 0.72);
    const nb::object bars =
        ax.attr("bar")(x.attr("__add__")(width), numpy_array(excess), "width"_a = width,
                       "label"_a = "Excess", "color"_a = kExcess, "alpha"_a = 0.82);

    double max_abs = std::numeric_limits<double>::quiet_NaN();
    for (const char* column : {"daily_return", "index_daily_return", "extra_daily_return"}) {
      for (const double v : column_values(yearly, column)) {
        if (!std::isnan(v))
          max_abs = std::isnan(max_abs) ? std::abs(v) : std::max(max_abs, std::abs(v));
      }
    }
    const double offset = std::isfinite(max_abs) ? std::max(max_abs * 0.025, 0.003) : 0.003;
    std::size_t k = 0;
    for (nb::handle bar : bars) {
      const double value = excess[k++];
      if (std::isnan(value)) continue;
      const double centre =
          nb::cast<double>(bar.attr("get_x")()) + nb::cast<double>(bar.attr("get_width")()) / 2.0;
      const bool up = value >= 0.0;
      ax.attr("text")(centre, up ? value + offset : value - offset, format_pct(nb::float_(value)),
                      "ha"_a = "center", "va"_a = up ? "bottom" : "top", "color"_a = "#991b1b",
                      "fontsize"_a = size.pick(8.2, 7.6), "rotation"_a = 90);
    }
    ax.attr("margins")("y"_a = 0.22);
    ax.attr("set_xticks")(x);
    nb::list labels;
    // Every bar keeps its tick; with more years than the panel's width holds
    // labels for, every step-th year is named (all of them ran together).
    const double per_label = size.pick(kTallYearLabelPoints, kWideYearLabelPoints);
    const auto step = static_cast<std::size_t>(
        std::ceil(static_cast<double>(n) * per_label / axes_size_points(ax).first));
    std::size_t position = 0;
    for (nb::handle year : yearly.attr("index")) {
      labels.append(position++ % std::max<std::size_t>(step, 1) == 0 ? nb::str(year) : nb::str(""));
    }
    if (size.tall) {
      ax.attr("set_xticklabels")(labels, "rotation"_a = 45, "ha"_a = "right");
    } else {
      ax.attr("set_xticklabels")(labels, "rotation"_a = 0, "ha"_a = "center");
    }
    ax.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92,
                      "fontsize"_a = size.pick(9.0, 8.0));
  } else {
    ax.attr("text")(0.5, 0.5, "No yearly data", "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
  }
  zero_line(ax);
  ax.attr("set_title")("Yearly Return", "fontsize"_a = size.pick(12.5, 11.5), "y"_a = kTitleY);
  percent_ticks(mpl, ax);
}

void draw_rolling(const Pyplot& mpl, nb::handle ax, nb::handle daily, const nb::object& dates,
                  const Sizes& size) {
  const std::size_t rows = nb::len(daily);
  const std::size_t full = static_cast<std::size_t>(kRollingStabilityDays);
  const std::size_t days =
      rows >= full ? full : std::max<std::size_t>(kMinRollingStabilityDays, rows / 3);
  if (rows >= days && days > 1) {
    const kernels::RollingStability rolling = kernels::rolling_stability(
        column_values(daily, "extra_daily_return"), days, kTradingDaysPerYear);
    const std::string window = std::to_string(days);
    ax.attr("plot")(dates, numpy_array(rolling.sharpe), "color"_a = "#7c3aed", "linewidth"_a = 2.0,
                    "label"_a = window + "D Excess Sharpe");
    zero_line(ax);
    const nb::object twin = ax.attr("twinx")();
    twin.attr("plot")(dates, numpy_array(rolling.win_rate), "color"_a = "#16a34a",
                      "linewidth"_a = 1.6, "alpha"_a = 0.8, "label"_a = window + "D Win Rate");
    percent_ticks(mpl, twin);
    plain_twin(twin);
    combined_legend(ax, twin, "best", size.pick(9.0, 7.8));
    date_ticks(ax);
  } else {
    ax.attr("text")(0.5, 0.5, "Not enough data", "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
  }
  ax.attr("set_title")("Rolling Excess Stability", "fontsize"_a = size.pick(12.5, 11.5),
                       "y"_a = kTitleY);
}

void draw_drawdown(const Pyplot& mpl, nb::handle ax, const Curves& c, const Sizes& size) {
  ax.attr("fill_between")(c.dates, c.strategy_dd, 0, "color"_a = "#bfdbfe", "alpha"_a = 0.62,
                          "label"_a = "Strategy Drawdown");
  ax.attr("plot")(c.dates, c.excess_dd, "color"_a = kExcess, "linewidth"_a = 1.7,
                  "label"_a = "Excess Drawdown");
  zero_line(ax);
  ax.attr("set_title")("Drawdown", "fontsize"_a = size.pick(12.5, 11.5), "y"_a = kTitleY);
  percent_ticks(mpl, ax);
  ax.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92,
                    "fontsize"_a = size.pick(9.0, 8.0));
  date_ticks(ax);
}

// Padding of a table cell's text, as a fraction of the cell's width
// (matplotlib's Cell.PAD), kept on both sides.
constexpr double kCellPad = 0.1;
// A text line's height over its font size, with a little room in the cell.
constexpr double kLinePerFont = 1.3;

struct Wrapped {
  std::string text;
  long lines;
};

// "2021: 5.12% | 2022: -3.10% | ..." cut into lines no wider than `width`
// points at `fontsize`, each line but the last ending in " |".
Wrapped wrap_pieces(const std::string& text, double width, double fontsize) {
  const std::string separator = " | ";
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + separator.size();
  }
  const nb::object measure = nb::module_::import_("matplotlib.textpath")
                                 .attr("text_to_path")
                                 .attr("get_text_width_height_descent");
  const nb::object font =
      nb::module_::import_("matplotlib.font_manager").attr("FontProperties")("size"_a = fontsize);
  const auto fits = [&](const std::string& line) {
    return nb::cast<double>(measure(line + " |", font, false)[0]) <= width;
  };
  Wrapped out{pieces.front(), 1};
  std::string line = pieces.front();
  for (std::size_t k = 1; k < pieces.size(); ++k) {
    if (fits(line + separator + pieces[k])) {
      line += separator + pieces[k];
      out.text += separator + pieces[k];
    } else {
      line = pieces[k];
      out.text += " |\n" + pieces[k];
      ++out.lines;
    }
  }
  return out;
}

// Gives the table's last row room for `lines` lines; a table that then
// outgrows both its axes and its former height is scaled back to that, and
// when the last row is then too low for its lines at `fontsize`, its text
// gets the size that fits (decades of years on the wide page).
void grow_last_row(nb::handle ax, nb::handle table, long lines, double fontsize) {
  const double before = table_height(table);
  const nb::object cells = table.attr("get_celld")();
  const long last = static_cast<long>(nb::len(cells) / 2) - 1;
  const auto last_cell = [&](long col) { return cells[nb::make_tuple(last, col)]; };
  for (const long col : {0L, 1L}) {
    last_cell(col).attr("set_height")(nb::cast<double>(last_cell(col).attr("get_height")()) *
                                      static_cast<double>(lines));
  }
  const double limit = std::max(1.0, before);
  const double after = table_height(table);
  if (after <= limit) return;
  for (nb::handle item : cells.attr("values")()) {
    item.attr("set_height")(nb::cast<double>(item.attr("get_height")()) * limit / after);
  }
  const double row_points =
      nb::cast<double>(last_cell(1).attr("get_height")()) * axes_size_points(ax).second;
  const double fitting = row_points / (static_cast<double>(lines) * kLinePerFont);
  if (fitting < fontsize) {
    for (const long col : {0L, 1L}) last_cell(col).attr("get_text")().attr("set_fontsize")(fitting);
  }
}

void draw_summary_table(nb::handle ax, nb::handle plot_df, nb::handle stats, nb::handle yearly,
                        std::int64_t rolling_window, const std::string& bench, const Sizes& size) {
  const nb::object index = plot_df.attr("index");
  const std::string first = nb::cast<std::string>(index[0].attr("strftime")("%Y-%m-%d"));
  const std::string last =
      nb::cast<std::string>(index[nb::len(index) - 1].attr("strftime")("%Y-%m-%d"));
  const nb::object annual_excess =
      nb::len(yearly) > 0 ? nb::object(yearly.attr("__getitem__")("extra_daily_return"))
                          : nb::module_::import_("pandas").attr("Series")("dtype"_a = "float64");
  std::pair<const char*, std::string> rows[] = {
      {"Date Range", first + " ~ " + last},
      {"Trading Days", std::to_string(nb::len(plot_df))},
      {"Rolling Window", std::to_string(rolling_window)},
      {"Benchmark", bench},
      {"Benchmark Ann.", format_pct_points(stat(stats, "benchmark_annual_return"))},
      {"Benchmark Sharpe", format_num(stat(stats, "benchmark_sharp"))},
      {"Return Corr.", format_num(stat(stats, "return_corr"))},
      {"Avg Holding", format_num(stat(stats, "holding_count"), 0)},
      {"Turnover", format_pct(stat(stats, "turnover"))},
      {"Excess Win Rate", format_pct(stat(stats, "excess_win_rate"))},
      {"Annual Excess", format_annual_excess(annual_excess)},
  };
  const double value_width = size.pick(0.74, 0.6);
  const double fontsize = size.pick(9.4, 8.6);
  // The yearly excess list grows a piece per year: it is wrapped to the value
  // column (a cell's text does not wrap by itself and ran past the table).
  const Wrapped annual =
      wrap_pieces(rows[std::size(rows) - 1].second,
                  axes_size_points(ax).first * value_width * (1.0 - 2.0 * kCellPad), fontsize);
  rows[std::size(rows) - 1].second = annual.text;
  nb::list cells;
  for (const auto& [metric, value] : rows) cells.append(nb::make_tuple(metric, value));
  ax.attr("axis")("off");
  const nb::object table =
      ax.attr("table")("cellText"_a = cells, "colLabels"_a = nb::make_tuple("Metric", "Value"),
                       "loc"_a = "center", "cellLoc"_a = "left", "colLoc"_a = "left",
                       "colWidths"_a = nb::make_tuple(1.0 - value_width, value_width));
  table.attr("auto_set_font_size")(false);
  table.attr("set_fontsize")(fontsize);
  table.attr("scale")(1.0, size.pick(1.28, 1.18));
  style_table_cells(table);
  if (annual.lines > 1) grow_last_row(ax, table, annual.lines, fontsize);
}

}  // namespace

void plot_strategy_performance_unlocked(const ChartArgs& args) {
  glue::require_dataframe(args.total, "total");
  glue::require_dict(args.stats, "stats", false);
  const ChartTexts texts = chart_texts(args.strategy_name, args.plot_title, args.save_path,
                                       args.image_kind, args.benchmark_name);
  const std::string& bench = texts.benchmark_name;
  const std::int64_t rolling_window = glue::to_int(args.rolling_window, "rolling_window");

  const Pyplot mpl = begin_chart();
  const nb::object plot_df = module_function("_with_datetime_index")(args.total);
  if (nb::len(plot_df) == 0) return;

  const nb::object dates = plot_df.attr("index");
  const nb::object x = plot_dates(dates);
  const std::vector<double> close_net_value = column_values(plot_df, "close_net_value");
  const Curves curves{x,
                      numpy_array(minus_one(column_values(plot_df, "long"))),
                      numpy_array(minus_one(close_net_value)),
                      numpy_array(column_values(plot_df, "extra_return")),
                      numpy_array(column_values(plot_df, "max_drowdown")),
                      numpy_array(kernels::drawdown_from_peak(close_net_value)),
                      numpy_array(column_values(plot_df, "extra_max_drowdown"))};
  nb::list daily_columns;
  for (const char* column : {"daily_return", "index_daily_return", "extra_daily_return"}) {
    daily_columns.append(column);
  }
  const nb::object daily = plot_df.attr("__getitem__")(daily_columns).attr("copy")();
  const nb::object yearly = daily.attr("groupby")(daily.attr("index").attr("year")).attr("sum")();
  const nb::object yearly_metrics = module_function("_calc_yearly_performance_metrics")(daily);

  const Sizes size{texts.tall()};
  const ChartFonts fonts({texts.title(), bench});
  const Panels p = make_panels(mpl, size);
  const FigureGuard guard(mpl.plt, p.figure);

  p.figure.attr("suptitle")(texts.title() + " | Benchmark " + bench + " | Strategy Performance",
                            "fontsize"_a = size.pick(17, 15), "fontweight"_a = "bold",
                            "color"_a = kBenchmark, "y"_a = size.pick(0.986, 0.975));
  draw_cards(p.cards, args.stats, size);
  draw_cumulative(mpl, p.cum, curves, bench, size);
  draw_excess(mpl, p.excess, curves, size);
  draw_yearly(mpl, p.year, yearly, bench, size);
  draw_rolling(mpl, p.rolling, daily, x, size);
  draw_drawdown(mpl, p.drawdown, curves, size);
  draw_summary_table(p.table, plot_df, args.stats, yearly, rolling_window, bench, size);
  module_function("_draw_yearly_metrics_table")(p.yearly_table, yearly_metrics,
                                                "compact"_a = !size.tall,
                                                "partial_years"_a = partial_years(dates));
  for (const nb::object& ax : {p.cum, p.excess, p.year, p.rolling, p.drawdown}) style_panel(ax);

  save_chart(p.figure, texts.save_path, size.tall ? 145 : 165);
}

}  // namespace morvane::ravelle

#include "factor_chart.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "pyglue/args.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/chart_layout.hpp"
#include "pyglue/chart_tables.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr const char* kExcess = "#ef4444";
constexpr const char* kBenchmark = "#111827";
constexpr const char* kIc = "#2563eb";
constexpr int kIcRollingDays = 20;
constexpr double kDpi = 110;
constexpr double kLabelFontSize = 8.5;
// Share of the date span added after the last date, where the group labels go.
constexpr double kLabelRoom = 0.07;

nb::object datetime_index(nb::handle table) {
  return nb::module_::import_("morvane.backtest._core").attr("_with_datetime_index")(table);
}

std::string percent(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}%").format(value * 100.0, digits));
}

std::string number(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}").format(value, digits));
}

double table_mean(nb::handle series) { return nb::cast<double>(nb::float_(series.attr("mean")())); }

void style_axes(nb::handle ax, const char* title) {
  // At the top explicitly: the automatic placement measures every tick label
  // on each draw, for labels at the top these panels never have.
  ax.attr("set_title")(title, "fontsize"_a = 13, "loc"_a = "left", "y"_a = 1.0);
  ax.attr("grid")(true, "alpha"_a = 0.3);
  for (const char* side : {"top", "right"}) {
    ax.attr("spines")[side].attr("set_visible")(false);
  }
}

// A legend in the band above the axes, right-aligned across from the
// left-aligned title, so it never covers a line or a bar.
void legend_above(nb::handle ax, nb::handle handles, nb::handle labels) {
  ax.attr("legend")(handles, labels, "loc"_a = "lower right",
                    "bbox_to_anchor"_a = nb::make_tuple(1.0, 1.0), "ncol"_a = nb::len(handles),
                    "frameon"_a = false, "fontsize"_a = 9, "borderaxespad"_a = 0.2);
}

// Group g of n (0-based) on "turbo" without its darkest and palest ends,
// darkened a fifth so that the middle greens and yellows hold on white:
// neighbouring groups differ in hue, and the order of the groups reads from
// blue (low) to red (high).
nb::object group_colour(nb::handle cmap, std::size_t g, std::size_t n) {
  const double share = n > 1 ? static_cast<double>(g) / static_cast<double>(n - 1) : 0.0;
  const nb::object rgba = cmap(0.06 + 0.88 * share);
  return nb::make_tuple(nb::cast<double>(rgba[0]) * 0.8, nb::cast<double>(rgba[1]) * 0.8,
                        nb::cast<double>(rgba[2]) * 0.8);
}

struct Panels {
  nb::object cum, bars, ic, table;
};

Panels layout(nb::handle figure, bool tall) {
  Panels p;
  if (tall) {
    const nb::object grid = figure.attr("add_gridspec")(
        4, 1, "height_ratios"_a = nb::make_tuple(3.4, 2.0, 2.2, 1.7), "hspace"_a = 0.3,
        "left"_a = 0.075, "right"_a = 0.925, "top"_a = 0.94, "bottom"_a = 0.025);
    p.cum = figure.attr("add_subplot")(grid[0]);
    p.bars = figure.attr("add_subplot")(grid[1]);
    p.ic = figure.attr("add_subplot")(grid[2]);
    p.table = figure.attr("add_subplot")(grid[3]);
  } else {
    const nb::object grid =
        figure.attr("add_gridspec")(2, 2, "hspace"_a = 0.32, "wspace"_a = 0.2, "left"_a = 0.045,
                                    "right"_a = 0.975, "top"_a = 0.895, "bottom"_a = 0.06);
    p.cum = figure.attr("add_subplot")(grid[nb::make_tuple(0, 0)]);
    p.bars = figure.attr("add_subplot")(grid[nb::make_tuple(0, 1)]);
    p.ic = figure.attr("add_subplot")(grid[nb::make_tuple(1, 0)]);
    p.table = figure.attr("add_subplot")(grid[nb::make_tuple(1, 1)]);
  }
  return p;
}

// Heights (axes fractions) of the group labels at the lines' ends: the
// lines' last values, pushed apart to at least `gap`, kept inside [0, 1].
std::vector<double> spread_labels(std::vector<double> wanted, double gap) {
  std::vector<std::size_t> order(wanted.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return wanted[a] < wanted[b]; });
  std::vector<double> placed(wanted.size());
  double floor = gap / 2.0;
  for (const std::size_t k : order) {
    placed[k] = std::max(wanted[k], floor);
    floor = placed[k] + gap;
  }
  double ceiling = 1.0 - gap / 2.0;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    placed[*it] = std::min(placed[*it], ceiling);
    ceiling = placed[*it] - gap;
  }
  return placed;
}

// The groups that get a label: all when they fit the panel's height, else
// the first, the last, the best and evenly spaced ones between.
std::vector<std::size_t> labelled_groups(std::size_t n, std::size_t room, std::size_t best) {
  std::vector<std::size_t> chosen;
  if (n <= room) {
    chosen.resize(n);
    std::iota(chosen.begin(), chosen.end(), 0);
    return chosen;
  }
  const std::size_t step = (n + room - 1) / std::max<std::size_t>(room - 1, 1);
  for (std::size_t g = 0; g < n; g += step) chosen.push_back(g);
  chosen.push_back(n - 1);
  if (best < n) chosen.push_back(best);
  std::sort(chosen.begin(), chosen.end());
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
  return chosen;
}

void label_line_ends(nb::handle ax, nb::handle cum, const std::vector<nb::object>& colours,
                     std::size_t best) {
  const nb::object last =
      cum.attr("ffill")().attr("iloc")[nb::int_(-1)].attr("to_numpy")("dtype"_a = "float64");
  const nb::object limits = ax.attr("get_ylim")();
  const double low = nb::cast<double>(limits[0]);
  const double high = nb::cast<double>(limits[1]);
  const double gap = kLabelFontSize * 1.3 / glue::axes_size_points(ax).second;
  const std::size_t n = colours.size();
  const std::size_t room = std::max<std::size_t>(2, static_cast<std::size_t>(0.95 / gap));
  const std::vector<std::size_t> groups = labelled_groups(n, room, best);
  std::vector<double> wanted;
  for (const std::size_t g : groups) {
    const double value = nb::cast<double>(nb::float_(last[nb::int_(g)]));
    wanted.push_back(std::isfinite(value) ? (value - low) / (high - low) : 0.5);
  }
  const std::vector<double> placed = spread_labels(wanted, gap);
  const nb::object columns = cum.attr("columns");
  const nb::object x_end =
      nb::module_::import_("matplotlib.dates").attr("date2num")(cum.attr("index")[nb::int_(-1)]);
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::size_t g = groups[k];
    ax.attr("annotate")(nb::str("G{}").format(columns[nb::int_(g)]),
                        "xy"_a = nb::make_tuple(x_end, placed[k]),
                        "xycoords"_a = ax.attr("get_xaxis_transform")(),
                        "xytext"_a = nb::make_tuple(5, 0), "textcoords"_a = "offset points",
                        "va"_a = "center", "ha"_a = "left", "fontsize"_a = kLabelFontSize,
                        "color"_a = colours[g], "fontweight"_a = g == best ? "bold" : "normal");
  }
}

void draw_cumulative(const ChartRequest& r, nb::handle ax, nb::handle benchmark,
                     const std::string& code, const std::vector<nb::object>& colours) {
  const GroupOutcome& o = *r.outcome;
  const nb::object cum = datetime_index(o.group_cumulative_return);
  const nb::object columns = cum.attr("columns");
  const std::size_t n = nb::len(columns);
  const std::size_t best = static_cast<std::size_t>(o.best_group) - 1;
  const nb::object dates = glue::plot_dates(cum.attr("index"));
  for (std::size_t g = 0; g < n; ++g) {
    const nb::object label = columns[nb::int_(g)];
    ax.attr("plot")(dates, cum[label].attr("to_numpy")(), "color"_a = colours[g],
                    "linewidth"_a = g == best ? 2.6 : 1.1, "zorder"_a = g == best ? 3 : 2);
  }
  style_axes(ax, "Group Cumulative Return (not compounded)");
  nb::list handles, labels;
  if (!benchmark.is_none()) {
    // Excess of the best group over the benchmark on the dates both have.
    const nb::object daily = o.group_daily_return[nb::int_(static_cast<long>(o.best_group))];
    const nb::object aligned = benchmark.attr("reindex")(daily.attr("index"));
    const nb::object excess = daily.attr("sub")(aligned).attr("dropna")().attr("cumsum")();
    if (nb::len(excess) > 0) {
      const nb::object excess_dt = datetime_index(excess);
      const nb::object bench_cum =
          datetime_index(aligned.attr("dropna")().attr("cumsum")().attr("add")(1.0));
      handles.append(ax.attr("plot")(glue::plot_dates(bench_cum.attr("index")),
                                     bench_cum.attr("to_numpy")(), "color"_a = kBenchmark,
                                     "linestyle"_a = "--", "linewidth"_a = 1.4, "zorder"_a = 4)[0]);
      labels.append("Benchmark " + code);
      const nb::object twin = ax.attr("twinx")();
      // Behind the group lines: the twin one level below, the lines' axes
      // made transparent.
      twin.attr("set_zorder")(ax.attr("get_zorder")().attr("__sub__")(1));
      ax.attr("patch").attr("set_visible")(false);
      handles.append(twin.attr("fill_between")(glue::plot_dates(excess_dt.attr("index")), 0.0,
                                               excess_dt.attr("to_numpy")(), "color"_a = kExcess,
                                               "alpha"_a = 0.16, "linewidth"_a = 0));
      labels.append(nb::str("G{} Excess (right axis)").format(static_cast<long>(o.best_group)));
      twin.attr("set_ylabel")("Best Group Cumulative Excess");
      twin.attr("grid")(false);
      twin.attr("spines")["top"].attr("set_visible")(false);
    }
  }
  // Room after the last date for the labels that name the lines (instead of
  // the automatic margin, which would add a date tick past the data).
  const nb::object date2num = nb::module_::import_("matplotlib.dates").attr("date2num");
  const nb::object index = cum.attr("index");
  const double first = nb::cast<double>(date2num(index[nb::int_(0)]));
  const double last = nb::cast<double>(date2num(index[nb::int_(-1)]));
  ax.attr("set_xlim")(nb::cast<double>(ax.attr("get_xlim")()[0]),
                      last + (last - first) * kLabelRoom);
  glue::date_ticks(ax);
  label_line_ends(ax, cum, colours, best);
  if (nb::len(handles) > 0) legend_above(ax, handles, labels);
}

void draw_group_means(const ChartRequest& r, nb::handle ax,
                      const std::vector<nb::object>& colours) {
  const GroupOutcome& o = *r.outcome;
  const std::size_t n = o.group_means.size();
  const std::size_t best = static_cast<std::size_t>(o.best_group) - 1;
  // One collection of bars (a hundred groups made a hundred patches, each
  // added to the axes' limits on its own), drawn as bar() draws them: centred
  // on the group, 0.8 wide, from 0, mitred corners, the axes' y range
  // stopping at 0.
  const nb::object rectangle = nb::module_::import_("matplotlib.patches").attr("Rectangle");
  nb::list x, bars, palette, edges, widths;
  for (std::size_t g = 0; g < n; ++g) {
    x.append(g + 1);
    const double height = o.group_means[g] * 252.0 * 100.0;
    if (std::isnan(height)) continue;  // no bar
    bars.append(rectangle(nb::make_tuple(static_cast<double>(g + 1) - 0.4, 0.0), 0.8, height));
    palette.append(colours[g]);
    edges.append(g == best ? kBenchmark : "none");
    widths.append(g == best ? 1.8 : 0.0);
  }
  const nb::object collection =
      nb::module_::import_("matplotlib.collections")
          .attr("PatchCollection")(bars, "facecolors"_a = palette, "edgecolors"_a = edges,
                                   "linewidths"_a = widths, "alpha"_a = 0.9,
                                   "joinstyle"_a = "miter");
  collection.attr("sticky_edges").attr("y").attr("append")(0.0);
  ax.attr("add_collection")(collection);
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  if (n <= 25) {
    ax.attr("set_xticks")(x);
  } else {
    ax.attr("xaxis").attr("set_major_locator")(
        nb::module_::import_("matplotlib.ticker")
            .attr("MaxNLocator")("nbins"_a = 20, "integer"_a = true));
  }
  ax.attr("set_xlim")(0.4, static_cast<double>(n) + 0.6);
  ax.attr("set_xlabel")("Group (outlined: best)");
  ax.attr("set_ylabel")("Annualised (%)");
  style_axes(ax, "Mean Daily Return x 252 by Group");
}

void draw_rank_ic(const ChartRequest& r, nb::handle ax) {
  const GroupOutcome& o = *r.outcome;
  style_axes(ax, "Rank IC");
  if (nb::len(o.rank_ic) == 0) {
    ax.attr("text")(0.5, 0.5, "No forward return data", "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
    return;
  }
  const nb::object ic = datetime_index(o.rank_ic);
  const nb::object values = ic["rank_ic"];
  const nb::object dates = glue::plot_dates(ic.attr("index"));
  nb::list handles, labels;
  handles.append(ax.attr("fill_between")(dates, 0.0, values.attr("fillna")(0.0).attr("to_numpy")(),
                                         "color"_a = kIc, "alpha"_a = 0.35, "step"_a = "mid"));
  labels.append("Rank IC");
  const nb::object rolling =
      values.attr("rolling")(kIcRollingDays, "min_periods"_a = 1).attr("mean")();
  handles.append(ax.attr("plot")(dates, rolling.attr("to_numpy")(), "color"_a = kExcess,
                                 "linewidth"_a = 1.2)[0]);
  labels.append(nb::str("{}-day mean").format(kIcRollingDays));
  if (nb::cast<bool>(ic.attr("columns").attr("__contains__")("industry_neutral_rank_ic"))) {
    const nb::object neutral = ic["industry_neutral_rank_ic"]
                                   .attr("rolling")(kIcRollingDays, "min_periods"_a = 1)
                                   .attr("mean")();
    handles.append(ax.attr("plot")(dates, neutral.attr("to_numpy")(), "color"_a = kBenchmark,
                                   "linewidth"_a = 1.0)[0]);
    labels.append("Industry Neutral (20-day mean)");
  }
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  glue::date_ticks(ax);
  legend_above(ax, handles, labels);
}

void draw_summary(const ChartRequest& r, nb::handle ax, nb::handle row) {
  const GroupOutcome& o = *r.outcome;
  ax.attr("axis")("off");
  nb::list cells;
  const auto add = [&](const char* name, const std::string& value) {
    cells.append(nb::make_tuple(name, value));
  };
  add("Factor", r.factor_name);
  add("Best Group", nb::cast<std::string>(nb::str("{}").format(static_cast<long>(o.best_group))));
  const std::size_t b = static_cast<std::size_t>(o.best_group) - 1;
  add("Best Group Annual Return", percent(o.group_means[b] * 252.0));
  if (nb::len(o.rank_ic) > 0) {
    const nb::object ic = o.rank_ic["rank_ic"].attr("dropna")();
    const double mean = table_mean(ic);
    const double sd = nb::cast<double>(nb::float_(ic.attr("std")()));
    add("Rank IC Mean", number(mean, 4));
    add("ICIR", number(sd > 0.0 ? mean / sd : NAN, 3));
    add("IC > 0 Ratio", percent(table_mean(ic.attr("gt")(0.0).attr("astype")("float64")), 1));
  }
  if (!row.is_none()) {
    add("Benchmark Annual Return", percent(nb::cast<double>(row["benchmark_annual_return"])));
    add("Excess Annual Return", percent(nb::cast<double>(row["excess_annual_return"])));
    add("Excess Sharpe", number(nb::cast<double>(row["excess_sharpe"])));
    add("Excess Max Drawdown", percent(nb::cast<double>(row["excess_max_dd"])));
  }
  // The table fills the axes below the title (bbox), so that it never runs
  // over the title or out of its panel whatever the number of rows.
  const nb::object table = ax.attr("table")(
      "cellText"_a = cells, "colLabels"_a = nb::make_tuple("Metric", "Value"), "cellLoc"_a = "left",
      "colLoc"_a = "left", "colWidths"_a = nb::make_tuple(0.55, 0.45),
      "bbox"_a = nb::make_tuple(0.0, 0.0, 1.0, 1.0));
  table.attr("auto_set_font_size")(false);
  table.attr("set_fontsize")(11);
  glue::style_table_cells(table);
  ax.attr("set_title")("Summary", "fontsize"_a = 13, "loc"_a = "left", "y"_a = 1.0);
}

void draw_one(const ChartRequest& r, const std::string& path, const std::string& code) {
  const nb::object benchmark =
      code.empty() ? nb::none() : nb::borrow<nb::dict>(r.benchmark_dict)[code.c_str()];
  nb::object row = nb::none();
  if (!code.empty() && nb::len(r.outcome->summary) > 0) {
    const nb::object summary = r.outcome->summary;
    const nb::object match =
        summary[summary["benchmark_name"].attr("astype")("str").attr("__eq__")(code)];
    if (nb::len(match) > 0) row = match.attr("iloc")[nb::int_(0)];
  }
  const glue::PlotLock lock;
  const nb::object matplotlib = nb::module_::import_("matplotlib");
  matplotlib.attr("use")("Agg");
  const nb::object plt = nb::module_::import_("matplotlib.pyplot");
  nb::module_::import_("morvane.backtest._ravelle").attr("_configure_strategy_plot_style")(plt);
  const bool tall = r.image_kind == "long";
  const std::string suptitle = code.empty() ? r.title : r.title + "  (benchmark " + code + ")";
  const glue::ChartFonts fonts({suptitle, r.factor_name});
  const nb::object figure = plt.attr("figure")("figsize"_a = tall ? nb::make_tuple(14.0, 20.0)
                                                                  : nb::make_tuple(21.0, 11.5));
  const glue::FigureGuard guard(plt, figure);
  const Panels p = layout(figure, tall);

  const std::size_t n = r.outcome->group_means.size();
  const nb::object cmap = matplotlib.attr("colormaps")["turbo"];
  std::vector<nb::object> colours;
  for (std::size_t g = 0; g < n; ++g) colours.push_back(group_colour(cmap, g, n));

  draw_cumulative(r, p.cum, benchmark, code, colours);
  draw_group_means(r, p.bars, colours);
  draw_rank_ic(r, p.ic);
  draw_summary(r, p.table, row);
  figure.attr("suptitle")(suptitle, "fontsize"_a = 17, "fontweight"_a = "bold",
                          "y"_a = tall ? 0.985 : 0.975);
  glue::save_chart(figure, path, kDpi);
}

}  // namespace

std::string chart_path_text(nb::handle path) {
  if (nb::isinstance<nb::str>(path)) return nb::cast<std::string>(path);
  const nb::object os = nb::module_::import_("os");
  if (!nb::isinstance(path, os.attr("PathLike"))) {
    glue::raise_type_error("plot_save_path", "str | os.PathLike | None", path);
  }
  return nb::cast<std::string>(nb::str(os.attr("fspath")(path)));
}

nb::dict draw_factor_charts(const ChartRequest& request, nb::handle save_path) {
  const nb::object main = nb::module_::import_("pathlib").attr("Path")(chart_path_text(save_path));
  main.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  nb::dict paths;
  const auto entry = [](const std::string& path) {
    nb::dict files;
    files["primary"] = path;
    return files;
  };
  if (request.benchmarks.size() <= 1) {
    const std::string path = nb::cast<std::string>(nb::str(main));
    const std::string code = request.benchmarks.empty() ? "" : request.benchmarks.front();
    draw_one(request, path, code);
    paths[code.empty() ? "factor" : code.c_str()] = entry(path);
    return paths;
  }
  for (const std::string& code : request.benchmarks) {
    const nb::object file =
        main.attr("with_name")(nb::str("{}_{}.png").format(main.attr("stem"), code));
    const std::string path = nb::cast<std::string>(nb::str(file));
    draw_one(request, path, code);
    paths[code.c_str()] = entry(path);
  }
  return paths;
}

}  // namespace morvane::core

#include "factor_chart.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "factor_chart_series.hpp"
#include "group_labels.hpp"
#include "pyglue/args.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/chart_layout.hpp"
#include "pyglue/chart_style.hpp"
#include "pyglue/chart_tables.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr const char* kExcess = "#ef4444";
constexpr const char* kBenchmark = "#111827";
constexpr const char* kIc = "#2563eb";
constexpr int kIcRollingDays = 20;
constexpr double kDpi = 110;
// Share of the date span added after the last date, where the group labels go.
constexpr double kLabelRoom = 0.07;

std::string percent(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}%").format(value * 100.0, digits));
}

std::string number(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}").format(value, digits));
}

void style_axes(nb::handle ax, const char* title) {
  // At the top explicitly: the automatic placement measures every tick label
  // on each draw, for labels at the top these panels never have.
  ax.attr("set_title")(title, "fontsize"_a = 13, "loc"_a = "left", "y"_a = 1.0);
  ax.attr("grid")(true, "alpha"_a = 0.3);
  glue::hide_spines(ax, {"top", "right"});
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

void draw_cumulative(const ChartRequest& request, nb::handle ax, nb::handle benchmark,
                     const std::string& code, const std::vector<nb::object>& colours) {
  const GroupOutcome& outcome = *request.outcome;
  const GroupLines lines = group_lines(outcome);
  const std::size_t best = static_cast<std::size_t>(outcome.best_group) - 1;
  for (std::size_t g = 0; g < lines.values.size(); ++g) {
    ax.attr("plot")(lines.rows.dates, lines.values[g], "color"_a = colours[g],
                    "linewidth"_a = g == best ? 2.6 : 1.1, "zorder"_a = g == best ? 3 : 2);
  }
  style_axes(ax, "Group Cumulative Return (not compounded)");
  nb::list handles, labels;
  const std::optional<ExcessLines> excess =
      benchmark.is_none() ? std::nullopt : excess_lines(outcome, lines.rows, benchmark, code);
  if (excess) {
    handles.append(ax.attr("plot")(excess->benchmark.dates, excess->benchmark.values,
                                   "color"_a = kBenchmark, "linestyle"_a = "--",
                                   "linewidth"_a = 1.4, "zorder"_a = 4)[0]);
    labels.append("Benchmark " + code);
    const nb::object twin = ax.attr("twinx")();
    // Behind the group lines: the twin one level below, the lines' axes
    // made transparent.
    twin.attr("set_zorder")(ax.attr("get_zorder")().attr("__sub__")(1));
    ax.attr("patch").attr("set_visible")(false);
    handles.append(twin.attr("fill_between")(excess->excess.dates, 0.0, excess->excess.values,
                                             "color"_a = kExcess, "alpha"_a = 0.16,
                                             "linewidth"_a = 0));
    labels.append(nb::str("G{} Excess (right axis)").format(static_cast<long>(outcome.best_group)));
    twin.attr("set_ylabel")("Best Group Cumulative Excess");
    twin.attr("grid")(false);
    glue::hide_spines(twin, {"top"});
  }
  // Room after the last date for the labels that name the lines (instead of
  // the automatic margin, which would add a date tick past the data).
  const std::vector<double> days =
      glue::float64_values(glue::chart_imports().date2num(lines.rows.dates));
  const double first = days.front();
  const double last = days.back();
  ax.attr("set_xlim")(nb::cast<double>(ax.attr("get_xlim")()[0]),
                      last + (last - first) * kLabelRoom);
  glue::date_ticks(ax);
  label_line_ends(ax, lines.last, last, colours, best);
  if (nb::len(handles) > 0) legend_above(ax, handles, labels);
}

void draw_group_means(const ChartRequest& request, nb::handle ax,
                      const std::vector<nb::object>& colours) {
  const GroupOutcome& outcome = *request.outcome;
  const std::size_t n = outcome.group_means.size();
  const std::size_t best = static_cast<std::size_t>(outcome.best_group) - 1;
  // One collection of bars (a hundred groups made a hundred patches, each
  // added to the axes' limits on its own), drawn as bar() draws them: centred
  // on the group, 0.8 wide, from 0, mitred corners, the axes' y range
  // stopping at 0.
  const nb::object rectangle = glue::chart_imports().rectangle;
  nb::list x, bars, palette, edges, widths;
  for (std::size_t g = 0; g < n; ++g) {
    x.append(g + 1);
    const double height = outcome.group_means[g] * 252.0 * 100.0;
    if (std::isnan(height)) continue;  // no bar
    bars.append(rectangle(nb::make_tuple(static_cast<double>(g + 1) - 0.4, 0.0), 0.8, height));
    palette.append(colours[g]);
    edges.append(g == best ? kBenchmark : "none");
    widths.append(g == best ? 1.8 : 0.0);
  }
  const nb::object collection = glue::chart_imports().patch_collection(
      bars, "facecolors"_a = palette, "edgecolors"_a = edges, "linewidths"_a = widths,
      "alpha"_a = 0.9, "joinstyle"_a = "miter");
  collection.attr("sticky_edges").attr("y").attr("append")(0.0);
  ax.attr("add_collection")(collection);
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  if (n <= 25) {
    // A tick per group, placed by a locator rather than by set_xticks: set_xticks
    // builds the ticks at once, the locator lets the draw make them, as copies
    // of the first (the limits are set just below either way).
    ax.attr("xaxis").attr("set_major_locator")(glue::chart_imports().fixed_locator(x));
  } else {
    ax.attr("xaxis").attr("set_major_locator")(
        glue::chart_imports().max_n_locator("nbins"_a = 20, "integer"_a = true));
  }
  ax.attr("set_xlim")(0.4, static_cast<double>(n) + 0.6);
  ax.attr("set_xlabel")("Group (outlined: best)");
  ax.attr("set_ylabel")("Annualised (%)");
  style_axes(ax, "Mean Daily Return x 252 by Group");
}

void draw_rank_ic(const ChartRequest& request, nb::handle ax) {
  const GroupOutcome& outcome = *request.outcome;
  style_axes(ax, "Rank IC");
  if (nb::len(outcome.rank_ic) == 0) {
    glue::no_data_note(ax, "No forward return data");
    return;
  }
  const IcLines ic = ic_lines(outcome.rank_ic, kIcRollingDays);
  nb::list handles, labels;
  handles.append(ax.attr("fill_between")(ic.dates, 0.0, ic.filled, "color"_a = kIc,
                                         "alpha"_a = 0.35, "step"_a = "mid"));
  labels.append("Rank IC");
  handles.append(ax.attr("plot")(ic.dates, ic.mean, "color"_a = kExcess, "linewidth"_a = 1.2)[0]);
  labels.append(nb::str("{}-day mean").format(kIcRollingDays));
  if (!ic.neutral_mean.is_none()) {
    handles.append(
        ax.attr("plot")(ic.dates, ic.neutral_mean, "color"_a = kBenchmark, "linewidth"_a = 1.0)[0]);
    labels.append("Industry Neutral (20-day mean)");
  }
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  glue::date_ticks(ax);
  legend_above(ax, handles, labels);
}

void draw_summary(const ChartRequest& request, nb::handle ax,
                  const std::optional<BenchmarkRow>& row) {
  const GroupOutcome& outcome = *request.outcome;
  ax.attr("axis")("off");
  nb::list cells;
  const auto add = [&](const char* name, const std::string& value) {
    cells.append(nb::make_tuple(name, value));
  };
  add("Factor", request.factor_name);
  add("Best Group",
      nb::cast<std::string>(nb::str("{}").format(static_cast<long>(outcome.best_group))));
  const std::size_t b = static_cast<std::size_t>(outcome.best_group) - 1;
  add("Best Group Annual Return", percent(outcome.group_means[b] * 252.0));
  if (nb::len(outcome.rank_ic) > 0) {
    const IcFigures ic = ic_figures(outcome.rank_ic);
    add("Rank IC Mean", number(ic.mean, 4));
    add("ICIR", number(ic.icir, 3));
    add("IC > 0 Ratio", percent(ic.positive_share, 1));
  }
  if (row) {
    add("Benchmark Annual Return", percent(row->benchmark_annual_return));
    add("Excess Annual Return", percent(row->excess_annual_return));
    add("Excess Sharpe", number(row->excess_sharpe));
    add("Excess Max Drawdown", percent(row->excess_max_dd));
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

void draw_one(const ChartRequest& request, const std::string& path, const std::string& code) {
  const nb::object benchmark =
      code.empty() ? nb::none() : nb::borrow<nb::dict>(request.benchmark_dict)[code.c_str()];
  const std::optional<BenchmarkRow> row =
      code.empty() ? std::nullopt : benchmark_row(request.outcome->summary, code);
  const glue::PlotLock lock;
  const glue::ChartImports& charts = glue::begin_chart();
  const nb::object& plt = charts.plt;
  const bool tall = request.image_kind == "long";
  const std::string suptitle =
      code.empty() ? request.title : request.title + "  (benchmark " + code + ")";
  const glue::ChartFonts fonts({suptitle, request.factor_name});
  const nb::object figure = plt.attr("figure")("figsize"_a = tall ? nb::make_tuple(14.0, 20.0)
                                                                  : nb::make_tuple(21.0, 11.5));
  const glue::FigureGuard guard(plt, figure);
  const Panels p = layout(figure, tall);

  const std::size_t n = request.outcome->group_means.size();
  const nb::object cmap = charts.matplotlib.attr("colormaps")["turbo"];
  std::vector<nb::object> colours;
  for (std::size_t g = 0; g < n; ++g) colours.push_back(group_colour(cmap, g, n));

  draw_cumulative(request, p.cum, benchmark, code, colours);
  draw_group_means(request, p.bars, colours);
  draw_rank_ic(request, p.ic);
  draw_summary(request, p.table, row);
  figure.attr("suptitle")(suptitle, "fontsize"_a = 17, "fontweight"_a = "bold",
                          "y"_a = tall ? 0.985 : 0.975);
  glue::save_chart(figure, path, kDpi);
}

}  // namespace

std::string chart_path_text(nb::handle path) {
  if (nb::isinstance<nb::str>(path)) return nb::cast<std::string>(path);
  if (!nb::isinstance(path, glue::imports().path_like)) {
    glue::raise_type_error("plot_save_path", "str | os.PathLike | None", path);
  }
  return nb::cast<std::string>(nb::str(glue::imports().fspath(path)));
}

nb::dict draw_factor_charts(const ChartRequest& request, nb::handle save_path) {
  const nb::object main = glue::imports().path(chart_path_text(save_path));
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

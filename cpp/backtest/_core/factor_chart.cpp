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
#include "pyglue/draw.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;
namespace draw = morvane::pyglue::draw;

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

void style_axes(const draw::Axes& ax, const char* title) {
  // At the top explicitly: the automatic placement measures every tick label
  // on each draw, for labels at the top these panels never have.
  ax.title(title, {.fontsize = 13, .loc = "left", .y = 1.0});
  ax.grid({.alpha = 0.3});
  ax.hide_spines({"top", "right"});
}

// A legend in the band above the axes, right-aligned across from the
// left-aligned title, so it never covers a line or a bar.
void legend_above(const draw::Axes& ax, nb::handle handles, nb::handle labels) {
  ax.legend(handles, labels,
            {.loc = "lower right",
             .anchor = std::pair{1.0, 1.0},
             .ncol = static_cast<int>(nb::len(handles)),
             .frameon = false,
             .fontsize = 9,
             .borderaxespad = 0.2});
}

// Group g of n (0-based) on "turbo" without its darkest and palest ends,
// darkened a fifth so that the middle greens and yellows hold on white:
// neighbouring groups differ in hue, and the order of the groups reads from
// blue (low) to red (high).
draw::Colour group_colour(nb::handle cmap, std::size_t g, std::size_t n) {
  const double share = n > 1 ? static_cast<double>(g) / static_cast<double>(n - 1) : 0.0;
  const nb::object rgba = cmap(0.06 + 0.88 * share);
  return draw::Colour::rgb(nb::cast<double>(rgba[0]) * 0.8, nb::cast<double>(rgba[1]) * 0.8,
                           nb::cast<double>(rgba[2]) * 0.8);
}

struct Panels {
  draw::Axes cum, bars, ic, table;
};

Panels layout(const draw::Figure& figure, bool tall) {
  if (tall) {
    const draw::PanelGrid grid =
        figure.grid({.rows = 4,
                     .height_ratios = {3.4, 2.0, 2.2, 1.7},
                     .hspace = 0.3,
                     .margins = {.left = 0.075, .right = 0.925, .top = 0.94, .bottom = 0.025}});
    return {grid.panel(0, 0), grid.panel(1, 0), grid.panel(2, 0), grid.panel(3, 0)};
  }
  const draw::PanelGrid grid =
      figure.grid({.rows = 2,
                   .cols = 2,
                   .hspace = 0.32,
                   .wspace = 0.2,
                   .margins = {.left = 0.045, .right = 0.975, .top = 0.895, .bottom = 0.06}});
  return {grid.panel(0, 0), grid.panel(0, 1), grid.panel(1, 0), grid.panel(1, 1)};
}

void draw_cumulative(const ChartRequest& request, const draw::Axes& ax, nb::handle benchmark,
                     const std::string& code, const std::vector<draw::Colour>& colours) {
  const GroupOutcome& outcome = *request.outcome;
  const GroupLines lines = group_lines(outcome);
  const std::size_t best = static_cast<std::size_t>(outcome.best_group) - 1;
  for (std::size_t g = 0; g < lines.values.size(); ++g) {
    ax.line(lines.rows.dates, lines.values[g],
            {.color = colours[g], .linewidth = g == best ? 2.6 : 1.1, .zorder = g == best ? 3 : 2});
  }
  style_axes(ax, "Group Cumulative Return (not compounded)");
  nb::list handles, labels;
  const std::optional<ExcessLines> excess =
      benchmark.is_none() ? std::nullopt : excess_lines(outcome, lines.rows, benchmark, code);
  if (excess) {
    handles.append(
        ax.line(excess->benchmark.dates, excess->benchmark.values,
                {.color = kBenchmark, .linewidth = 1.4, .linestyle = "--", .zorder = 4}));
    labels.append("Benchmark " + code);
    // Behind the group lines.
    const draw::Axes twin = ax.twin_x_behind();
    handles.append(twin.area(excess->excess.dates, nb::float_(0.0), excess->excess.values,
                             {.color = kExcess, .alpha = 0.16, .linewidth = 0}));
    labels.append(nb::str("G{} Excess (right axis)").format(static_cast<long>(outcome.best_group)));
    twin.ylabel("Best Group Cumulative Excess");
    twin.no_grid();
    twin.hide_spines({"top"});
  }
  // Room after the last date for the labels that name the lines (instead of
  // the automatic margin, which would add a date tick past the data).
  const std::vector<double> days =
      glue::float64_values(glue::chart_imports().date2num(lines.rows.dates));
  const double first = days.front();
  const double last = days.back();
  ax.xlim(ax.xlim().first, last + (last - first) * kLabelRoom);
  ax.date_ticks();
  label_line_ends(ax, lines.last, last, colours, best);
  if (nb::len(handles) > 0) legend_above(ax, handles, labels);
}

void draw_group_means(const ChartRequest& request, const draw::Axes& ax,
                      const std::vector<draw::Colour>& colours) {
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
    palette.append(colours[g].object());
    edges.append(g == best ? kBenchmark : "none");
    widths.append(g == best ? 1.8 : 0.0);
  }
  const nb::object collection = glue::chart_imports().patch_collection(
      bars, "facecolors"_a = palette, "edgecolors"_a = edges, "linewidths"_a = widths,
      "alpha"_a = 0.9, "joinstyle"_a = "miter");
  collection.attr("sticky_edges").attr("y").attr("append")(0.0);
  ax.object().attr("add_collection")(collection);
  ax.hline(0.0, {.color = kBenchmark, .linewidth = 0.8});
  // A tick per group while they fit, placed by a locator rather than by
  // set_xticks: set_xticks builds the ticks at once, the locator lets the draw
  // make them, as copies of the first (the limits are set just below either way).
  ax.x_locator(n <= 25 ? glue::chart_imports().fixed_locator(x)
                       : glue::chart_imports().max_n_locator("nbins"_a = 20, "integer"_a = true));
  ax.xlim(0.4, static_cast<double>(n) + 0.6);
  ax.xlabel("Group (outlined: best)");
  ax.ylabel("Annualised (%)");
  style_axes(ax, "Mean Daily Return x 252 by Group");
}

void draw_rank_ic(const ChartRequest& request, const draw::Axes& ax) {
  const GroupOutcome& outcome = *request.outcome;
  style_axes(ax, "Rank IC");
  if (nb::len(outcome.rank_ic) == 0) {
    ax.note("No forward return data");
    return;
  }
  const IcLines ic = ic_lines(outcome.rank_ic, kIcRollingDays);
  nb::list handles, labels;
  handles.append(
      ax.area(ic.dates, nb::float_(0.0), ic.filled, {.color = kIc, .alpha = 0.35, .step = "mid"}));
  labels.append("Rank IC");
  handles.append(ax.line(ic.dates, ic.mean, {.color = kExcess, .linewidth = 1.2}));
  labels.append(nb::str("{}-day mean").format(kIcRollingDays));
  if (!ic.neutral_mean.is_none()) {
    handles.append(ax.line(ic.dates, ic.neutral_mean, {.color = kBenchmark, .linewidth = 1.0}));
    labels.append("Industry Neutral (20-day mean)");
  }
  ax.hline(0.0, {.color = kBenchmark, .linewidth = 0.8});
  ax.date_ticks();
  legend_above(ax, handles, labels);
}

void draw_summary(const ChartRequest& request, const draw::Axes& ax,
                  const std::optional<BenchmarkRow>& row) {
  const GroupOutcome& outcome = *request.outcome;
  ax.axis_off();
  std::vector<std::vector<std::string>> cells;
  const auto add = [&](const char* name, const std::string& value) {
    cells.push_back({name, value});
  };
  add("Factor", request.factor_name);
  add("Best Group", std::to_string(static_cast<long>(outcome.best_group)));
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
  const draw::Table table = ax.table(cells, {.col_labels = {"Metric", "Value"},
                                             .col_widths = {0.55, 0.45},
                                             .cell_loc = "left",
                                             .col_loc = "left",
                                             .bbox = std::vector{0.0, 0.0, 1.0, 1.0}});
  table.font_size(11);
  table.style_cells();
  ax.title("Summary", {.fontsize = 13, .loc = "left", .y = 1.0});
}

void draw_one(const ChartRequest& request, const std::string& path, const std::string& code) {
  const nb::object benchmark =
      code.empty() ? nb::none() : nb::borrow<nb::dict>(request.benchmark_dict)[code.c_str()];
  const std::optional<BenchmarkRow> row =
      code.empty() ? std::nullopt : benchmark_row(request.outcome->summary, code);
  const glue::PlotLock lock;
  const glue::ChartImports& charts = glue::begin_chart();
  const bool tall = request.image_kind == "long";
  const std::string suptitle =
      code.empty() ? request.title : request.title + "  (benchmark " + code + ")";
  const glue::ChartFonts fonts({suptitle, request.factor_name});
  const draw::Figure figure({.size = tall ? std::pair{14.0, 20.0} : std::pair{21.0, 11.5}});
  const glue::FigureGuard guard(figure.object());
  const Panels p = layout(figure, tall);

  const std::size_t n = request.outcome->group_means.size();
  const nb::object cmap = charts.matplotlib.attr("colormaps")["turbo"];
  std::vector<draw::Colour> colours;
  for (std::size_t g = 0; g < n; ++g) colours.push_back(group_colour(cmap, g, n));

  draw_cumulative(request, p.cum, benchmark, code, colours);
  draw_group_means(request, p.bars, colours);
  draw_rank_ic(request, p.ic);
  draw_summary(request, p.table, row);
  figure.suptitle(suptitle, {.fontsize = 17, .fontweight = "bold", .y = tall ? 0.985 : 0.975});
  figure.save(path, kDpi);
}

}  // namespace

std::string chart_path_text(nb::handle path) {
  if (nb::isinstance<nb::str>(path)) return nb::cast<std::string>(path);
  if (!nb::isinstance(path, glue::imports().path_like)) {
    glue::raise_type_error("plot_save_path", "str | os.PathLike | None", path);
  }
  return nb::cast<std::string>(nb::str(glue::imports().fspath(path)));
}

nb::object chart_file(nb::handle save_path) {
  const nb::object file = glue::imports().path(chart_path_text(save_path));
  file.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  return file;
}

std::string file_beside(nb::handle main, const std::string& ending) {
  return nb::cast<std::string>(
      nb::str(main.attr("with_name")(nb::str(main.attr("stem")) + nb::str(ending.c_str()))));
}

nb::dict chart_files(const std::string& path) {
  nb::dict files;
  files["primary"] = path;
  return files;
}

nb::dict draw_factor_charts(const ChartRequest& request, nb::handle save_path) {
  const nb::object main = chart_file(save_path);
  nb::dict paths;
  if (request.benchmarks.size() <= 1) {
    const std::string path = nb::cast<std::string>(nb::str(main));
    const std::string code = request.benchmarks.empty() ? "" : request.benchmarks.front();
    draw_one(request, path, code);
    paths[code.empty() ? "factor" : code.c_str()] = chart_files(path);
    return paths;
  }
  for (const std::string& code : request.benchmarks) {
    const std::string path = file_beside(main, "_" + code + ".png");
    draw_one(request, path, code);
    paths[code.c_str()] = chart_files(path);
  }
  return paths;
}

}  // namespace morvane::core

#include "tear_sheet.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "factor_chart.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/chart_style.hpp"
#include "pyglue/draw.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace draw = morvane::pyglue::draw;

constexpr const char* kIc = "#2563eb";
constexpr const char* kAutocorrelation = "#ef4444";
constexpr const char* kAxis = "#111827";
constexpr double kDpi = 100.0;

// The labels of an index written with `pattern` ("{}d": "5d").
nb::list texts_of(nb::handle labels, const char* pattern) {
  nb::list texts;
  for (nb::handle label : pyglue::python_values(labels))
    texts.append(nb::str(pattern).format(label));
  return texts;
}

void style_axes(const draw::Axes& ax, const char* title) {
  ax.title(title, {.fontsize = 13, .loc = "left"});
  ax.grid({.alpha = 0.3});
  ax.hide_spines({"top", "right"});
}

// Mean rank IC per holding period as bars (t-statistic on top), and the
// factor's mean rank autocorrelation at the same lags as a line.
void draw_decay(const GroupOutcome& o, const draw::Axes& ax) {
  style_axes(ax, "Rank IC Decay by Holding Period");
  const nb::object decay = o.research.ic_decay;
  const nb::object horizons = decay.attr("index");
  const nb::list labels = texts_of(horizons, "{}d");
  const pyglue::FloatVector means = pyglue::read_float_column(decay, "mean");
  const nb::object bars =
      ax.bars(labels, means.owner, {.color = kIc, .alpha = 0.85, .label = "Mean Rank IC"});
  nb::list notes;
  for (const double t : pyglue::read_float_column(decay, "t_stat").values) {
    notes.append(std::isnan(t) ? nb::str("") : nb::str("t={:.1f}").format(t));
  }
  ax.object().attr("bar_label")(bars, "labels"_a = notes, "fontsize"_a = 9, "padding"_a = 2);
  ax.hline(0.0, {.color = kAxis, .linewidth = 0.8});
  ax.ylabel("Mean Rank IC");
  // Room above the bars for their t-statistics and the legend.
  double top = 0.0;
  double bottom = 0.0;
  for (const double mean : means.values) {
    if (std::isnan(mean)) continue;
    top = std::max(top, mean);
    bottom = std::min(bottom, mean);
  }
  const double span = top - bottom > 0.0 ? top - bottom : 0.01;
  // A negative bar's t-statistic sits below it.
  ax.ylim(bottom - (bottom < 0.0 ? 0.15 : 0.05) * span, top + 0.35 * span);
  // Means taken by the table library, whose order of summation the line's last
  // bits follow.
  const nb::object autocorrelation =
      o.research.rank_autocorrelation.attr("mean")().attr("reindex")(horizons);
  const draw::Axes twin = ax.twin_x();
  twin.line(labels, pyglue::float64_numpy(autocorrelation),
            {.color = kAutocorrelation,
             .linewidth = 1.4,
             .marker = "o",
             .label = "Rank Autocorrelation"});
  twin.ylim(-1.05, 1.05);
  twin.ylabel("Rank Autocorrelation");
  twin.no_grid();
  // One legend for both axes, above the bars.
  twin.legend_of(ax, twin, {.loc = "upper right", .fontsize = 9});
}

// Mean share of each group's names replaced at a rebalance.
void draw_turnover(const GroupOutcome& o, const draw::Axes& ax) {
  style_axes(ax, "Mean Turnover by Group (names new at each rebalance)");
  const nb::object turnover = o.research.group_turnover;
  if (nb::len(turnover) < 2) {
    ax.note("Fewer than two rebalances");
    return;
  }
  // Means taken by the table library, whose order of summation the bars'
  // last bits follow.
  const nb::object mean = turnover.attr("mean")().attr("mul")(100.0);
  const nb::object numbers = turnover.attr("columns");
  const nb::object groups = pyglue::float64_numpy(numbers);
  ax.bars(groups, pyglue::float64_numpy(mean), {.color = kIc, .alpha = 0.85});
  // Every group named while their numbers fit the half-width panel.
  if (nb::len(numbers) <= 25) {
    ax.xticks(groups);
    ax.xticklabels(texts_of(numbers, "{}"));
  } else {
    ax.x_locator(pyglue::chart_imports().max_n_locator("nbins"_a = 12, "integer"_a = true));
  }
  ax.ylim(0.0, 100.0);
  ax.xlabel("Group");
  ax.ylabel("Turnover (%)");
}

// Year x month mean rank IC, coloured around zero and written in each cell.
void draw_monthly(const GroupOutcome& o, const draw::Axes& ax, const draw::Figure& figure) {
  style_axes(ax, "Monthly Mean Rank IC");
  ax.no_grid();
  const nb::object monthly = o.research.monthly_ic;
  if (nb::len(monthly) == 0) {
    ax.note("No dated rank IC");
    return;
  }
  const nb::object values = pyglue::contiguous_float64(monthly);
  const std::span<const double> cells = pyglue::contiguous_span<const double>(values);
  double top = 0.0;
  for (const double cell : cells) {
    if (!std::isnan(cell)) top = std::max(top, std::abs(cell));
  }
  const double limit = top > 0.0 ? top : 0.01;
  const nb::object image = ax.object().attr("imshow")(
      values, "cmap"_a = "RdYlGn", "vmin"_a = -limit, "vmax"_a = limit, "aspect"_a = "auto");
  const std::size_t rows = nb::len(monthly);
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t month = 0; month < 12; ++month) {
      const double v = cells[row * 12 + month];
      if (std::isnan(v)) continue;
      ax.text(static_cast<double>(month), static_cast<double>(row),
              nb::cast<std::string>(nb::str("{:.3f}").format(v)),
              {.ha = "center", .va = "center", .fontsize = 8, .color = kAxis});
    }
  }
  ax.xticks(pyglue::imports().range(12));
  ax.xticklabels(texts_of(monthly.attr("columns"), "{}"));
  ax.object().attr("set_yticks")(pyglue::imports().range(rows));
  ax.object().attr("set_yticklabels")(texts_of(monthly.attr("index"), "{}"));
  ax.xlabel("Month");
  figure.object().attr("colorbar")(image, "ax"_a = ax.object(), "fraction"_a = 0.025,
                                   "pad"_a = 0.01);
}

}  // namespace

nb::dict draw_tear_sheet(const GroupOutcome& outcome, const std::string& title,
                         nb::handle save_path) {
  const std::string path = file_beside(chart_file(save_path), "_tear_sheet.png");
  {
    const pyglue::PlotLock lock;
    pyglue::begin_chart();
    const std::string suptitle = title + "  (factor tear sheet)";
    const pyglue::ChartFonts fonts({suptitle});
    const draw::Figure figure({.size = {15.0, 10.5}});
    const pyglue::FigureGuard guard(figure.object());
    const draw::PanelGrid grid =
        figure.grid({.rows = 2,
                     .cols = 2,
                     .height_ratios = {1.0, 1.2},
                     .hspace = 0.3,
                     .wspace = 0.3,
                     .margins = {.left = 0.06, .right = 0.95, .top = 0.91, .bottom = 0.07}});
    draw_decay(outcome, grid.panel(0, 0));
    draw_turnover(outcome, grid.panel(0, 1));
    draw_monthly(outcome, grid.panel(1, 0, 2), figure);
    figure.suptitle(suptitle, {.fontsize = 17, .fontweight = "bold"});
    // Fixed margins rather than a tight bounding box, which would draw the
    // whole figure twice; written by the charts' own writer.
    figure.save(path, kDpi);
  }
  return chart_files(path);
}

}  // namespace morvane::core

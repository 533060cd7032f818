#include "tear_sheet.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "factor_chart.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/chart_layout.hpp"
#include "pyglue/chart_style.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

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

void style_axes(nb::handle ax, const char* title) {
  ax.attr("set_title")(title, "fontsize"_a = 13, "loc"_a = "left");
  ax.attr("grid")(true, "alpha"_a = 0.3);
  pyglue::hide_spines(ax, {"top", "right"});
}

// Mean rank IC per holding period as bars (t-statistic on top), and the
// factor's mean rank autocorrelation at the same lags as a line.
void draw_decay(const GroupOutcome& o, nb::handle ax) {
  style_axes(ax, "Rank IC Decay by Holding Period");
  const nb::object decay = o.research.ic_decay;
  const nb::object horizons = decay.attr("index");
  const nb::list labels = texts_of(horizons, "{}d");
  const pyglue::FloatVector means = pyglue::read_float_column(decay, "mean");
  const nb::object bars = ax.attr("bar")(labels, means.owner, "color"_a = kIc, "alpha"_a = 0.85,
                                         "label"_a = "Mean Rank IC");
  nb::list notes;
  for (const double t : pyglue::read_float_column(decay, "t_stat").values) {
    notes.append(std::isnan(t) ? nb::str("") : nb::str("t={:.1f}").format(t));
  }
  ax.attr("bar_label")(bars, "labels"_a = notes, "fontsize"_a = 9, "padding"_a = 2);
  ax.attr("axhline")(0.0, "color"_a = kAxis, "linewidth"_a = 0.8);
  ax.attr("set_ylabel")("Mean Rank IC");
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
  ax.attr("set_ylim")(bottom - (bottom < 0.0 ? 0.15 : 0.05) * span, top + 0.35 * span);
  const nb::object autocorrelation = o.research.rank_autocorrelation.attr("mean")();
  const nb::object at_horizons = autocorrelation.attr("reindex")(horizons);
  const nb::object twin = ax.attr("twinx")();
  twin.attr("plot")(labels, at_horizons.attr("to_numpy")(), "color"_a = kAutocorrelation,
                    "marker"_a = "o", "linewidth"_a = 1.4, "label"_a = "Rank Autocorrelation");
  twin.attr("set_ylim")(-1.05, 1.05);
  twin.attr("set_ylabel")("Rank Autocorrelation");
  twin.attr("grid")(false);
  // One legend for both axes, above the bars.
  const nb::tuple own = nb::borrow<nb::tuple>(ax.attr("get_legend_handles_labels")());
  const nb::tuple other = nb::borrow<nb::tuple>(twin.attr("get_legend_handles_labels")());
  twin.attr("legend")(own[0] + other[0], own[1] + other[1], "loc"_a = "upper right",
                      "fontsize"_a = 9);
}

// Mean share of each group's names replaced at a rebalance.
void draw_turnover(const GroupOutcome& o, nb::handle ax) {
  style_axes(ax, "Mean Turnover by Group (names new at each rebalance)");
  const nb::object turnover = o.research.group_turnover;
  if (nb::len(turnover) < 2) {
    pyglue::no_data_note(ax, "Fewer than two rebalances");
    return;
  }
  // Means summed by the table library, whose order of summation the bars' last bits follow.
  const nb::object mean = turnover.attr("mean")().attr("mul")(100.0);
  const nb::object numbers = turnover.attr("columns");
  const nb::object groups = pyglue::float64_numpy(numbers);
  ax.attr("bar")(groups, pyglue::float64_numpy(mean), "color"_a = kIc, "alpha"_a = 0.85);
  // Every group named while their numbers fit the half-width panel.
  if (nb::len(numbers) <= 25) {
    ax.attr("set_xticks")(groups);
    ax.attr("set_xticklabels")(texts_of(numbers, "{}"));
  } else {
    ax.attr("xaxis").attr("set_major_locator")(
        pyglue::chart_imports().max_n_locator("nbins"_a = 12, "integer"_a = true));
  }
  ax.attr("set_ylim")(0.0, 100.0);
  ax.attr("set_xlabel")("Group");
  ax.attr("set_ylabel")("Turnover (%)");
}

// Year x month mean rank IC, coloured around zero and written in each cell.
void draw_monthly(const GroupOutcome& o, nb::handle ax, nb::handle figure) {
  style_axes(ax, "Monthly Mean Rank IC");
  ax.attr("grid")(false);
  const nb::object monthly = o.research.monthly_ic;
  if (nb::len(monthly) == 0) {
    pyglue::no_data_note(ax, "No dated rank IC");
    return;
  }
  const nb::object values = pyglue::contiguous_float64(monthly);
  const std::span<const double> cells = pyglue::contiguous_span<const double>(values);
  double top = 0.0;
  for (const double cell : cells) {
    if (!std::isnan(cell)) top = std::max(top, std::abs(cell));
  }
  const double limit = top > 0.0 ? top : 0.01;
  const nb::object image = ax.attr("imshow")(values, "cmap"_a = "RdYlGn", "vmin"_a = -limit,
                                             "vmax"_a = limit, "aspect"_a = "auto");
  const std::size_t rows = nb::len(monthly);
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t month = 0; month < 12; ++month) {
      const double v = cells[row * 12 + month];
      if (std::isnan(v)) continue;
      ax.attr("text")(month, row, nb::str("{:.3f}").format(v), "ha"_a = "center", "va"_a = "center",
                      "fontsize"_a = 8, "color"_a = kAxis);
    }
  }
  ax.attr("set_xticks")(pyglue::imports().range(12));
  ax.attr("set_xticklabels")(texts_of(monthly.attr("columns"), "{}"));
  ax.attr("set_yticks")(pyglue::imports().range(rows));
  ax.attr("set_yticklabels")(texts_of(monthly.attr("index"), "{}"));
  ax.attr("set_xlabel")("Month");
  figure.attr("colorbar")(image, "ax"_a = ax, "fraction"_a = 0.025, "pad"_a = 0.01);
}

}  // namespace

nb::dict draw_tear_sheet(const GroupOutcome& outcome, const std::string& title,
                         nb::handle save_path) {
  const nb::object main = pyglue::imports().path(chart_path_text(save_path));
  main.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  const std::string path = nb::cast<std::string>(
      nb::str(main.attr("with_name")(nb::str("{}_tear_sheet.png").format(main.attr("stem")))));
  {
    const pyglue::PlotLock lock;
    const nb::object& plt = pyglue::begin_chart().plt;
    const std::string suptitle = title + "  (factor tear sheet)";
    const pyglue::ChartFonts fonts({suptitle});
    const nb::object figure = plt.attr("figure")("figsize"_a = nb::make_tuple(15.0, 10.5));
    const pyglue::FigureGuard guard(plt, figure);
    const nb::object grid = figure.attr("add_gridspec")(
        2, 2, "height_ratios"_a = nb::make_tuple(1.0, 1.2), "hspace"_a = 0.3, "wspace"_a = 0.3,
        "left"_a = 0.06, "right"_a = 0.95, "top"_a = 0.91, "bottom"_a = 0.07);
    draw_decay(outcome, figure.attr("add_subplot")(grid[nb::make_tuple(0, 0)]));
    draw_turnover(outcome, figure.attr("add_subplot")(grid[nb::make_tuple(0, 1)]));
    const nb::slice every_column{nb::none(), nb::none(), nb::none()};
    const nb::object bottom = figure.attr("add_subplot")(grid[nb::make_tuple(1, every_column)]);
    draw_monthly(outcome, bottom, figure);
    figure.attr("suptitle")(suptitle, "fontsize"_a = 17, "fontweight"_a = "bold");
    // Fixed margins rather than a tight bounding box, which would draw the
    // whole figure twice; written by the charts' own writer.
    pyglue::save_chart(figure, path, kDpi);
  }
  nb::dict files;
  files["primary"] = path;
  return files;
}

}  // namespace morvane::core

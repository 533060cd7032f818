// Small matplotlib helpers shared by the strategy charts, and the chart lock.
// Everything here needs the GIL; drawing must happen under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "imports.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/chart_layout.hpp"
#include "pyglue/chart_style.hpp"
#include "pyglue/chart_tables.hpp"
#include "pyglue/draw.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;
namespace draw = pyglue::draw;

using PlotLock = pyglue::PlotLock;
using FigureGuard = pyglue::FigureGuard;
using ChartFonts = pyglue::ChartFonts;
using pyglue::plot_dates;

// Text form of a path argument: str or os.PathLike, else TypeError.
[[nodiscard]] std::string path_text(nb::handle path, const char* name);

// stats.get(key): the value of a dashboard figure, None when absent.
[[nodiscard]] nb::object stat_value(nb::handle stats, const char* key);

// The strategy's, the benchmark's and the excess daily returns of a
// date-indexed total frame, as a table of their own.
[[nodiscard]] nb::object daily_returns(nb::handle dated_total);

// Float64 values of one column of a table.
[[nodiscard]] std::vector<double> column_values(nb::handle table, const char* column);
[[nodiscard]] nb::object numpy_array(std::vector<double> values);

// A panel title's height, given explicitly: matplotlib's automatic placement
// measures every tick label of the axes and of its twins on each draw, to lift
// the title over labels at the top, which these charts never have.
inline constexpr double kTitleY = 1.0;

// The text arguments every chart takes, checked.
struct ChartTexts {
  std::string strategy_name;
  std::optional<std::string> plot_title;
  std::string save_path;
  std::string image_kind;
  std::string benchmark_name;
  [[nodiscard]] std::string title() const {
    return plot_title && !plot_title->empty() ? *plot_title : strategy_name;
  }
  [[nodiscard]] bool tall() const { return image_kind != "large"; }
};
[[nodiscard]] ChartTexts chart_texts(nb::handle strategy_name, nb::handle plot_title,
                                     nb::handle save_path, nb::handle image_kind,
                                     nb::handle benchmark_name);

// The charts' horizontal reference line (zero returns, a net value of 1).
void zero_line(const draw::Axes& ax, double y = 0.0, double width = 0.8);
// Twin axes: no grid, top spine hidden.
void plain_twin(const draw::Axes& twin);
// Grid and hidden top/right spines of a chart panel.
void style_panel(const draw::Axes& ax);
// One legend with the primary axes' handles followed by the twin's.
void combined_legend(const draw::Axes& ax, const draw::Axes& twin, const char* loc,
                     double fontsize);
// The charts' legend: framed, a little see-through.
[[nodiscard]] draw::Legend framed_legend(const char* loc, std::optional<double> fontsize = {});

}  // namespace morvane::ravelle

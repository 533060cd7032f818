// What every chart of both backtests starts from: matplotlib and the
// package's chart modules, imported on the first chart (matplotlib is slow to
// import and only charts need it) and kept, and the charts' common style.
// All of it needs the GIL; drawing happens under PlotLock.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::pyglue {

namespace nb = nanobind;

struct ChartImports {
  nb::object plot_lock;          // morvane.backtest._chart_lock._MATPLOTLIB_PLOT_LOCK
  nb::object chart_fonts;        // morvane.backtest._chart_fonts.ChartFonts
  nb::object chart_png;          // morvane.backtest._chart_png (save_chart looked up per chart)
  nb::object matplotlib;         // matplotlib
  nb::object plt;                // matplotlib.pyplot
  nb::object percent_formatter;  // matplotlib.ticker.PercentFormatter
  nb::object max_n_locator;      // matplotlib.ticker.MaxNLocator
  nb::object fixed_locator;      // matplotlib.ticker.FixedLocator
  nb::object rectangle;          // matplotlib.patches.Rectangle
  nb::object patch_collection;   // matplotlib.collections.PatchCollection
  nb::object date2num;           // matplotlib.dates.date2num
  nb::object date_locator;       // matplotlib.dates.AutoDateLocator
  nb::object date_formatter;     // matplotlib.dates.AutoDateFormatter
  nb::object text_to_path;       // matplotlib.textpath.text_to_path
  nb::object font_properties;    // matplotlib.font_manager.FontProperties
};

// The chart modules; imported by the first call.
[[nodiscard]] const ChartImports& chart_imports();

// Selects the "Agg" backend and applies the charts' style to pyplot; returns
// the chart modules. Call under PlotLock, before the figure is made.
const ChartImports& begin_chart();

// The style every chart shares: seaborn's white grid when this matplotlib has
// it, the font list with CJK fallbacks, bold titles, white figures.
void configure_chart_style(nb::handle plt);

}  // namespace morvane::pyglue

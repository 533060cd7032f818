// The guards every chart draws under: the package's chart lock, a figure that
// is closed however drawing ends, and the fonts for the chart's own texts. They
// need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

// The package's chart lock, morvane.backtest._chart_lock._MATPLOTLIB_PLOT_LOCK
// (imported without matplotlib, which only drawing needs).
[[nodiscard]] nb::object chart_lock();

// Holds the package's chart lock (morvane.backtest._chart_lock, which _ravelle
// re-exports as _MATPLOTLIB_PLOT_LOCK) for its lifetime, so charts drawn from
// any module or thread never share pyplot's state. The lock is a re-entrant
// threading.RLock, whose acquire() waits with the GIL released.
class PlotLock {
 public:
  PlotLock();
  ~PlotLock();
  PlotLock(const PlotLock&) = delete;
  PlotLock& operator=(const PlotLock&) = delete;

 private:
  nb::object lock_;
};

// Closes a figure however drawing ends, so a failed chart leaks no figure
// into pyplot's registry.
class FigureGuard {
 public:
  // Closes `figure`, a figure of the charts' pyplot (chart_imports().plt).
  explicit FigureGuard(nb::object figure);
  ~FigureGuard();
  FigureGuard(const FigureGuard&) = delete;
  FigureGuard& operator=(const FigureGuard&) = delete;

 private:
  nb::object plt_;
  nb::object figure_;
};

// While alive, the chart's texts have glyphs to print with: when the listed
// fonts lack some, the morvane[cjk] font is registered, or one MorvaneWarning
// says what is missing and matplotlib's warning per glyph is silenced
// (morvane.backtest._chart_fonts.ChartFonts). Take it before any text is laid
// out, under PlotLock.
class ChartFonts {
 public:
  explicit ChartFonts(const std::vector<std::string>& texts);
  ~ChartFonts();
  ChartFonts(const ChartFonts&) = delete;
  ChartFonts& operator=(const ChartFonts&) = delete;

 private:
  nb::object context_;
};

// Writes the figure to `path` at `dpi` on its own face colour
// (morvane.backtest._chart_png.save_chart: PNG files take the fast writer).
void save_chart(nb::handle figure, const std::string& path, double dpi);

}  // namespace morvane::pyglue

#include "chart_guards.hpp"

#include <nanobind/stl/string.h>

#include "chart_style.hpp"

namespace morvane::pyglue {

nb::object chart_lock() {
  return nb::module_::import_("morvane.backtest._chart_lock").attr("_MATPLOTLIB_PLOT_LOCK");
}

PlotLock::PlotLock() : lock_(chart_imports().plot_lock) { lock_.attr("acquire")(); }

PlotLock::~PlotLock() {
  // Runs while a drawing error propagates too; nanobind has already taken
  // that error out of the interpreter, so calling release() here is safe.
  try {
    lock_.attr("release")();
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

FigureGuard::FigureGuard(nb::object figure)
    : plt_(chart_imports().plt), figure_(std::move(figure)) {}

FigureGuard::~FigureGuard() {
  try {
    plt_.attr("close")(figure_);
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

ChartFonts::ChartFonts(const std::vector<std::string>& texts) {
  nb::list items;
  for (const std::string& text : texts) items.append(nb::str(text.data(), text.size()));
  context_ = chart_imports().chart_fonts(items);
  context_.attr("__enter__")();
}

ChartFonts::~ChartFonts() {
  try {
    context_.attr("__exit__")(nb::none(), nb::none(), nb::none());
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

void save_chart(nb::handle figure, const std::string& path, double dpi) {
  // Looked up per chart: tests watch the figures saved by replacing it.
  chart_imports().chart_png.attr("save_chart")(figure, nb::str(path.data(), path.size()), dpi);
}

}  // namespace morvane::pyglue

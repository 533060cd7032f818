#include "chart_guards.hpp"

namespace morvane::pyglue {

PlotLock::PlotLock()
    : lock_(nb::module_::import_("morvane.backtest._ravelle").attr("_MATPLOTLIB_PLOT_LOCK")) {
  lock_.attr("acquire")();
}

PlotLock::~PlotLock() {
  // Runs while a drawing error propagates too; nanobind has already taken
  // that error out of the interpreter, so calling release() here is safe.
  try {
    lock_.attr("release")();
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

FigureGuard::FigureGuard(nb::object plt, nb::object figure)
    : plt_(std::move(plt)), figure_(std::move(figure)) {}

FigureGuard::~FigureGuard() {
  try {
    plt_.attr("close")(figure_);
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

}  // namespace morvane::pyglue

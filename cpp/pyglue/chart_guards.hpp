// The two guards every chart entry point draws under: the package's chart lock
// and a figure that is closed however drawing ends. They need the GIL.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::pyglue {

namespace nb = nanobind;

// Holds _MATPLOTLIB_PLOT_LOCK of morvane.backtest._ravelle for its lifetime,
// so charts drawn from any module or thread never share pyplot's state. The
// lock is a re-entrant threading.RLock, whose acquire() waits with the GIL
// released.
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
  FigureGuard(nb::object plt, nb::object figure);
  ~FigureGuard();
  FigureGuard(const FigureGuard&) = delete;
  FigureGuard& operator=(const FigureGuard&) = delete;

 private:
  nb::object plt_;
  nb::object figure_;
};

}  // namespace morvane::pyglue

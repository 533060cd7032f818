// Bindings of the per-year performance table and the period figures.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

namespace nb = nanobind;

// _calc_yearly_performance_metrics.
[[nodiscard]] nb::object calc_yearly_performance_metrics(nb::handle daily);

// _period_return_drawdown_calmar: (period return, max drawdown, Calmar ratio).
[[nodiscard]] nb::tuple period_return_drawdown_calmar(nb::handle daily_return);

}  // namespace morvane::ravelle

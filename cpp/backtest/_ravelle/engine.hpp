// Bindings of the strategy daily return engine and the weight smoothing.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/market.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

struct EngineArgs {
  nb::handle signal_matrix;
  pyglue::MarketTables market;
  nb::handle total_money;
  nb::handle fee;
  nb::handle rule_fee;
  nb::handle lot_size;
};

// calc_strategy_vwap_daily_return: a float64 Series of daily returns.
[[nodiscard]] nb::object daily_return(const EngineArgs& args);

// _smooth_strategy_weights.
[[nodiscard]] nb::object smooth_strategy_weights(nb::handle strategy_matrix,
                                                 nb::handle rolling_window);

}  // namespace morvane::ravelle

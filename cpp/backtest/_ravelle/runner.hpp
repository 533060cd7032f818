// Binding of the strategy backtest runner.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/market.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

struct RunnerArgs {
  nb::handle weights;  // the strategy_matrix argument
  pyglue::MarketTables market;
  nb::handle benchmark_dict;
  nb::handle benchmark_names;
  nb::handle rolling_window;
  nb::handle total_money;
  nb::handle fee;
  nb::handle rule_fee;
  nb::handle plot_image_kind;
  nb::handle plot_save_path;
  nb::handle strategy_name;
  nb::handle plot_title;
  nb::handle record_trades;
};

// run_strategy_backtest_core: a _RavelleResult.
[[nodiscard]] nb::object run_strategy_backtest(const RunnerArgs& args);

}  // namespace morvane::ravelle

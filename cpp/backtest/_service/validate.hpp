// The one validation of a backtest request, shared by the two flows and, as
// the private module functions _check_strategy_request and
// _check_factor_request, by the parameter sweeps and the command line: every
// refusal is decided here, before any work, with one message.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "request.hpp"
#include "service.hpp"

namespace morvane::service {

namespace nb = nanobind;

// What a check covers besides the scalar arguments. The flows check all of
// it; a sweep checks each table once and each parameter set once, and may not
// hold the data (a store loaded on the workers) or draw a chart.
struct CheckScope {
  bool table = true;  // the weight or factor table
  bool data = true;   // the loaded data and what the request needs of it
  bool chart = true;  // the chart folder and name (the factor flow always draws)
};

// A user's weight or factor table, checked and cleaned, or a refusal naming
// `name` (the caller's argument): one-level axes (TypeError for a
// MultiIndex), each date once after normalising (ValueError, as for repeated
// codes), values that are numbers (TypeError for dates and durations) and
// finite or missing (ValueError naming the first infinite cell). A
// time-zone-aware date index is read as Shanghai calendar dates.
[[nodiscard]] nb::object checked_user_table(nb::handle table, const char* name);

// The loaded datasets of a BacktestData record (its `data` mapping).
[[nodiscard]] nb::object data_mapping(nb::handle data);

struct CheckedStrategy {
  nb::object table;  // the cleaned weights (None when not checked)
  std::string plot_filename;
  std::optional<std::string> plot;
  std::int64_t rolling_window = 0;
  TradingCosts costs{};
  nb::object start_date, end_date;  // "YYYYMMDD"
  bool record_trades = false;
};
[[nodiscard]] CheckedStrategy check_strategy_request(const StrategyRequest& r,
                                                     const CheckScope& scope);

// Every field is set by the check; the defaults are the parameter tables'.
struct CheckedFactor {
  nb::object table;  // the cleaned factor (None when not checked)
  std::string plot_filename;
  std::string plot;
  std::int64_t group_num = 0;
  std::int64_t rolling_window = 0;
  bool ascending = false;
  TradingCosts costs{};
  nb::object start_date, end_date;  // "YYYYMMDD"
  std::vector<std::size_t> horizons;
  std::int64_t rebalance_every = 0;
  bool tear_sheet = false;
};
[[nodiscard]] CheckedFactor check_factor_request(const FactorRequest& r, const CheckScope& scope);

// Defines _check_strategy_request and _check_factor_request on the module.
void define_request_checks(nb::module_& m);

}  // namespace morvane::service

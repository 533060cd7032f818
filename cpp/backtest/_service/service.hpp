// The methods of BacktestService, each a native function taking the service
// (or, for the static helpers, only their arguments).
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::service {

namespace nb = nanobind;

// Dataset checks and the summary log of a prepared-data store. The probe
// lists what the metadata lacks (missing_datasets), then every dataset file
// that is missing or damaged (damaged_datasets: size, header and checksums
// verified, about one read of the store).
[[nodiscard]] nb::list missing_datasets(nb::handle store);
[[nodiscard]] nb::list damaged_datasets(nb::handle store);
[[nodiscard]] nb::list find_missing_datasets(nb::handle store);
void validate_metadata(nb::handle store);
void log_dataset_summary(nb::handle store, nb::handle action);

// Loading and slicing.
[[nodiscard]] nb::object load_backtest_data(nb::handle self);
[[nodiscard]] nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date);

// Preparation.
void prepare_backtest_data(nb::handle self);
void refresh_to_latest(nb::handle self, nb::handle store, nb::handle after_download);

// The strategy backtest.
struct StrategyRequest {
  nb::handle strategy, data, start_date, end_date, output_dir, plot_filename;
  nb::handle benchmark, rolling_window, total_money, fee, rule_fee, plot;
  nb::handle record_trades;
};
[[nodiscard]] nb::object backtest_strategy(nb::handle self, const StrategyRequest& request);

// The factor group backtest and its helpers.
struct FactorRequest {
  nb::handle factor, data, start_date, end_date, output_dir, plot_filename;
  nb::handle group_num, benchmark, universe, rolling_window, ascending;
  nb::handle total_money, fee, rule_fee, plot;
  nb::handle horizons, rebalance_every, tear_sheet;
};
[[nodiscard]] nb::object backtest_factor(nb::handle self, const FactorRequest& request);
[[nodiscard]] nb::str factor_name(nb::handle factor);
[[nodiscard]] nb::object to_public_result(nb::handle core_result, nb::handle factor_name);

// The universe filter.
[[nodiscard]] nb::dict universe_to_component(nb::handle component_names);
[[nodiscard]] nb::list parse_universe(nb::handle universe);
// ValueError for a code of `codes` that is no accepted universe, or (with the
// data mapping `data`; None skips this) whose component data is missing.
void check_universe_codes(nb::handle codes, nb::handle data);
void apply_universe_filter(nb::handle self, nb::handle data, nb::handle universe,
                           nb::handle start_date, nb::handle end_date);

// Defines the class on the module.
void define_service(nb::module_& m);

// Defines the folder lock and the recovery that the command line and the
// sweeps use on the folders they open.
void define_folder_api(nb::module_& m);

}  // namespace morvane::service

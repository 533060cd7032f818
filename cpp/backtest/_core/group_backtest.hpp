// The factor group backtest (bound as run_alpha_vwap_backtest_core). Each day the
// eligible stocks split into factor-ranked groups; every group is an
// equal-weight portfolio traded by the shared portfolio engine; the rank IC
// compares the factor with the next open-to-open return.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>

namespace morvane::core {

namespace nb = nanobind;

// The 25 keyword arguments, in their documented order, and the research
// options after them.
struct GroupBacktestArgs {
  nb::handle factor_matrix, industry_matrix, close_price_valid, can_buy_stock, cant_sell_stock,
      split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price, benchmark_dict,
      forward_return_rank_cache, open_price, benchmark_names, rolling_window, ascending, group_num,
      total_money, fee, rule_fee, plot_image_kind, plot_save_path, factor_name, plot_title;
  nb::handle horizons, rebalance_every, tear_sheet;
};

[[nodiscard]] nb::object run_group_backtest(const GroupBacktestArgs& args, std::size_t threads);

}  // namespace morvane::core

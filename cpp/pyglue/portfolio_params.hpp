// The parameters of the portfolio engine and of the backtests that trade on
// it, converted and range-checked once for every binding that takes them (the
// strategy engine, the strategy runner, the factor group backtest and the
// service's request checks), so that each is refused with one message.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "kernels/portfolio.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

// TypeError for a value of the wrong type; ValueError naming the argument for
// a capital that is not positive and finite, a rate outside [0, 1) (NaN
// included) or a lot below 1. Needs the GIL.
[[nodiscard]] kernels::PortfolioParams read_portfolio_params(nb::handle total_money, nb::handle fee,
                                                             nb::handle rule_fee,
                                                             nb::handle lot_size);

// The group count of a factor backtest: any number, converted to an integer
// (TypeError otherwise); ValueError "group_num 取值范围 [2, 100]" outside the range.
[[nodiscard]] std::size_t read_group_num(nb::handle group_num);

// A rolling window in trading days: any number, converted to an integer;
// ValueError naming `name` for a negative one.
[[nodiscard]] std::size_t read_rolling_window(nb::handle rolling_window, const char* name);

// The holding periods of a factor backtest's IC decay, in trading days: one
// integer or a sequence of them (TypeError otherwise, also for text and
// bools), each in [1, 250] and at least one (ValueError); returned ascending
// without repeats.
[[nodiscard]] std::vector<std::size_t> read_horizons(nb::handle horizons);

// Trading days between the factor backtest's rebalance days: any number,
// converted to an integer; ValueError outside [1, 250].
[[nodiscard]] std::size_t read_rebalance_every(nb::handle rebalance_every);

}  // namespace morvane::pyglue

// The money parameters of the portfolio engine, converted and range-checked
// once for every binding that trades (the strategy engine, the strategy
// runner and the factor group backtest).
#pragma once

#include <nanobind/nanobind.h>

#include "kernels/portfolio.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

// TypeError for a value of the wrong type; ValueError naming the argument for
// a capital that is not positive and finite, a rate outside [0, 1) (NaN
// included) or a lot below 1. Needs the GIL.
[[nodiscard]] kernels::PortfolioParams read_portfolio_params(nb::handle total_money, nb::handle fee,
                                                             nb::handle rule_fee,
                                                             nb::handle lot_size);

}  // namespace morvane::pyglue

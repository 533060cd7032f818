// The eight market matrices of one run, aligned by label to the run's dates and
// stocks, as numpy arrays (for Python callers) and as native views (for the
// engine).
//
// A table whose labels already match is not copied: its array is a read-only
// slice of the table's own values. Otherwise the cells are gathered into a new
// row-major array, with the GIL released. A label a table lacks reads as "no
// data": NaN for numbers, can_buy False and cant_sell True for the masks, so an
// unknown stock-day is never traded.
#pragma once

#include <nanobind/nanobind.h>

#include "kernels/portfolio.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

struct MarketTables {
  nb::handle can_buy_stock;
  nb::handle cant_sell_stock;
  nb::handle split_factor;
  nb::handle dividend_factor;
  nb::handle close_price;
  nb::handle prev_close;
  nb::handle buy_price;
  nb::handle sell_price;
};

struct MarketArrays {
  nb::dict arrays;  // "prev_close_arr", "can_buy_arr", ... in the documented order
  kernels::MarketView view;
};

// TypeError naming the first of `weights` (called `weights_name`) and the
// eight market tables that is not a DataFrame.
void require_market_frames(nb::handle weights, const char* weights_name,
                           const MarketTables& tables);

[[nodiscard]] MarketArrays build_market_arrays(nb::handle index, nb::handle columns,
                                               const MarketTables& tables);

}  // namespace morvane::pyglue

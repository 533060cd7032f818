// The runner's first step: the weight table restricted to the market's
// trading days and stocks, without the stocks that never carry a weight.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::ravelle {

namespace nb = nanobind;

// Rows of `strategy_matrix` dated on a trading day of `close_price` (the
// labels' intersection), columns that `close_price` also has (in the weight
// table's order), then stock columns without any weight dropped. Returns the
// table itself when nothing is dropped, else one new aligned table; the input
// is never written.
//
// Logs at debug level how many rows and columns were dropped, and warns once
// when the kept dates skip trading days inside their span (each weight row is
// traded on the next row's date, so the skipped days are neither traded nor
// valued).
[[nodiscard]] nb::object align_weights_to_market(nb::handle strategy_matrix,
                                                 nb::handle close_price);

}  // namespace morvane::ravelle

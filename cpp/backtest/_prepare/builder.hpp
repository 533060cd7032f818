// GroupPreparedDataBuilder: reads factor and index data through the data
// client, pivots it into date x stock matrices, derives the backtest matrices
// and assembles the prepared-data payload.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

void define_builder(nb::module_& m);

}  // namespace morvane::prepare

// The twelve backtest matrices derived from the source matrices of a build.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

// `source`: factor name -> date x stock matrix; a missing name is a KeyError.
// Returns the derived matrices in their documented order.
[[nodiscard]] nb::dict derive_matrices(nb::handle source);

}  // namespace morvane::prepare

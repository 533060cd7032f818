// The twelve backtest matrices derived from the source matrices of a build.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

// `source`: factor name -> date x stock matrix; a missing name is a KeyError.
// `close_before_start`: each stock's last close before the first date of the
// source (a Series by stock code) or None; the previous close carries it into
// the first rows, as a build over the earlier dates would. Returns the derived
// matrices in their documented order.
[[nodiscard]] nb::dict derive_matrices(nb::handle source, nb::handle close_before_start);

}  // namespace morvane::prepare

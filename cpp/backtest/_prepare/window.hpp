// The incremental write window: a builder run from one stored date before the
// window, cut back to the dates that are to be written.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

void define_window(nb::module_& m);

}  // namespace morvane::prepare

// Where the package keeps its prepared data unless a caller names another
// folder: ~/.morvane/backtest_data/enviroment_data. The service starts from
// it, and the store's repair hint compares a folder with it when the service
// is not loaded. Needs the GIL.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::pyglue {

namespace nb = nanobind;

// The folder as a pathlib.Path under the user's home.
[[nodiscard]] nb::object package_data_dir();

}  // namespace morvane::pyglue

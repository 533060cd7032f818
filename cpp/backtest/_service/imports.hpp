// The Python objects _service calls, imported once when the module loads
// instead of looked up on every call (built by load_imports in the module's
// initialisation, read-only after it). Names a caller may replace on a
// module (the service's "today", default folder and core, the strategy
// runner) are looked up on that module each time.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::service {

namespace nb = nanobind;

struct Imports {
  nb::object module, prepare, pkg;  // _service itself, morvane.backtest._prepare, ._pkg
  nb::object store_base;            // _store.BinaryPreparedDataStoreBase
  // morvane.backtest.result's BacktestData, BacktestResult, StrategyBacktestResult
  nb::object backtest_data, backtest_result, strategy_result;
  nb::object morvane_error, path_type;  // morvane.exceptions.MorvaneError, pathlib.Path
  nb::object data_frame, series, index, timestamp, notna;  // pandas' parts
  nb::object east_asian_width;                             // unicodedata.east_asian_width
  nb::object path_like, fspath, abspath, realpath;         // os.PathLike, os.fspath, os.path's
  nb::object json_dumps, json_loads;                       // json.dumps, json.loads
};

// Imports them; `module` is _service itself. Call once, from the module's
// initialisation.
void load_imports(nb::handle module);

[[nodiscard]] const Imports& imports();

}  // namespace morvane::service

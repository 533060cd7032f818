// The Python objects _service calls, imported once when the module loads
// instead of looked up on every call (built by load_imports in the module's
// initialisation, read-only after it). Names a caller may replace on a
// module (the service's "today", default folder, the cores' runners) are
// looked up on that module each time. pandas, pathlib and os come from
// pyglue's imports.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/imports.hpp"
#include "pyglue/loaded_once.hpp"

namespace morvane::service {

namespace nb = nanobind;

struct Imports {
  nb::object module, core, ravelle;  // _service itself, the factor and the strategy cores
  nb::object prepare, store, pkg;    // morvane.backtest's _prepare, _store and _pkg
  nb::object store_base;             // _store.BinaryPreparedDataStoreBase
  nb::object component_names;        // _prepare.COMPONENT_FACTOR_NAMES (a fixed tuple)
  // morvane.backtest.result's BacktestData, BacktestResult, StrategyBacktestResult
  nb::object backtest_data, backtest_result, strategy_result;
  nb::object morvane_error, http_client;  // morvane.exceptions.MorvaneError, morvane._http's
  nb::object east_asian_width;            // unicodedata.east_asian_width
  nb::object abspath, realpath;           // os.path.abspath, os.path.realpath
  nb::object json_dumps, json_loads;      // json.dumps, json.loads
};

// Imports them; `module` is _service itself. Call once, from the module's
// initialisation.
void load_imports(nb::handle module);

[[nodiscard]] inline const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::service

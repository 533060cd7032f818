// The Python objects _service calls, imported once when the module loads
// instead of looked up on every call. Built by load_imports in the module's
// initialisation and read-only after it. Names a caller may replace on a
// module (the service's "today", default folder and core, the strategy
// runner) are looked up on that module each time.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::service {

namespace nb = nanobind;

struct Imports {
  nb::object module;            // morvane.backtest._service itself
  nb::object prepare;           // morvane.backtest._prepare
  nb::object pkg;               // morvane.backtest._pkg
  nb::object store_base;        // _store.BinaryPreparedDataStoreBase
  nb::object backtest_data;     // morvane.backtest.result.BacktestData
  nb::object backtest_result;   // morvane.backtest.result.BacktestResult
  nb::object strategy_result;   // morvane.backtest.result.StrategyBacktestResult
  nb::object morvane_error;     // morvane.exceptions.MorvaneError
  nb::object data_frame;        // pandas.DataFrame
  nb::object series;            // pandas.Series
  nb::object index;             // pandas.Index
  nb::object timestamp;         // pandas.Timestamp
  nb::object notna;             // pandas.notna
  nb::object path_type;         // pathlib.Path
  nb::object path_like;         // os.PathLike
  nb::object fspath;            // os.fspath
  nb::object abspath;           // os.path.abspath
  nb::object realpath;          // os.path.realpath
  nb::object json_dumps;        // json.dumps
  nb::object json_loads;        // json.loads
  nb::object east_asian_width;  // unicodedata.east_asian_width
};

// Imports them; `module` is _service itself. Call once, from the module's
// initialisation (before any thread can call into the module).
void load_imports(nb::handle module);

[[nodiscard]] const Imports& imports();

}  // namespace morvane::service

// The Python objects _ravelle calls besides pyglue's common ones, gathered
// once when the module loads (load_imports, from its initialisation) and
// read-only after it. The chart functions that callers and tests may replace
// on the module are still looked up on it per call (module_function).
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/loaded_once.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

struct Imports {
  nb::object module;               // morvane.backtest._ravelle itself
  nb::object result;               // _RavelleResult
  nb::object ledger_result;        // _RavelleLedgerResult
  nb::object trade_ledger;         // morvane.backtest.ledger.TradeLedger
  nb::object with_datetime_index;  // _core._with_datetime_index
};

// Call once the module's result classes exist.
void load_imports(nb::handle module);

[[nodiscard]] inline const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

// A module function of _ravelle looked up at call time, so that the entry
// points reach the implementations through the module namespace.
[[nodiscard]] nb::object module_function(const char* name);

}  // namespace morvane::ravelle

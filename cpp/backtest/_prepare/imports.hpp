// The Python objects _prepare calls, imported once when the module loads
// instead of looked up on every call (built by load_imports in the module's
// initialisation, read-only after it). Names that callers may replace on a
// module (the data client, _prepare's own functions) are looked up on the
// module each time. numpy, pandas and datetime come from pyglue's imports.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/imports.hpp"
#include "pyglue/loaded_once.hpp"

namespace morvane::prepare {

namespace nb = nanobind;

struct Imports {
  nb::object module, singleton;  // _prepare itself, morvane.singleton (get_instance)
  nb::object store;              // morvane.backtest._store
  // _store's BinaryPreparedDataStoreBase, component_dataset_key, normalize_yyyymmdd
  nb::object store_base, component_dataset_key, normalize_yyyymmdd;
  nb::object network_error;                     // morvane.exceptions.NetworkError
  nb::object np_bool, np_integer, np_floating;  // numpy's scalar types
  nb::object mapping;                           // collections.abc.Mapping
  nb::object to_numeric;                        // pandas.to_numeric
};

// Imports them; `module` is _prepare itself. Call once, from the module's
// initialisation.
void load_imports(nb::handle module);

[[nodiscard]] inline const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::prepare

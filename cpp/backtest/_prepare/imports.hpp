// The Python objects _prepare calls, imported once when the module loads
// instead of looked up on every call (built by load_imports in the module's
// initialisation, read-only after it). Names that callers may replace on a
// module (the data client, _prepare's own functions) are looked up on the
// module each time.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

struct Imports {
  nb::object module, singleton;  // _prepare itself, morvane.singleton (get_instance)
  // _store's BinaryPreparedDataStoreBase, component_dataset_key, normalize_yyyymmdd
  nb::object store_base, component_dataset_key, normalize_yyyymmdd;
  nb::object network_error;                              // morvane.exceptions.NetworkError
  nb::object np, nan, np_bool, np_integer, np_floating;  // numpy, numpy.nan, its scalar types
  nb::object date_type, mapping;                         // datetime.date, collections.abc.Mapping
  nb::object pd, data_frame, series, index, to_numeric, timestamp;  // pandas and its parts
};

// Imports them; `module` is _prepare itself. Call once, from the module's
// initialisation.
void load_imports(nb::handle module);

[[nodiscard]] const Imports& imports();

// The local time now, as the payload's and the metadata's time stamps record
// it (pandas.Timestamp.now().isoformat()).
[[nodiscard]] nb::object now_text();

}  // namespace morvane::prepare

// The Python objects _prepare calls, imported once when the module loads
// instead of looked up on every call. Built by load_imports in the module's
// initialisation and read-only after it. Names that callers may replace on a
// module (the data client, _prepare's own functions) are looked up on the
// module each time.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

struct Imports {
  nb::object module;                 // morvane.backtest._prepare itself
  nb::object singleton;              // morvane.singleton (get_instance)
  nb::object network_error;          // morvane.exceptions.NetworkError
  nb::object np;                     // numpy
  nb::object nan;                    // numpy.nan
  nb::object np_bool;                // numpy.bool_
  nb::object np_integer;             // numpy.integer
  nb::object np_floating;            // numpy.floating
  nb::object date_type;              // datetime.date
  nb::object pd;                     // pandas
  nb::object data_frame;             // pandas.DataFrame
  nb::object series;                 // pandas.Series
  nb::object index;                  // pandas.Index
  nb::object to_numeric;             // pandas.to_numeric
  nb::object timestamp;              // pandas.Timestamp
  nb::object mapping;                // collections.abc.Mapping
  nb::object store_base;             // _store.BinaryPreparedDataStoreBase
  nb::object component_dataset_key;  // _store.component_dataset_key
  nb::object normalize_yyyymmdd;     // _store.normalize_yyyymmdd
};

// Imports them; `module` is _prepare itself. Call once, from the module's
// initialisation (before any thread can call into the module).
void load_imports(nb::handle module);

[[nodiscard]] const Imports& imports();

// The local time now, as the payload's and the metadata's time stamps record
// it (pandas.Timestamp.now().isoformat()).
[[nodiscard]] nb::object now_text();

}  // namespace morvane::prepare

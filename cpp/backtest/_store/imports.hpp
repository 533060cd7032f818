// The Python objects the store calls, imported once when _store loads
// instead of looked up on every call. Built by load_imports in the module's
// initialisation and read-only after it.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::store {

namespace nb = nanobind;

struct Imports {
  nb::object sys_modules;         // sys.modules
  nb::object path_like;           // os.PathLike
  nb::object fspath;              // os.fspath
  nb::object realpath;            // os.path.realpath
  nb::object path_type;           // pathlib.Path
  nb::object pickle;              // the pickle module
  nb::object unpickling_error;    // pickle.UnpicklingError
  nb::object bytes_io;            // io.BytesIO
  nb::object json_dumps;          // json.dumps
  nb::object repr;                // builtins.repr
  nb::object mapping;             // collections.abc.Mapping
  nb::object bool_dtype;          // numpy.dtype("bool")
  nb::object take;                // numpy.take
  nb::object index;               // pandas.Index
  nb::object data_frame;          // pandas.DataFrame
  nb::object series;              // pandas.Series
  nb::object timestamp;           // pandas.Timestamp
  nb::object metadata_unpickler;  // _store._MetadataUnpickler
};

// Imports them; `module` is _store itself, its _MetadataUnpickler already
// set. Call once, from the module's initialisation (before any thread can
// call into the module).
void load_imports(nb::handle module);

[[nodiscard]] const Imports& imports();

}  // namespace morvane::store

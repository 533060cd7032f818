// The Python objects the store calls, imported once when _store loads
// instead of looked up on every call (built by load_imports in the module's
// initialisation, read-only after it). numpy, pandas, pathlib and os come
// from pyglue's imports.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/imports.hpp"
#include "pyglue/loaded_once.hpp"

namespace morvane::store {

namespace nb = nanobind;

struct Imports {
  nb::object sys_modules, repr, realpath;    // sys.modules, builtins.repr, os.path.realpath
  nb::object metadata_unpickler;             // _store._MetadataUnpickler
  nb::object pickle, unpickling_error;       // pickle, pickle.UnpicklingError
  nb::object bytes_io, json_dumps, mapping;  // io.BytesIO, json.dumps, collections.abc.Mapping
  nb::object bool_dtype, take;               // numpy.dtype("bool"), numpy.take
};

// Imports them; `module` is _store itself, its _MetadataUnpickler already
// set. Call once, from the module's initialisation.
void load_imports(nb::handle module);

[[nodiscard]] inline const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::store

// BinaryPreparedDataStoreBase: the generic binary store of date x label
// matrices, a Python class whose methods are native.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::store {

// Defines the class (and its writer-lock handle) in module `m`.
void define_store_base(nanobind::module_& m);

}  // namespace morvane::store

// BinaryPreparedDataStore: the store base with the component-stock datasets
// in its dtype map and the component supplement.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

// Defines the class in `m`, subclassing the store base of `_store`.
void define_prepared_store(nanobind::module_& m);

}  // namespace morvane::prepare

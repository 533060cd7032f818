// The Python objects _core calls besides pyglue's common ones, gathered once
// when the module loads (load_imports, from its initialisation, after the
// result class exists) and read-only after it.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/loaded_once.hpp"

namespace morvane::core {

namespace nb = nanobind;

struct Imports {
  nb::object with_datetime_index;  // _core._with_datetime_index
  nb::object group_result;         // _core._GroupBacktestResult
  nb::object morvane_error;        // morvane.exceptions.MorvaneError
};

void load_imports(nb::handle module);

[[nodiscard]] inline const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::core

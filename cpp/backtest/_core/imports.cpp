#include "imports.hpp"

#include "pyglue/imports.hpp"
#include "pyglue/loaded_once.hpp"

namespace morvane::core {

void load_imports(nb::handle module) {
  pyglue::load_imports();
  pyglue::LoadedOnce<Imports>::load([&] {
    return Imports{
        .with_datetime_index = module.attr("_with_datetime_index"),
        .group_result = module.attr("_GroupBacktestResult"),
        .morvane_error = nb::module_::import_("morvane.exceptions").attr("MorvaneError"),
    };
  });
}

}  // namespace morvane::core

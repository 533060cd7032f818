#include "imports.hpp"

#include "pyglue/imports.hpp"

namespace morvane::core {

namespace {

// Never freed: the objects would otherwise be released after the interpreter
// has gone, when the library unloads.
const Imports*& instance() {
  static const Imports* loaded = nullptr;
  return loaded;
}

}  // namespace

void load_imports(nb::handle module) {
  if (instance() != nullptr) return;
  pyglue::load_imports();
  instance() = new Imports{
      .with_datetime_index = module.attr("_with_datetime_index"),
      .group_result = module.attr("_GroupBacktestResult"),
      .morvane_error = nb::module_::import_("morvane.exceptions").attr("MorvaneError"),
  };
}

const Imports& imports() { return *instance(); }

}  // namespace morvane::core

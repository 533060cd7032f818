#include "imports.hpp"

#include "pyglue/imports.hpp"

namespace morvane::ravelle {

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
      .module = nb::borrow(module),
      .result = module.attr("_RavelleResult"),
      .ledger_result = module.attr("_RavelleLedgerResult"),
      .trade_ledger = nb::module_::import_("morvane.backtest.ledger").attr("TradeLedger"),
      .with_datetime_index = module.attr("_with_datetime_index"),
  };
}

const Imports& imports() { return *instance(); }

nb::object module_function(const char* name) { return imports().module.attr(name); }

}  // namespace morvane::ravelle

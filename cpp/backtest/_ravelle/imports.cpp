#include "imports.hpp"

#include "pyglue/imports.hpp"
#include "pyglue/loaded_once.hpp"

namespace morvane::ravelle {

void load_imports(nb::handle module) {
  pyglue::load_imports();
  pyglue::LoadedOnce<Imports>::load([&] {
    return Imports{
        .module = nb::borrow(module),
        .result = module.attr("_RavelleResult"),
        .ledger_result = module.attr("_RavelleLedgerResult"),
        .trade_ledger = nb::module_::import_("morvane.backtest.ledger").attr("TradeLedger"),
        .with_datetime_index = module.attr("_with_datetime_index"),
    };
  });
}

nb::object module_function(const char* name) { return imports().module.attr(name); }

}  // namespace morvane::ravelle

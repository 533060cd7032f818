#include "imports.hpp"

#include "pyglue/loaded_once.hpp"

namespace morvane::prepare {

namespace {

Imports import_all(nb::handle module) {
  const nb::object& np = pyglue::imports().np;
  const nb::module_ store = nb::module_::import_("morvane.backtest._store");
  return {.module = nb::borrow(module),
          .singleton = nb::module_::import_("morvane.singleton"),
          .store = store,
          .store_base = store.attr("BinaryPreparedDataStoreBase"),
          .component_dataset_key = store.attr("component_dataset_key"),
          .normalize_yyyymmdd = store.attr("normalize_yyyymmdd"),
          .network_error = nb::module_::import_("morvane.exceptions").attr("NetworkError"),
          .np_bool = np.attr("bool_"),
          .np_integer = np.attr("integer"),
          .np_floating = np.attr("floating"),
          .mapping = nb::module_::import_("collections.abc").attr("Mapping"),
          .to_numeric = pyglue::imports().pd.attr("to_numeric")};
}

}  // namespace

void load_imports(nb::handle module) {
  pyglue::LoadedOnce<Imports>::load([&] { return import_all(module); });
}

}  // namespace morvane::prepare

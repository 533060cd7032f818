#include "imports.hpp"

namespace morvane::prepare {

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
  const nb::module_ np = nb::module_::import_("numpy");
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ store = nb::module_::import_("morvane.backtest._store");
  instance() = new Imports{
      .module = nb::borrow(module),
      .singleton = nb::module_::import_("morvane.singleton"),
      .network_error = nb::module_::import_("morvane.exceptions").attr("NetworkError"),
      .np = np,
      .nan = np.attr("nan"),
      .np_bool = np.attr("bool_"),
      .np_integer = np.attr("integer"),
      .np_floating = np.attr("floating"),
      .date_type = nb::module_::import_("datetime").attr("date"),
      .pd = pd,
      .data_frame = pd.attr("DataFrame"),
      .series = pd.attr("Series"),
      .index = pd.attr("Index"),
      .to_numeric = pd.attr("to_numeric"),
      .timestamp = pd.attr("Timestamp"),
      .mapping = nb::module_::import_("collections.abc").attr("Mapping"),
      .store_base = store.attr("BinaryPreparedDataStoreBase"),
      .component_dataset_key = store.attr("component_dataset_key"),
      .normalize_yyyymmdd = store.attr("normalize_yyyymmdd"),
  };
}

const Imports& imports() { return *instance(); }

nb::object now_text() { return imports().timestamp.attr("now")().attr("isoformat")(); }

}  // namespace morvane::prepare

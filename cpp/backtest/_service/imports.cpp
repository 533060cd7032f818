#include "imports.hpp"

#include "pyglue/loaded_once.hpp"

namespace morvane::service {

namespace {

Imports import_all(nb::handle module) {
  const nb::module_ json = nb::module_::import_("json");
  const nb::module_ os_path = nb::module_::import_("os.path");
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");
  const nb::module_ store = nb::module_::import_("morvane.backtest._store");
  const nb::module_ prepare = nb::module_::import_("morvane.backtest._prepare");
  return {.module = nb::borrow(module),
          .core = nb::module_::import_("morvane.backtest._core"),
          .ravelle = nb::module_::import_("morvane.backtest._ravelle"),
          .prepare = prepare,
          .store = store,
          .pkg = nb::module_::import_("morvane.backtest._pkg"),
          .store_base = store.attr("BinaryPreparedDataStoreBase"),
          .component_names = prepare.attr("COMPONENT_FACTOR_NAMES"),
          .backtest_data = result.attr("BacktestData"),
          .backtest_result = result.attr("BacktestResult"),
          .strategy_result = result.attr("StrategyBacktestResult"),
          .morvane_error = nb::module_::import_("morvane.exceptions").attr("MorvaneError"),
          .http_client = nb::module_::import_("morvane._http").attr("HttpClient"),
          .east_asian_width = nb::module_::import_("unicodedata").attr("east_asian_width"),
          .abspath = os_path.attr("abspath"),
          .realpath = os_path.attr("realpath"),
          .json_dumps = json.attr("dumps"),
          .json_loads = json.attr("loads")};
}

}  // namespace

void load_imports(nb::handle module) {
  pyglue::LoadedOnce<Imports>::load([&] { return import_all(module); });
}

}  // namespace morvane::service

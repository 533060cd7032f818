#include "imports.hpp"

#include "pyglue/loaded_once.hpp"

namespace morvane::service {

namespace {

Imports import_all(nb::handle module) {
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ os = nb::module_::import_("os");
  const nb::module_ json = nb::module_::import_("json");
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");
  return {.module = nb::borrow(module),
          .prepare = nb::module_::import_("morvane.backtest._prepare"),
          .pkg = nb::module_::import_("morvane.backtest._pkg"),
          .store_base =
              nb::module_::import_("morvane.backtest._store").attr("BinaryPreparedDataStoreBase"),
          .backtest_data = result.attr("BacktestData"),
          .backtest_result = result.attr("BacktestResult"),
          .strategy_result = result.attr("StrategyBacktestResult"),
          .morvane_error = nb::module_::import_("morvane.exceptions").attr("MorvaneError"),
          .path_type = nb::module_::import_("pathlib").attr("Path"),
          .data_frame = pd.attr("DataFrame"),
          .series = pd.attr("Series"),
          .index = pd.attr("Index"),
          .timestamp = pd.attr("Timestamp"),
          .notna = pd.attr("notna"),
          .east_asian_width = nb::module_::import_("unicodedata").attr("east_asian_width"),
          .path_like = os.attr("PathLike"),
          .fspath = os.attr("fspath"),
          .abspath = os.attr("path").attr("abspath"),
          .realpath = os.attr("path").attr("realpath"),
          .json_dumps = json.attr("dumps"),
          .json_loads = json.attr("loads")};
}

}  // namespace

void load_imports(nb::handle module) {
  pyglue::LoadedOnce<Imports>::load([&] { return import_all(module); });
}

const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::service

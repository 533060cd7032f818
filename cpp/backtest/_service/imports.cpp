#include "imports.hpp"

namespace morvane::service {

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
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ os = nb::module_::import_("os");
  const nb::module_ json = nb::module_::import_("json");
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");
  instance() = new Imports{
      .module = nb::borrow(module),
      .prepare = nb::module_::import_("morvane.backtest._prepare"),
      .pkg = nb::module_::import_("morvane.backtest._pkg"),
      .store_base =
          nb::module_::import_("morvane.backtest._store").attr("BinaryPreparedDataStoreBase"),
      .backtest_data = result.attr("BacktestData"),
      .backtest_result = result.attr("BacktestResult"),
      .strategy_result = result.attr("StrategyBacktestResult"),
      .morvane_error = nb::module_::import_("morvane.exceptions").attr("MorvaneError"),
      .data_frame = pd.attr("DataFrame"),
      .series = pd.attr("Series"),
      .index = pd.attr("Index"),
      .timestamp = pd.attr("Timestamp"),
      .notna = pd.attr("notna"),
      .path_type = nb::module_::import_("pathlib").attr("Path"),
      .path_like = os.attr("PathLike"),
      .fspath = os.attr("fspath"),
      .abspath = os.attr("path").attr("abspath"),
      .realpath = os.attr("path").attr("realpath"),
      .json_dumps = json.attr("dumps"),
      .json_loads = json.attr("loads"),
      .east_asian_width = nb::module_::import_("unicodedata").attr("east_asian_width"),
  };
}

const Imports& imports() { return *instance(); }

}  // namespace morvane::service

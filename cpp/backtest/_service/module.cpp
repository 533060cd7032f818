// morvane.backtest._service: the backtest service (preparation, loading and
// the factor and strategy backtest flows).
#include <nanobind/nanobind.h>

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/store_errors.hpp"
#include "service.hpp"
#include "validate.hpp"

namespace nb = nanobind;

namespace {

// Today's local date as "YYYYMMDD"; a module function so that a caller can
// fix "today" for the whole service.
nb::object today() {
  return morvane::service::imports().timestamp.attr("today")().attr("strftime")("%Y%m%d");
}

}  // namespace

NB_MODULE(_service, m) {
  m.doc() = morvane::doc::kServiceModule;
  const nb::object pathlib = nb::module_::import_("pathlib");
  const nb::object typing = nb::module_::import_("typing");
  const nb::object builtins = nb::module_::import_("builtins");
  m.attr("shutil") = nb::module_::import_("shutil");
  m.attr("Path") = pathlib.attr("Path");
  m.attr("pd") = nb::module_::import_("pandas");
  m.attr("core") = nb::module_::import_("morvane.backtest._core");
  m.attr("logger") = nb::module_::import_("morvane.logger").attr("logger");
  morvane::service::load_imports(m);
  const morvane::service::Imports& imports = morvane::service::imports();

  // The refresh looks its window function up on _prepare when it runs.
  const nb::object& prepare = imports.prepare;
  for (const char* name : {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
                           "component_dataset_key"}) {
    m.attr(name) = prepare.attr(name);
  }
  // Index code -> component factor name: the accepted universes.
  m.attr("_UNIVERSE_TO_COMPONENT") =
      morvane::service::universe_to_component(prepare.attr("COMPONENT_FACTOR_NAMES"));
  const nb::module_ store = nb::module_::import_("morvane.backtest._store");
  for (const char* name : {"clean_matrix", "normalize_yyyymmdd"}) m.attr(name) = store.attr(name);
  for (const char* name : {"download_benchmark_package", "flatten_single_subdir"}) {
    m.attr(name) = imports.pkg.attr(name);
  }
  m.attr("BacktestData") = imports.backtest_data;
  m.attr("BacktestResult") = imports.backtest_result;
  m.attr("StrategyBacktestResult") = imports.strategy_result;
  m.attr("MorvaneError") = imports.morvane_error;

  m.attr("DateLike") =
      typing.attr("Union")[nb::make_tuple(builtins.attr("str"), builtins.attr("int"))];
  m.attr("_DEFAULT_DATA_DIR") = imports.path_type.attr("home")().attr("joinpath")(
      ".morvane", "backtest_data", "enviroment_data");
  m.def("_today", &today, nb::sig("def _today() -> str"),
        "今天的本地日期 \"YYYYMMDD\"。\n\nReturns:\n    str: 例如 \"20240102\"。");
  morvane::pyglue::register_store_errors();
  morvane::service::define_service(m);
  morvane::service::define_folder_api(m);
  morvane::service::define_request_checks(m);
}
